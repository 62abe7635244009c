// pmc7r-sim sweep: the scenario rerun once for every call of every fault site (faults), or
// with a unit's removal, restart or the system's sleep injected after every request
// completion of a clean run (unplug, remove, restart, sleep). Each run is a forked child, so
// that a crash ends only that run; the table says how many runs ended clean, and each run
// that did not is given as the command that replays it alone.
#pragma once

#include <cstdio>

namespace simtool {

// argv: what follows `sweep`. Exit status 0 when every run was clean, 1 when one was not or
// the clean run itself failed, 2 on a bad command line or a malformed scenario.
int RunSweep(int argc, char** argv, std::FILE* out);

// `pmc7r-sim run FILE --fail SITE:K | --force-pending | --inject EVENT[:NAME]:K`: one case
// of a sweep in this process, after a clean run of the same file; prints its verdict.
int RunSweepCase(int argc, char** argv, std::FILE* out);

}  // namespace simtool
