#include "usb/usb.h"

// The bus answers into the caller's structure. The query is sent the way the platform
// expects: size and version filled in, the status preset to "not supported".
NTSTATUS QueryCapabilities(PDEVICE_OBJECT Target, PDEVICE_CAPABILITIES Capabilities) {
    MAY_WAIT();
    PIRP irp = IoAllocateIrp(Target->StackSize, FALSE);
    if (!irp) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    Capabilities->Size = sizeof(DEVICE_CAPABILITIES);
    Capabilities->Version = 1;
    Capabilities->Address = (ULONG)-1;
    Capabilities->UINumber = (ULONG)-1;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = Capabilities;
    IoSetCompletionRoutine(irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(Target, irp);
    if (status == STATUS_PENDING) {
        // The bus driver completes the query it is given.
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, NULL);
        status = irp->IoStatus.Status;
    }
    IoFreeIrp(irp);
    return status;
}
