#include "client/client.h"

// Until the client requests are in place, every code is unknown.
NTSTATUS ChildInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                    PIO_STACK_LOCATION Stack, PDO_EXTENSION* Extension) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Stack);
    UNREFERENCED_PARAMETER(Extension);
    return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
}
