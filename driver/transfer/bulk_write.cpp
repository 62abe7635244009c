#include "transfer/transfer.h"

// Until the bulk writer is in place, writes are refused.
NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    NTSTATUS status = *(ULONG*)DeviceObject->DeviceExtension == FDO_SIGNATURE
                          ? STATUS_NOT_SUPPORTED
                          : STATUS_UNSUCCESSFUL;
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
