// The two things pmc7r-sim does: run scenario files, and run its built-in demo.
#pragma once

#include <cstdio>

#include "tools/pmc7r_sim/executor.h"
#include "tools/pmc7r_sim/run_options.h"

namespace simtool {

// Exit status: 0 all held, 1 an expectation failed (or the run left something behind),
// 2 a malformed file or a scenario that names what does not exist.
int RunScenarios(const scenario::RunOptions& options, std::FILE* out);
int RunDemo(const scenario::RunOptions& options, std::FILE* out);
// One scenario on a fresh machine; explain prints the demo's displays, decoding and summary.
int RunOne(const scenario::Scenario& s, const scenario::RunOptions& options, size_t index, std::FILE* out,
           bool explain, Outcome* result);

}  // namespace simtool
