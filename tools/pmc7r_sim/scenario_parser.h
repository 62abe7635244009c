// Turns scenario text into commands. Syntax is checked here, line by line; whether a named
// unit or handle exists is the executor's business.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "tools/pmc7r_sim/scenario.h"

namespace scenario {

// Stops at the first malformed line.
std::variant<Scenario, ParseError> ParseScenario(std::string_view text, const std::string& file);
std::variant<Scenario, ParseError> ParseScenarioFile(const std::string& path);

}  // namespace scenario
