#include "client/client.h"

// A function device serves no internal control code; the answer says whether it could.
NTSTATUS FdoInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                                  FDO_EXTENSION* Extension) {
    UNREFERENCED_PARAMETER(Stack);
    UNREFERENCED_PARAMETER(Extension);
    IoIncrement(DeviceObject);
    NTSTATUS status = IsDeviceReady(DeviceObject) ? STATUS_INVALID_PARAMETER : STATUS_DELETE_PENDING;
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoDecrement(DeviceObject);
    return status;
}
