// The scenario parser on any text: it must answer with a scenario or a line and a message,
// never crash, hang or read out of bounds, and its message shows every byte it quotes (no
// control byte cuts it short). A text that parses must parse the same way again.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "tools/pmc7r_sim/scenario_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto parsed = scenario::ParseScenario(text, "fuzz.pmc");
    if (auto* error = std::get_if<scenario::ParseError>(&parsed)) {
        if (error->line < 1 || error->message.empty()) std::abort();
        for (char c : error->message)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) std::abort();
        return 0;
    }
    const auto& s = std::get<scenario::Scenario>(parsed);
    auto again = scenario::ParseScenario(text, "fuzz.pmc");
    if (!std::holds_alternative<scenario::Scenario>(again) ||
        std::get<scenario::Scenario>(again).commands.size() != s.commands.size())
        std::abort();
    return 0;
}
