#include "client/client.h"
#include "pnp/pnp.h"
#include "transfer/transfer.h"
#include "usb/usb.h"

#define READS_END_POLL_MS 1
#define READS_END_PATIENCE_MS 1000

NTSTATUS PassPnpDown(FDO_EXTENSION* Extension, PIRP Irp) {
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(Extension->LowerDevice, Irp);
    IoDecrement(Extension->DeviceObject);
    return status;
}

// The bus driver completes every request it is given, so the wait ends; the request comes
// back to us with the lower status, not yet completed.
NTSTATUS SendPnpDownAndWait(FDO_EXTENSION* Extension, PIRP Irp) {
    MAY_WAIT();
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(Extension->LowerDevice, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Suspended, KernelMode, FALSE, NULL);
    }
    return Irp->IoStatus.Status;
}

// The pending bits only mean something on a started device.
static NTSTATUS ChangeIfStarted(FDO_EXTENSION* Extension, PIRP Irp, ULONG Bit, BOOLEAN Set) {
    if (ReadShared(&Extension->Flags) & DEVICE_STARTED) {
        if (Set) {
            SetFlags(&Extension->Flags, Bit);
        } else {
            ClearFlags(&Extension->Flags, Bit);
        }
    }
    return PassPnpDown(Extension, Irp);
}

// A cancel is handled on the way up: the devices below are restored first. The query left
// the unit's reads to end as they completed; an open unit gets them back.
static NTSTATUS CancelQuery(FDO_EXTENSION* Extension, PIRP Irp, ULONG Bit) {
    MAY_WAIT();
    NTSTATUS status = SendPnpDownAndWait(Extension, Irp);
    if (ReadShared(&Extension->Flags) & DEVICE_STARTED) {
        ClearFlags(&Extension->Flags, Bit);
        ResumeUnitIo(Extension);
    }
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoDecrement(Extension->DeviceObject);
    return status;
}

static NTSTATUS QueryRemove(FDO_EXTENSION* Extension, PIRP Irp) {
    MAY_WAIT();
    if (ReadShared(&Extension->Flags) & DEVICE_STARTED) {
        SetFlags(&Extension->Flags, DEVICE_REMOVE_PENDING);
        // Every counted request inside the driver has bounded waits: the count falls.
        KeWaitForSingleObject(&Extension->IdleEvent, Suspended, KernelMode, FALSE, NULL);
    }
    return PassPnpDown(Extension, Irp);
}

// The configuration's end fails the reads in flight; a start that follows tops them up
// again, so it must not count reads that are only on their way out.
static VOID WaitForReadsToEnd(FDO_EXTENSION* Extension) {
    MAY_WAIT();
    WaitForCondition(&Extension->ReadsHomeEvent, NoReadsInFlight, Extension, READS_END_POLL_MS,
                     READS_END_PATIENCE_MS);
}

// Only a deconfiguration that went through ends the started state; either way the stop the
// query announced is over.
static NTSTATUS Stop(FDO_EXTENSION* Extension, PIRP Irp) {
    MAY_WAIT();
    NTSTATUS status = UnconfigureDevice(Extension->DeviceObject);
    if (NT_SUCCESS(status)) {
        ClearFlags(&Extension->Flags, DEVICE_STARTED);
    }
    ClearFlags(&Extension->Flags, DEVICE_STOP_PENDING);
    if (!NT_SUCCESS(status)) {
        CompleteRequest(Irp, status, Irp->IoStatus.Information);
        IoDecrement(Extension->DeviceObject);
        return status;
    }
    WaitForReadsToEnd(Extension);
    return PassPnpDown(Extension, Irp);
}

NTSTATUS FdoPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                FDO_EXTENSION* Extension) {
    MAY_WAIT();
    IoIncrement(DeviceObject);
    switch (Stack->MinorFunction) {
    case IRP_MN_START_DEVICE: return FdoStart(Extension, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE: return QueryRemove(Extension, Irp);
    case IRP_MN_REMOVE_DEVICE: return FdoRemove(Extension, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE: return CancelQuery(Extension, Irp, DEVICE_REMOVE_PENDING);
    case IRP_MN_STOP_DEVICE: return Stop(Extension, Irp);
    case IRP_MN_QUERY_STOP_DEVICE: return ChangeIfStarted(Extension, Irp, DEVICE_STOP_PENDING, TRUE);
    case IRP_MN_CANCEL_STOP_DEVICE: return CancelQuery(Extension, Irp, DEVICE_STOP_PENDING);
    case IRP_MN_QUERY_DEVICE_RELATIONS: return FdoBusRelations(Extension, Irp, Stack);
    case IRP_MN_SURPRISE_REMOVAL: return FdoSurpriseRemoval(Extension, Irp);
    default: return PassPnpDown(Extension, Irp);
    }
}
