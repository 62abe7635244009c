#include "transfer/transfer.h"
#include "usb/usb.h"

#define BUSY_POLL_MS 20
// A unit's MIDI-out buffer plays out at 3125 bytes a second: even a 3 KB buffer is ready
// again within a second. A write held back longer than this by busy has met a unit that
// stays busy, or a ready report that got lost; it fails rather than wait for ever.
#define BUSY_PATIENCE_MS 1000
// A full-speed packet the unit takes leaves within a frame; one it has not taken in 500
// frames is cancelled, so that no writer (and no close waiting for the pump) hangs on it.
#define PACKET_PATIENCE_MS 500
#define POWER_POLL_MS 20

static BOOLEAN BelowFullPower(FDO_EXTENSION* Extension) {
    return ReadShared(&Extension->DevicePowerState) > PowerDeviceD0;
}

static BOOLEAN AtFullPower(FDO_EXTENSION* Extension) { return !BelowFullPower(Extension); }

static BOOLEAN NotBusy(FDO_EXTENSION* Extension) { return !(ReadShared(&Extension->Flags) & UNIT_BUSY); }

// A unit below D0 has its port suspended and takes no transfers. One that is open (its pump
// runs) is waited for: a system sleep ends with a wake, or the device goes. Nothing wakes a
// unit that is not open, so a write to it fails.
// The power-up's completion sets FullPowerEvent; the pump's end and the device's going are
// seen at the next look.
static BOOLEAN WaitForFullPower(FDO_EXTENSION* Extension) {
    MAY_WAIT();
    while (BelowFullPower(Extension)) {
        if (!(ReadShared(&Extension->Flags) & UNIT_PUMP_RUNNING) || !IsDeviceReady(Extension->DeviceObject)) {
            return FALSE;
        }
        WaitForSignal(&Extension->FullPowerEvent, AtFullPower, Extension, POWER_POLL_MS);
    }
    return TRUE;
}

VOID EndUnitBusy(FDO_EXTENSION* Extension) {
    DISPATCH_SAFE();
    if (ClearFlags(&Extension->Flags, UNIT_BUSY) & UNIT_BUSY) {
        KeSetEvent(&Extension->BusyEndedEvent, IO_NO_INCREMENT, FALSE);
    }
}

VOID FillBulkTransfer(struct _URB_BULK_OR_INTERRUPT_TRANSFER* Urb, USBD_PIPE_HANDLE Pipe,
                      ULONG TransferFlags, PVOID Buffer, ULONG Length) {
    Urb->Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    Urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    Urb->PipeHandle = Pipe;
    Urb->TransferFlags = TransferFlags;
    Urb->TransferBufferLength = Length;
    Urb->TransferBuffer = Buffer;
    Urb->TransferBufferMDL = NULL;
    Urb->UrbLink = NULL;
}

// Sends one packet of exactly MaxPacketSize bytes; a short last piece goes out of a
// bounce buffer filled up with 0xFF. Returns the bytes of the caller's data it used up.
static NTSTATUS SendPacket(PDEVICE_OBJECT DeviceObject, TransferSlot* Slot, const UCHAR* Source,
                           ULONG Remaining, ULONG* Consumed) {
    MAY_WAIT();
    FDO_EXTENSION* ext = FdoExtension(DeviceObject);
    ULONG packet = ext->MaxPacketSize;
    UCHAR bounce[PACKET_BUFFER_SIZE];
    PVOID buffer = (PVOID)Source;

    if (Remaining < packet) {
        RtlCopyMemory(bounce, Source, Remaining);
        RtlFillMemory(bounce + Remaining, packet - Remaining, 0xFF);
        buffer = bounce;
        *Consumed = Remaining;
    } else {
        *Consumed = packet;
    }
    FillBulkTransfer(&Slot->Urb, ext->BulkOutPipe, BULK_WRITE_FLAGS, buffer, packet);
    return SubmitUrbSyncTimed(DeviceObject, (PURB)&Slot->Urb, PACKET_PATIENCE_MS);
}

// One writer at a time per unit: the packets of one write leave back to back, so a
// multi-packet message never interleaves with another writer's packets. Every holder's
// waits are bounded (slot, busy, pacing, packet), so is this one.
static VOID LockWrites(FDO_EXTENSION* Extension) {
    MAY_WAIT();
    KeWaitForSingleObject(&Extension->WriteLock, Executive, KernelMode, FALSE, NULL);
}

static VOID UnlockWrites(FDO_EXTENSION* Extension) {
    KeSetEvent(&Extension->WriteLock, IO_NO_INCREMENT, FALSE);
}

// Sends the packets under WriteLock; *Sent counts the caller's bytes that went.
static NTSTATUS SendPackets(PDEVICE_OBJECT DeviceObject, TransferSlot* Slot, const UCHAR* Bytes,
                            ULONG Length, ULONG* Sent) {
    MAY_WAIT();
    FDO_EXTENSION* ext = FdoExtension(DeviceObject);
    ULONG remaining = Length;
    const UCHAR* source = Bytes;
    ULONG heldBusy = 0;
    NTSTATUS status = STATUS_SUCCESS;
    while (remaining != 0) {
        if (!IsDeviceReady(DeviceObject)) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        if (!NotBusy(ext)) {
            if (heldBusy >= BUSY_PATIENCE_MS) {
                return STATUS_IO_TIMEOUT;
            }
            // The ready report's completion ends the wait.
            WaitForSignal(&ext->BusyEndedEvent, NotBusy, ext, BUSY_POLL_MS);
            heldBusy += BUSY_POLL_MS;
            continue;
        }
        if (!WaitForFullPower(ext)) {
            return STATUS_DEVICE_POWERED_OFF;
        }
        ULONG chunk = remaining < ext->MaxPacketSize ? remaining : ext->MaxPacketSize;
        ULONG pause = WireWaitMs(ext, chunk);
        if (pause != 0) {
            DelayMilliseconds(pause);
            continue;
        }
        ULONG consumed = 0;
        status = SendPacket(DeviceObject, Slot, source, remaining, &consumed);
        // The port may have been suspended between the look at the power state and the send.
        if (status == STATUS_DEVICE_POWERED_OFF && BelowFullPower(ext)) {
            continue;
        }
        if (!NT_SUCCESS(status)) {
            // The packet did not go; its pipe is made ready for the next write, which
            // sends what this one could not. What a failed submission says is not passed on.
            if (PipeHalted(Slot->Urb.Hdr.Status)) {
                ResetPipe(DeviceObject, ext->BulkOutPipe);
            }
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        ChargeWire(ext, consumed);
        remaining -= consumed;
        source += consumed;
        *Sent += consumed;
    }
    return status;
}

NTSTATUS BulkWrite(PDEVICE_OBJECT DeviceObject, const UCHAR* Bytes, ULONG Length) {
    MAY_WAIT();
    ULONG sent = 0;
    return BulkWriteCounted(DeviceObject, Bytes, Length, &sent);
}

// Fails with STATUS_IO_TIMEOUT when the unit stayed busy past the patience, and with
// STATUS_INSUFFICIENT_RESOURCES when there was no pipe, no slot, the device stopped being
// ready or a packet failed; *Sent says what went before.
NTSTATUS BulkWriteCounted(PDEVICE_OBJECT DeviceObject, const UCHAR* Bytes, ULONG Length, ULONG* Sent) {
    MAY_WAIT();
    FDO_EXTENSION* ext = FdoExtension(DeviceObject);
    *Sent = 0;
    if (!ext->BulkOutPipe) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // An endpoint that reports no packet size could never carry a byte.
    if (ext->MaxPacketSize == 0 || ext->MaxPacketSize > PACKET_BUFFER_SIZE) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    TransferSlot* slot = AcquireTransferSlot(DeviceObject);
    if (!slot) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    LockWrites(ext);
    NTSTATUS status = SendPackets(DeviceObject, slot, Bytes, Length, Sent);
    UnlockWrites(ext);
    ReleaseTransferSlot(DeviceObject, slot);
    return status;
}
