// The bus's own records: its devices (ports), their open pipes with the transfers pending on
// them, and the routines the bus's files share. One spin lock guards every record; models and
// completions are called with it released.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/host/control.h"
#include "sim/config_parser.h"
#include "sim/usb_bus.h"

namespace sim {
namespace bus {
struct Port;
}

// Lets a model reach its port until the bus forgets the device.
struct KickLink {
    std::mutex mutex;
    bus::Port* port = nullptr;
};

namespace bus {

// The due time of a transfer the device never answers (UsbBus::Refusal::Hang).
inline constexpr int64_t kNever = INT64_MAX;

struct Transfer {
    PIRP irp;
    int64_t due;  // OUT: the frame boundary it completes at; kNever: it hangs
};

struct Pipe {
    uintptr_t handle;
    uint8_t interfaceNumber;
    EndpointInfo endpoint;
    std::deque<Transfer> pending;
    int64_t lastInFrame = -1;
    bool inFlight = false;  // the frame thread holds the head transfer while it asks the model
    bool closed = false;
    bool halted = false;  // a transaction failed on it: transfers fail until a reset
    NTSTATUS endStatus = STATUS_CANCELLED;  // what a transfer still held gets once closed
    USBD_STATUS endUsbd = USBD_STATUS_CANCELED;
    std::vector<PIRP> aborts;  // ABORT_PIPE requests waiting for the held transfer
    std::vector<PIRP> heldIn;  // transfers on their way until the next abort (HoldNextInAfterAbort)
    bool In() const { return (endpoint.address & USB_ENDPOINT_DIRECTION_MASK) != 0; }
};
using PipePtr = std::shared_ptr<Pipe>;

struct Port {
    UsbBus::State* bus;
    PDEVICE_OBJECT pdo;
    std::shared_ptr<DeviceModel> model;
    Descriptors descriptors;
    int number;  // 1-based port number
    std::u16string instancePath;
    std::u16string driverKey;
    bool plugged = true;
    NTSTATUS startFailure = STATUS_SUCCESS;  // what IRP_MN_START_DEVICE completes with
    uint16_t vendor = 0, product = 0, revision = 0;
    uint8_t deviceClass = 0, deviceSubClass = 0, deviceProtocol = 0;
    // Configuration
    uintptr_t configHandle = 0;  // 0 while unconfigured
    ConfigInfo config;
    std::vector<PipePtr> pipes;
    // Closed pipes that still hold a transfer whose cancel routine is on its way.
    std::vector<PipePtr> retired;
    // Power and timing
    DEVICE_POWER_STATE power = PowerDeviceD0;
    PIRP waitWake = nullptr;
    bool look = false;       // ask the model for IN data at the next frame
    int64_t eventAt = -1;    // the model's NextEvent, read by the frame thread
    bool holdNextIn = false; // HoldNextInAfterAbort
};
using PortPtr = std::shared_ptr<Port>;

// Transfers a routine took out of the queues, to complete once the lock is released.
struct Ending {
    PIRP irp;
    NTSTATUS status;
    USBD_STATUS usbd;
    PipePtr pipe;
};
using Endings = std::vector<Ending>;

}  // namespace bus

struct UsbBus::State {
    KSPIN_LOCK lock;
    KEVENT wake;  // the frame thread's: something may have become due
    bool stop = false;
    PDRIVER_OBJECT driver = nullptr;
    std::vector<bus::PortPtr> ports;
    int nextPort = 1;
    uintptr_t nextHandle = 0x5b000;
    int64_t lastFrame = -1;  // the last frame the thread looked at
    std::unique_ptr<host::Thread> thread;
    std::mutex logMutex;
    std::vector<UrbRecord> log;
    std::mutex refusalMutex;
    std::function<bool(uint64_t)> refusalPlan[size_t(UsbBus::Refusal::Count)];
    uint64_t refusalCalls[size_t(UsbBus::Refusal::Count)] = {};
};

namespace bus {

class Locked {
public:
    explicit Locked(UsbBus::State* s) : s_(s) { KeAcquireSpinLock(&s_->lock, &irql_); }
    ~Locked() { KeReleaseSpinLock(&s_->lock, irql_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    UsbBus::State* s_;
    KIRQL irql_;
};

Port* PortOf(PDEVICE_OBJECT pdo);
PURB UrbOf(PIRP irp);
uintptr_t NewHandle(UsbBus::State* s);  // lock held

// Logging
void LogSubmission(Port& port, const URB* urb, const Pipe* pipe, bool withData);
void LogCompletion(Port& port, const URB* urb, const Pipe* pipe, NTSTATUS status, bool withData);

// Queues (lock held unless said otherwise)
// Queues a transfer with its cancel routine; false when it was cancelled already (then the
// caller completes it).
bool Enqueue(Pipe& pipe, Transfer transfer, bool front = false);
// Takes every transfer whose cancel routine could still be cleared.
void TakeAll(const PipePtr& pipe, NTSTATUS status, USBD_STATUS usbd, Endings* out);
void Retire(Port& port, const PipePtr& pipe, NTSTATUS status, USBD_STATUS usbd, Endings* out);
// Closes the pipes that match, ending their transfers.
template <class Match>
void ClosePipes(Port& port, Match match, NTSTATUS status, USBD_STATUS usbd, Endings* out) {
    std::vector<PipePtr> kept;
    for (PipePtr& p : port.pipes) {
        if (match(*p))
            Retire(port, p, status, usbd, out);
        else
            kept.push_back(p);
    }
    port.pipes = std::move(kept);
}
PipePtr FindPipe(Port& port, USBD_PIPE_HANDLE handle);
PipePtr PipeOfTransfer(Port& port, PIRP irp);

// Lets the transfers held on their way reach the pipe, after an abort (lock released).
void ReleaseHeldIn(Port& port, const PipePtr& pipe);
// Completion (lock released): a transfer the bus ends, at DISPATCH_LEVEL.
void EndTransfer(Port& port, const Pipe* pipe, PIRP irp, NTSTATUS status, USBD_STATUS usbd);
void EndAll(Port& port, const Endings& endings);
// Closes every pipe, ending its transfers, and forgets the configuration (lock released).
void DropConfiguration(Port& port);
// Completes a request at the caller's IRQL with the URB status written.
NTSTATUS CompleteUrb(Port& port, PIRP irp, NTSTATUS status, USBD_STATUS usbd, const Pipe* pipe = nullptr);
NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
// Lets the frame thread look again.
void WakeFrames(UsbBus::State* s);

// Counts the call of a refusal site; true when its plan fails this one.
bool Refuses(UsbBus::State* s, UsbBus::Refusal kind);

// Dispatch
NTSTATUS DispatchUrb(Port& port, PIRP irp);
NTSTATUS DispatchPnp(Port& port, PIRP irp);
NTSTATUS DispatchPower(Port& port, PIRP irp);
// Takes the pending wait-wake request, if any (lock released), and completes one.
PIRP TakeWaitWake(Port& port);
void FinishWaitWake(PIRP irp, NTSTATUS status);
inline void CompleteWaitWake(Port& port, NTSTATUS status) { FinishWaitWake(TakeWaitWake(port), status); }

// The frame thread's body.
void RunFrames(UsbBus::State* s);

}  // namespace bus
}  // namespace sim
