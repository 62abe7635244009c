#include "client/client.h"
#include "transfer/transfer.h"

#define PUMP_WAIT_100NS (-20000LL)  // 2 ms, relative
#define FULL_RING_POLL_MS 50
// A ring that stays full this long while its pump runs has a unit that takes nothing.
#define FULL_RING_PATIENCE_MS 2000

static ULONG ContiguousFrom(ULONG Index, ULONG Count) {
    return Index + Count > OUTPUT_RING_SIZE ? OUTPUT_RING_SIZE - Index : Count;
}

// A producer waits only on a full ring and the stop only for an empty one: the pump signals
// those two changes, not every packet.
static VOID TakeOutput(FDO_EXTENSION* Extension, ULONG Bytes) {
    if (Bytes == 0) {
        return;
    }
    Extension->OutputReadIndex = (Extension->OutputReadIndex + Bytes) & (OUTPUT_RING_SIZE - 1);
    LONG before = InterlockedExchangeAdd((LONG volatile*)&Extension->OutputCount, -(LONG)Bytes);
    if (before == OUTPUT_RING_SIZE) {
        KeSetEvent(&Extension->OutputRoomEvent, IO_NO_INCREMENT, FALSE);
    }
    if ((ULONG)before == Bytes) {
        KeSetEvent(&Extension->OutputDrainedEvent, IO_NO_INCREMENT, FALSE);
    }
}

// The pump is the ring's only consumer: it alone moves OutputReadIndex. The count it reads
// was published after the bytes it covers were stored. It writes a packet at a time, so a
// stop never waits for more than one packet, and takes from the ring only what reached the
// unit: bytes a stop or a failed transfer took back stay queued and go at a later wake-up,
// once the unit runs again.
static VOID DrainOutput(FDO_EXTENSION* Extension) {
    MAY_WAIT();
    ULONG queued;
    while ((ReadShared(&Extension->Flags) & UNIT_PUMP_RUNNING) &&
           (queued = ReadShared(&Extension->OutputCount)) != 0) {
        ULONG n = ContiguousFrom(Extension->OutputReadIndex, queued);
        ULONG packet = Extension->MaxPacketSize;
        if (packet != 0 && n > packet) {
            n = packet;
        }
        ULONG sent = 0;
        NTSTATUS status = BulkWriteCounted(Extension->DeviceObject,
                                           &Extension->OutputRing[Extension->OutputReadIndex], n, &sent);
        TakeOutput(Extension, sent);
        if (status == STATUS_IO_TIMEOUT) {
            // A busy that outlived the writer's patience is stale (a lost ready report): the
            // wire pacing alone keeps the unit's buffer from overflowing.
            EndUnitBusy(Extension);
        }
        if (!NT_SUCCESS(status)) {
            return;
        }
    }
}

VOID NTAPI OutputPumpThread(PVOID Context) {
    MAY_WAIT();
    FDO_EXTENSION* ext = (FDO_EXTENSION*)Context;
    KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
    LARGE_INTEGER wait;
    wait.QuadPart = PUMP_WAIT_100NS;
    for (;;) {
        KeWaitForSingleObject(&ext->PumpEvent, Executive, KernelMode, FALSE, &wait);
        if (!(ReadShared(&ext->Flags) & UNIT_PUMP_RUNNING)) {
            break;
        }
        if (ReadShared(&ext->Flags) & IN_PIPE_HALTED) {
            RecoverHaltedReads(ext);
        }
        DrainOutput(ext);
        if (!(ReadShared(&ext->Flags) & UNIT_PUMP_RUNNING)) {
            break;
        }
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// Copies what fits now; returns the bytes taken.
static ULONG QueueSome(FDO_EXTENSION* Extension, const UCHAR* Source, ULONG Length) {
    ULONG free = OUTPUT_RING_SIZE - ReadShared(&Extension->OutputCount);
    ULONG n = Length < free ? Length : free;
    n = ContiguousFrom(Extension->OutputWriteIndex, n);
    RtlCopyMemory(&Extension->OutputRing[Extension->OutputWriteIndex], Source, n);
    Extension->OutputWriteIndex = (Extension->OutputWriteIndex + n) & (OUTPUT_RING_SIZE - 1);
    InterlockedExchangeAdd((LONG volatile*)&Extension->OutputCount, (LONG)n);
    return n;
}

static BOOLEAN RingHasRoom(FDO_EXTENSION* Extension) {
    return ReadShared(&Extension->OutputCount) < OUTPUT_RING_SIZE;
}

// Is it worth waiting for the pump to make room?
static BOOLEAN PumpCanDrain(FDO_EXTENSION* Extension) {
    return (ReadShared(&Extension->Flags) & UNIT_PUMP_RUNNING) && IsDeviceReady(Extension->DeviceObject);
}

// Producers take OutputLock one at a time, so each call's bytes stay together and in order.
// A full ring is waited out while the unit's pump runs and drains (the pump's room signal
// ends each wait, a look every 50 ms backs it); when it does not (the unit is not open, the
// device has gone, or nothing drained for 2 s), the call returns what it queued so far, which
// the caller reports as a short count.
ULONG EnqueueOutput(PDEVICE_OBJECT FunctionDevice, ULONG Reserved, const UCHAR* Source,
                    ULONG Length) {
    MAY_WAIT();
    UNREFERENCED_PARAMETER(Reserved);
    if (Length == 0) {
        return 0;
    }
    FDO_EXTENSION* ext = FdoExtension(FunctionDevice);
    // Its holder waits at most the full ring's patience for each step of room.
    KeWaitForSingleObject(&ext->OutputLock, Executive, KernelMode, FALSE, NULL);
    ULONG total = 0;
    ULONG waited = 0;
    while (total < Length) {
        ULONG n = QueueSome(ext, Source + total, Length - total);
        total += n;
        if (n != 0) {
            waited = 0;
            continue;
        }
        if (!PumpCanDrain(ext) || waited >= FULL_RING_PATIENCE_MS) {
            break;
        }
        WaitForSignal(&ext->OutputRoomEvent, RingHasRoom, ext, FULL_RING_POLL_MS);
        waited += FULL_RING_POLL_MS;
    }
    KeSetEvent(&ext->OutputLock, IO_NO_INCREMENT, FALSE);
    return total;
}
