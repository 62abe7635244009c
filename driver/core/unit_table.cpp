#include "core/unit_table.h"
#include "transfer/input_ring.h"

UNIT_SLOT UnitTable[MAX_UNITS];
PDO_EXTENSION* ChildList;
static KSPIN_LOCK UnitTableLock;

VOID ResetUnitTable(void) {
    RtlZeroMemory(UnitTable, sizeof(UnitTable));
    ChildList = NULL;
    KeInitializeSpinLock(&UnitTableLock);
    InitializeChildLinks();
}

BOOLEAN ClaimUnitSlot(FDO_EXTENSION* Unit, ULONG DeviceId) {
    if (DeviceId >= MAX_UNITS) {
        return FALSE;
    }
    UNIT_SLOT* slot = &UnitTable[DeviceId];
    KIRQL irql;
    KeAcquireSpinLock(&UnitTableLock, &irql);
    BOOLEAN won = slot->UnitExtension == NULL || slot->UnitExtension == Unit;
    if (won && slot->UnitExtension == NULL) {
        slot->ClientReadCursor = InputPosition(Unit);
        InterlockedExchangePointer((PVOID volatile*)&slot->UnitExtension, Unit);
        InterlockedExchangePointer((PVOID volatile*)&Unit->UnitSlot, slot);
    }
    KeReleaseSpinLock(&UnitTableLock, irql);
    return won;
}

VOID ReleaseUnitSlot(FDO_EXTENSION* Unit) {
    KIRQL irql;
    KeAcquireSpinLock(&UnitTableLock, &irql);
    UNIT_SLOT* slot = (UNIT_SLOT*)ReadSharedPointer((PVOID volatile*)&Unit->UnitSlot);
    if (slot && slot->UnitExtension == Unit) {
        InterlockedExchangePointer((PVOID volatile*)&slot->UnitExtension, NULL);
    }
    InterlockedExchangePointer((PVOID volatile*)&Unit->UnitSlot, NULL);
    KeReleaseSpinLock(&UnitTableLock, irql);
}

FDO_EXTENSION* ReferenceSlotUnit(ULONG DeviceId) {
    DISPATCH_SAFE();
    if (DeviceId >= MAX_UNITS) {
        return NULL;
    }
    KIRQL irql;
    KeAcquireSpinLock(&UnitTableLock, &irql);
    FDO_EXTENSION* unit = UnitTable[DeviceId].UnitExtension;
    if (unit) {
        IoIncrement(unit->DeviceObject);
    }
    KeReleaseSpinLock(&UnitTableLock, irql);
    return unit;
}

VOID DereferenceSlotUnit(FDO_EXTENSION* Unit) {
    DISPATCH_SAFE();
    if (Unit) {
        IoDecrement(Unit->DeviceObject);
    }
}

// Bytes that do not fit stay in the ring behind the cursor, for the next request.
VOID CopyUnitInput(UNIT_SLOT* Slot, FDO_EXTENSION* Unit, UNIT_DATA_BLOCK* Block) {
    DISPATCH_SAFE();
    ULONG count = Block->ByteCount;
    ULONG room = (LONG)count < Block->Capacity ? (ULONG)(Block->Capacity - (LONG)count) : 0;
    Block->ByteCount = count + CopyInput(Unit, &Slot->ClientReadCursor, Block->Data + count, room);
    Block->DeviceId = ReadShared(&Unit->DeviceId);
}

BOOLEAN HasInputFor(UNIT_SLOT* Slot, FDO_EXTENSION* Unit, UNIT_DATA_BLOCK* Block) {
    DISPATCH_SAFE();
    return HasInput(Unit, Slot->ClientReadCursor) && (LONG)Block->ByteCount < Block->Capacity;
}
