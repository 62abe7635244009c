// PoCallDriver and PoStartNextPowerIrp. Per device object one system and one device
// set/query request is active at a time; another of the same kind is held until
// PoStartNextPowerIrp is called for the active one, as Windows XP does. Only
// PoStartNextPowerIrp releases the hold: the end of the active request does not, so a driver
// that forgets the call keeps the next request away from the device for good, as it would on
// Windows, and the session's report says which request waited.
#include <cstring>
#include <deque>
#include <map>
#include <optional>

#include "power_internal.h"

namespace host::detail::power {
namespace {

enum class Kind { System, Device };

struct Request {
    PIRP irp = nullptr;
    uint64_t serial = 0;
};

struct Held {
    Request request;
    PDEVICE_OBJECT device;
};

struct Gate {
    Request active;
    std::deque<Held> held;
};

struct Gates {
    std::mutex lock;
    std::map<std::pair<uint64_t, Kind>, Gate> gates;  // by device serial and kind
    std::map<uint64_t, Request> waitWake;             // by device serial
};

Gates& G() {
    static auto* g = new Gates;
    return *g;
}

thread_local PIRP t_permit = nullptr;
thread_local bool t_late = false;

std::optional<Kind> KindOf(const IO_STACK_LOCATION* sl) {
    if (sl->MajorFunction != IRP_MJ_POWER) return std::nullopt;
    if (sl->MinorFunction != IRP_MN_SET_POWER && sl->MinorFunction != IRP_MN_QUERY_POWER) return std::nullopt;
    // Read as a number: a driver may put any value there.
    ULONG type;
    std::memcpy(&type, &sl->Parameters.Power.Type, sizeof type);
    if (type == SystemPowerState) return Kind::System;
    if (type == DevicePowerState) return Kind::Device;
    return std::nullopt;
}

uint64_t IrpSerial(const IRP* irp) {
    iom::TrackerPtr t = iom::FindIrp(irp);
    return t ? t->serial : 0;
}

bool Live(const Request& r) { return r.irp && IrpSerial(r.irp) == r.serial; }

// True when the request may go to the device now; otherwise it waits in the device's gate.
bool Admit(PDEVICE_OBJECT device, Kind kind, PIRP irp) {
    Request request{irp, IrpSerial(irp)};
    std::lock_guard guard(G().lock);
    Gate& gate = G().gates[{DeviceSerial(device), kind}];
    if (!gate.active.irp) {
        gate.active = request;
        return true;
    }
    gate.held.push_back({request, device});
    return false;
}

// A device has one wait-wake request at a time, from its sending until it is finished.
bool ClaimWaitWake(PDEVICE_OBJECT device, PIRP irp) {
    uint64_t serial = DeviceSerial(device);
    Request earlier;
    {
        std::lock_guard guard(G().lock);
        earlier = G().waitWake[serial];
    }
    if (Live(earlier)) {
        Violate(rules::kSecondWaitWake,
                "IRP " + PointerText(irp) + " sent to device " + PointerText(device) + " while IRP " +
                    PointerText(earlier.irp) + " #" + std::to_string(earlier.serial) + " waits there");
        return false;
    }
    std::lock_guard guard(G().lock);
    G().waitWake[serial] = {irp, IrpSerial(irp)};
    return true;
}

// A request that cannot go down at once (held, or for a power-pagable device above
// PASSIVE_LEVEL) reaches its device later from a power-manager thread; its sender sees
// STATUS_PENDING.
NTSTATUS Deliver(PDEVICE_OBJECT device, PIRP irp, bool admitted) {
    bool defer = KeGetCurrentIrql() > PASSIVE_LEVEL && (device->Flags & DO_POWER_PAGABLE);
    if (admitted && !defer) return Send(device, irp);
    if (admitted) Post([device, irp] { Send(device, irp, true); });
    return STATUS_PENDING;
}

}  // namespace

NTSTATUS Send(PDEVICE_OBJECT device, PIRP irp, bool late) {
    t_permit = irp;
    t_late = late;
    return IofCallDriver(device, irp);
}

uint64_t DeviceSerial(const DEVICE_OBJECT* device) {
    std::lock_guard guard(iom::Lock());
    _DEVOBJ_EXTENSION* r = iom::DeviceRecordLocked(device);
    return r ? r->serial : 0;
}

void ResetGates() {
    std::lock_guard guard(G().lock);
    G().gates.clear();
    G().waitWake.clear();
}

std::string GateLeaks() {
    std::lock_guard guard(G().lock);
    std::string report;
    for (const auto& [key, gate] : G().gates) {
        for (const Held& h : gate.held)
            report += "power request #" + std::to_string(h.request.serial) + " held for device #" +
                      std::to_string(key.first) + ": PoStartNextPowerIrp never came for request #" +
                      std::to_string(gate.active.serial) + "\n";
    }
    return report;
}

namespace {

void Reset() {
    StopWorkers();
    ResetGates();
    ResetStates();
    ResetSystem();
}

std::string Leaks() {
    StopWorkers();
    return GateLeaks();
}

HOST_MODULE(powerModule, "power", Reset, Leaks);

}  // namespace
}  // namespace host::detail::power

namespace host::detail {

// The platform's own requests are sent to the top of a stack with IofCallDriver; a driver
// passing a power request on must use PoCallDriver.
bool PowerCallAllowed(PDEVICE_OBJECT device, PIRP irp, bool* forcePending) {
    bool late = std::exchange(power::t_late, false);
    if (std::exchange(power::t_permit, nullptr) == irp) {
        *forcePending = late;
        return true;
    }
    if (irp->CurrentLocation <= 1) return true;
    if (IoGetNextIrpStackLocation(irp)->MajorFunction != IRP_MJ_POWER) return true;
    iom::TrackerPtr t = iom::FindIrp(irp);
    if (t && t->origin == iom::Origin::Request && irp->CurrentLocation == irp->StackCount + 1) return true;
    Violate(rules::kPowerWithIoCallDriver,
            "IRP " + PointerText(irp) + " minor " + Hex(IoGetNextIrpStackLocation(irp)->MinorFunction) +
                " to device " + PointerText(device) + "; power requests go down with PoCallDriver");
    return false;
}

}  // namespace host::detail

using namespace host::detail;
using namespace host::detail::power;

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (Irp->CurrentLocation <= 1) return Send(DeviceObject, Irp);  // IofCallDriver reports it
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    if (next->MajorFunction == IRP_MJ_POWER && next->MinorFunction == IRP_MN_WAIT_WAKE) {
        if (!ClaimWaitWake(DeviceObject, Irp)) return STATUS_INTERNAL_ERROR;
        return Deliver(DeviceObject, Irp, true);
    }
    std::optional<Kind> kind = KindOf(next);
    return Deliver(DeviceObject, Irp, !kind || Admit(DeviceObject, *kind, Irp));
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    if (Irp->CurrentLocation < 1 || Irp->CurrentLocation > Irp->StackCount) return;
    PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(Irp);
    std::optional<Kind> kind = KindOf(sl);
    if (!kind) return;
    uint64_t device = DeviceSerial(sl->DeviceObject);
    uint64_t serial = IrpSerial(Irp);
    Held next{};
    {
        std::lock_guard guard(G().lock);
        auto it = G().gates.find({device, *kind});
        if (it == G().gates.end() || it->second.active.irp != Irp || it->second.active.serial != serial) return;
        Gate& gate = it->second;
        if (gate.held.empty()) {
            G().gates.erase(it);
            return;
        }
        next = gate.held.front();
        gate.held.pop_front();
        gate.active = next.request;
    }
    Post([next] { Send(next.device, next.request.irp, true); });
}
