#include "client/client.h"
#include "power/power.h"
#include "transfer/transfer.h"
#include "unit/unit.h"
#include "usb/usb.h"

#define STOP_DRAIN_POLL_MS 100
#define STOP_DRAIN_PATIENCE_MS 500
#define STOP_SETTLE_MS 100
#define CONTINUOUS_READS 2
// An aborted read is home within a frame or two.
#define READS_HOME_POLL_MS 1
#define READS_HOME_PATIENCE_MS 20

static BOOLEAN OutputDrained(FDO_EXTENSION* Extension) { return ReadShared(&Extension->OutputCount) == 0; }

// File handles, the child's client and the bring-up open and close one unit from different
// threads; the open count and the start and stop it drives are one step under OpenLock. Its
// holders' waits are bounded (the stop's drain and its wait for the pump), so is this one.
static VOID LockOpens(FDO_EXTENSION* Extension) {
    MAY_WAIT();
    KeWaitForSingleObject(&Extension->OpenLock, Executive, KernelMode, FALSE, NULL);
}

static VOID UnlockOpens(FDO_EXTENSION* Extension) {
    KeSetEvent(&Extension->OpenLock, IO_NO_INCREMENT, FALSE);
}

// A unit in removal is not opened again: its reads would only fail. A failed first open
// (no pipes, a power-up refused, no thread for the pump) leaves the count at 0 and says why.
NTSTATUS TryOpenUnit(FDO_EXTENSION* Extension, ULONG* Count) {
    MAY_WAIT();
    if (!Extension->PhysicalDeviceObject) {
        *Count = Extension->OpenCount;
        return *Count != 0 ? STATUS_SUCCESS : STATUS_DELETE_PENDING;
    }
    *Count = 0;
    if (ReadShared(&Extension->Flags) & DEVICE_REMOVED) {
        return STATUS_DELETE_PENDING;
    }
    LockOpens(Extension);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG count = ++Extension->OpenCount;
    if (count == 1) {
        status = Extension->BulkInPipe ? StartUnitIo(Extension) : STATUS_DELETE_PENDING;
        if (!NT_SUCCESS(status)) {
            Extension->OpenCount = 0;
            count = 0;
        }
    }
    UnlockOpens(Extension);
    *Count = count;
    return status;
}

ULONG OpenUnit(FDO_EXTENSION* Extension) {
    MAY_WAIT();
    ULONG count = 0;
    TryOpenUnit(Extension, &count);
    return count;
}

BOOLEAN CloseUnit(FDO_EXTENSION* Extension) {
    MAY_WAIT();
    LockOpens(Extension);
    if (Extension->OpenCount != 0 && --Extension->OpenCount == 0) {
        StopUnitIo(Extension);
    }
    UnlockOpens(Extension);
    return TRUE;
}

// At most CONTINUOUS_READS submissions a call: a read that fails at once (the device is
// stopped or gone) ends before the loop looks again, and must not be sent for ever. A read
// is counted before it is sent, so two callers (an open's resume and the pump's recovery)
// never have more than CONTINUOUS_READS out between them.
VOID TopUpReads(FDO_EXTENSION* Extension) {
    MAY_WAIT();
    LONG volatile* inFlight = (LONG volatile*)&Extension->ReadsInFlight;
    for (ULONG tries = 0; tries < CONTINUOUS_READS; ++tries) {
        if (InterlockedIncrement(inFlight) > CONTINUOUS_READS) {
            InterlockedDecrement(inFlight);
            break;
        }
        TransferSlot* slot = AcquireTransferSlot(Extension->DeviceObject);
        if (!slot) {
            InterlockedDecrement(inFlight);
            break;
        }
        slot->SlotFlags |= SLOT_READ;
        SubmitBulkRead(Extension->DeviceObject, slot);
    }
}

// On the pump's thread, at passive level: the reads that a halted pipe ended start again
// once the pipe is reset. The read still queued there is aborted (it carried no data yet)
// and comes home first, or it would be counted as one of the reads sent again.
VOID RecoverHaltedReads(FDO_EXTENSION* Extension) {
    MAY_WAIT();
    ClearFlags(&Extension->Flags, IN_PIPE_HALTED);
    InterlockedIncrement((LONG volatile*)&Extension->PipeResets);
    PDEVICE_OBJECT device = Extension->DeviceObject;
    if (!IsDeviceReady(device) || !NT_SUCCESS(AbortPipe(device, Extension->BulkInPipe))) {
        return;
    }
    if (WaitForCondition(&Extension->ReadsHomeEvent, NoReadsInFlight, Extension, READS_HOME_POLL_MS,
                         READS_HOME_PATIENCE_MS) &&
        NT_SUCCESS(ResetPipe(device, Extension->BulkInPipe))) {
        TopUpReads(Extension);
    }
}

// A unit that could not be powered up is not opened: its suspended port fails every
// transfer, and the opener hears the failing status instead.
NTSTATUS StartUnitIo(FDO_EXTENSION* Extension) {
    MAY_WAIT();
    NTSTATUS power = SelfPowerTransition(Extension->DeviceObject, FALSE);
    if (!NT_SUCCESS(power)) {
        return power;
    }
    KeClearEvent(&Extension->PumpEvent);
    InterlockedExchange((LONG volatile*)&Extension->PipeResets, 0);
    SetFlags(&Extension->Flags, UNIT_PUMP_RUNNING);
    ClearFlags(&Extension->Flags, UNIT_BUSY);
    TopUpReads(Extension);

    HANDLE handle = NULL;
    NTSTATUS status = PsCreateSystemThread(&handle, 0, NULL, NULL, NULL, OutputPumpThread, Extension);
    Extension->PumpThread = NULL;
    if (NT_SUCCESS(status)) {
        PVOID thread = NULL;
        if (NT_SUCCESS(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode,
                                                 &thread, NULL))) {
            Extension->PumpThread = (PKTHREAD)thread;
        }
        ZwClose(handle);
    } else {
        // No pump runs: producers must not wait for one.
        ClearFlags(&Extension->Flags, UNIT_PUMP_RUNNING);
    }
    SetUnitMode(Extension, UNIT_MODE_ACTIVE);
    return status;
}

// The pump still runs while the stop lets it send what is queued, so a close loses nothing
// that was queued before it; only then is the pump told to end, and the stop waits for its
// thread, so a following start never finds a second pump on the ring.
VOID StopUnitIo(FDO_EXTENSION* Extension) {
    MAY_WAIT();
    WaitForCondition(&Extension->OutputDrainedEvent, OutputDrained, Extension, STOP_DRAIN_POLL_MS,
                     STOP_DRAIN_PATIENCE_MS);
    ClearFlags(&Extension->Flags, UNIT_PUMP_RUNNING);
    KeSetEvent(&Extension->PumpEvent, EVENT_INCREMENT, FALSE);
    // The pump sees the flag after its current packet, whose waits are bounded (the busy
    // patience, the pacing of one packet, the packet's own patience): its end comes.
    if (Extension->PumpThread) {
        KeWaitForSingleObject(Extension->PumpThread, Executive, KernelMode, FALSE, NULL);
        ObfDereferenceObject(Extension->PumpThread);
        Extension->PumpThread = NULL;
    }
    if (Extension->UnitMode != UNIT_MODE_IDLE) {
        SetUnitMode(Extension, UNIT_MODE_IDLE);
    }
    DelayMilliseconds(STOP_SETTLE_MS);
    SelfPowerTransition(Extension->DeviceObject, TRUE);
}

// Under the open lock, so no open or close of the unit changes its power meanwhile; a unit
// that is open is in D0 already, one that is closed goes back to its idle state.
VOID ShowTextAwake(FDO_EXTENSION* Extension, const char* Text) {
    MAY_WAIT();
    LockOpens(Extension);
    BOOLEAN closed = Extension->OpenCount == 0;
    // A unit that stays asleep cannot show the text: sending it would only fail.
    if (!closed || NT_SUCCESS(SelfPowerTransition(Extension->DeviceObject, FALSE))) {
        SendDisplayText(Extension->DeviceObject, 0, "%s", Text);
    }
    if (closed) {
        SelfPowerTransition(Extension->DeviceObject, TRUE);
    }
    UnlockOpens(Extension);
}

// A busy reported on the old configuration, or while no read was there to see the unit's
// ready report (a cancelled query), says nothing of the unit now: the state starts afresh.
VOID ResumeUnitIo(FDO_EXTENSION* Extension) {
    MAY_WAIT();
    LockOpens(Extension);
    if (Extension->OpenCount != 0) {
        EndUnitBusy(Extension);
        TopUpReads(Extension);
    }
    UnlockOpens(Extension);
}

// Later closes by the openers find the count at 0 and do nothing. Bytes still queued will
// never go: the loss is reported.
VOID ShutDownUnitIo(FDO_EXTENSION* Extension) {
    MAY_WAIT();
    LockOpens(Extension);
    if (Extension->OpenCount != 0) {
        Extension->OpenCount = 0;
        StopUnitIo(Extension);
    }
    ULONG unsent = ReadShared(&Extension->OutputCount);
    if (unsent != 0) {
        DbgPrint("pmc7r: unit %lu removed with %lu queued bytes unsent\n", Extension->DeviceId, unsent);
    }
    UnlockOpens(Extension);
}
