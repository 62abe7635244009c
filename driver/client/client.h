// Client interfaces: the child's internal requests, device control, file access.
#pragma once

#include "public/pmc7r.h"
#include "core/unit_table.h"

NTSTATUS FdoInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                                  FDO_EXTENSION* Extension);
NTSTATUS ChildInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                    PIO_STACK_LOCATION Stack, PDO_EXTENSION* Extension);
// A unit's file handles and its device control, for function devices only (the routing
// refuses the rest before these run).
NTSTATUS FdoCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack, FDO_EXTENSION* Extension);
NTSTATUS FdoCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                    FDO_EXTENSION* Extension);
NTSTATUS FdoClose(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack, FDO_EXTENSION* Extension);
NTSTATUS FdoRead(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack, FDO_EXTENSION* Extension);
NTSTATUS FdoWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack, FDO_EXTENSION* Extension);
NTSTATUS FdoDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                          FDO_EXTENSION* Extension);
NTSTATUS HandOutDirectCalls(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack);

// The child's internal requests, one routine per code; each completes its request, or
// parks it and returns STATUS_PENDING.
NTSTATUS ChildOpenAll(PIRP Irp, PDO_EXTENSION* Child);
NTSTATUS ChildCloseAll(PIRP Irp);
NTSTATUS ChildWriteMaster(PIRP Irp, PIO_STACK_LOCATION Stack);
NTSTATUS ChildWrite(PIRP Irp, PIO_STACK_LOCATION Stack);
NTSTATUS ChildListUnits(PIRP Irp, PIO_STACK_LOCATION Stack);
NTSTATUS ChildRead(PIRP Irp, PIO_STACK_LOCATION Stack, PDO_EXTENSION* Child);

// A read parked with a cancel routine, in a field its owner guards with a spin lock (the
// child's ReadLock, the unit's OpenContextLock): each routine runs with that lock held.
// Whoever takes the request out of the field, or the cancel routine called for it,
// completes it, exactly once.
// FALSE when the request was cancelled before the routine was set: nobody will call it.
BOOLEAN ParkRequest(PIRP* Parked, PIRP Irp, PDRIVER_CANCEL CancelRoutine);
// The parked request with its cancel routine withdrawn, for the caller to complete; none
// when nothing is parked or the cancel routine has it.
PIRP UnparkRequest(PIRP* Parked);
// The cancel routine's half: the field forgets the request if it still holds it.
VOID ForgetCancelledRequest(PIRP* Parked, PIRP Irp);
// A dispatch routine's answer after ParkRequest, with the owner's lock released: a request
// that could not be parked is completed as cancelled here.
NTSTATUS PendingUnlessCancelled(PIRP Irp, BOOLEAN Parked);

// The child's parked read.
VOID NTAPI CancelChildRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Fills the parked read from the unit's input and hands it back for completion (outside
// the caller's locks), or returns none when it stays parked or the cancel path has it.
PIRP DeliverToChild(PDO_EXTENSION* Child, UNIT_SLOT* Slot, FDO_EXTENSION* Unit);
VOID CompleteDeliveredRead(PIRP Irp);
// Takes a parked read out (its cancel routine withdrawn) for the caller to complete, or none.
PIRP TakeParkedChildRead(PDO_EXTENSION* Child);

// The direct-call entries handed out by IOCTL_UNIT_GET_DIRECT_CALLS; passive level only.
ULONG NTAPI DirectWrite(PVOID Context, const UCHAR* Bytes, ULONG Length);
NTSTATUS NTAPI DirectSetMode(PVOID Context, ULONG Selector);
ULONG NTAPI DirectWriteEx(PVOID Context, ULONG Reserved, const UCHAR* Bytes, ULONG Length);

// One per open file handle, in the file object's FsContext and on the unit's
// OpenContextList. A parked read is served by arriving input or ended by its cancel routine.
struct OPEN_CONTEXT {
    OPEN_CONTEXT* Next;
    ULONG ReadCursor;
    ULONG ReadLength;
    PUCHAR ReadBuffer;
    PIRP PendingReadIrp;
    PFILE_OBJECT FileObject;  // whose FsContext holds this context
};

OPEN_CONTEXT* AllocateOpenContext(FDO_EXTENSION* Extension);
VOID FreeOpenContext(FDO_EXTENSION* Extension, OPEN_CONTEXT* Context);
// Removal: ends the parked reads and frees the contexts of the handles still standing; a
// close that comes later finds its file object without one.
VOID FreeAllOpenContexts(FDO_EXTENSION* Extension);
VOID NTAPI CancelFileRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Completes the context's parked read, if any, as cancelled.
VOID EndParkedFileRead(FDO_EXTENSION* Extension, OPEN_CONTEXT* Context);
// Called by the delivery of input, under the unit's InputLock: fills the parked file reads
// that have new input and sets them aside; CompleteServedFileReads, called after the
// InputLock is released, completes them.
VOID ServeFileReads(FDO_EXTENSION* Extension);
VOID CompleteServedFileReads(FDO_EXTENSION* Extension);

// Unit open/close and output pump
// Returns the open count after the call; 0 means the open failed.
ULONG OpenUnit(FDO_EXTENSION* Extension);
NTSTATUS TryOpenUnit(FDO_EXTENSION* Extension, ULONG* Count);
BOOLEAN CloseUnit(FDO_EXTENSION* Extension);
// Queues Length bytes for the unit; returns how many were queued (passive level only).
ULONG EnqueueOutput(PDEVICE_OBJECT FunctionDevice, ULONG Reserved, const UCHAR* Source,
                    ULONG Length);
NTSTATUS StartUnitIo(FDO_EXTENSION* Extension);
VOID TopUpReads(FDO_EXTENSION* Extension);
VOID RecoverHaltedReads(FDO_EXTENSION* Extension);
VOID StopUnitIo(FDO_EXTENSION* Extension);
VOID NTAPI OutputPumpThread(PVOID Context);

// Plug and Play's side of the open count: a restarted unit that is open, or one whose
// query-remove or query-stop was cancelled, gets its reads back and its busy state cleared;
// a removed unit that is still open is closed for good before its teardown.
VOID ResumeUnitIo(FDO_EXTENSION* Extension);
// Writes one display text to a unit that may be closed and idle, at full power.
VOID ShowTextAwake(FDO_EXTENSION* Extension, const char* Text);
VOID ShutDownUnitIo(FDO_EXTENSION* Extension);
