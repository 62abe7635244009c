// Pool: tagged blocks from the host heap, with the verifier's checks on type, IRQL, tag
// and double or foreign frees, and a leak report by tag at the session's end.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "internal.h"

namespace host::detail {
namespace {

// Fresh pool is not zeroed on the platform; freed pool is scribbled over. Both patterns
// make a reader of stale or uninitialised memory see recognisable garbage.
constexpr int kFreshFill = 0xCD;
constexpr int kFreedFill = 0xDD;
constexpr size_t kCacheLine = 64;

struct Live {
    POOL_TYPE type;
    ULONG tag;
    size_t size;
    uint64_t serial;
};

struct PoolState {
    std::mutex lock;
    std::map<const void*, Live> live;
    std::set<const void*> freed;  // addresses freed and not handed out again
    uint64_t serial = 0;
};

PoolState& Pool() {
    static PoolState state;
    return state;
}

bool IsPaged(POOL_TYPE type) { return type == PagedPool || type == PagedPoolCacheAligned; }

bool IsCacheAligned(POOL_TYPE type) {
    return type == NonPagedPoolCacheAligned || type == PagedPoolCacheAligned ||
           type == NonPagedPoolCacheAlignedMustS;
}

const char* TypeName(POOL_TYPE type) {
    static const char* const kNames[] = {"NonPagedPool",
                                         "PagedPool",
                                         "NonPagedPoolMustSucceed",
                                         "DontUseThisType",
                                         "NonPagedPoolCacheAligned",
                                         "PagedPoolCacheAligned",
                                         "NonPagedPoolCacheAlignedMustS"};
    return type >= 0 && type < MaxPoolType ? kNames[type] : "invalid pool type";
}

// Paged pool may fault, so it is off limits at DISPATCH_LEVEL; above DISPATCH_LEVEL no
// pool is.
bool IrqlAllows(POOL_TYPE type) {
    KIRQL irql = CurrentIrql();
    return irql < DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && !IsPaged(type));
}

std::string BlockText(const void* p, POOL_TYPE type, ULONG tag, size_t size) {
    return "'" + pool::TagText(tag) + "' " + TypeName(type) + " " + std::to_string(size) +
           " bytes at " + PointerText(p);
}

void* Obtain(POOL_TYPE type, size_t size) {
    size_t bytes = size ? size : 1;
    if (!IsCacheAligned(type)) return std::malloc(bytes);
    void* p = nullptr;
    return posix_memalign(&p, kCacheLine, bytes) == 0 ? p : nullptr;
}

void Release(PVOID p, const ULONG* expectedTag) {
    PoolState& s = Pool();
    std::unique_lock guard(s.lock);
    auto it = s.live.find(p);
    if (it == s.live.end()) {
        bool twice = s.freed.count(p) != 0;
        guard.unlock();
        Violate(twice ? "pool freed twice" : "pool freed with a pointer the pool never gave",
                "address " + PointerText(p));
        return;
    }
    Live block = it->second;
    if (expectedTag && *expectedTag != block.tag) {
        guard.unlock();
        Violate("pool freed with the wrong tag", BlockText(p, block.type, block.tag, block.size) +
                                                     ", freed as '" + pool::TagText(*expectedTag) + "'");
        return;
    }
    if (!IrqlAllows(block.type)) {
        guard.unlock();
        Violate("paged pool freed at DISPATCH_LEVEL", BlockText(p, block.type, block.tag, block.size) +
                                                          " at IRQL " + std::to_string(CurrentIrql()));
        return;
    }
    s.live.erase(it);
    s.freed.insert(p);
    guard.unlock();
    // The address stays out of the host heap until here, so no allocation can reuse it
    // before its record is gone.
    std::memset(p, kFreedFill, block.size);
    std::free(p);
}

// Blocks left over from an unfinished session are forgotten, not freed: other parts of the
// platform may still hold them while they reset.
void Reset() {
    PoolState& s = Pool();
    std::lock_guard guard(s.lock);
    s.live.clear();
    s.freed.clear();
    s.serial = 0;
}

std::string Leaks() {
    std::vector<pool::Block> left = pool::Outstanding();
    if (left.empty()) return "";
    std::string report = "pool: " + std::to_string(left.size()) + " block(s) left\n";
    for (const pool::Block& b : left) report += "  " + BlockText(b.address, b.type, b.tag, b.size) + "\n";
    return report;
}

HOST_MODULE(pool_module, "pool", Reset, Leaks);

}  // namespace
}  // namespace host::detail

namespace host::pool {

std::vector<Block> Outstanding() {
    detail::PoolState& s = detail::Pool();
    std::lock_guard guard(s.lock);
    std::vector<std::pair<uint64_t, Block>> bySerial;
    for (const auto& [address, live] : s.live) {
        bySerial.push_back({live.serial, Block{address, live.type, live.tag, live.size}});
    }
    std::sort(bySerial.begin(), bySerial.end(), [](auto& a, auto& b) { return a.first < b.first; });
    std::vector<Block> blocks;
    for (auto& entry : bySerial) blocks.push_back(entry.second);
    return blocks;
}

uint64_t Allocations() {
    detail::PoolState& s = detail::Pool();
    std::lock_guard guard(s.lock);
    return s.serial;
}

// Tags are written as multi-character literals, so the first character is the high byte.
std::string TagText(ULONG tag) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        char c = static_cast<char>((tag >> shift) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

}  // namespace host::pool

using namespace host::detail;

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    if (PoolType < 0 || PoolType >= MaxPoolType || PoolType == DontUseThisType) {
        Violate("pool allocated with an invalid type", "type " + std::to_string(PoolType));
        return nullptr;
    }
    if (!IrqlAllows(PoolType)) {
        Violate("paged pool allocated at DISPATCH_LEVEL",
                std::string(TypeName(PoolType)) + " at IRQL " + std::to_string(CurrentIrql()));
        return nullptr;
    }
    if (ShouldFail(host::faults::Op::Pool)) return nullptr;
    void* p = Obtain(PoolType, NumberOfBytes);
    if (p == nullptr) return nullptr;
    std::memset(p, kFreshFill, NumberOfBytes);
    PoolState& s = Pool();
    std::lock_guard guard(s.lock);
    s.live[p] = Live{PoolType, Tag, NumberOfBytes, ++s.serial};
    s.freed.erase(p);
    return p;
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 'None');
}

VOID NTAPI ExFreePool(PVOID P) { Release(P, nullptr); }

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { Release(P, &Tag); }
