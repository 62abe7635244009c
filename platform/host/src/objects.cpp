// The object table: reference counts of devices, threads, file and driver objects. An
// object's destroy function runs when its count reaches 0, outside the table's lock.
#include <map>
#include <set>

#include "internal.h"

namespace host::detail {
namespace {

struct Entry {
    ObjectKind kind;
    LONG_PTR references;
    std::function<void()> destroy;
};

struct Table {
    std::mutex lock;
    std::map<const void*, Entry> live;
    std::set<const void*> destroyed;  // to tell "too often" from "never registered"
};

Table& Objects() {
    static auto* table = new Table;
    return *table;
}

std::string UnknownRule(const Table& t, const void* object) {
    return t.destroyed.count(object) ? rules::kObjectOverDereferenced : rules::kUnknownObject;
}

void Reset() {
    std::map<const void*, Entry> dropped;
    {
        std::lock_guard guard(Objects().lock);
        dropped.swap(Objects().live);
        Objects().destroyed.clear();
    }
    // Left over from an unfinished session: dropped without running their destroy functions.
}

// Devices, drivers, files and threads are reported by their owners; the rest here.
std::string Leaks() {
    std::string report;
    std::lock_guard guard(Objects().lock);
    for (const auto& [object, entry] : Objects().live) {
        if (entry.kind != ObjectKind::Other) continue;
        report += "object still referenced: " + PointerText(object) + " (" +
                  std::to_string(entry.references) + " references)\n";
    }
    return report;
}

HOST_MODULE(objectsModule, "objects", Reset, Leaks);

}  // namespace

void RegisterObject(const void* object, ObjectKind kind, std::function<void()> destroy) {
    std::lock_guard guard(Objects().lock);
    Objects().destroyed.erase(object);
    Objects().live[object] = Entry{kind, 1, std::move(destroy)};
}

bool IsObject(const void* object, ObjectKind* kind) {
    std::lock_guard guard(Objects().lock);
    auto it = Objects().live.find(object);
    if (it == Objects().live.end()) return false;
    if (kind) *kind = it->second.kind;
    return true;
}

namespace {

// The object's live entry, or the end after a report: the lock is dropped first, as the
// report may end the run.
std::map<const void*, Entry>::iterator LiveOrReport(Table& t, std::unique_lock<std::mutex>& lock,
                                                    const void* object, const char* routine) {
    auto it = t.live.find(object);
    if (it == t.live.end()) {
        std::string rule = UnknownRule(t, object);
        lock.unlock();
        Violate(rule, std::string(routine) + "(" + PointerText(object) + ")");
    }
    return it;
}

}  // namespace

LONG_PTR ReferenceObject(const void* object) {
    Table& t = Objects();
    std::unique_lock lock(t.lock);
    auto it = LiveOrReport(t, lock, object, "ObReferenceObject");
    return it == t.live.end() ? 0 : ++it->second.references;
}

LONG_PTR DereferenceObject(const void* object) {
    Table& t = Objects();
    std::unique_lock lock(t.lock);
    auto it = LiveOrReport(t, lock, object, "ObDereferenceObject");
    if (it == t.live.end()) return 0;
    LONG_PTR left = --it->second.references;
    if (left > 0) return left;
    std::function<void()> destroy = std::move(it->second.destroy);
    t.live.erase(it);
    t.destroyed.insert(object);
    lock.unlock();
    if (destroy) destroy();
    return 0;
}

}  // namespace host::detail

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) { return host::detail::ReferenceObject(Object); }

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) { return host::detail::DereferenceObject(Object); }
