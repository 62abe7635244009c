// Fault injection: per operation a plan that says which calls fail, counted from the
// moment the plan is set; pool plans per tag; and the devices whose calls are forced to pend.
#include <array>
#include <map>
#include <set>

#include "internal.h"

namespace host::detail {
namespace {

struct TagPlan {
    std::function<bool(uint64_t)> plan;
    uint64_t calls = 0;
};

struct Plans {
    std::mutex lock;
    std::array<std::function<bool(uint64_t)>, size_t(faults::Op::Count)> plan;
    std::array<uint64_t, size_t(faults::Op::Count)> calls{};
    std::map<ULONG, TagPlan> tags;
    std::vector<ULONG> tagOrder;
    std::set<PDEVICE_OBJECT> pending;
};

Plans& P() {
    static auto* p = new Plans;
    return *p;
}

thread_local int exemptDepth = 0;

HOST_MODULE(faultsModule, "faults", faults::Clear, [] { return std::string(); });

bool CountLocked(faults::Op op) {
    auto& plan = P().plan[size_t(op)];
    uint64_t call = ++P().calls[size_t(op)];
    return plan && plan(call);
}

}  // namespace

bool ShouldFail(faults::Op op) {
    if (exemptDepth) return false;
    std::lock_guard guard(P().lock);
    return CountLocked(op);
}

bool ShouldFailPool(ULONG tag) {
    if (exemptDepth) return false;
    std::lock_guard guard(P().lock);
    bool fail = CountLocked(faults::Op::Pool);
    auto [it, fresh] = P().tags.try_emplace(tag);
    if (fresh) P().tagOrder.push_back(tag);
    uint64_t call = ++it->second.calls;
    return (it->second.plan && it->second.plan(call)) || fail;
}

bool ForcedPending(PDEVICE_OBJECT device) {
    std::lock_guard guard(P().lock);
    return P().pending.count(device) != 0;
}

}  // namespace host::detail

namespace host::faults {

void Plan(Op op, std::function<bool(uint64_t call)> fail) {
    std::lock_guard guard(detail::P().lock);
    detail::P().plan[size_t(op)] = std::move(fail);
    detail::P().calls[size_t(op)] = 0;
}

void PlanPool(ULONG tag, std::function<bool(uint64_t call)> fail) {
    std::lock_guard guard(detail::P().lock);
    auto [it, fresh] = detail::P().tags.try_emplace(tag);
    if (fresh) detail::P().tagOrder.push_back(tag);
    it->second = {std::move(fail), 0};
}

uint64_t Calls(Op op) {
    std::lock_guard guard(detail::P().lock);
    return detail::P().calls[size_t(op)];
}

std::vector<TagCalls> PoolCalls() {
    std::lock_guard guard(detail::P().lock);
    std::vector<TagCalls> out;
    for (ULONG tag : detail::P().tagOrder) out.push_back({tag, detail::P().tags[tag].calls});
    return out;
}

void Clear() {
    std::lock_guard guard(detail::P().lock);
    for (auto& plan : detail::P().plan) plan = nullptr;
    detail::P().calls.fill(0);
    detail::P().tags.clear();
    detail::P().tagOrder.clear();
    detail::P().pending.clear();
}

Exempt::Exempt() { ++detail::exemptDepth; }
Exempt::~Exempt() { --detail::exemptDepth; }

void ForcePending(PDEVICE_OBJECT device, bool on) {
    std::lock_guard guard(detail::P().lock);
    if (on) {
        detail::P().pending.insert(device);
    } else {
        detail::P().pending.erase(device);
    }
}

}  // namespace host::faults
