#include "client/client.h"

// A handle is a reader of the unit and keeps it open; a context that cannot be allocated
// leaves a handle that opens the unit but cannot read.
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (SignatureOf(DeviceObject) != FDO_SIGNATURE) {
        return CompleteRequest(Irp, STATUS_UNSUCCESSFUL, Irp->IoStatus.Information);
    }
    FDO_EXTENSION* ext = FdoExtension(DeviceObject);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    IoIncrement(DeviceObject);
    ULONG count = 0;
    NTSTATUS status = IsDeviceReady(DeviceObject) ? TryOpenUnit(ext, &count) : STATUS_DELETE_PENDING;
    if (NT_SUCCESS(status)) {
        OPEN_CONTEXT* context = AllocateOpenContext(ext);
        if (file) {
            file->FsContext = context;
            if (context) {
                context->FileObject = file;
            }
        } else if (context) {
            FreeOpenContext(ext, context);
        }
    }
    CompleteRequest(Irp, status, 0);
    IoDecrement(DeviceObject);
    return status;
}

// Cleanup ends the handle's parked read and nothing else; the close that follows frees the
// context and closes the unit.
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (SignatureOf(DeviceObject) != FDO_SIGNATURE) {
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, Irp->IoStatus.Information);
    }
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    if (file && file->FsContext) {
        EndParkedFileRead(FdoExtension(DeviceObject), (OPEN_CONTEXT*)file->FsContext);
    }
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

// Every request on the file object has ended before its close arrives: no read is parked.
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (SignatureOf(DeviceObject) != FDO_SIGNATURE) {
        return CompleteRequest(Irp, STATUS_UNSUCCESSFUL, Irp->IoStatus.Information);
    }
    FDO_EXTENSION* ext = FdoExtension(DeviceObject);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    IoIncrement(DeviceObject);
    if (file && file->FsContext) {
        FreeOpenContext(ext, (OPEN_CONTEXT*)file->FsContext);
        file->FsContext = NULL;
    }
    CloseUnit(ext);
    IoDecrement(DeviceObject);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}
