#include "client/client.h"
#include "core/unit_table.h"
#include "transfer/input_ring.h"

// The lowest device ID with unread input wins; bytes that do not fit wait for the next read.
static BOOLEAN ServeFromTable(UNIT_DATA_BLOCK* Block) {
    for (ULONG id = 0; id < MAX_UNITS; ++id) {
        FDO_EXTENSION* unit = ReferenceSlotUnit(id);
        if (!unit) {
            continue;
        }
        BOOLEAN waiting = HasInput(unit, UnitTable[id].ClientReadCursor);
        if (waiting) {
            CopyUnitInput(&UnitTable[id], unit, Block);
        }
        DereferenceSlotUnit(unit);
        if (waiting) {
            return TRUE;
        }
    }
    return FALSE;
}

// The test for a parked read, the scan and the parking are one step under the child's read
// lock: a second read cannot slip in beside the first, and input that arrives after the scan
// finds the read parked when its delivery gets the lock. The lock is never taken with a
// unit's InputLock held the other way round: the delivery takes InputLock, then this one.
NTSTATUS ChildRead(PIRP Irp, PIO_STACK_LOCATION Stack, PDO_EXTENSION* Child) {
    DISPATCH_SAFE();
    UNIT_DATA_BLOCK* block = (UNIT_DATA_BLOCK*)Stack->Parameters.DeviceIoControl.Type3InputBuffer;
    if (Stack->Parameters.DeviceIoControl.OutputBufferLength != sizeof(UNIT_DATA_BLOCK)) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    KIRQL irql;
    KeAcquireSpinLock(&Child->ReadLock, &irql);
    if (Child->PendingReadIrp || !block || block->Capacity == 0 || !block->Data) {
        KeReleaseSpinLock(&Child->ReadLock, irql);
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    block->ByteCount = 0;
    if (ServeFromTable(block)) {
        KeReleaseSpinLock(&Child->ReadLock, irql);
        return CompleteRequest(Irp, STATUS_SUCCESS, block->ByteCount);
    }
    Child->PendingReadBlock = block;
    BOOLEAN parked = ParkRequest(&Child->PendingReadIrp, Irp, CancelChildRead);
    KeReleaseSpinLock(&Child->ReadLock, irql);
    return PendingUnlessCancelled(Irp, parked);
}

VOID NTAPI CancelChildRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DISPATCH_SAFE();
    PDO_EXTENSION* child = (PDO_EXTENSION*)DeviceObject->DeviceExtension;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&child->ReadLock, &irql);
    ForgetCancelledRequest(&child->PendingReadIrp, Irp);
    KeReleaseSpinLock(&child->ReadLock, irql);
    CompleteRequest(Irp, STATUS_CANCELLED, 0);
}

// The cancel routine is withdrawn before a byte is copied: if the cancel path has the
// request already, the bytes stay in the ring for the next read instead of being lost.
PIRP DeliverToChild(PDO_EXTENSION* Child, UNIT_SLOT* Slot, FDO_EXTENSION* Unit) {
    DISPATCH_SAFE();
    PIRP irp = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&Child->ReadLock, &irql);
    UNIT_DATA_BLOCK* block = Child->PendingReadBlock;
    if (Child->PendingReadIrp && HasInputFor(Slot, Unit, block)) {
        irp = UnparkRequest(&Child->PendingReadIrp);
    }
    if (irp) {
        CopyUnitInput(Slot, Unit, block);
        irp->IoStatus.Information = block->ByteCount;
    }
    KeReleaseSpinLock(&Child->ReadLock, irql);
    return irp;
}

// Information was set to the bytes copied under the read lock.
VOID CompleteDeliveredRead(PIRP Irp) {
    DISPATCH_SAFE();
    CompleteRequest(Irp, STATUS_SUCCESS, Irp->IoStatus.Information);
}

PIRP TakeParkedChildRead(PDO_EXTENSION* Child) {
    DISPATCH_SAFE();
    KIRQL irql;
    KeAcquireSpinLock(&Child->ReadLock, &irql);
    PIRP irp = UnparkRequest(&Child->PendingReadIrp);
    KeReleaseSpinLock(&Child->ReadLock, irql);
    return irp;
}
