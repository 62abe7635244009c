#include "transfer/transfer.h"
#include "usb/usb.h"

#define SELECT_NO_CONFIGURATION_SIZE sizeof(struct _URB_SELECT_CONFIGURATION)

NTSTATUS UnconfigureDevice(PDEVICE_OBJECT DeviceObject) {
    MAY_WAIT();
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, SELECT_NO_CONFIGURATION_SIZE, POOL_TAG);
    if (urb) {
        urb->UrbSelectConfiguration.Hdr.Length = SELECT_NO_CONFIGURATION_SIZE;
        urb->UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        urb->UrbSelectConfiguration.ConfigurationDescriptor = NULL;
        status = SubmitUrbSync(DeviceObject, urb);
        ExFreePool(urb);
    }
    return status;
}

// Each abort completes only after the stack has ended every transfer pending on its pipe.
// Every pipe is aborted whatever the ones before answered: a pipe left out would keep its
// reads, and the removal waiting for their slots would never end. The first failure is
// returned. With Count, each pipe aborted lowers OpenPipeCount.
static NTSTATUS AbortEveryPipe(PDEVICE_OBJECT DeviceObject, BOOLEAN Count) {
    MAY_WAIT();
    FDO_EXTENSION* ext = FdoExtension(DeviceObject);
    PUSBD_INTERFACE_INFORMATION info = ext->InterfaceInfo;
    if (!info) {
        return STATUS_SUCCESS;
    }
    NTSTATUS first = STATUS_SUCCESS;
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
        NTSTATUS status = AbortPipe(DeviceObject, info->Pipes[i].PipeHandle);
        if (!NT_SUCCESS(status)) {
            if (NT_SUCCESS(first)) {
                first = status;
            }
            continue;
        }
        if (Count) {
            InterlockedDecrement(&ext->OpenPipeCount);
        }
    }
    return first;
}

// Reads that come back with the abort's error are not sent down again, but a completion that
// passed the device-ready test just before the device was marked removed sends its read
// down after the abort. The abort is repeated, uncounted, until no read is in flight; a read
// that never comes back ends the wait after READS_HOME_PATIENCE_MS.
#define READS_HOME_POLL_MS 1
#define READS_HOME_PATIENCE_MS 2000

NTSTATUS AbortPipes(PDEVICE_OBJECT DeviceObject) {
    MAY_WAIT();
    FDO_EXTENSION* ext = FdoExtension(DeviceObject);
    NTSTATUS status = AbortEveryPipe(DeviceObject, TRUE);
    if (!ext->InterfaceInfo) {
        return status;
    }
    for (ULONG waited = 0; !NoReadsInFlight(ext) && waited < READS_HOME_PATIENCE_MS;
         waited += READS_HOME_POLL_MS) {
        WaitForSignal(&ext->ReadsHomeEvent, NoReadsInFlight, ext, READS_HOME_POLL_MS);
        AbortEveryPipe(DeviceObject, FALSE);
    }
    return status;
}

// Once more, for transfers sent down after the first abort; the pipes were counted closed.
NTSTATUS AbortPipesAgain(PDEVICE_OBJECT DeviceObject) {
    MAY_WAIT();
    return AbortEveryPipe(DeviceObject, FALSE);
}
