// Requests from user mode on a unit's file handles, from the fuzzer: opens and closes of up
// to four handles interleaved with reads, writes and device controls of any code, lengths and
// buffer (none, a good one, one that runs into an inaccessible page, an unmapped or a
// kernel address), while the unit sends and virtual time runs. Every request is asynchronous;
// what is still pending at the end is cancelled and waited for.
// Input: the unit's device ID, then operations; an operation's first byte holds its kind
// (low 3 bits) and the handle it uses (bits 3-4):
//   0 open   1 close   2 read LEN BUF   3 write LEN BUF BYTE   4 control CODE IN OUT BUF BUF
//   5 time runs (ms)   6 the unit sends N bytes   7 cancel the oldest pending request
// LEN, IN and OUT are 16-bit (masked to 2 KB), BUF a buffer kind.
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <vector>

#include "driver/public/pmc7r.h"
#include "sim/app_model.h"
#include "tools/fuzz/fuzz_world.h"

namespace {

constexpr size_t kPage = 4096;
constexpr size_t kMaxLength = 2047;

// Two writable pages against an inaccessible one: a buffer placed at the end of the
// writable part faults where it is longer than claimed, as a bad user range does.
struct GuardedRegion {
    GuardedRegion() {
        base = static_cast<uint8_t*>(mmap(nullptr, 3 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (base == MAP_FAILED || mprotect(base + 2 * kPage, kPage, PROT_NONE) != 0) std::abort();
    }
    uint8_t* base;
    uint8_t* Guard() const { return base + 2 * kPage; }
};

GuardedRegion& Region() {
    static GuardedRegion region;
    return region;
}

struct Pending {
    host::files::Token token;
    std::vector<uint8_t> buffer, input;  // owned until the request ends
};

// A buffer of the kind the input picks, at least length bytes where it is good.
void* Buffer(uint8_t kind, size_t length, uint8_t offset, std::vector<uint8_t>* owned) {
    switch (kind % 6) {
    case 0: return nullptr;
    case 1:
    case 2:
        owned->assign(length ? length : 1, 0);
        return owned->data();
    case 3: return Region().Guard() - offset;  // runs into the guard page past offset bytes
    case 4: return Region().Guard();
    default: return reinterpret_cast<void*>(uintptr_t(0xFFFF800000001000ull));
    }
}

const ULONG kCodes[] = {IOCTL_UNIT_GET_DIRECT_CALLS, IOCTL_UNIT_OPEN_ALL, IOCTL_UNIT_CLOSE_ALL,
                        IOCTL_UNIT_WRITE_MASTER, IOCTL_UNIT_READ, IOCTL_UNIT_WRITE, IOCTL_UNIT_LIST};

ULONG Code(fuzz::Bytes& in) {
    uint8_t pick = in.U8();
    if (pick < 7 * 4) {
        // The client codes with every transfer method and access.
        ULONG code = kCodes[pick % 7];
        return (code & ~3u) | (pick / 7) | (ULONG(in.U8() & 3) << 14);
    }
    if (pick < 200) return CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900 + (pick & 0x1F), pick >> 5 & 3, FILE_ANY_ACCESS);
    return in.U32();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Initialize();
    Region();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Bytes in(data, size);
    uint8_t id = in.U8() & 7;
    fuzz::Machine machine;
    std::shared_ptr<sim::Pmc7rUnit> unit;
    sim::PnpNode* node = machine.PlugUnit(id, &unit);
    std::u16string link = node ? sim::Application::LinkOf(node->pdo) : u"";
    if (link.empty()) {
        machine.Unplug(node);
        return 0;
    }
    host::files::File* files[4] = {};
    std::deque<Pending> pending;
    int ops = 0;
    while (!in.Empty() && ops++ < 64) {
        uint8_t op = in.U8();
        host::files::File*& file = files[op >> 3 & 3];
        Pending p{};
        switch (op & 7) {
        case 0:
            if (!file) file = host::files::Open(link, UserMode);
            break;
        case 1:
            if (file) host::files::Close(file);
            file = nullptr;
            break;
        case 2: {
            size_t length = in.U16() & kMaxLength;
            uint8_t kind = in.U8();
            void* buffer = Buffer(kind, length, in.U8(), &p.buffer);
            if (!file) break;
            p.token = host::files::ReadAsync(file, buffer, ULONG(length));
            pending.push_back(std::move(p));
            break;
        }
        case 3: {
            size_t length = in.U16() & kMaxLength;
            uint8_t kind = in.U8();
            void* buffer = Buffer(kind, length, in.U8(), &p.buffer);
            uint8_t fill = in.U8();
            if (!p.buffer.empty()) p.buffer.assign(p.buffer.size(), fill);
            if (!file) break;
            p.token = host::files::WriteAsync(file, buffer, ULONG(length));
            pending.push_back(std::move(p));
            break;
        }
        case 4: {
            ULONG code = Code(in);
            size_t inLength = in.U16() & kMaxLength, outLength = in.U16() & kMaxLength;
            uint8_t inKind = in.U8(), outKind = in.U8(), offset = in.U8();
            void* inBuffer = Buffer(inKind, inLength, offset, &p.input);
            void* outBuffer = Buffer(outKind, outLength, offset, &p.buffer);
            if (!file) break;
            // Neither-buffered codes hand the input to the driver in place: it lives as long.
            p.token = host::files::DeviceIoControlAsync(file, code, inBuffer, ULONG(inLength), outBuffer,
                                                        ULONG(outLength));
            pending.push_back(std::move(p));
            break;
        }
        case 5: host::Advance(host::Ms(in.U8() % 50)); break;
        case 6: unit->Send(in.Take(in.U8() % 64 + 1)); break;
        case 7:
            for (Pending& q : pending)
                if (host::files::Cancel(q.token)) break;
            break;
        }
    }
    host::Advance(host::Ms(10));
    for (Pending& q : pending) host::files::Cancel(q.token);
    for (Pending& q : pending) host::files::Wait(q.token);
    for (host::files::File* file : files)
        if (file) host::files::Close(file);
    machine.Unplug(node);
    return 0;
}
