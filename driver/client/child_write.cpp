#include "client/client.h"

// The request block is the MIDI bytes themselves, InputBufferLength of them.
NTSTATUS ChildWriteMaster(PIRP Irp, PIO_STACK_LOCATION Stack) {
    ULONG length = Stack->Parameters.DeviceIoControl.InputBufferLength;
    const UCHAR* bytes = (const UCHAR*)Stack->Parameters.DeviceIoControl.Type3InputBuffer;
    if (length == 0 || !bytes) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    FDO_EXTENSION* master = ReferenceSlotUnit(MASTER_DEVICE_ID);
    if (!master) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    EnqueueOutput(master->DeviceObject, 0, bytes, length);
    DereferenceSlotUnit(master);
    return CompleteRequest(Irp, STATUS_SUCCESS, length);
}

// Bytes for an empty slot are dropped without an error: the client cannot tell a unit that
// has just gone from one that never was. Bytes that are not there are refused.
NTSTATUS ChildWrite(PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNIT_DATA_BLOCK* block = (UNIT_DATA_BLOCK*)Stack->Parameters.DeviceIoControl.Type3InputBuffer;
    if (Stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(UNIT_DATA_BLOCK) || !block ||
        block->DeviceId >= MAX_UNITS || (!block->Data && block->ByteCount != 0)) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    FDO_EXTENSION* unit = ReferenceSlotUnit(block->DeviceId);
    if (unit) {
        EnqueueOutput(unit->DeviceObject, 0, block->Data, block->ByteCount);
        DereferenceSlotUnit(unit);
    }
    return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(UNIT_DATA_BLOCK));
}
