#include "transfer/transfer.h"
#include "usb/usb.h"

#define BUSY_POLL_MS 20
#define POWER_POLL_MS 20

static BOOLEAN BelowFullPower(FDO_EXTENSION* Extension) {
    return ReadShared(&Extension->DevicePowerState) > PowerDeviceD0;
}

// A unit below D0 has its port suspended and takes no transfers. One that is open (its pump
// runs) is waited for: a system sleep ends with a wake, or the device goes. Nothing wakes a
// unit that is not open, so a write to it fails.
static BOOLEAN WaitForFullPower(FDO_EXTENSION* Extension) {
    while (BelowFullPower(Extension)) {
        if (!(ReadShared(&Extension->Flags) & UNIT_PUMP_RUNNING) || !IsDeviceReady(Extension->DeviceObject)) {
            return FALSE;
        }
        DelayMilliseconds(POWER_POLL_MS);
    }
    return TRUE;
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
    return SubmitUrbSync(DeviceObject, (PURB)&Slot->Urb);
}

NTSTATUS BulkWrite(PDEVICE_OBJECT DeviceObject, const UCHAR* Bytes, ULONG Length) {
    FDO_EXTENSION* ext = FdoExtension(DeviceObject);
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

    ULONG remaining = Length;
    const UCHAR* source = Bytes;
    NTSTATUS status = STATUS_SUCCESS;
    while (remaining != 0) {
        if (!IsDeviceReady(DeviceObject)) {
            break;
        }
        if (ReadShared(&ext->Flags) & UNIT_BUSY) {
            DelayMilliseconds(BUSY_POLL_MS);
            continue;
        }
        if (!WaitForFullPower(ext)) {
            status = STATUS_DEVICE_POWERED_OFF;
            break;
        }
        ULONG consumed = 0;
        status = SendPacket(DeviceObject, slot, source, remaining, &consumed);
        // The port may have been suspended between the look at the power state and the send.
        if (status == STATUS_DEVICE_POWERED_OFF && BelowFullPower(ext)) {
            continue;
        }
        if (!NT_SUCCESS(status)) {
            break;
        }
        remaining -= consumed;
        source += consumed;
    }
    ReleaseTransferSlot(DeviceObject, slot);
    return remaining != 0 ? STATUS_INSUFFICIENT_RESOURCES : status;
}

// The function device does buffered I/O: the I/O manager has probed the requester's
// buffer and copied it into system memory before the request arrives here.
NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (SignatureOf(DeviceObject) != FDO_SIGNATURE) {
        return CompleteRequest(Irp, STATUS_UNSUCCESSFUL, Irp->IoStatus.Information);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG length = stack->Parameters.Write.Length;
    const UCHAR* bytes = (const UCHAR*)Irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = STATUS_SUCCESS;
    if (length != 0 && bytes) {
        status = BulkWrite(DeviceObject, bytes, length);
    }
    return CompleteRequest(Irp, status, length);
}
