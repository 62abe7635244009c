#include "client/client.h"
#include "core/unit_table.h"
#include "transfer/input_ring.h"

// Called with the open-context lock held.
static BOOLEAN ParkFileRead(OPEN_CONTEXT* Context, PIRP Irp, PUCHAR Buffer, ULONG Length) {
    Context->ReadBuffer = Buffer;
    Context->ReadLength = Length;
    return ParkRequest(&Context->PendingReadIrp, Irp, CancelFileRead);
}

// The device does buffered I/O: the destination is the system buffer, which is resident, so
// the copy may run with a spin lock held. A read returns as soon as any input is there.
NTSTATUS FdoRead(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                 FDO_EXTENSION* Extension) {
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Information = 0;
    ULONG length = Stack->Parameters.Read.Length;
    PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    if (length == 0 || !buffer) {
        return CompleteRequest(Irp, STATUS_INFO_LENGTH_MISMATCH, 0);
    }
    OPEN_CONTEXT* context = Stack->FileObject ? (OPEN_CONTEXT*)Stack->FileObject->FsContext : NULL;
    if (!context) {
        return CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    KIRQL irql;
    KeAcquireSpinLock(&Extension->OpenContextLock, &irql);
    if (context->PendingReadIrp) {
        KeReleaseSpinLock(&Extension->OpenContextLock, irql);
        return CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    // A handle that fell more than a ring behind has lost the bytes that were overwritten.
    ULONG copied = CopyInput(Extension, &context->ReadCursor, buffer, length);
    if (copied != 0) {
        KeReleaseSpinLock(&Extension->OpenContextLock, irql);
        return CompleteRequest(Irp, STATUS_SUCCESS, copied);
    }
    BOOLEAN parked = ParkFileRead(context, Irp, buffer, length);
    KeReleaseSpinLock(&Extension->OpenContextLock, irql);
    return PendingUnlessCancelled(Irp, parked);
}

VOID NTAPI CancelFileRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DISPATCH_SAFE();
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    if (SignatureOf(DeviceObject) == FDO_SIGNATURE) {
        FDO_EXTENSION* ext = FdoExtension(DeviceObject);
        KIRQL irql;
        KeAcquireSpinLock(&ext->OpenContextLock, &irql);
        for (OPEN_CONTEXT* c = ext->OpenContextList; c; c = c->Next) {
            ForgetCancelledRequest(&c->PendingReadIrp, Irp);
        }
        KeReleaseSpinLock(&ext->OpenContextLock, irql);
    }
    CompleteRequest(Irp, STATUS_CANCELLED, 0);
}

// The handle's last close: a read parked on it would otherwise keep the file object, and so
// the unit's open, until its thread ends.
VOID EndParkedFileRead(FDO_EXTENSION* Extension, OPEN_CONTEXT* Context) {
    KIRQL irql;
    KeAcquireSpinLock(&Extension->OpenContextLock, &irql);
    PIRP irp = UnparkRequest(&Context->PendingReadIrp);
    KeReleaseSpinLock(&Extension->OpenContextLock, irql);
    if (irp) {
        CompleteRequest(irp, STATUS_CANCELLED, 0);
    }
}

// The served reads wait on a chain through their first driver context word, which is the
// driver's while it owns the request.
static VOID SetAside(FDO_EXTENSION* Extension, PIRP Irp) {
    Irp->Tail.Overlay.DriverContext[0] = Extension->ServedFileReads;
    Extension->ServedFileReads = Irp;
}

// The cancel routine is withdrawn before a byte is copied: if the cancel path has the
// request already, the bytes stay for the handle's next read.
VOID ServeFileReads(FDO_EXTENSION* Extension) {
    DISPATCH_SAFE();
    KIRQL irql;
    KeAcquireSpinLock(&Extension->OpenContextLock, &irql);
    for (OPEN_CONTEXT* c = Extension->OpenContextList; c; c = c->Next) {
        PIRP irp = HasInput(Extension, c->ReadCursor) ? UnparkRequest(&c->PendingReadIrp) : NULL;
        if (irp) {
            irp->IoStatus.Information = CopyInput(Extension, &c->ReadCursor, c->ReadBuffer, c->ReadLength);
            SetAside(Extension, irp);
        }
    }
    KeReleaseSpinLock(&Extension->OpenContextLock, irql);
}

// Completion may come back into the driver, so it runs with none of its locks held.
VOID CompleteServedFileReads(FDO_EXTENSION* Extension) {
    DISPATCH_SAFE();
    KIRQL irql;
    KeAcquireSpinLock(&Extension->OpenContextLock, &irql);
    PIRP irp = Extension->ServedFileReads;
    Extension->ServedFileReads = NULL;
    KeReleaseSpinLock(&Extension->OpenContextLock, irql);
    while (irp) {
        PIRP next = (PIRP)irp->Tail.Overlay.DriverContext[0];
        CompleteRequest(irp, STATUS_SUCCESS, irp->IoStatus.Information);
        irp = next;
    }
}
