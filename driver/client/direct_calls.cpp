#include "client/client.h"
#include "unit/unit.h"

// The context handed out is the unit's function device object; it stays valid as long as
// the device exists. Both write entries return the number of bytes queued, which is less
// than the length when the unit's ring stayed full; queued bytes go out, the rest do not.
ULONG NTAPI DirectWrite(PVOID Context, const UCHAR* Bytes, ULONG Length) {
    MAY_WAIT();
    return EnqueueOutput((PDEVICE_OBJECT)Context, 0, Bytes, Length);
}

NTSTATUS NTAPI DirectSetMode(PVOID Context, ULONG Selector) {
    MAY_WAIT();
    SetUnitMode(FdoExtension((PDEVICE_OBJECT)Context), Selector ? UNIT_MODE_IDLE : UNIT_MODE_ACTIVE);
    return STATUS_SUCCESS;
}

// The enqueue itself, behind the table's calling convention.
ULONG NTAPI DirectWriteEx(PVOID Context, ULONG Reserved, const UCHAR* Bytes, ULONG Length) {
    MAY_WAIT();
    return EnqueueOutput((PDEVICE_OBJECT)Context, Reserved, Bytes, Length);
}

// Handed out whatever the device's state: what a call then does is what the enqueue does.
// The table holds kernel addresses and the block is written through an unprobed pointer:
// only a kernel-mode requester may have it. A user-mode one is told it lacks the right, which
// is what it lacks; its block is not touched, not even read.
NTSTATUS HandOutDirectCalls(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack) {
    if (Irp->RequestorMode != KernelMode) {
        return STATUS_ACCESS_DENIED;
    }
    DIRECT_CALL_BLOCK* block = (DIRECT_CALL_BLOCK*)Stack->Parameters.DeviceIoControl.Type3InputBuffer;
    if (Stack->Parameters.DeviceIoControl.OutputBufferLength != sizeof(DIRECT_CALL_BLOCK) || !block ||
        block->Magic != DIRECT_CALL_MAGIC) {
        return STATUS_INVALID_PARAMETER;
    }
    block->Context = DeviceObject;
    block->DirectWrite = DirectWrite;
    block->DirectSetMode = DirectSetMode;
    block->DirectWriteEx = DirectWriteEx;
    return STATUS_SUCCESS;
}
