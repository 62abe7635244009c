#include "transfer/transfer.h"

#define SLOT_WAIT_MS 1000

// The pool holds 32 places; an IRP that cannot be allocated leaves its place to the next
// attempt, so the slots that exist lie at the start of the pool, chained in creation order.
VOID CreateTransferSlots(PDEVICE_OBJECT DeviceObject) {
    FDO_EXTENSION* ext = FdoExtension(DeviceObject);
    SIZE_T size = TRANSFER_SLOT_COUNT * sizeof(TransferSlot);

    ext->SlotPool = ExAllocatePoolWithTag(NonPagedPool, size, POOL_TAG);
    KeInitializeSemaphore(&ext->FreeSlotSemaphore, 0, TRANSFER_SLOT_COUNT);
    KeInitializeSpinLock(&ext->SlotListLock);
    ext->LowerStackSize = ext->LowerDevice ? ext->LowerDevice->StackSize : 0;
    if (!ext->SlotPool) {
        return;
    }
    RtlZeroMemory(ext->SlotPool, size);

    TransferSlot* places = (TransferSlot*)ext->SlotPool;
    TransferSlot* last = NULL;
    ULONG used = 0;
    for (ULONG attempt = 0; attempt < TRANSFER_SLOT_COUNT; ++attempt) {
        TransferSlot* slot = &places[used];
        slot->Irp = IoAllocateIrp((CCHAR)ext->LowerStackSize, FALSE);
        if (!slot->Irp) {
            continue;
        }
        slot->Owner = DeviceObject;
        slot->NextFree = ext->FreeSlotList;
        ext->FreeSlotList = slot;
        if (last) {
            last->NextInPool = slot;
        } else {
            ext->SlotChain = slot;
        }
        last = slot;
        ++used;
        KeReleaseSemaphore(&ext->FreeSlotSemaphore, IO_NO_INCREMENT, 1, FALSE);
    }
}

VOID FreeTransferSlots(FDO_EXTENSION* Extension) {
    for (TransferSlot* slot = Extension->SlotChain; slot; slot = slot->NextInPool) {
        IoFreeIrp(slot->Irp);
    }
    Extension->SlotChain = NULL;
    Extension->FreeSlotList = NULL;
    if (Extension->SlotPool) {
        ExFreePool(Extension->SlotPool);
        Extension->SlotPool = NULL;
    }
}

// The semaphore is taken before a slot is popped, so the list is never empty here.
TransferSlot* AcquireTransferSlot(PDEVICE_OBJECT DeviceObject) {
    MAY_WAIT();
    FDO_EXTENSION* ext = FdoExtension(DeviceObject);
    if (TimedWait(&ext->FreeSlotSemaphore, SLOT_WAIT_MS) == STATUS_TIMEOUT) {
        return NULL;
    }
    KIRQL irql;
    KeAcquireSpinLock(&ext->SlotListLock, &irql);
    TransferSlot* slot = ext->FreeSlotList;
    ext->FreeSlotList = slot->NextFree;
    slot->SlotFlags = SLOT_TAKEN;
    KeReleaseSpinLock(&ext->SlotListLock, irql);
    return slot;
}

// Callable from the bulk-in completion: the list lock excludes writers on every processor.
VOID ReleaseTransferSlot(PDEVICE_OBJECT DeviceObject, TransferSlot* Slot) {
    DISPATCH_SAFE();
    FDO_EXTENSION* ext = FdoExtension(DeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&ext->SlotListLock, &irql);
    Slot->NextFree = ext->FreeSlotList;
    ext->FreeSlotList = Slot;
    Slot->SlotFlags = 0;
    KeReleaseSpinLock(&ext->SlotListLock, irql);
    KeReleaseSemaphore(&ext->FreeSlotSemaphore, IO_NO_INCREMENT, 1, FALSE);
    // Only the removal waits for every slot; the data paths pay nothing before it.
    if (ReadShared(&ext->Flags) & DEVICE_REMOVED) {
        KeSetEvent(&ext->SlotsHomeEvent, IO_NO_INCREMENT, FALSE);
    }
}
