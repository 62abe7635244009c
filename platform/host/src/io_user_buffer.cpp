// Touching a caller's buffer the way the I/O manager's exception handler would let it: the
// bytes go through a pipe, so the kernel (or qemu, which has no process_vm_readv) checks the
// range and a bad address comes back as EFAULT instead of a fault in the platform.
#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

#include "io_file.h"

namespace host::detail::iom {
namespace {

class Pipe {
public:
    Pipe() {
        if (pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) fds_[0] = fds_[1] = -1;
    }
    ~Pipe() {
        close(fds_[0]);
        close(fds_[1]);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    // One chunk, no larger than the pipe's atomic write, so a good range never blocks.
    bool Move(void* to, const void* from, size_t n) {
        bool ok = write(fds_[1], from, n) == static_cast<ssize_t>(n) &&
                  read(fds_[0], to, n) == static_cast<ssize_t>(n);
        if (!ok) Drain();
        return ok;
    }

private:
    void Drain() {
        char scratch[256];
        while (read(fds_[0], scratch, sizeof scratch) > 0) {
        }
    }
    int fds_[2];
};

std::mutex pipeLock;
constexpr size_t kChunk = 512;  // within PIPE_BUF everywhere
constexpr uintptr_t kPage = 4096;

// Calls touch(page address) for one byte in each page of [p, p + n).
template <typename Touch>
bool EachPage(const void* p, size_t n, Touch touch) {
    if (n == 0) return true;
    uintptr_t first = reinterpret_cast<uintptr_t>(p);
    uintptr_t last = first + n - 1;
    if (last < first) return false;  // wraps around the address space
    for (uintptr_t a = first; ; a = (a | (kPage - 1)) + 1) {
        if (!touch(reinterpret_cast<char*>(a))) return false;
        if ((a | (kPage - 1)) >= last) return true;
    }
}

}  // namespace

bool SafeCopy(void* to, const void* from, size_t n) {
    static Pipe pipe;
    std::lock_guard guard(pipeLock);
    auto* d = static_cast<char*>(to);
    auto* s = static_cast<const char*>(from);
    for (size_t done = 0; done < n;) {
        size_t chunk = std::min(kChunk, n - done);
        if (!pipe.Move(d + done, s + done, chunk)) return false;
        done += chunk;
    }
    return true;
}

bool ProbeForRead(const void* p, size_t n) {
    return EachPage(p, n, [](char* a) {
        char byte;
        return SafeCopy(&byte, a, 1);
    });
}

// Reads each page's byte and writes it back, as the platform's probe does.
bool ProbeForWrite(void* p, size_t n) {
    return EachPage(p, n, [](char* a) {
        char byte;
        return SafeCopy(&byte, a, 1) && SafeCopy(a, &byte, 1);
    });
}

}  // namespace host::detail::iom
