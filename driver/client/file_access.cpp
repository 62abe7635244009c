#include "client/client.h"

// Until file access is in place, a function device refuses it.
static NTSTATUS Refuse(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    NTSTATUS status = *(ULONG*)DeviceObject->DeviceExtension == FDO_SIGNATURE
                          ? STATUS_NOT_SUPPORTED
                          : STATUS_UNSUCCESSFUL;
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return Refuse(DeviceObject, Irp); }
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return Refuse(DeviceObject, Irp); }
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return Refuse(DeviceObject, Irp); }
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return Refuse(DeviceObject, Irp); }
