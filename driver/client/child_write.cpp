#include "client/client.h"

// A write that could not queue every byte (the unit's ring stayed full: its pump does not
// run, or the unit took nothing for the enqueue's patience) says so with a warning status,
// STATUS_DEVICE_BUSY, and tells how many bytes were queued; those go out, the rest do not.
#define STATUS_NOT_ALL_QUEUED STATUS_DEVICE_BUSY

// The request block is the MIDI bytes themselves, InputBufferLength of them; Information is
// the number queued.
NTSTATUS ChildWriteMaster(PIRP Irp, PIO_STACK_LOCATION Stack) {
    MAY_WAIT();
    ULONG length = Stack->Parameters.DeviceIoControl.InputBufferLength;
    const UCHAR* bytes = (const UCHAR*)Stack->Parameters.DeviceIoControl.Type3InputBuffer;
    if (length == 0 || !bytes) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    FDO_EXTENSION* master = ReferenceSlotUnit(MASTER_DEVICE_ID);
    if (!master) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    ULONG queued = EnqueueOutput(master->DeviceObject, 0, bytes, length);
    DereferenceSlotUnit(master);
    return CompleteRequest(Irp, queued == length ? STATUS_SUCCESS : STATUS_NOT_ALL_QUEUED, queued);
}

// Bytes for an empty slot are dropped without an error: the client cannot tell a unit that
// has just gone from one that never was. Bytes that are not there are refused. Information
// stays the block's size; a shortfall puts the number queued in the block's ByteCount.
NTSTATUS ChildWrite(PIRP Irp, PIO_STACK_LOCATION Stack) {
    MAY_WAIT();
    UNIT_DATA_BLOCK* block = (UNIT_DATA_BLOCK*)Stack->Parameters.DeviceIoControl.Type3InputBuffer;
    if (Stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(UNIT_DATA_BLOCK) || !block ||
        block->DeviceId >= MAX_UNITS || (!block->Data && block->ByteCount != 0)) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    FDO_EXTENSION* unit = ReferenceSlotUnit(block->DeviceId);
    if (unit) {
        ULONG queued = EnqueueOutput(unit->DeviceObject, 0, block->Data, block->ByteCount);
        DereferenceSlotUnit(unit);
        if (queued != block->ByteCount) {
            block->ByteCount = queued;
            return CompleteRequest(Irp, STATUS_NOT_ALL_QUEUED, sizeof(UNIT_DATA_BLOCK));
        }
    }
    return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(UNIT_DATA_BLOCK));
}
