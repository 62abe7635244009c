// Pending transfers: the cancel-safe queue of each pipe, closing pipes, and completing what
// the bus ends.
#include <algorithm>
#include <cstring>

#include "sim/bus_state.h"

namespace sim::bus {
namespace {

bool IsTransfer(const URB* urb) {
    return urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
           urb->UrbHeader.Length >= sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
}

bool IsDescriptorRead(const URB* urb) {
    return urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
           urb->UrbHeader.Length >= sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
}

UrbRecord Describe(Port& port, const URB* urb, const Pipe* pipe, bool withData) {
    UrbRecord r{};
    r.time = host::Now();
    r.pdo = port.pdo;
    if (!urb) return r;
    r.function = urb->UrbHeader.Function;
    r.usbdStatus = urb->UrbHeader.Status;
    if (pipe) {
        r.endpoint = pipe->endpoint.address;
        r.in = pipe->In();
    }
    const void* buffer = nullptr;
    if (IsTransfer(urb)) {
        r.length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        buffer = urb->UrbBulkOrInterruptTransfer.TransferBuffer;
    } else if (IsDescriptorRead(urb)) {
        r.in = true;
        r.length = urb->UrbControlDescriptorRequest.TransferBufferLength;
        buffer = urb->UrbControlDescriptorRequest.TransferBuffer;
    }
    if (withData && buffer) {
        auto bytes = static_cast<const uint8_t*>(buffer);
        r.data.assign(bytes, bytes + r.length);
    }
    return r;
}

void Append(Port& port, UrbRecord record) {
    std::lock_guard guard(port.bus->logMutex);
    port.bus->log.push_back(std::move(record));
}

VOID NTAPI CancelTransfer(PDEVICE_OBJECT pdo, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Port& port = *PortOf(pdo);
    PipePtr pipe;
    {
        Locked locked(port.bus);
        pipe = PipeOfTransfer(port, irp);
        if (pipe) std::erase_if(pipe->pending, [irp](const Transfer& t) { return t.irp == irp; });
        port.look = true;  // the transfer behind it may be served now
    }
    if (pipe) EndTransfer(port, pipe.get(), irp, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    WakeFrames(port.bus);
}

}  // namespace

void LogSubmission(Port& port, const URB* urb, const Pipe* pipe, bool withData) {
    UrbRecord r = Describe(port, urb, pipe, withData && pipe && !pipe->In());
    r.event = UrbRecord::Event::Submitted;
    r.status = STATUS_PENDING;
    Append(port, std::move(r));
}

void LogCompletion(Port& port, const URB* urb, const Pipe* pipe, NTSTATUS status, bool withData) {
    bool in = pipe ? pipe->In() : urb && IsDescriptorRead(urb);
    UrbRecord r = Describe(port, urb, pipe, withData && in);
    r.event = UrbRecord::Event::Completed;
    r.status = status;
    Append(port, std::move(r));
}

bool Enqueue(Pipe& pipe, Transfer transfer, bool front) {
    PIRP irp = transfer.irp;
    IoSetCancelRoutine(irp, CancelTransfer);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) return false;
    // Cancelled after all: the cancel routine runs and finds it here.
    if (front)
        pipe.pending.push_front(transfer);
    else
        pipe.pending.push_back(transfer);
    return true;
}

void TakeAll(const PipePtr& pipe, NTSTATUS status, USBD_STATUS usbd, Endings* out) {
    std::deque<Transfer> left;
    for (const Transfer& t : pipe->pending) {
        if (IoSetCancelRoutine(t.irp, nullptr))
            out->push_back({t.irp, status, usbd, pipe});
        else
            left.push_back(t);  // its cancel routine is on its way and will end it
    }
    pipe->pending = std::move(left);
}

void Retire(Port& port, const PipePtr& pipe, NTSTATUS status, USBD_STATUS usbd, Endings* out) {
    for (PIRP irp : pipe->heldIn) out->push_back({irp, status, usbd, pipe});
    pipe->heldIn.clear();
    pipe->closed = true;
    pipe->endStatus = status;
    pipe->endUsbd = usbd;
    TakeAll(pipe, status, usbd, out);
    std::erase_if(port.retired, [](const PipePtr& p) { return p->pending.empty(); });
    if (!pipe->pending.empty()) port.retired.push_back(pipe);
}

PipePtr FindPipe(Port& port, USBD_PIPE_HANDLE handle) {
    for (const PipePtr& p : port.pipes)
        if (reinterpret_cast<USBD_PIPE_HANDLE>(p->handle) == handle) return p;
    return nullptr;
}

PipePtr PipeOfTransfer(Port& port, PIRP irp) {
    auto holds = [irp](const PipePtr& p) {
        return std::any_of(p->pending.begin(), p->pending.end(), [irp](const Transfer& t) { return t.irp == irp; });
    };
    for (const auto* list : {&port.pipes, &port.retired})
        for (const PipePtr& p : *list)
            if (holds(p)) return p;
    return nullptr;
}

NTSTATUS CompleteUrb(Port& port, PIRP irp, NTSTATUS status, USBD_STATUS usbd, const Pipe* pipe) {
    PURB urb = UrbOf(irp);
    if (urb) {
        urb->UrbHeader.Status = usbd;
        LogCompletion(port, urb, pipe, status, NT_SUCCESS(status));
    }
    return CompleteIrp(irp, status);
}

void EndTransfer(Port& port, const Pipe* pipe, PIRP irp, NTSTATUS status, USBD_STATUS usbd) {
    if (!NT_SUCCESS(status)) UrbOf(irp)->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    // As a host controller's completion would.
    KIRQL irql = KeGetCurrentIrql();
    if (irql < DISPATCH_LEVEL) KfRaiseIrql(DISPATCH_LEVEL);
    CompleteUrb(port, irp, status, usbd, pipe);
    if (irql < DISPATCH_LEVEL) KfLowerIrql(irql);
}

void ReleaseHeldIn(Port& port, const PipePtr& pipe) {
    Endings endings;
    {
        Locked locked(port.bus);
        for (PIRP irp : pipe->heldIn) {
            if (pipe->closed)
                endings.push_back({irp, pipe->endStatus, pipe->endUsbd, pipe});
            else if (!Enqueue(*pipe, {irp, 0}))
                endings.push_back({irp, STATUS_CANCELLED, USBD_STATUS_CANCELED, pipe});
        }
        pipe->heldIn.clear();
        port.look = true;
    }
    EndAll(port, endings);
    WakeFrames(port.bus);
}

void EndAll(Port& port, const Endings& endings) {
    for (const Ending& e : endings) EndTransfer(port, e.pipe.get(), e.irp, e.status, e.usbd);
}

}  // namespace sim::bus
