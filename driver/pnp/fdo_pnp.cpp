#include "pnp/pnp.h"

// Until the Plug and Play state machine is in place, every request goes to the device below.
NTSTATUS FdoPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                FDO_EXTENSION* Extension) {
    UNREFERENCED_PARAMETER(Stack);
    IoIncrement(DeviceObject);
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(Extension->LowerDevice, Irp);
    IoDecrement(DeviceObject);
    return status;
}
