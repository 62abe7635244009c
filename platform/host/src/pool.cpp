// Pool: tagged blocks from the host heap, with the verifier's checks on type, IRQL, tag
// and double or foreign frees, and a leak report by tag at the session's end.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <deque>
#include <set>

#include <sys/mman.h>

#include "image_internal.h"
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

// A special-pool block, as Driver Verifier's default (Verify End) alignment places it: its own
// mapping of [guard page][data pages][guard page], the block at the highest aligned address
// that fits, the bytes before and after it filled with kSlackFill. An overrun past the page
// faults at once (the platform's bug check 0xCD), damage to the fill is found at free (0xC1),
// and a freed block stays inaccessible (0xCC).
struct SpecialBlock {
    uint8_t* mapping;
    size_t mappingSize;
    uint8_t* block;
    size_t size;
    ULONG tag;
    bool freed;
};

struct PoolState {
    std::mutex lock;
    std::map<const void*, Live> live;
    std::set<const void*> freed;  // addresses freed and not handed out again
    uint64_t serial = 0;
    host::pool::Special special = host::pool::Special::Images;
    std::map<uintptr_t, SpecialBlock> specials;  // by mapping address
    std::deque<uintptr_t> delayed;               // freed special blocks, oldest first
    size_t specialsMade = 0;
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

constexpr size_t kPage = 4096;
constexpr uint8_t kSlackFill = 0xA5;

bool IsSpecialBlock(PoolState& s, const void* p) {
    auto it = s.specials.upper_bound(uintptr_t(p));
    if (it == s.specials.begin()) return false;
    --it;
    return it->second.block == p;
}

// Caller holds the pool lock.
void* ObtainSpecial(PoolState& s, POOL_TYPE type, size_t size, ULONG tag) {
    size_t align = IsCacheAligned(type) ? kCacheLine : 8;
    size_t rounded = ((size ? size : 1) + align - 1) / align * align;
    size_t pages = (rounded + kPage - 1) / kPage;
    size_t mappingSize = (pages + 2) * kPage;
    host::detail::image::InstallFaultReporter();
    void* m = mmap(nullptr, mappingSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return nullptr;
    auto* mapping = static_cast<uint8_t*>(m);
    mprotect(mapping + kPage, pages * kPage, PROT_READ | PROT_WRITE);
    uint8_t* block = mapping + kPage + pages * kPage - rounded;
    std::memset(mapping + kPage, kSlackFill, pages * kPage);
    s.specials[uintptr_t(mapping)] = SpecialBlock{mapping, mappingSize, block, size, tag, false};
    ++s.specialsMade;
    return block;
}

// Checks the slack around a special block, then makes it inaccessible for a while. Caller
// holds the pool lock; returns what was found overwritten ("" when nothing).
std::string ReleaseSpecial(PoolState& s, const void* p) {
    auto it = std::prev(s.specials.upper_bound(uintptr_t(p)));
    SpecialBlock& b = it->second;
    std::string damage;
    for (uint8_t* q = b.mapping + kPage; q < b.block; ++q)
        if (*q != kSlackFill) {
            damage = std::to_string(b.block - q) + " byte(s) before the block overwritten";
            break;
        }
    for (uint8_t* q = b.block + b.size; q < b.mapping + b.mappingSize - kPage; ++q)
        if (*q != kSlackFill) {
            damage = "byte " + std::to_string(q - b.block) + " past the block's end overwritten";
            break;
        }
    mprotect(b.mapping, b.mappingSize, PROT_NONE);
    b.freed = true;
    s.delayed.push_back(it->first);
    if (s.delayed.size() > host::pool::kSpecialPoolDelay) {
        auto oldest = s.specials.find(s.delayed.front());
        s.delayed.pop_front();
        munmap(oldest->second.mapping, oldest->second.mappingSize);
        s.specials.erase(oldest);
    }
    return damage;
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
        Violate(twice ? rules::kPoolFreedTwice : rules::kPoolFreedForeign,
                "address " + PointerText(p));
        return;
    }
    Live block = it->second;
    if (expectedTag && *expectedTag != block.tag) {
        guard.unlock();
        Violate(rules::kPoolFreedWrongTag, BlockText(p, block.type, block.tag, block.size) +
                                                     ", freed as '" + pool::TagText(*expectedTag) + "'");
        return;
    }
    if (!IrqlAllows(block.type)) {
        guard.unlock();
        Violate(rules::kPagedPoolFreedAtDispatch, BlockText(p, block.type, block.tag, block.size) +
                                                          " at IRQL " + std::to_string(CurrentIrql()));
        return;
    }
    s.live.erase(it);
    s.freed.insert(p);
    if (IsSpecialBlock(s, p)) {
        std::string damage = ReleaseSpecial(s, p);
        guard.unlock();
        if (!damage.empty())
            Violate(rules::kSpecialPoolCorrupted, BlockText(p, block.type, block.tag, block.size) + ": " + damage);
        return;
    }
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
    for (uintptr_t m : s.delayed) {
        munmap(s.specials[m].mapping, s.specials[m].mappingSize);
        s.specials.erase(m);
    }
    s.delayed.clear();
    s.specialsMade = 0;
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

size_t SpecialBlocksMade() {
    detail::PoolState& s = detail::Pool();
    std::lock_guard guard(s.lock);
    return s.specialsMade;
}

void SetSpecial(Special mode) {
    detail::PoolState& s = detail::Pool();
    std::lock_guard guard(s.lock);
    s.special = mode;
}

}  // namespace host::pool

namespace host::detail::pool {

// For the fault reporter, without the lock: what the special pool knows of an address.
std::string SpecialPoolAt(uintptr_t address) {
    PoolState& s = Pool();
    auto it = s.specials.upper_bound(address);
    if (it == s.specials.begin()) return "";
    const SpecialBlock& b = std::prev(it)->second;
    if (address >= uintptr_t(b.mapping) + b.mappingSize) return "";
    std::string block = "'" + host::pool::TagText(b.tag) + "' block of " + std::to_string(b.size) +
                        " bytes at " + PointerText(b.block);
    if (b.freed) return "special pool: use after free of the " + block;
    if (address >= uintptr_t(b.block) + b.size)
        return "special pool: overrun, " + std::to_string(address - uintptr_t(b.block)) + " bytes past the start of the " + block;
    return "special pool: underrun, before the start of the " + block;
}

}  // namespace host::detail::pool

using namespace host::detail;

namespace {

PVOID Allocate(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag, void* caller) {
    if (PoolType < 0 || PoolType >= MaxPoolType || PoolType == DontUseThisType) {
        Violate(rules::kPoolInvalidType, "type " + std::to_string(PoolType));
        return nullptr;
    }
    if (!IrqlAllows(PoolType)) {
        Violate(rules::kPagedPoolAllocatedAtDispatch,
                std::string(TypeName(PoolType)) + " at IRQL " + std::to_string(CurrentIrql()));
        return nullptr;
    }
    if (ShouldFailPool(Tag)) return nullptr;
    PoolState& s = Pool();
    std::unique_lock guard(s.lock);
    bool special = s.special == host::pool::Special::All ||
                   (s.special == host::pool::Special::Images && host::detail::image::ImageAt(uintptr_t(caller)));
    void* p = nullptr;
    if (special) {
        p = ObtainSpecial(s, PoolType, NumberOfBytes, Tag);
    } else {
        guard.unlock();
        p = Obtain(PoolType, NumberOfBytes);
        guard.lock();
    }
    if (p == nullptr) return nullptr;
    std::memset(p, kFreshFill, NumberOfBytes);
    s.live[p] = Live{PoolType, Tag, NumberOfBytes, ++s.serial};
    s.freed.erase(p);
    return p;
}

}  // namespace

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return Allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return Allocate(PoolType, NumberOfBytes, 'None', __builtin_return_address(0));
}

VOID NTAPI ExFreePool(PVOID P) { Release(P, nullptr); }

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { Release(P, &Tag); }
