// The request trace's hook: each stack location a request is sent to or completes, decoded
// for the watcher that host::io::SetTracer installs (a device control's code, a USB
// request's function).
#include "io_internal.h"
#include "platform/host/nt_usb.h"

namespace host::detail::iom {
namespace {

std::function<void(const host::io::TraceEvent&)>& Tracer() {
    static std::function<void(const host::io::TraceEvent&)> tracer;
    return tracer;
}

}  // namespace

void Trace(bool completion, PDEVICE_OBJECT device, PIO_STACK_LOCATION sl, NTSTATUS status) {
    if (!Tracer() || !device) return;
    host::io::TraceEvent e{completion, device, sl->MajorFunction, sl->MinorFunction, 0, false, 0, status};
    if (e.major == IRP_MJ_DEVICE_CONTROL || e.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        e.ioctl = sl->Parameters.DeviceIoControl.IoControlCode;
        auto* urb = static_cast<const URB*>(sl->Parameters.Others.Argument1);
        if (e.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB && urb) {
            e.urb = true;
            e.urbFunction = urb->UrbHeader.Function;
        }
    }
    Tracer()(e);
}

}  // namespace host::detail::iom

void host::io::SetTracer(std::function<void(const TraceEvent&)> tracer) {
    host::detail::iom::Tracer() = std::move(tracer);
}
