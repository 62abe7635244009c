#include "client/client.h"

// The only control code of a function device: the direct-call table for kernel clients.
// Every other code is refused as an invalid parameter, and nothing is returned.
NTSTATUS FdoDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                          FDO_EXTENSION* Extension) {
    UNREFERENCED_PARAMETER(Extension);
    Irp->IoStatus.Information = 0;
    // The driver's one diagnostic, kept as it always was: tools that watch the debugger
    // output for a client's device-control requests look for this line.
    DbgPrint("We are inside IOCTL !!!!");
    NTSTATUS status;
    switch (Stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_UNIT_GET_DIRECT_CALLS:
        status = HandOutDirectCalls(DeviceObject, Irp, Stack);
        break;
    default:
        status = STATUS_INVALID_PARAMETER;
        break;
    }
    return CompleteRequest(Irp, status, 0);
}
