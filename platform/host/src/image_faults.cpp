// Faults while a native image is loaded: a bad access or instruction is reported by where
// it happened inside the image (image+offset, routine+offset), or, when it happened in a
// host routine the image called (memcpy on a special-pool block), by the image's most
// recent return address on the stack; with what the special pool knows of the address.
// Then the process dies, as the platform stops with a bug check.
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

#include "image_internal.h"

namespace host::detail::pool {
std::string SpecialPoolAt(uintptr_t address);
}

namespace host::detail::image {
namespace {

void Write(const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(2, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += size_t(n);
    }
}

// Whether the page holding the address is mapped, asked of the kernel (mincore fails with
// ENOMEM for an unmapped page) rather than by touching it.
uintptr_t pageSize = 4096;  // set when the reporter is installed, not in the handler

bool Readable(const void* address) {
    unsigned char resident = 0;
    void* start = reinterpret_cast<void*>(uintptr_t(address) & ~(pageSize - 1));
    return mincore(start, pageSize, &resident) == 0;
}

uintptr_t InstructionOf(void* context) {
#if defined(__i386__)
    return uintptr_t(static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_EIP]);
#else
    return uintptr_t(static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RIP]);
#endif
}

uintptr_t StackOf(void* context) {
#if defined(__i386__)
    return uintptr_t(static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_ESP]);
#else
    return uintptr_t(static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RSP]);
#endif
}

void Report(int signal, siginfo_t* info, void* context) {
    uintptr_t at = InstructionOf(context);
    uintptr_t address = uintptr_t(info->si_addr);
    std::string text = std::string("\n*** fault: ") + (signal == SIGSEGV ? "access violation" : signal == SIGILL ? "illegal instruction" : "bus error");
    char hex[32];
    snprintf(hex, sizeof hex, " at address 0x%lx", static_cast<unsigned long>(address));
    text += hex;
    std::string where = DescribeIn(ImageAt(at), at);
    if (!where.empty()) {
        text += "\n    in " + where;
    } else {
        // A host routine the image called: the nearest return address into an image. The
        // scan stops at the stack's end: a fault inside this handler, with the signal
        // blocked, would end the process before anything is written.
        auto* stack = reinterpret_cast<const uintptr_t*>(StackOf(context));
        for (int i = 0; i < 1024 && Readable(&stack[i]); ++i) {
            std::string caller = DescribeIn(ImageAt(stack[i]), stack[i]);
            if (!caller.empty()) {
                text += "\n    in a host routine called from " + caller;
                break;
            }
        }
    }
    std::string pool = host::detail::pool::SpecialPoolAt(address);
    if (!pool.empty()) text += "\n    " + pool;
    Write(text + "\n");
}

void OnFault(int signal, siginfo_t* info, void* context) {
    Report(signal, info, context);
    // Dies of the same signal: the default action runs when the instruction faults again.
    struct sigaction plain {};
    plain.sa_handler = SIG_DFL;
    sigaction(signal, &plain, nullptr);
}

}  // namespace

void InstallFaultReporter() {
    static std::once_flag once;
    std::call_once(once, [] {
        pageSize = uintptr_t(sysconf(_SC_PAGESIZE));
        struct sigaction action {};
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        for (int s : {SIGSEGV, SIGBUS, SIGILL}) sigaction(s, &action, nullptr);
    });
}

}  // namespace host::detail::image
