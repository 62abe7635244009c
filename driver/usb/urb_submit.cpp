#include "transfer/transfer.h"
#include "usb/usb.h"

// Keeps the request until its sender has done with it: a sender that timed out may still
// cancel it, and completes it again afterwards so that the I/O manager frees it.
static NTSTATUS NTAPI HoldForSender(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    DISPATCH_SAFE();
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Milliseconds 0: no bound. The request is the I/O manager's; it frees it when completion
// reaches the top.
static NTSTATUS Submit(PDEVICE_OBJECT DeviceObject, PURB Urb, ULONG Milliseconds) {
    MAY_WAIT();
    FDO_EXTENSION* ext = FdoExtension(DeviceObject);
    KEVENT event;
    KEVENT held;
    IO_STATUS_BLOCK ioStatus;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeInitializeEvent(&held, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, ext->LowerDevice, NULL,
                                             0, NULL, 0, TRUE, &event, &ioStatus);
    if (!irp) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;
    if (Milliseconds == 0) {
        // Requests that end without the unit's help (configuration, abort, descriptor reads
        // the host controller times out): the USB stack completes them.
        NTSTATUS status = IoCallDriver(ext->LowerDevice, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
            status = ioStatus.Status;
        }
        return status;
    }
    // Windows' cancelling of a request one sent oneself: a completion routine that keeps it,
    // IoCancelIrp once the time is up, then the request completed again by its sender.
    IoSetCompletionRoutine(irp, HoldForSender, &held, TRUE, TRUE, TRUE);
    IoCallDriver(ext->LowerDevice, irp);
    if (TimedWait(&held, Milliseconds) == STATUS_TIMEOUT) {
        IoCancelIrp(irp);
        // A cancelled transfer is completed by the USB stack: the platform guarantees this end.
        KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, NULL);
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    return status;
}

NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb) { return Submit(DeviceObject, Urb, 0); }

NTSTATUS SubmitUrbSyncTimed(PDEVICE_OBJECT DeviceObject, PURB Urb, ULONG Milliseconds) {
    MAY_WAIT();
    return Submit(DeviceObject, Urb, Milliseconds ? Milliseconds : 1);
}

// Keeps the request for its sender, who waits on the event.
NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    DISPATCH_SAFE();
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, EVENT_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
