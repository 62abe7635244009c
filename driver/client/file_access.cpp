#include "client/client.h"

// Until file access is in place, a function device refuses it.
static NTSTATUS Refuse(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return CompleteRequest(Irp, SignatureOf(DeviceObject) == FDO_SIGNATURE ? STATUS_NOT_SUPPORTED
                                                                            : STATUS_UNSUCCESSFUL, 0);
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return Refuse(DeviceObject, Irp); }
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return Refuse(DeviceObject, Irp); }
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return Refuse(DeviceObject, Irp); }
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return Refuse(DeviceObject, Irp); }
