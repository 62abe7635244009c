// Request allocation and the request tracker: every IRP has a record in a side table that
// outlives IoFreeIrp while a call or completion frame still holds it.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "io_internal.h"

namespace host::detail::iom {
namespace {

struct Requests {
    std::unordered_map<const IRP*, TrackerPtr> live;
    uint64_t nextSerial = 0;
};

Requests& Table() {
    static Requests table;
    return table;
}

const char* OriginName(Origin origin) {
    switch (origin) {
    case Origin::Allocated: return "IoAllocateIrp";
    case Origin::Built: return "IoBuildDeviceIoControlRequest";
    case Origin::Request: return "I/O manager";
    }
    return "?";
}

}  // namespace

std::string DescribeIrp(const Tracker& t) {
    PIRP irp = t.irp;
    int location = std::min<int>(irp->CurrentLocation, irp->StackCount);
    std::string text = "IRP " + PointerText(irp) + " #" + std::to_string(t.serial) + " (" +
                       OriginName(t.origin) + ") " + StateName(t.state);
    if (location >= 1) {
        PIO_STACK_LOCATION sl = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (location - 1);
        text += " major " + Hex(sl->MajorFunction) + " minor " + Hex(sl->MinorFunction);
    }
    return text;
}

std::mutex& Lock() {
    static std::mutex lock;
    return lock;
}

const char* StateName(State state) {
    switch (state) {
    case State::Allocated: return "allocated";
    case State::Sent: return "sent to a driver";
    case State::Completing: return "completing";
    case State::Held: return "held by a completion routine";
    case State::Returned: return "back with its allocator";
    }
    return "?";
}

void Report(const Findings& findings) {
    for (const Finding& f : findings) Violate(f.rule, f.detail);
}

TrackerPtr NewIrp(CCHAR stackSize, Origin origin) {
    int count = std::max<int>(stackSize, 0);
    size_t size = sizeof(IRP) + count * sizeof(IO_STACK_LOCATION);
    auto irp = static_cast<PIRP>(std::calloc(1, size));
    irp->Type = 6;  // IO_TYPE_IRP
    irp->Size = static_cast<USHORT>(size);
    irp->StackCount = static_cast<CHAR>(count);
    irp->CurrentLocation = static_cast<CHAR>(count + 1);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + count;

    auto t = std::make_shared<Tracker>();
    t->irp = irp;
    t->origin = origin;
    t->epochOf.assign(count + 2, 0);
    std::lock_guard guard(Lock());
    t->serial = ++Table().nextSerial;
    Table().live[irp] = t;
    return t;
}

TrackerPtr FindIrpLocked(const IRP* irp) {
    auto it = Table().live.find(irp);
    return it == Table().live.end() ? nullptr : it->second;
}

TrackerPtr FindIrp(const IRP* irp) {
    std::lock_guard guard(Lock());
    return FindIrpLocked(irp);
}

void UntrackIrp(const IRP* irp) {
    std::lock_guard guard(Lock());
    Table().live.erase(irp);
}

void FreeIrpMemory(PIRP irp) { std::free(irp); }

void ReleaseIrp(PIRP irp) {
    UntrackIrp(irp);
    FreeIrpMemory(irp);
}

namespace {

void Reset() {
    {
        std::lock_guard guard(Lock());
        Table().live.clear();
        Table().nextSerial = 0;
    }
    ResetDeferred();
    ResetDevices();
    ResetDrivers();
    ResetInterfaces();
    ResetCancel();
    ResetFiles();
}

std::string RequestLeaks() {
    std::lock_guard guard(Lock());
    std::vector<const Tracker*> live;
    for (const auto& [irp, t] : Table().live) live.push_back(t.get());
    std::sort(live.begin(), live.end(),
              [](const Tracker* a, const Tracker* b) { return a->serial < b->serial; });
    std::string report;
    for (const Tracker* t : live) report += "request not freed: " + DescribeIrp(*t) + "\n";
    return report;
}

std::string Leaks() {
    std::string files = FileLeaks();  // closing a handle completes its requests
    StopDeferred();
    return files + RequestLeaks() + DeviceLeaks() + DriverLeaks();
}

HOST_MODULE(ioModule, "io", Reset, Leaks);

}  // namespace
}  // namespace host::detail::iom

using namespace host::detail;
using namespace host::detail::iom;

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    if (ShouldFail(host::faults::Op::Irp)) return nullptr;
    return NewIrp(StackSize, Origin::Allocated)->irp;
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
    {
        std::unique_lock guard(Lock());
        TrackerPtr t = FindIrpLocked(Irp);
        if (!t) {
            guard.unlock();
            Violate(rules::kIrpFreedTwice, "IRP " + PointerText(Irp));
            return;
        }
        // Inside the allocator's own completion routine the state is already Returned.
        if (t->state != State::Allocated && t->state != State::Returned) {
            std::string detail = DescribeIrp(*t);
            guard.unlock();
            Violate(rules::kIrpFreedInUse, detail);
            return;
        }
        Table().live.erase(Irp);
    }
    FreeIrpMemory(Irp);
    NotifyStateChange();
}

VOID IoMarkIrpPending(PIRP Irp) {
    if (Irp->CurrentLocation < 1 || Irp->CurrentLocation > Irp->StackCount) return;
    IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
    if (ShouldFail(host::faults::Op::Irp)) return nullptr;
    ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
    // The direct methods have no MDLs here: their input is buffered, their output is the
    // caller's buffer itself.
    PVOID system = nullptr;
    ULONG systemLength = method == METHOD_BUFFERED ? std::max(InputBufferLength, OutputBufferLength)
                         : method == METHOD_NEITHER ? 0
                                                    : InputBufferLength;
    if (systemLength != 0) {
        system = ExAllocatePoolWithTag(NonPagedPool, systemLength, 'bSoI');
        if (!system) return nullptr;
        std::memset(system, 0, systemLength);
        if (InputBuffer && InputBufferLength) std::memcpy(system, InputBuffer, InputBufferLength);
    }

    TrackerPtr t = NewIrp(DeviceObject->StackSize, Origin::Built);
    PIRP irp = t->irp;
    irp->RequestorMode = KernelMode;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->UserBuffer = OutputBuffer;
    irp->AssociatedIrp.SystemBuffer = system;
    irp->Tail.Overlay.Thread = KeGetCurrentThread();
    {
        std::lock_guard guard(Lock());
        t->output = OutputBuffer;
        t->outputLength = OutputBufferLength;
        t->copyBack = method == METHOD_BUFFERED;
    }

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    if (method == METHOD_NEITHER) next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    return irp;
}

size_t host::io::LiveRequests() {
    std::lock_guard guard(Lock());
    return Table().live.size();
}

uint64_t host::io::RequestsMade() {
    std::lock_guard guard(Lock());
    return Table().nextSerial;
}
