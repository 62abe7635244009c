#include "pnp/pnp.h"

// Until the child's queries are answered, it completes each request as it came.
NTSTATUS ChildPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                  PDO_EXTENSION* Extension) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Stack);
    UNREFERENCED_PARAMETER(Extension);
    return CompleteRequest(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
}
