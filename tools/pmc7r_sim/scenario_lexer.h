// The words of one scenario line and the typed values they spell.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace scenario {

struct Token {
    std::string text;  // without the quotes of a quoted text
    bool quoted = false;
};

// Control bytes as \xHH, so a message shows every byte of the word it quotes and a NUL
// does not end it.
std::string Printable(std::string_view text);

// Thrown with a message that says what is wrong; the parser adds file and line.
struct SyntaxError : std::runtime_error {
    explicit SyntaxError(const std::string& message) : std::runtime_error(Printable(message)) {}
};

// Splits a line at blanks; `#` outside quotes ends it. In a quoted text a backslash before
// a quote or a backslash escapes it; any other backslash stands for itself, so hardware IDs
// read as written.
std::vector<Token> SplitLine(std::string_view line);

// Decimal or 0x hex, at most `max`; `what` names the value in messages.
uint32_t ParseNumber(std::string_view text, std::string_view what, uint32_t max = UINT32_MAX);
// Exactly two hex digits.
uint8_t ParseHexPair(std::string_view text);
// A number followed by us, ms or s; in 100 ns units.
int64_t ParseDuration(std::string_view text);
// Letters, digits, '_' and '-', starting with a letter or '_'.
bool IsName(std::string_view text);

}  // namespace scenario
