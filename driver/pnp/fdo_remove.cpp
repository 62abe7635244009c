#include "client/client.h"
#include "core/unit_table.h"
#include "pnp/pnp.h"
#include "transfer/transfer.h"
#include "usb/usb.h"

#define SLOT_HOME_POLL_MS 1

BOOLEAN DeleteChildDevice(PDEVICE_OBJECT FunctionDevice) {
    PDO_EXTENSION* child = TakeChild(FdoExtension(FunctionDevice));
    if (!child) {
        return FALSE;
    }
    DestroyChildDevice(child);
    return TRUE;
}

NTSTATUS ReleaseDeviceResources(PDEVICE_OBJECT FunctionDevice) {
    FDO_EXTENSION* ext = FdoExtension(FunctionDevice);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, ext->InterfaceLinkName);
    NTSTATUS status = IoSetDeviceInterfaceState(&link, FALSE);
    FreeTransferSlots(ext);
    PVOID* copies[] = {&ext->DeviceDescriptor, &ext->InterfaceInfo, &ext->ConfigurationDescriptor};
    for (ULONG i = 0; i < sizeof(copies) / sizeof(copies[0]); ++i) {
        if (*copies[i]) {
            ExFreePool(*copies[i]);
            *copies[i] = NULL;
        }
    }
    return status;
}

// An aborted read's completion may still be on its way out when the abort returns: the
// slots are freed only once every one of them is back on the free list.
static VOID WaitForTransferSlots(FDO_EXTENSION* Extension) {
    LONG slots = 0;
    for (TransferSlot* slot = Extension->SlotChain; slot; slot = slot->NextInPool) {
        ++slots;
    }
    while (KeReadStateSemaphore(&Extension->FreeSlotSemaphore) < slots) {
        DelayMilliseconds(SLOT_HOME_POLL_MS);
    }
}

// Nothing may use the unit once it is gone: it is closed, its slot released (so no request
// or delivery can pick it up again), and those that picked it up before hold I/O references
// that the wait on RemoveEvent outlasts.
NTSTATUS FdoRemove(FDO_EXTENSION* Extension, PIRP Irp) {
    PDEVICE_OBJECT device = Extension->DeviceObject;
    IoDecrement(device);
    SetFlags(&Extension->Flags, DEVICE_REMOVED);
    AbortPipes(device);
    ShutDownUnitIo(Extension);
    FreeAllOpenContexts(Extension);
    ReleaseUnitSlot(Extension);
    DeleteChildDevice(device);
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(Extension->LowerDevice, Irp);
    IoDecrement(device);
    KeWaitForSingleObject(&Extension->RemoveEvent, Suspended, KernelMode, FALSE, NULL);
    WaitForTransferSlots(Extension);
    ReleaseDeviceResources(device);
    IoDetachDevice(Extension->LowerDevice);
    IoDeleteDevice(device);
    return status;
}

NTSTATUS FdoSurpriseRemoval(FDO_EXTENSION* Extension, PIRP Irp) {
    IoDecrement(Extension->DeviceObject);
    SetFlags(&Extension->Flags, DEVICE_REMOVED);
    AbortPipes(Extension->DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Extension->LowerDevice, Irp);
}
