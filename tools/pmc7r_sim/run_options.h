// The arguments of `pmc7r-sim run`.
#pragma once

#include <string>
#include <vector>

namespace scenario {

struct RunOptions {
    std::vector<std::string> files;
    std::string pcapPath;  // empty: no capture
    std::string sysPath;   // empty: the linked-in driver; else the native image to run
    bool realTime = false;
    bool trace = false;
};

// False with a message on an unknown option, a --pcap or --sys without its file, or no file
// at all.
bool ParseRunOptions(const std::vector<std::string>& arguments, RunOptions* options, std::string* error);

}  // namespace scenario
