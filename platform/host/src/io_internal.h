// The I/O manager's shared records: the request tracker, the device record behind
// DeviceObjectExtension, and the pieces each io_*.cpp file contributes to the session.
// One lock guards every table; nothing that can call a driver, the kernel or the executive
// runs with it held.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "internal.h"

struct _DEVOBJ_EXTENSION {
    CSHORT Type;
    USHORT Size;
    PDEVICE_OBJECT DeviceObject;
    // The platform's own facts about the device.
    uint64_t serial = 0;
    std::u16string name;
    std::u16string driverName;
    PDEVICE_OBJECT lower = nullptr;  // the device this one is attached to
    bool deleted = false;
    bool freed = false;              // the last reference went and the memory is gone
    std::u16string instancePath;
    std::u16string driverKey;
};

namespace host::detail::iom {

std::mutex& Lock();

// ---- Requests ----
enum class Origin { Allocated, Built, Request };
enum class State {
    Allocated,   // not sent yet
    Sent,        // inside a driver
    Completing,  // completion is walking up the stack
    Held,        // a completion routine below the top stopped completion
    Returned,    // completion reached the allocator, above every location
};

// One call of IofCallDriver into a stack location.
struct Frame {
    uint64_t id;
    bool forced;
};

// One dispatch of a stack location: the calls that share it (IoSkipCurrentIrpStackLocation
// makes several drivers use one location) and the pending mark completion found there.
struct Epoch {
    bool passed = false;
    bool marked = false;
    uint64_t deferredFrame = 0;  // the forced-pending call whose completion was deferred
    std::vector<Frame> open;
    std::vector<std::pair<uint64_t, NTSTATUS>> returned;  // statuses waiting for the mark
};

struct FrameRef {
    int location;
    uint32_t epoch;
    uint64_t id;
};

struct Tracker {
    PIRP irp = nullptr;
    uint64_t serial = 0;
    Origin origin = Origin::Allocated;
    State state = State::Allocated;
    std::function<void(PIRP)> done;
    // IoBuildDeviceIoControlRequest: where buffered output goes back to.
    PVOID output = nullptr;
    ULONG outputLength = 0;
    bool copyBack = false;
    uint64_t nextFrame = 0;
    std::vector<uint32_t> epochOf;  // current epoch of each location, 1-based
    std::map<std::pair<int, uint32_t>, Epoch> epochs;
};
using TrackerPtr = std::shared_ptr<Tracker>;

// Allocates a zeroed IRP with its stack locations and tracks it (no fault injection).
TrackerPtr NewIrp(CCHAR stackSize, Origin origin);
TrackerPtr FindIrp(const IRP* irp);  // locks
TrackerPtr FindIrpLocked(const IRP* irp);
// Frees a request the platform owns (built or I/O manager requests) at the end of completion;
// in two steps when its owner must still see it after it stopped counting as live.
void ReleaseIrp(PIRP irp);
void UntrackIrp(const IRP* irp);
void FreeIrpMemory(PIRP irp);
const char* StateName(State state);
std::string DescribeIrp(const Tracker& t);  // lock held

// Pending rules, per (request, location, epoch). Each returns the violations it found;
// the caller reports them after dropping the lock.
struct Finding {
    std::string rule;
    std::string detail;
};
using Findings = std::vector<Finding>;
void Report(const Findings& findings);
FrameRef BeginFrame(Tracker& t, int location, bool forced);              // lock held
bool EndFrame(Tracker& t, const FrameRef& frame, NTSTATUS status, Findings* out);  // lock held; true = deferred
bool PassLocation(Tracker& t, int location, bool marked, Findings* out);  // lock held; true = defer

// ---- Trace ----
// Reports a stack location a request is sent to (completion false) or completes, to the
// watcher set with host::io::SetTracer, if any.
void Trace(bool completion, PDEVICE_OBJECT device, PIO_STACK_LOCATION sl, NTSTATUS status);

// ---- Completion ----
// Continues completion of a request whose forced-pending call has returned.
void QueueDeferred(PIRP irp, TrackerPtr t);
void StopDeferred();
void ResetDeferred();

// ---- Devices and drivers ----
_DEVOBJ_EXTENSION* DeviceRecordLocked(const DEVICE_OBJECT* device);
void ResetDevices();
std::string DeviceLeaks();
void ResetDrivers();
std::string DriverLeaks();
void ResetInterfaces();
void ResetCancel();
// Devices attached to no lower device, not deleted, in creation order.
std::vector<PDEVICE_OBJECT> BottomDevices();
// A device by its name (\Device\...), while it is not deleted; null if none.
PDEVICE_OBJECT NamedDeviceLocked(const std::u16string& name);
// Files: left-over handles are reported (and closed when their device still stands) before
// the requests are counted.
void ResetFiles();
std::string FileLeaks();

}  // namespace host::detail::iom
