#include "client/client.h"

// A handle is a reader of the unit and keeps it open; a context that cannot be allocated
// leaves a handle that opens the unit but cannot read.
NTSTATUS FdoCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                   FDO_EXTENSION* Extension) {
    MAY_WAIT();
    PFILE_OBJECT file = Stack->FileObject;
    IoIncrement(DeviceObject);
    ULONG count = 0;
    NTSTATUS status = IsDeviceReady(DeviceObject) ? TryOpenUnit(Extension, &count) : STATUS_DELETE_PENDING;
    if (NT_SUCCESS(status)) {
        OPEN_CONTEXT* context = AllocateOpenContext(Extension);
        if (file) {
            file->FsContext = context;
            if (context) {
                context->FileObject = file;
            }
        } else if (context) {
            FreeOpenContext(Extension, context);
        }
    }
    CompleteRequest(Irp, status, 0);
    IoDecrement(DeviceObject);
    return status;
}

// Cleanup ends the handle's parked read and nothing else; the close that follows frees the
// context and closes the unit.
NTSTATUS FdoCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                    FDO_EXTENSION* Extension) {
    MAY_WAIT();
    UNREFERENCED_PARAMETER(DeviceObject);
    PFILE_OBJECT file = Stack->FileObject;
    if (file && file->FsContext) {
        EndParkedFileRead(Extension, (OPEN_CONTEXT*)file->FsContext);
    }
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

// Every request on the file object has ended before its close arrives: no read is parked.
NTSTATUS FdoClose(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                  FDO_EXTENSION* Extension) {
    MAY_WAIT();
    PFILE_OBJECT file = Stack->FileObject;
    IoIncrement(DeviceObject);
    if (file && file->FsContext) {
        FreeOpenContext(Extension, (OPEN_CONTEXT*)file->FsContext);
        file->FsContext = NULL;
    }
    CloseUnit(Extension);
    IoDecrement(DeviceObject);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}
