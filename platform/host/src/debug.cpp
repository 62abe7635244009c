// DbgPrint: formatted like the kernel's printf, captured for tests, echoed on request.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "format.h"
#include "internal.h"

namespace host::detail {
namespace {

// The platform sends at most this many bytes of one message.
constexpr size_t kMessageLimit = 512;

struct Captured {
    std::mutex lock;
    std::vector<std::string> lines;
};

Captured& Capture() {
    static Captured captured;
    return captured;
}

std::atomic<bool>& EchoFlag() {
    static std::atomic<bool> echo{[] {
        const char* env = std::getenv("PMC7R_DBGPRINT");
        return env != nullptr && std::strcmp(env, "1") == 0;
    }()};
    return echo;
}

void Reset() { debug::Clear(); }

std::string NoLeaks() { return ""; }

HOST_MODULE(debug_module, "debug output", Reset, NoLeaks);

}  // namespace
}  // namespace host::detail

namespace host::debug {

std::vector<std::string> Output() {
    std::lock_guard guard(detail::Capture().lock);
    return detail::Capture().lines;
}

void Clear() {
    std::lock_guard guard(detail::Capture().lock);
    detail::Capture().lines.clear();
}

void Echo(bool on) { detail::EchoFlag() = on; }

}  // namespace host::debug

ULONG DbgPrint(PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    std::string text = host::detail::FormatKernel(Format, &args);
    va_end(args);
    if (text.size() > host::detail::kMessageLimit) text.resize(host::detail::kMessageLimit);
    if (host::detail::EchoFlag()) std::fputs(text.c_str(), stderr);
    std::lock_guard guard(host::detail::Capture().lock);
    host::detail::Capture().lines.push_back(std::move(text));
    return STATUS_SUCCESS;
}
