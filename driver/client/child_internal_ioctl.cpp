#include "client/client.h"

// The child's client is the one driver on the whole stream of units. The requests take no
// I/O reference on the child; each unit a handler picks from the table is referenced instead.
// Each handler states its own IRQL contract: the read is safe at DISPATCH_LEVEL, the rest may
// wait.
NTSTATUS ChildInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                    PIO_STACK_LOCATION Stack, PDO_EXTENSION* Extension) {
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Information = 0;
    switch (Stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_UNIT_OPEN_ALL:
        return ChildOpenAll(Irp, Extension);
    case IOCTL_UNIT_CLOSE_ALL:
        return ChildCloseAll(Irp);
    case IOCTL_UNIT_WRITE_MASTER:
        return ChildWriteMaster(Irp, Stack);
    case IOCTL_UNIT_READ:
        return ChildRead(Irp, Stack, Extension);
    case IOCTL_UNIT_WRITE:
        return ChildWrite(Irp, Stack);
    case IOCTL_UNIT_LIST:
        return ChildListUnits(Irp, Stack);
    default:
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
}
