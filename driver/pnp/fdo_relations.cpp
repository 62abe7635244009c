#include "pnp/pnp.h"

// The child joins whatever a driver above reported; the manager frees the list and drops
// the references.
NTSTATUS FdoBusRelations(FDO_EXTENSION* Extension, PIRP Irp, PIO_STACK_LOCATION Stack) {
    PDO_EXTENSION* child = Extension->Child;
    if (Stack->Parameters.QueryDeviceRelations.Type != BusRelations || !child) {
        return PassPnpDown(Extension, Irp);
    }
    PDEVICE_RELATIONS old = (PDEVICE_RELATIONS)Irp->IoStatus.Information;
    ULONG count = old ? old->Count : 0;
    ULONG size = sizeof(DEVICE_RELATIONS) + (count + 1) * sizeof(PDEVICE_OBJECT);
    PDEVICE_RELATIONS relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(NonPagedPool, size, POOL_TAG);
    if (!relations) {
        NTSTATUS status = CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, Irp->IoStatus.Information);
        IoDecrement(Extension->DeviceObject);
        return status;
    }
    for (ULONG i = 0; i < count; ++i) {
        relations->Objects[i] = old->Objects[i];
    }
    relations->Objects[count] = child->DeviceObject;
    ObReferenceObject(child->DeviceObject);
    relations->Count = count + 1;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (old) {
        ExFreePool(old);
    }
    Irp->IoStatus.Information = (ULONG_PTR)relations;
    return PassPnpDown(Extension, Irp);
}
