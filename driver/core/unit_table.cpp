#include "core/unit_table.h"

UNIT_SLOT UnitTable[MAX_UNITS];
PDO_EXTENSION* ChildList;

VOID ResetUnitTable(void) {
    RtlZeroMemory(UnitTable, sizeof(UnitTable));
    ChildList = NULL;
}

// Bytes that do not fit stay in the ring behind the cursor, for the next request.
VOID CopyUnitInput(UNIT_SLOT* Slot, FDO_EXTENSION* Unit, UNIT_DATA_BLOCK* Block) {
    while (Slot->ClientReadCursor != Unit->InputWriteIndex &&
           (LONG)Block->ByteCount < Block->Capacity) {
        Block->Data[Block->ByteCount] = Unit->InputRing[Slot->ClientReadCursor];
        Block->ByteCount += 1;
        Slot->ClientReadCursor = (Slot->ClientReadCursor + 1) & (INPUT_RING_SIZE - 1);
    }
    Block->DeviceId = Unit->DeviceId;
}

BOOLEAN HasInputFor(UNIT_SLOT* Slot, FDO_EXTENSION* Unit, UNIT_DATA_BLOCK* Block) {
    return Slot->ClientReadCursor != Unit->InputWriteIndex &&
           (LONG)Block->ByteCount < Block->Capacity;
}
