// The arguments of `pmc7r-sim run`.
#pragma once

#include <string>
#include <vector>

namespace scenario {

struct RunOptions {
    std::vector<std::string> files;
    std::string pcapPath;  // empty: no capture
    bool realTime = false;
    bool trace = false;
};

// False with a message on an unknown option, a --pcap without its file, or no file at all.
bool ParseRunOptions(const std::vector<std::string>& arguments, RunOptions* options, std::string* error);

}  // namespace scenario
