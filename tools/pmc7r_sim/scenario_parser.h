// Turns scenario text into commands. Syntax is checked here, line by line; whether a named
// unit or handle exists is the executor's business.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tools/pmc7r_sim/scenario.h"

namespace scenario {

// Stops at the first malformed line.
std::variant<Scenario, ParseError> ParseScenario(std::string_view text, const std::string& file);
std::variant<Scenario, ParseError> ParseScenarioFile(const std::string& path);

// One form of a command as the help shows it: its usage, and a line or two on what it does
// (may be empty).
struct CommandForm {
    const char* usage;
    const char* description;
};
// Every form the parser knows, in the help's order.
std::vector<CommandForm> CommandForms();

}  // namespace scenario
