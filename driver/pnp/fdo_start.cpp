#include "client/client.h"
#include "pnp/pnp.h"
#include "unit/unit.h"
#include "usb/usb.h"

// Without its device descriptor the unit cannot be configured or identified. A unit that
// could not be configured is not started and not brought up: its start fails, and the Plug
// and Play manager takes the node down.
NTSTATUS StartDevice(PDEVICE_OBJECT FunctionDevice) {
    FDO_EXTENSION* ext = FdoExtension(FunctionDevice);
    if (!ext->DeviceDescriptor) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = ConfigureDevice(FunctionDevice);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    SetFlags(&ext->Flags, DEVICE_STARTED);
    // The reads of a unit that stayed open ended with the old configuration.
    ResumeUnitIo(ext);
    UnitBringUp(FunctionDevice);
    return status;
}

NTSTATUS FdoStart(FDO_EXTENSION* Extension, PIRP Irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(Extension->LowerDevice, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Suspended, KernelMode, FALSE, NULL);
    }
    // The device is started from the bottom up: a start the bus failed is not ours to go on.
    NTSTATUS status = Irp->IoStatus.Status;
    if (NT_SUCCESS(status)) {
        status = StartDevice(Extension->DeviceObject);
    }
    CompleteRequest(Irp, status, Irp->IoStatus.Information);
    IoDecrement(Extension->DeviceObject);
    return status;
}
