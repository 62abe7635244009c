#include "core/core.h"
#include "client/client.h"
#include "pnp/pnp.h"
#include "power/power.h"
#include "transfer/transfer.h"

static ULONG SignatureOf(PDEVICE_OBJECT DeviceObject) {
    PVOID extension = DeviceObject->DeviceExtension;
    return extension ? *(ULONG*)extension : 0;
}

static NTSTATUS RejectForeign(PIRP Irp) {
    Irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (SignatureOf(DeviceObject)) {
    case FDO_SIGNATURE:
        return FdoPnp(DeviceObject, Irp, stack, (FDO_EXTENSION*)DeviceObject->DeviceExtension);
    case PDO_SIGNATURE:
        return ChildPnp(DeviceObject, Irp, stack, (PDO_EXTENSION*)DeviceObject->DeviceExtension);
    default:
        return RejectForeign(Irp);
    }
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (SignatureOf(DeviceObject)) {
    case FDO_SIGNATURE:
        return FdoPower(DeviceObject, Irp, stack, (FDO_EXTENSION*)DeviceObject->DeviceExtension);
    case PDO_SIGNATURE:
        return ChildPower(DeviceObject, Irp, stack, (PDO_EXTENSION*)DeviceObject->DeviceExtension);
    default:
        return RejectForeign(Irp);
    }
}

NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (SignatureOf(DeviceObject)) {
    case FDO_SIGNATURE:
        return FdoInternalDeviceControl(DeviceObject, Irp, stack,
                                        (FDO_EXTENSION*)DeviceObject->DeviceExtension);
    case PDO_SIGNATURE:
        return ChildInternalDeviceControl(DeviceObject, Irp, stack,
                                          (PDO_EXTENSION*)DeviceObject->DeviceExtension);
    default:
        return RejectForeign(Irp);
    }
}

// The driver registers no system-control provider: a function device passes the request to
// the device below; the child has none below it and completes the request as it came.
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    switch (SignatureOf(DeviceObject)) {
    case FDO_SIGNATURE: {
        FDO_EXTENSION* extension = (FDO_EXTENSION*)DeviceObject->DeviceExtension;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = 0;
        IoIncrement(DeviceObject);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        NTSTATUS status = IoCallDriver(extension->LowerDevice, Irp);
        IoDecrement(DeviceObject);
        return status;
    }
    case PDO_SIGNATURE: {
        NTSTATUS status = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    default:
        return RejectForeign(Irp);
    }
}
