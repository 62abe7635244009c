#include "client/client.h"

// A function device serves no internal control code; the answer says whether it could.
NTSTATUS FdoInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                                  FDO_EXTENSION* Extension) {
    UNREFERENCED_PARAMETER(Stack);
    UNREFERENCED_PARAMETER(Extension);
    IoIncrement(DeviceObject);
    NTSTATUS status = CompleteRequest(
        Irp, IsDeviceReady(DeviceObject) ? STATUS_INVALID_PARAMETER : STATUS_DELETE_PENDING, 0);
    IoDecrement(DeviceObject);
    return status;
}
