#include "core/unit_table.h"

BOOLEAN ArmCancelRoutine(PIRP Irp, PDRIVER_CANCEL Routine) {
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    IoSetCancelRoutine(Irp, Routine);
    BOOLEAN cancelledAlready = Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL;
    IoReleaseCancelSpinLock(cancelIrql);
    return !cancelledAlready;
}

// Everything is in place before the cancel routine is: from then on the delivery or the
// cancel routine may take the request at any moment.
BOOLEAN ParkChildReadLocked(PDO_EXTENSION* Child, PIRP Irp, UNIT_DATA_BLOCK* Block) {
    Child->PendingReadBlock = Block;
    Child->PendingReadIrp = Irp;
    IoMarkIrpPending(Irp);
    if (!ArmCancelRoutine(Irp, CancelChildRead)) {
        Child->PendingReadIrp = NULL;
        return FALSE;
    }
    return TRUE;
}

NTSTATUS ParkChildRead(PDO_EXTENSION* Child, PIRP Irp, UNIT_DATA_BLOCK* Block) {
    KIRQL irql;
    KeAcquireSpinLock(&Child->ReadLock, &irql);
    BOOLEAN parked = ParkChildReadLocked(Child, Irp, Block);
    KeReleaseSpinLock(&Child->ReadLock, irql);
    if (!parked) {
        CompleteRequest(Irp, STATUS_CANCELLED, 0);
    }
    return STATUS_PENDING;
}

VOID NTAPI CancelChildRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDO_EXTENSION* child = (PDO_EXTENSION*)DeviceObject->DeviceExtension;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&child->ReadLock, &irql);
    if (child->PendingReadIrp == Irp) {
        child->PendingReadIrp = NULL;
    }
    KeReleaseSpinLock(&child->ReadLock, irql);
    CompleteRequest(Irp, STATUS_CANCELLED, 0);
}

// The cancel routine is withdrawn before a byte is copied: if the cancel path has the
// request already, the bytes stay in the ring for the next read instead of being lost.
PIRP DeliverToChild(PDO_EXTENSION* Child, UNIT_SLOT* Slot, FDO_EXTENSION* Unit) {
    PIRP complete = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&Child->ReadLock, &irql);
    PIRP irp = Child->PendingReadIrp;
    if (irp) {
        UNIT_DATA_BLOCK* block = (UNIT_DATA_BLOCK*)Child->PendingReadBlock;
        if (HasInputFor(Slot, Unit, block) && IoSetCancelRoutine(irp, NULL) != NULL) {
            Child->PendingReadIrp = NULL;
            CopyUnitInput(Slot, Unit, block);
            irp->IoStatus.Information = block->ByteCount;
            complete = irp;
        }
    }
    KeReleaseSpinLock(&Child->ReadLock, irql);
    return complete;
}

// Information was set to the bytes copied under the read lock.
VOID CompleteDeliveredRead(PIRP Irp) {
    CompleteRequest(Irp, STATUS_SUCCESS, Irp->IoStatus.Information);
}

PIRP TakeParkedChildRead(PDO_EXTENSION* Child) {
    KIRQL irql;
    KeAcquireSpinLock(&Child->ReadLock, &irql);
    PIRP irp = Child->PendingReadIrp;
    if (irp && IoSetCancelRoutine(irp, NULL) != NULL) {
        Child->PendingReadIrp = NULL;
    } else {
        irp = NULL;  // none, or the cancel routine has it
    }
    KeReleaseSpinLock(&Child->ReadLock, irql);
    return irp;
}
