// The verifier: a violated rule ends the run with a report (the host's bug check), or, in
// recording mode, is kept for a test to look at.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "kernel.h"

namespace host::detail {
namespace {

struct Verifier {
    std::atomic<bool> recording{false};
    std::mutex lock;
    std::vector<verifier::Violation> recorded;
};

Verifier& V() {
    static auto* v = new Verifier;
    return *v;
}

void Reset() {
    V().recording.store(false);
    std::lock_guard guard(V().lock);
    V().recorded.clear();
}

// A test that records violations and never looks at them would hide them.
std::string Leaks() {
    std::lock_guard guard(V().lock);
    std::string report;
    for (const auto& v : V().recorded) report += "violation not checked: " + v.rule + ": " + v.detail + "\n";
    return report;
}

HOST_MODULE(verifierModule, "verifier", Reset, Leaks);

}  // namespace

void Violate(const std::string& rule, const std::string& detail) {
    if (V().recording.load()) {
        std::lock_guard guard(V().lock);
        V().recorded.push_back({rule, detail});
        return;
    }
    std::string report = ThreadReportBestEffort();
    std::fprintf(stderr, "*** VERIFIER: %s: %s\n%s", rule.c_str(), detail.c_str(), report.c_str());
    std::fflush(stderr);
    std::abort();
}

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string PointerText(const void* p) {
    return p ? Hex(reinterpret_cast<uintptr_t>(p)) : "null";
}

}  // namespace host::detail

namespace host::verifier {

void Record(bool recording) { detail::V().recording.store(recording); }

std::vector<Violation> Take() {
    std::lock_guard guard(detail::V().lock);
    return std::exchange(detail::V().recorded, {});
}

bool Fired(const std::string& rule) {
    for (const Violation& v : Take()) {
        if (v.rule == rule) return true;
    }
    return false;
}

// The PnP manager's rules are checked in the simulation and reported the same way.
void Report(const std::string& rule, const std::string& detail) { detail::Violate(rule, detail); }

}  // namespace host::verifier
