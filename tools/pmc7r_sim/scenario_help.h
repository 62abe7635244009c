// The scenario commands as `pmc7r-sim --help` lists them, laid out from the parser's table.
#pragma once

#include <string>

namespace scenario {

// One entry per command form: its usage from column 2, what it does from column 30, each
// line within 80 columns.
std::string CommandsHelp();

}  // namespace scenario
