// `pmc7r-sim stress`: eight units, the MIDI client writing by ID and to the master and
// reading with changing capacities, a kernel client on the direct calls, applications with
// file handles, while units are unplugged and plugged in again, restarted, and the system
// sleeps and wakes; the invariants (stress_ledger.h) are checked on the way and at the end.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace simtool {

struct StressOptions {
    uint64_t seed = 1;
    int64_t duration = 10 * 10000000ll;  // virtual, 100 ns units
    bool verbose = false;                // every event of the controller on the timeline
};

// "30s", "5m", "500ms"; false when it is none of these.
bool ParseStressDuration(const std::string& text, int64_t* duration);
// False with a message on an unknown or malformed option.
bool ParseStressOptions(const std::vector<std::string>& arguments, StressOptions* options, std::string* error);
// Exit status 0 when every invariant held and nothing was left behind, 1 otherwise.
int RunStress(const StressOptions& options, std::FILE* out);

}  // namespace simtool
