#include "core/core.h"
#include "client/client.h"
#include "pnp/pnp.h"
#include "power/power.h"
#include "transfer/transfer.h"

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    DISPATCH_SAFE();
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// Information stays as the request came.
static NTSTATUS RejectForeign(PIRP Irp) {
    return CompleteRequest(Irp, STATUS_UNSUCCESSFUL, Irp->IoStatus.Information);
}

typedef NTSTATUS (*FDO_HANDLER)(PDEVICE_OBJECT, PIRP, PIO_STACK_LOCATION, FDO_EXTENSION*);
typedef NTSTATUS (*PDO_HANDLER)(PDEVICE_OBJECT, PIRP, PIO_STACK_LOCATION, PDO_EXTENSION*);

// The signature is immutable once the device exists, so routing takes no lock.
static NTSTATUS Route(PDEVICE_OBJECT DeviceObject, PIRP Irp, FDO_HANDLER Fdo, PDO_HANDLER Pdo) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (SignatureOf(DeviceObject)) {
    case FDO_SIGNATURE:
        return Fdo(DeviceObject, Irp, stack, (FDO_EXTENSION*)DeviceObject->DeviceExtension);
    case PDO_SIGNATURE:
        return Pdo(DeviceObject, Irp, stack, (PDO_EXTENSION*)DeviceObject->DeviceExtension);
    default:
        return RejectForeign(Irp);
    }
}

// Requests on a unit's file handles exist only on function devices; the child and foreign
// device objects are refused with the status each request has always given them.
static NTSTATUS RouteToUnit(PDEVICE_OBJECT DeviceObject, PIRP Irp, FDO_HANDLER Fdo, NTSTATUS Refusal) {
    if (SignatureOf(DeviceObject) != FDO_SIGNATURE) {
        return CompleteRequest(Irp, Refusal, Irp->IoStatus.Information);
    }
    FDO_EXTENSION* extension = (FDO_EXTENSION*)DeviceObject->DeviceExtension;
    return Fdo(DeviceObject, Irp, IoGetCurrentIrpStackLocation(Irp), extension);
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return RouteToUnit(DeviceObject, Irp, FdoCreate, STATUS_UNSUCCESSFUL);
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return RouteToUnit(DeviceObject, Irp, FdoCleanup, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return RouteToUnit(DeviceObject, Irp, FdoClose, STATUS_UNSUCCESSFUL);
}

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return RouteToUnit(DeviceObject, Irp, FdoRead, STATUS_UNSUCCESSFUL);
}

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return RouteToUnit(DeviceObject, Irp, FdoWrite, STATUS_UNSUCCESSFUL);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return RouteToUnit(DeviceObject, Irp, FdoDeviceControl, STATUS_UNSUCCESSFUL);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return Route(DeviceObject, Irp, FdoPnp, ChildPnp);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return Route(DeviceObject, Irp, FdoPower, ChildPower);
}

NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return Route(DeviceObject, Irp, FdoInternalDeviceControl, ChildInternalDeviceControl);
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
    case PDO_SIGNATURE:
        return CompleteRequest(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    default:
        return RejectForeign(Irp);
    }
}
