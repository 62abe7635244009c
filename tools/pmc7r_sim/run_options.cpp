#include "tools/pmc7r_sim/run_options.h"

namespace scenario {

bool ParseRunOptions(const std::vector<std::string>& arguments, RunOptions* options, std::string* error) {
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--pcap") {
            if (i + 1 == arguments.size()) {
                *error = "--pcap needs a file name";
                return false;
            }
            options->pcapPath = arguments[++i];
        } else if (argument.starts_with("--pcap=")) {
            options->pcapPath = argument.substr(7);
            if (options->pcapPath.empty()) {
                *error = "--pcap needs a file name";
                return false;
            }
        } else if (argument == "--sys" || argument.starts_with("--sys=")) {
            if (argument == "--sys" && i + 1 < arguments.size()) options->sysPath = arguments[++i];
            if (argument != "--sys") options->sysPath = argument.substr(6);
            if (options->sysPath.empty()) {
                *error = "--sys needs the driver image's file name";
                return false;
            }
        } else if (argument == "--realtime") {
            options->realTime = true;
        } else if (argument == "--trace") {
            options->trace = true;
        } else if (argument.starts_with("-")) {
            *error = "unknown option '" + argument + "'";
            return false;
        } else {
            options->files.push_back(argument);
        }
    }
    if (options->files.empty()) {
        *error = "no scenario file given";
        return false;
    }
    return true;
}

}  // namespace scenario
