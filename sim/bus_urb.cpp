// URBs: checking a request as the USB stack does, descriptor reads, configuration and
// interface selection, pipe requests, and queuing bulk and interrupt transfers.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "sim/bus_state.h"

namespace sim::bus {
namespace {

struct Result {
    NTSTATUS status;
    USBD_STATUS usbd;
};
constexpr Result kSuccess{STATUS_SUCCESS, USBD_STATUS_SUCCESS};
constexpr Result kBadParameter{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
constexpr Result kBadPipe{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE};
constexpr Result kSuspended{STATUS_DEVICE_POWERED_OFF, USBD_STATUS_DEVICE_GONE};
// A transaction the device stalled, or one lost to a bus error (CRC, bit stuffing, no
// handshake). The USB stack fails the request with the URB's USBD status and, as we read
// it, STATUS_UNSUCCESSFUL for the IRP, as for the stall of a descriptor it does not have.
constexpr Result kStalled{STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
constexpr Result kBusError{STATUS_UNSUCCESSFUL, USBD_STATUS_XACT_ERROR};
// "If the transfer fails, the associated pipe can't process requests until the error
// condition is cleared" ("How to recover from USB pipe errors"): a client resets the pipe.
constexpr Result kHalted{STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED};

constexpr size_t kInterfaceHead = offsetof(USBD_INTERFACE_INFORMATION, Pipes);

// The smallest header Length a function's request can have; 0 for a function the platform
// does not define.
size_t MinimumLength(USHORT function) {
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: return offsetof(_URB_SELECT_CONFIGURATION, Interface);
    case URB_FUNCTION_SELECT_INTERFACE: return offsetof(_URB_SELECT_INTERFACE, Interface) + kInterfaceHead;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: return sizeof(_URB_PIPE_REQUEST);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER: return sizeof(_URB_GET_CURRENT_FRAME_NUMBER);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    case URB_FUNCTION_RESERVED_0X0016:
    case URB_FUNCTION_RESERVE_0X001D: return 0;
    default:
        if (function > URB_FUNCTION_CONTROL_TRANSFER_EX) return 0;
        if (function > URB_FUNCTION_GET_MS_FEATURE_DESCRIPTOR && function < URB_FUNCTION_SYNC_RESET_PIPE) return 0;
        return sizeof(_URB_HEADER);  // defined, but this bus does not serve it
    }
}

bool Served(USHORT function) {
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
    case URB_FUNCTION_SELECT_INTERFACE:
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return true;
    default: return false;
    }
}

// What every request must pass before its function is looked at.
bool Admit(Port& port, const URB* urb, Result* failure) {
    bool plugged;
    {
        Locked locked(port.bus);
        plugged = port.plugged;
    }
    size_t minimum = MinimumLength(urb->UrbHeader.Function);
    if (!plugged)
        *failure = {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};
    else if (minimum == 0)
        *failure = {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION};
    else if (urb->UrbHeader.Length < minimum)
        *failure = kBadParameter;
    else if (!Served(urb->UrbHeader.Function))
        *failure = {STATUS_NOT_SUPPORTED, USBD_STATUS_NOT_SUPPORTED};
    else
        return true;
    return false;
}

Result GetDescriptor(Port& port, URB* urb) {
    _URB_CONTROL_DESCRIPTOR_REQUEST& r = urb->UrbControlDescriptorRequest;
    if (r.TransferBufferLength && !r.TransferBuffer) return kBadParameter;  // MDLs are not mapped here
    const std::vector<uint8_t>* source = nullptr;
    if (r.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE && r.Index == 0)
        source = &port.descriptors.device;
    else if (r.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && r.Index == 0)
        source = &port.descriptors.configuration;
    if (!source) return {STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};  // the device stalls
    size_t n = std::min<size_t>(r.TransferBufferLength, source->size());
    if (n) std::memcpy(r.TransferBuffer, source->data(), n);
    r.TransferBufferLength = static_cast<ULONG>(n);
    return kSuccess;
}

struct Choice {
    PUSBD_INTERFACE_INFORMATION info;
    const InterfaceInfo* found;
};

// Checks the interface information at `at` in a request of `end` bytes.
Result CheckInterface(URB* urb, size_t at, const ConfigInfo& config, Choice* choice) {
    size_t end = urb->UrbHeader.Length;
    if (end < at || end - at < kInterfaceHead) return kBadParameter;
    auto info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t*>(urb) + at);
    const InterfaceInfo* found = FindInterface(config, info->InterfaceNumber, info->AlternateSetting);
    if (!found) return {STATUS_INVALID_PARAMETER, USBD_STATUS_INTERFACE_NOT_FOUND};
    size_t need = kInterfaceHead + found->endpoints.size() * sizeof(USBD_PIPE_INFORMATION);
    if (info->Length < need) return {STATUS_INVALID_PARAMETER, USBD_STATUS_BUFFER_TOO_SMALL};
    if (info->Length > end - at) return kBadParameter;
    *choice = {info, found};
    return kSuccess;
}

// Opens the pipes of one selected interface and writes their facts back (lock held).
void Open(Port& port, const Choice& c) {
    PUSBD_INTERFACE_INFORMATION info = c.info;
    info->Class = c.found->interfaceClass;
    info->SubClass = c.found->subClass;
    info->Protocol = c.found->protocol;
    info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(NewHandle(port.bus));
    info->NumberOfPipes = static_cast<ULONG>(c.found->endpoints.size());
    for (size_t i = 0; i < c.found->endpoints.size(); ++i) {
        auto pipe = std::make_shared<Pipe>();
        pipe->handle = NewHandle(port.bus);
        pipe->interfaceNumber = c.found->number;
        pipe->endpoint = c.found->endpoints[i];
        USBD_PIPE_INFORMATION& p = info->Pipes[i];
        p.MaximumPacketSize = pipe->endpoint.maxPacket & 0x7FF;
        p.EndpointAddress = pipe->endpoint.address;
        p.Interval = pipe->endpoint.interval;
        p.PipeType = static_cast<USBD_PIPE_TYPE>(pipe->endpoint.attributes & USB_ENDPOINT_TYPE_MASK);
        p.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(pipe->handle);
        port.pipes.push_back(pipe);
    }
}

Result Deconfigure(Port& port) {
    DropConfiguration(port);
    port.model->Configured(0, -1, -1);
    return kSuccess;
}

Result SelectConfiguration(Port& port, URB* urb) {
    _URB_SELECT_CONFIGURATION& sc = urb->UrbSelectConfiguration;
    if (!sc.ConfigurationDescriptor) return Deconfigure(port);
    auto bytes = reinterpret_cast<const uint8_t*>(sc.ConfigurationDescriptor);
    ConfigInfo config;
    if (!ParseConfiguration(bytes, TotalLength(bytes, 4), &config))
        return {STATUS_INVALID_PARAMETER, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR};
    // One entry per interface the caller selects, as many as the request's length holds, at
    // least one and at most bNumInterfaces.
    std::vector<Choice> choices;
    size_t at = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    do {
        Choice c;
        Result r = CheckInterface(urb, at, config, &c);
        if (!NT_SUCCESS(r.status)) return r;
        choices.push_back(c);
        at += c.info->Length;
    } while (at < urb->UrbHeader.Length && choices.size() < config.interfaceCount);
    Endings endings;
    {
        Locked locked(port.bus);
        ClosePipes(port, [](const Pipe&) { return true; }, STATUS_CANCELLED, USBD_STATUS_CANCELED, &endings);
        port.config = config;
        port.configHandle = NewHandle(port.bus);
        for (const Choice& c : choices) Open(port, c);
        sc.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(port.configHandle);
    }
    EndAll(port, endings);
    for (const Choice& c : choices) port.model->Configured(config.value, c.found->number, c.found->alternate);
    return kSuccess;
}

Result SelectInterface(Port& port, URB* urb) {
    _URB_SELECT_INTERFACE& si = urb->UrbSelectInterface;
    Endings endings;
    Choice c;
    int value;
    {
        Locked locked(port.bus);
        if (!port.configHandle || si.ConfigurationHandle != reinterpret_cast<USBD_CONFIGURATION_HANDLE>(port.configHandle))
            return kBadParameter;
        Result r = CheckInterface(urb, offsetof(_URB_SELECT_INTERFACE, Interface), port.config, &c);
        if (!NT_SUCCESS(r.status)) return r;
        uint8_t number = c.found->number;
        ClosePipes(port, [number](const Pipe& p) { return p.interfaceNumber == number; }, STATUS_CANCELLED,
                   USBD_STATUS_CANCELED, &endings);
        Open(port, c);
        value = port.config.value;
    }
    EndAll(port, endings);
    port.model->Configured(value, c.found->number, c.found->alternate);
    return kSuccess;
}

Result PipeRequest(Port& port, URB* urb) {
    Locked locked(port.bus);
    PipePtr pipe = FindPipe(port, urb->UrbPipeRequest.PipeHandle);
    if (!pipe) return kBadPipe;
    USHORT function = urb->UrbHeader.Function;
    if (function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL || function == URB_FUNCTION_SYNC_RESET_PIPE)
        pipe->halted = false;
    return kSuccess;
}

// A sweep's refusal of a URB that reaches the device; the transfer's own (a hang) aside.
bool Refused(Port& port, Result* refusal) {
    if (Refuses(port.bus, UsbBus::Refusal::Stall)) {
        *refusal = kStalled;
        return true;
    }
    if (Refuses(port.bus, UsbBus::Refusal::BusError)) {
        *refusal = kBusError;
        return true;
    }
    return false;
}

bool ReachesDevice(USHORT function) {
    return function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE || function == URB_FUNCTION_SELECT_CONFIGURATION ||
           function == URB_FUNCTION_SELECT_INTERFACE;
}

Result Serve(Port& port, URB* urb) {
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return GetDescriptor(port, urb);
    case URB_FUNCTION_SELECT_CONFIGURATION: return SelectConfiguration(port, urb);
    case URB_FUNCTION_SELECT_INTERFACE: return SelectInterface(port, urb);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
        urb->UrbGetCurrentFrameNumber.FrameNumber = static_cast<ULONG>(host::Now() / kFrame);
        return kSuccess;
    default: return PipeRequest(port, urb);  // the resets: nothing is stalled here
    }
}

// Pending transfers of the pipe end first; one the frame thread holds ends before the abort.
NTSTATUS AbortPipe(Port& port, PIRP irp, URB* urb) {
    Endings endings;
    PipePtr pipe;
    bool deferred = false;
    {
        Locked locked(port.bus);
        pipe = FindPipe(port, urb->UrbPipeRequest.PipeHandle);
        if (pipe) {
            TakeAll(pipe, STATUS_CANCELLED, USBD_STATUS_CANCELED, &endings);
            if (pipe->inFlight) {
                IoMarkIrpPending(irp);
                urb->UrbHeader.Status = USBD_STATUS_PENDING;
                pipe->aborts.push_back(irp);
                deferred = true;
            }
        }
    }
    if (!pipe) return CompleteUrb(port, irp, kBadPipe.status, kBadPipe.usbd);
    EndAll(port, endings);
    if (deferred) return STATUS_PENDING;
    NTSTATUS status = CompleteUrb(port, irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS, pipe.get());
    ReleaseHeldIn(port, pipe);
    return status;
}

NTSTATUS SubmitTransfer(Port& port, PIRP irp, URB* urb) {
    _URB_BULK_OR_INTERRUPT_TRANSFER& t = urb->UrbBulkOrInterruptTransfer;
    PipePtr pipe;
    {
        Locked locked(port.bus);
        pipe = FindPipe(port, t.PipeHandle);
    }
    bool buffered = t.TransferBuffer || !t.TransferBufferLength;
    LogSubmission(port, urb, pipe.get(), buffered);
    if (!pipe) return CompleteUrb(port, irp, kBadPipe.status, kBadPipe.usbd);
    uint8_t type = pipe->endpoint.attributes & USB_ENDPOINT_TYPE_MASK;
    if (!buffered || (type != USB_ENDPOINT_TYPE_BULK && type != USB_ENDPOINT_TYPE_INTERRUPT))
        return CompleteUrb(port, irp, kBadParameter.status, kBadParameter.usbd, pipe.get());
    // The pipe's endpoint gives the direction, as the USB stack takes it.
    IoMarkIrpPending(irp);
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    Result ending{STATUS_CANCELLED, USBD_STATUS_CANCELED};
    Result refusal;
    bool refused = Refused(port, &refusal);
    bool hangs = !refused && Refuses(port.bus, UsbBus::Refusal::Hang);
    bool queued = false;
    {
        Locked locked(port.bus);
        if (pipe->closed) {
            ending = {pipe->endStatus, pipe->endUsbd};
        } else if (pipe->halted) {
            ending = kHalted;
        } else if (refused) {
            pipe->halted = true;
            ending = refusal;
        } else if (hangs) {
            queued = Enqueue(*pipe, {irp, kNever});
        } else if (port.power != PowerDeviceD0) {
            // A device set below D0 has its port suspended. The platform's rule is that a
            // driver touches its device only in D0 and holds its I/O while the device sleeps
            // ("Queuing I/O Requests While a Device Is Sleeping"; a USB client cancels its I/O
            // before it sends D2, "USB selective suspend"); the hub does not queue a transfer
            // for a suspended port but fails it. Our reading of the status: the hub's
            // STATUS_DEVICE_POWERED_OFF, with the URB status of a device it cannot reach.
            ending = kSuspended;
        } else if (pipe->In() && port.holdNextIn) {
            port.holdNextIn = false;
            pipe->heldIn.push_back(irp);
            return STATUS_PENDING;
        } else {
            int64_t due = pipe->In() ? 0 : (host::Now() / kFrame + 1) * kFrame;
            queued = Enqueue(*pipe, {irp, due});
            if (pipe->In()) port.look = true;
        }
    }
    if (queued)
        WakeFrames(port.bus);
    else
        EndTransfer(port, pipe.get(), irp, ending.status, ending.usbd);
    return STATUS_PENDING;
}

NTSTATUS PortStatus(Port& port, PIRP irp) {
    auto status = static_cast<PULONG>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    if (!status) return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
    Locked locked(port.bus);
    *status = port.plugged ? USBD_PORT_ENABLED | USBD_PORT_CONNECTED : 0;
    return CompleteIrp(irp, STATUS_SUCCESS);
}

}  // namespace

void DropConfiguration(Port& port) {
    Endings endings;
    {
        Locked locked(port.bus);
        ClosePipes(port, [](const Pipe&) { return true; }, STATUS_CANCELLED, USBD_STATUS_CANCELED, &endings);
        port.configHandle = 0;
        port.config = {};
    }
    EndAll(port, endings);
}

NTSTATUS DispatchUrb(Port& port, PIRP irp) {
    ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
    if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) return PortStatus(port, irp);
    if (code != IOCTL_INTERNAL_USB_SUBMIT_URB) return CompleteIrp(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    PURB urb = UrbOf(irp);
    if (!urb) return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
    Result failure;
    if (!Admit(port, urb, &failure)) {
        LogSubmission(port, urb, nullptr, false);
        return CompleteUrb(port, irp, failure.status, failure.usbd);
    }
    if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) return SubmitTransfer(port, irp, urb);
    LogSubmission(port, urb, nullptr, false);
    if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) return AbortPipe(port, irp, urb);
    if (Result refusal; ReachesDevice(urb->UrbHeader.Function) && Refused(port, &refusal))
        return CompleteUrb(port, irp, refusal.status, refusal.usbd);
    Result r = Serve(port, urb);
    return CompleteUrb(port, irp, r.status, r.usbd);
}

}  // namespace sim::bus
