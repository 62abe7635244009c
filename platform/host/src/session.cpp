// Sessions: every part of the platform resets at a session's start and reports what is
// left at its end.
#include <algorithm>
#include <cstdio>
#include <cstring>
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

// Reports that release things (handles closed, workers joined) come first, whatever the
// link order: pool is counted after them, running threads last.
static int FinishRank(const Module* m) {
    if (std::strcmp(m->name, "scheduler") == 0) return 2;
    if (std::strcmp(m->name, "pool") == 0) return 1;
    return 0;
}

std::string Session::Finish() {
    finished = true;
    JoinEndedThreads();
    std::vector<const Module*> ordered = Modules();
    std::stable_sort(ordered.begin(), ordered.end(), [](const Module* a, const Module* b) {
        return FinishRank(a) < FinishRank(b);
    });
    std::string report;
    for (const Module* m : ordered) {
        std::string leaks = m->leaks ? m->leaks() : "";
        if (leaks.empty()) continue;
        report += leaks;
        if (report.back() != '\n') report += '\n';
    }
    return report;
}

}  // namespace host
