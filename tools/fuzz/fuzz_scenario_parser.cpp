// The scenario parser on any text: it must answer with a scenario or a line and a message,
// never crash, hang or read out of bounds. A text that parses must parse the same way again.
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
        return 0;
    }
    const auto& s = std::get<scenario::Scenario>(parsed);
    auto again = scenario::ParseScenario(text, "fuzz.pmc");
    if (!std::holds_alternative<scenario::Scenario>(again) ||
        std::get<scenario::Scenario>(again).commands.size() != s.commands.size())
        std::abort();
    return 0;
}
