// Fault injection: per operation a plan that says which calls fail, counted from the
// moment the plan is set; and the devices whose calls are forced to pend.
#include <array>
#include <set>

#include "internal.h"

namespace host::detail {
namespace {

struct Plans {
    std::mutex lock;
    std::array<std::function<bool(uint64_t)>, size_t(faults::Op::Count)> plan;
    std::array<uint64_t, size_t(faults::Op::Count)> calls{};
    std::set<PDEVICE_OBJECT> pending;
};

Plans& P() {
    static auto* p = new Plans;
    return *p;
}

HOST_MODULE(faultsModule, "faults", faults::Clear, [] { return std::string(); });

}  // namespace

bool ShouldFail(faults::Op op) {
    std::lock_guard guard(P().lock);
    auto& plan = P().plan[size_t(op)];
    return plan && plan(++P().calls[size_t(op)]);
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

void Clear() {
    std::lock_guard guard(detail::P().lock);
    for (auto& plan : detail::P().plan) plan = nullptr;
    detail::P().calls.fill(0);
    detail::P().pending.clear();
}

void ForcePending(PDEVICE_OBJECT device, bool on) {
    std::lock_guard guard(detail::P().lock);
    if (on) {
        detail::P().pending.insert(device);
    } else {
        detail::P().pending.erase(device);
    }
}

}  // namespace host::faults
