// Sessions: every part of the platform resets at a session's start and reports what is
// left at its end.
#include <cstdio>
#include <vector>

#include "kernel.h"

namespace host::detail {
namespace {

// Function-local: modules register from static initializers in other files.
std::vector<const Module*>& Modules() {
    static std::vector<const Module*> modules;
    return modules;
}

bool finished = false;

}  // namespace

void RegisterModule(const Module* module) { Modules().push_back(module); }

}  // namespace host::detail

namespace host {

using namespace detail;

Session::Session(const char* threadName) {
    for (const Module* m : Modules()) {
        if (m->reset) m->reset();
    }
    finished = false;
    StartSession(threadName);
    StartWatchdog();
}

Session::~Session() {
    if (!finished) {
        std::string leaks = Finish();
        if (!leaks.empty()) std::fprintf(stderr, "host session ended with:\n%s", leaks.c_str());
    }
    StopWatchdog();
    EndSession();
}

std::string Session::Finish() {
    finished = true;
    JoinEndedThreads();
    std::string report;
    for (const Module* m : Modules()) {
        std::string leaks = m->leaks ? m->leaks() : "";
        if (leaks.empty()) continue;
        report += leaks;
        if (report.back() != '\n') report += '\n';
    }
    return report;
}

}  // namespace host
