// `pmc7r-sim figures`: the output path's figures, measured on simulated units. Floods both
// ways (3000 bytes in and 3000 out per unit) with one unit, its status reports queued behind
// its input or ahead of it, one unit with 20000 bytes out, and eight units the client writes
// to in turn; then a small message on an idle wire. Printed with the bounds they are held to.
#pragma once

#include <cstdio>

namespace simtool {

// 0 when every figure holds (no byte lost, output at 95% of the wire's 3125 bytes/s or
// better, a small message out within 2 ms + 1 frame), 1 otherwise.
int RunFigures(std::FILE* out);

}  // namespace simtool
