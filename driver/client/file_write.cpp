#include "client/client.h"
#include "transfer/transfer.h"

// The function device does buffered I/O: the I/O manager has probed the requester's
// buffer and copied it into system memory before the request arrives here. Information is
// the bytes that reached the unit.
NTSTATUS FdoWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                  FDO_EXTENSION* Extension) {
    MAY_WAIT();
    UNREFERENCED_PARAMETER(Extension);
    ULONG length = Stack->Parameters.Write.Length;
    const UCHAR* bytes = (const UCHAR*)Irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG sent = 0;
    if (length != 0 && bytes) {
        status = BulkWriteCounted(DeviceObject, bytes, length, &sent);
    }
    return CompleteRequest(Irp, status, bytes ? sent : length);
}
