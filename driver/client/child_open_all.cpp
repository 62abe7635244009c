#include "client/client.h"
#include "transfer/input_ring.h"

// The stream of each unit starts with the input that arrives from now on. The cursor is
// moved under the child's read lock, as the delivery to a parked read moves it.
static VOID RestartStream(PDO_EXTENSION* Child, UNIT_SLOT* Slot, FDO_EXTENSION* Unit) {
    KIRQL irql;
    KeAcquireSpinLock(&Child->ReadLock, &irql);
    Slot->ClientReadCursor = InputPosition(Unit);
    KeReleaseSpinLock(&Child->ReadLock, irql);
}

// A unit that fails to open is still part of the stream: its reads run whenever it is started.
NTSTATUS ChildOpenAll(PIRP Irp, PDO_EXTENSION* Child) {
    MAY_WAIT();
    for (ULONG id = 0; id < MAX_UNITS; ++id) {
        FDO_EXTENSION* unit = ReferenceSlotUnit(id);
        if (unit) {
            OpenUnit(unit);
            RestartStream(Child, &UnitTable[id], unit);
            DereferenceSlotUnit(unit);
        }
    }
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS ChildCloseAll(PIRP Irp) {
    MAY_WAIT();
    for (ULONG id = 0; id < MAX_UNITS; ++id) {
        FDO_EXTENSION* unit = ReferenceSlotUnit(id);
        if (unit) {
            CloseUnit(unit);
            DereferenceSlotUnit(unit);
        }
    }
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}
