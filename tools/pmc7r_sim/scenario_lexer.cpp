#include "tools/pmc7r_sim/scenario_lexer.h"

#include <cctype>
#include <charconv>

namespace scenario {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

bool IsHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

std::string Quote(std::string_view text) { return "'" + std::string(text) + "'"; }

// Reads a quoted text starting at the opening quote; returns the index after the closing one.
size_t ReadQuoted(std::string_view line, size_t at, std::string* out) {
    for (size_t i = at + 1; i < line.size(); ++i) {
        char c = line[i];
        if (c == '"') return i + 1;
        if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) c = line[++i];
        out->push_back(c);
    }
    throw SyntaxError("unterminated text: a closing \" is missing");
}

}  // namespace

std::string Printable(std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            out.push_back(c);
            continue;
        }
        out += "\\x";
        out.push_back(kHex[byte >> 4]);
        out.push_back(kHex[byte & 0x0F]);
    }
    return out;
}

std::vector<Token> SplitLine(std::string_view line) {
    std::vector<Token> tokens;
    size_t i = 0;
    while (i < line.size()) {
        if (IsBlank(line[i])) {
            ++i;
            continue;
        }
        if (line[i] == '#') break;
        Token token;
        if (line[i] == '"') {
            token.quoted = true;
            i = ReadQuoted(line, i, &token.text);
            if (i < line.size() && !IsBlank(line[i]) && line[i] != '#')
                throw SyntaxError("a blank must follow the closing \" of a text");
        } else {
            size_t start = i;
            while (i < line.size() && !IsBlank(line[i]) && line[i] != '#') {
                if (line[i] == '"') throw SyntaxError("a \" inside a word; texts start with \" after a blank");
                ++i;
            }
            token.text = line.substr(start, i - start);
        }
        tokens.push_back(std::move(token));
    }
    return tokens;
}

uint32_t ParseNumber(std::string_view text, std::string_view what, uint32_t max) {
    int base = 10;
    std::string_view digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    uint64_t value = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (digits.empty() || error == std::errc::invalid_argument || end != digits.data() + digits.size())
        throw SyntaxError(std::string(what) + ": " + Quote(text) + " is not a number (decimal or 0x hex)");
    if (error == std::errc::result_out_of_range || value > max)
        throw SyntaxError(std::string(what) + ": " + Quote(text) + " is out of range (at most " +
                          std::to_string(max) + ")");
    return static_cast<uint32_t>(value);
}

uint8_t ParseHexPair(std::string_view text) {
    if (text.size() != 2 || !IsHexDigit(text[0]) || !IsHexDigit(text[1]))
        throw SyntaxError("bad byte " + Quote(text) + ": bytes are pairs of hex digits such as 0F");
    uint8_t value = 0;
    std::from_chars(text.data(), text.data() + 2, value, 16);
    return value;
}

int64_t ParseDuration(std::string_view text) {
    size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
    std::string_view unit = text.substr(digits);
    if (digits == 0) throw SyntaxError("bad duration " + Quote(text) + ": expected a number and a unit, e.g. 5ms");
    int64_t scale = 0;
    if (unit == "us") scale = 10;
    else if (unit == "ms") scale = 10000;
    else if (unit == "s") scale = 10000000;
    else if (unit.empty()) throw SyntaxError("duration " + Quote(text) + " has no unit (us, ms or s)");
    else throw SyntaxError("duration " + Quote(text) + ": unknown unit " + Quote(unit) + " (us, ms or s)");
    uint32_t count = ParseNumber(text.substr(0, digits), "duration");
    return int64_t(count) * scale;
}

bool IsName(std::string_view text) {
    if (text.empty()) return false;
    auto letter = [](char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; };
    if (!letter(text[0])) return false;
    for (char c : text)
        if (!letter(c) && !std::isdigit(static_cast<unsigned char>(c)) && c != '-') return false;
    return true;
}

}  // namespace scenario
