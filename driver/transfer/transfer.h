// Bulk transfer engine: transfer slots, the bulk writer, the bulk reader, the exchange.
#pragma once

#include "core/core.h"

#define TRANSFER_SLOT_COUNT 32
#define PACKET_BUFFER_SIZE 128  // MaxPacketSize at creation; it is only ever lowered

// Resets of a halted bulk-in pipe in a row before the reads are left to the next open.
#define MAX_PIPE_RESETS 3

#define SLOT_TAKEN 0x1
#define SLOT_READ 0x2

#define BULK_WRITE_FLAGS USBD_SHORT_TRANSFER_OK
#define BULK_READ_FLAGS (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK)

struct TransferSlot {
    TransferSlot* NextFree;
    TransferSlot* NextInPool;
    ULONG SlotFlags;
    PDEVICE_OBJECT Owner;
    PIRP Irp;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER Urb;
    UCHAR PacketBuffer[PACKET_BUFFER_SIZE];
};

// Transfer slots
VOID CreateTransferSlots(PDEVICE_OBJECT DeviceObject);
VOID FreeTransferSlots(FDO_EXTENSION* Extension);
TransferSlot* AcquireTransferSlot(PDEVICE_OBJECT DeviceObject);
VOID ReleaseTransferSlot(PDEVICE_OBJECT DeviceObject, TransferSlot* Slot);

// Bulk writer. BulkWriteCounted also tells how many of the bytes reached the unit (whole
// packets that completed; a short last piece counts its own bytes, not the fill).
NTSTATUS BulkWrite(PDEVICE_OBJECT DeviceObject, const UCHAR* Bytes, ULONG Length);
NTSTATUS BulkWriteCounted(PDEVICE_OBJECT DeviceObject, const UCHAR* Bytes, ULONG Length, ULONG* Sent);
// Clears UNIT_BUSY and wakes a writer that it held back (any IRQL up to DISPATCH_LEVEL).
VOID EndUnitBusy(FDO_EXTENSION* Extension);
// The pacing of the unit's MIDI wire (WriteLock held).
ULONG WireWaitMs(FDO_EXTENSION* Extension, ULONG Bytes);
VOID ChargeWire(FDO_EXTENSION* Extension, ULONG Bytes);
VOID FillBulkTransfer(struct _URB_BULK_OR_INTERRUPT_TRANSFER* Urb, USBD_PIPE_HANDLE Pipe,
                      ULONG TransferFlags, PVOID Buffer, ULONG Length);

// Waits of the transfer engine: milliseconds, not alertable, kernel mode.
NTSTATUS TimedWait(PVOID Object, ULONG Milliseconds);
NTSTATUS DelayMilliseconds(ULONG Milliseconds);
// Waits for a change that whoever brings it about signals on Event. Only a caller that found
// Done false waits: the event is cleared and Done looked at again before the wait, so a change
// signalled after the first look ends the wait at once, and a path that finds Done true pays
// nothing. Each wait is cut at StepMs for another look: a signal that a second waiter cleared
// costs no more than a poll.
typedef BOOLEAN (*WAIT_CONDITION)(FDO_EXTENSION* Extension);
// One step of such a wait, for loops that count their own patience.
VOID WaitForSignal(PKEVENT Event, WAIT_CONDITION Done, FDO_EXTENSION* Extension, ULONG StepMs);
// Waits until Done holds, for at most PatienceMs; TRUE when it held.
BOOLEAN WaitForCondition(PKEVENT Event, WAIT_CONDITION Done, FDO_EXTENSION* Extension, ULONG StepMs,
                         ULONG PatienceMs);

// Bulk reader
NTSTATUS SubmitBulkRead(PDEVICE_OBJECT DeviceObject, TransferSlot* Slot);
NTSTATUS NTAPI BulkReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
// Returns a child read it filled, for completion once the input lock is released.
PIRP DeliverInput(FDO_EXTENSION* Extension);
// The last read to come home sets ReadsHomeEvent.
BOOLEAN NoReadsInFlight(FDO_EXTENSION* Extension);

// Request/response exchange
#define EXCHANGE_ATTEMPTS 4
#define EXCHANGE_WAIT_MS 100

struct EXCHANGE_CONTEXT {
    KEVENT ReplyDone;
    ULONG ScanIndex;
    ULONG ReplyLength;
    ULONG ReplyCapacity;
    PUCHAR ReplyBuffer;
    ULONG WantedLength;  // 0: the first SysEx is the reply
};

// Sends the message and returns the length of the reply gathered, 0 when none came. With a
// WantedLength only a SysEx of that many bytes is the reply: the unit's answers to other
// requests (a mode switch's identity replies, a late answer to an earlier attempt) are passed
// over. With 0 the first SysEx is.
ULONG ExchangeMessage(PDEVICE_OBJECT DeviceObject, const UCHAR* Message, ULONG Length,
                      PUCHAR ReplyBuffer, ULONG ReplyCapacity, ULONG WantedLength);
VOID CollectReply(FDO_EXTENSION* Extension);
