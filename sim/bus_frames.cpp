// The frame thread: it sleeps until something can happen (an OUT transfer's frame, a kicked
// or pending IN pipe, a model's next event), then runs that frame: OUT transfers reach their
// models, IN pipes ask theirs for one packet each.
#include <algorithm>
#include <cstring>

#include "sim/bus_state.h"

namespace sim::bus {
namespace {

int64_t NextBoundary(int64_t time) { return (time / kFrame + 1) * kFrame; }
int64_t BoundaryAtOrAfter(int64_t time) { return (time + kFrame - 1) / kFrame * kFrame; }

bool HasPendingIn(const Port& port) {
    return std::any_of(port.pipes.begin(), port.pipes.end(),
                       [](const PipePtr& p) { return p->In() && (!p->pending.empty() || p->inFlight); });
}

// The ports as they are now, each holding its device object while the thread uses it.
std::vector<PortPtr> Snapshot(UsbBus::State* s) {
    Locked locked(s);
    for (const PortPtr& p : s->ports) ObReferenceObject(p->pdo);
    return s->ports;
}

void Release(const std::vector<PortPtr>& ports) {
    for (const PortPtr& p : ports) ObDereferenceObject(p->pdo);
}

// When the thread must look next: -1 when nothing can happen until someone signals it.
int64_t Plan(UsbBus::State* s) {
    std::vector<PortPtr> ports = Snapshot(s);
    int64_t next = -1;
    auto consider = [&next](int64_t t) { next = next < 0 ? t : std::min(next, t); };
    std::vector<PortPtr> asking;
    {
        Locked locked(s);
        int64_t after = s->lastFrame < 0 ? 0 : (s->lastFrame + 1) * kFrame;
        for (const PortPtr& port : ports) {
            if (port->power == PowerDeviceD0)
                for (const PipePtr& pipe : port->pipes)
                    if (!pipe->In())
                        for (const Transfer& t : pipe->pending) {
                            if (t.due == kNever) break;  // it holds the queue behind it
                            consider(std::max(t.due, after));
                        }
            bool listening = port->plugged && port->power == PowerDeviceD0 && HasPendingIn(*port);
            if (listening && port->look) consider(std::max(NextBoundary(host::Now()), after));
            if (listening) asking.push_back(port);
        }
    }
    for (const PortPtr& port : asking) {
        int64_t event = port->model->NextEvent();
        Locked locked(s);
        port->eventAt = event;
        if (event >= 0) consider(std::max(BoundaryAtOrAfter(event), (s->lastFrame + 1) * kFrame));
    }
    Release(ports);
    return next;
}

// A transfer queued before its port was suspended waits there: a suspended port carries no
// traffic (USB 2.0, 11.9) and the device keeps its state until it resumes.
void RunOut(UsbBus::State* s, const std::vector<PortPtr>& ports, int64_t now) {
    for (const PortPtr& port : ports) {
        Endings due;
        {
            Locked locked(s);
            if (port->power != PowerDeviceD0) continue;
            for (const PipePtr& pipe : port->pipes) {
                if (pipe->In()) continue;
                std::deque<Transfer> left;
                bool held = false;  // behind a transfer that hangs
                for (const Transfer& t : pipe->pending) {
                    held = held || t.due == kNever;
                    if (!held && t.due <= now && IoSetCancelRoutine(t.irp, nullptr))
                        due.push_back({t.irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS, pipe});
                    else
                        left.push_back(t);
                }
                pipe->pending = std::move(left);
            }
        }
        for (const Ending& e : due) {
            const _URB_BULK_OR_INTERRUPT_TRANSFER& t = UrbOf(e.irp)->UrbBulkOrInterruptTransfer;
            port->model->Out(e.pipe->endpoint.address, static_cast<const uint8_t*>(t.TransferBuffer),
                             t.TransferBufferLength);
            EndTransfer(*port, e.pipe.get(), e.irp, e.status, e.usbd);
        }
    }
}

// Takes the head transfer of every IN pipe that may get a packet in this frame (lock held).
std::vector<PipePtr> TakeInHeads(Port& port, int64_t frame) {
    std::vector<PipePtr> taken;
    for (const PipePtr& pipe : port.pipes) {
        if (!pipe->In() || pipe->inFlight || pipe->lastInFrame >= frame) continue;
        if (!pipe->pending.empty() && pipe->pending.front().due == kNever) continue;  // never answered
        // A head being cancelled is left to its cancel routine.
        if (!pipe->pending.empty() && IoSetCancelRoutine(pipe->pending.front().irp, nullptr)) {
            pipe->inFlight = true;
            taken.push_back(pipe);
        }
    }
    return taken;
}

// Asks the model for a packet for the pipe's held transfer and ends or requeues it.
void AskOne(Port& port, const PipePtr& pipe, int64_t frame) {
    PIRP irp;
    {
        Locked locked(port.bus);
        irp = pipe->pending.front().irp;
    }
    _URB_BULK_OR_INTERRUPT_TRANSFER& t = UrbOf(irp)->UrbBulkOrInterruptTransfer;
    std::vector<uint8_t> packet;
    bool got = port.model->In(pipe->endpoint.address, t.TransferBufferLength, &packet);
    Ending ending{nullptr, STATUS_SUCCESS, USBD_STATUS_SUCCESS, pipe};
    std::vector<PIRP> aborts;
    {
        Locked locked(port.bus);
        pipe->inFlight = false;
        pipe->pending.pop_front();
        aborts.swap(pipe->aborts);
        if (got) {
            pipe->lastInFrame = frame;
            port.look = true;  // more may follow, one frame later
            ending.irp = irp;
        } else if (pipe->closed || !aborts.empty()) {
            ending = {irp, pipe->closed ? pipe->endStatus : STATUS_CANCELLED,
                      pipe->closed ? pipe->endUsbd : USBD_STATUS_CANCELED, pipe};
        } else if (!Enqueue(*pipe, {irp, 0}, true)) {
            ending = {irp, STATUS_CANCELLED, USBD_STATUS_CANCELED, pipe};
        }
    }
    if (got) {
        size_t n = std::min<size_t>(packet.size(), t.TransferBufferLength);
        if (n) std::memcpy(t.TransferBuffer, packet.data(), n);
        t.TransferBufferLength = static_cast<ULONG>(n);
    }
    if (ending.irp) EndTransfer(port, pipe.get(), ending.irp, ending.status, ending.usbd);
    for (PIRP abort : aborts) CompleteUrb(port, abort, STATUS_SUCCESS, USBD_STATUS_SUCCESS, pipe.get());
    if (!aborts.empty()) ReleaseHeldIn(port, pipe);
}

void RunIn(UsbBus::State* s, const std::vector<PortPtr>& ports, int64_t now) {
    int64_t frame = now / kFrame;
    for (const PortPtr& port : ports) {
        std::vector<PipePtr> taken;
        {
            Locked locked(s);
            bool due = port->look || (port->eventAt >= 0 && port->eventAt <= now);
            if (!due || !port->plugged || port->power != PowerDeviceD0) continue;
            port->look = false;
            port->eventAt = -1;
            taken = TakeInHeads(*port, frame);
        }
        for (const PipePtr& pipe : taken) AskOne(*port, pipe, frame);
    }
}

void RunFrame(UsbBus::State* s) {
    int64_t now = host::Now();
    std::vector<PortPtr> ports = Snapshot(s);
    {
        Locked locked(s);
        s->lastFrame = now / kFrame;
    }
    RunOut(s, ports, now);
    RunIn(s, ports, now);
    Release(ports);
}

}  // namespace

void RunFrames(UsbBus::State* s) {
    for (;;) {
        int64_t next = Plan(s);
        LARGE_INTEGER timeout;
        timeout.QuadPart = -std::max<int64_t>(next - host::Now(), 0);
        KeWaitForSingleObject(&s->wake, Executive, KernelMode, FALSE, next < 0 ? nullptr : &timeout);
        {
            Locked locked(s);
            if (s->stop) return;
        }
        // A signal only makes the thread plan again; frames run at their time.
        if (next >= 0 && host::Now() >= next) RunFrame(s);
    }
}

}  // namespace sim::bus
