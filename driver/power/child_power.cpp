#include "power/power.h"

// Until the child's power handling is in place, it completes each request as it came.
NTSTATUS ChildPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                    PDO_EXTENSION* Extension) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Stack);
    UNREFERENCED_PARAMETER(Extension);
    PoStartNextPowerIrp(Irp);
    return CompleteRequest(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
}
