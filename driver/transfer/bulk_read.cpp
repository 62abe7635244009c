#include "client/client.h"
#include "core/unit_table.h"
#include "transfer/input_ring.h"
#include "transfer/transfer.h"
#include "usb/usb.h"

#define STATUS_PACKET_LENGTH 3

NTSTATUS SubmitBulkRead(PDEVICE_OBJECT DeviceObject, TransferSlot* Slot) {
    DISPATCH_SAFE();
    FDO_EXTENSION* ext = FdoExtension(DeviceObject);
    FillBulkTransfer(&Slot->Urb, ext->BulkInPipe, BULK_READ_FLAGS, Slot->PacketBuffer,
                     ext->MaxPacketSize);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Slot->Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Others.Argument1 = &Slot->Urb;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    IoSetCompletionRoutine(Slot->Irp, BulkReadComplete, Slot, TRUE, TRUE, TRUE);
    return IoCallDriver(ext->LowerDevice, Slot->Irp);
}

// While the unit reports its state, a packet FE 01 xx is a status packet and carries no
// input. A packet shorter than three bytes is never one: its third byte would be whatever an
// earlier packet left in the buffer.
static BOOLEAN TakeStatusPacket(FDO_EXTENSION* Extension, const UCHAR* Packet, ULONG Length) {
    if (!(ReadShared(&Extension->Flags) & UNIT_BUSY_REPORTS) || Length < STATUS_PACKET_LENGTH || Packet[0] != 0xFE) {
        return FALSE;
    }
    if (Packet[1] == 0x01) {
        if (Packet[2] == 0x00) {
            SetFlags(&Extension->Flags, UNIT_BUSY);
        } else {
            EndUnitBusy(Extension);
        }
    }
    return TRUE;
}

// The first byte is always data; from the second on, the first 0xFF is the fill. A packet
// is never longer than the ring.
static VOID AppendPacket(FDO_EXTENSION* Extension, const UCHAR* Packet, ULONG Length) {
    DISPATCH_SAFE();
    ULONG end = Length != 0 ? 1 : 0;
    while (end < Length && Packet[end] != 0xFF) {
        ++end;
    }
    AppendInput(Extension, Packet, end);
}

BOOLEAN NoReadsInFlight(FDO_EXTENSION* Extension) { return ReadShared(&Extension->ReadsInFlight) == 0; }

PIRP DeliverInput(FDO_EXTENSION* Extension) {
    DISPATCH_SAFE();
    // The exchange lock, not a look at the pointer, says whether an exchange waits.
    CollectReply(Extension);
    // The unit's file handles are readers of their own.
    ServeFileReads(Extension);
    UNIT_SLOT* slot = (UNIT_SLOT*)ReadSharedPointer((PVOID volatile*)&Extension->UnitSlot);
    if (!slot) {
        return NULL;
    }
    // The reference keeps the master while its child's read is filled.
    FDO_EXTENSION* master = ReferenceSlotUnit(MASTER_DEVICE_ID);
    PIRP delivered = master ? DeliverToMasterChild(master, slot, Extension) : NULL;
    DereferenceSlotUnit(master);
    return delivered;
}

static VOID ReadEnded(FDO_EXTENSION* Extension) {
    DISPATCH_SAFE();
    LONG volatile* count = (LONG volatile*)&Extension->ReadsInFlight;
    LONG seen = (LONG)ReadShared(&Extension->ReadsInFlight);
    while (seen > 0) {
        LONG before = InterlockedCompareExchange(count, seen - 1, seen);
        if (before == seen) {
            if (seen == 1) {
                KeSetEvent(&Extension->ReadsHomeEvent, IO_NO_INCREMENT, FALSE);
            }
            break;
        }
        seen = before;
    }
}

// A read that failed halted the pipe: every read after it would fail too. The pump resets
// the pipe at passive level and sends the reads again, a few times in a row at most, so a
// unit that stalls everything does not keep it busy.
static VOID NoteHaltedRead(FDO_EXTENSION* Extension, USBD_STATUS Status) {
    DISPATCH_SAFE();
    if (!PipeHalted(Status) || ReadShared(&Extension->PipeResets) >= MAX_PIPE_RESETS ||
        !(ReadShared(&Extension->Flags) & UNIT_PUMP_RUNNING)) {
        return;
    }
    SetFlags(&Extension->Flags, IN_PIPE_HALTED);
    KeSetEvent(&Extension->PumpEvent, EVENT_INCREMENT, FALSE);
}

// The slot's IRP never travels further up: it stays the slot's own.
NTSTATUS NTAPI BulkReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    DISPATCH_SAFE();
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    TransferSlot* slot = (TransferSlot*)Context;
    PDEVICE_OBJECT device = slot->Owner;
    FDO_EXTENSION* ext = FdoExtension(device);
    BOOLEAN ok = USBD_SUCCESS(slot->Urb.Hdr.Status);
    if (!ok && (slot->SlotFlags & SLOT_READ) && IsDeviceReady(device)) {
        NoteHaltedRead(ext, slot->Urb.Hdr.Status);
    }
    if (ok) {
        // Data ends a run of resets; the common case writes nothing.
        if (slot->Urb.TransferBufferLength != 0 && ReadShared(&ext->PipeResets) != 0) {
            InterlockedExchange((LONG volatile*)&ext->PipeResets, 0);
        }
        ULONG length = slot->Urb.TransferBufferLength;
        if (length > PACKET_BUFFER_SIZE) {
            length = PACKET_BUFFER_SIZE;
        }
        // One packet at a time per unit: the ring has a single writer. The client's read
        // completes after the lock is released, as its completion may come back to us.
        PIRP delivered = NULL;
        KIRQL irql;
        KeAcquireSpinLock(&ext->InputLock, &irql);
        if (!TakeStatusPacket(ext, slot->PacketBuffer, length)) {
            AppendPacket(ext, slot->PacketBuffer, length);
            delivered = DeliverInput(ext);
        }
        KeReleaseSpinLock(&ext->InputLock, irql);
        if (delivered) {
            CompleteDeliveredRead(delivered);
        }
        CompleteServedFileReads(ext);
    }
    if (slot->SlotFlags & SLOT_READ) {
        if (ok && IsDeviceReady(device)) {
            SubmitBulkRead(device, slot);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        ReadEnded(ext);
    }
    ReleaseTransferSlot(device, slot);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
