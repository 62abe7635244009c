// The kernel handle table: registry keys and thread handles, closed by ZwClose.
#include <map>
#include <vector>

#include "internal.h"

namespace host::detail {
namespace {

struct Entry {
    HandleKind kind;
    void* object;
    std::function<void()> close;
    ACCESS_MASK access;
};

struct Table {
    std::mutex lock;
    std::map<uintptr_t, Entry> open;
    uint32_t issued = 0;
};

Table& Handles() {
    static Table table;
    return table;
}

// Kernel handles have the top bit of their 32-bit value set (sign-extended on 64-bit
// hosts), so a driver that truncates or compares them as small numbers is caught.
uintptr_t Encode(uint32_t serial) {
    return static_cast<uintptr_t>(static_cast<intptr_t>(static_cast<int32_t>(0x80000000u | (serial << 2))));
}

const char* KindName(HandleKind kind) {
    switch (kind) {
    case HandleKind::Key: return "Key";
    case HandleKind::Thread: return "Thread";
    }
    return "?";
}

// Handles left over from an unfinished session are dropped without running their close
// routines: the objects behind them went with that session.
void Reset() {
    Table& t = Handles();
    std::map<uintptr_t, Entry> dropped;
    std::lock_guard guard(t.lock);
    dropped.swap(t.open);
    t.issued = 0;
}

// Reports what is still open, then closes it so later modules see the objects released.
std::string Leaks() {
    std::string report;
    if (OpenHandles(&report) == 0) return "";
    std::map<uintptr_t, Entry> left;
    {
        std::lock_guard guard(Handles().lock);
        left.swap(Handles().open);
    }
    for (auto& [value, entry] : left) {
        if (entry.close) entry.close();
    }
    return report;
}

HOST_MODULE(handles_module, "handles", Reset, Leaks);

}  // namespace

HANDLE InsertHandle(HandleKind kind, void* object, std::function<void()> close, ACCESS_MASK access) {
    Table& t = Handles();
    std::lock_guard guard(t.lock);
    uintptr_t value = Encode(++t.issued);
    t.open.emplace(value, Entry{kind, object, std::move(close), access});
    return reinterpret_cast<HANDLE>(value);
}

bool LookupHandle(HANDLE h, HandleKind* kind, void** object, ACCESS_MASK* access) {
    Table& t = Handles();
    std::lock_guard guard(t.lock);
    auto it = t.open.find(reinterpret_cast<uintptr_t>(h));
    if (it == t.open.end()) return false;
    if (kind) *kind = it->second.kind;
    if (object) *object = it->second.object;
    if (access) *access = it->second.access;
    return true;
}

NTSTATUS CloseHandle(HANDLE h) {
    Entry entry;
    {
        Table& t = Handles();
        std::lock_guard guard(t.lock);
        auto it = t.open.find(reinterpret_cast<uintptr_t>(h));
        if (it == t.open.end()) return STATUS_INVALID_HANDLE;
        entry = std::move(it->second);
        t.open.erase(it);
    }
    // Outside the table's lock: closing may release objects that take other locks.
    if (entry.close) entry.close();
    return STATUS_SUCCESS;
}

size_t OpenHandles(std::string* report) {
    Table& t = Handles();
    std::lock_guard guard(t.lock);
    if (report && !t.open.empty()) {
        *report += "handles: " + std::to_string(t.open.size()) + " left open\n";
        for (HandleKind kind : {HandleKind::Key, HandleKind::Thread}) {
            for (const auto& [value, entry] : t.open) {
                if (entry.kind != kind) continue;
                *report += "  " + std::string(KindName(kind)) + " handle " +
                           Hex(static_cast<uint32_t>(value)) + " (access " + Hex(entry.access) + ")\n";
            }
        }
    }
    return t.open.size();
}

}  // namespace host::detail

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    NTSTATUS status = host::detail::CloseHandle(Handle);
    if (status == STATUS_INVALID_HANDLE) {
        host::detail::Violate(host::detail::rules::kCloseInvalidHandle,
                              "handle " + host::detail::PointerText(Handle));
    }
    return status;
}
