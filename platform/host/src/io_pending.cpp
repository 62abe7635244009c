// The pending rules. A call's returned status and the pending mark completion finds in its
// stack location are known at different times and in either order; each call is checked
// once both are known. Calls into one location share an epoch until completion passes it
// (IoSkipCurrentIrpStackLocation); a call after that (a completion routine sending the
// request down again) starts a new epoch.
#include <algorithm>

#include "io_internal.h"

namespace host::detail::iom {
namespace {

void Check(const Tracker& t, int location, const Epoch& e, uint64_t frame, NTSTATUS status,
           Findings* out) {
    bool marked = e.marked;
    // Force pending marks the location itself and makes the forced call and every call
    // around it return STATUS_PENDING; calls nested inside it saw the real mark.
    if (e.deferredFrame != 0 && frame <= e.deferredFrame) {
        marked = true;
        if (frame == e.deferredFrame) status = STATUS_PENDING;
    }
    std::string detail = "IRP " + PointerText(t.irp) + " #" + std::to_string(t.serial) +
                         " stack location " + std::to_string(location) + " returned " + Hex(static_cast<ULONG>(status));
    if (status == STATUS_PENDING && !marked)
        out->push_back({rules::kPendingWithoutMark, detail});
    else if (status != STATUS_PENDING && marked)
        out->push_back({rules::kMarkWithoutPending, detail});
}

}  // namespace

FrameRef BeginFrame(Tracker& t, int location, bool forced) {
    t.state = State::Sent;
    uint32_t& current = t.epochOf[location];
    auto it = t.epochs.find({location, current});
    if (it == t.epochs.end() || it->second.passed) {
        ++current;
        it = t.epochs.emplace(std::make_pair(location, current), Epoch{}).first;
    }
    uint64_t id = ++t.nextFrame;
    it->second.open.push_back({id, forced});
    return {location, current, id};
}

bool EndFrame(Tracker& t, const FrameRef& frame, NTSTATUS status, Findings* out) {
    auto it = t.epochs.find({frame.location, frame.epoch});
    if (it == t.epochs.end()) return false;
    Epoch& e = it->second;
    std::erase_if(e.open, [&](const Frame& f) { return f.id == frame.id; });
    bool deferred = e.deferredFrame == frame.id;
    if (e.passed)
        Check(t, frame.location, e, frame.id, status, out);
    else
        e.returned.push_back({frame.id, status});
    if (e.passed && e.open.empty()) t.epochs.erase(it);
    return deferred;
}

bool PassLocation(Tracker& t, int location, bool marked, Findings* out) {
    auto it = t.epochs.find({location, t.epochOf[location]});
    if (it == t.epochs.end() || it->second.passed) return false;
    Epoch& e = it->second;
    e.passed = true;
    e.marked = marked;
    for (const Frame& f : e.open) {
        if (f.forced) {
            e.deferredFrame = f.id;  // the outermost forced call still running
            break;
        }
    }
    for (const auto& [frame, status] : e.returned) Check(t, location, e, frame, status, out);
    e.returned.clear();
    bool defer = e.deferredFrame != 0;
    if (e.open.empty()) t.epochs.erase(it);
    return defer;
}

}  // namespace host::detail::iom
