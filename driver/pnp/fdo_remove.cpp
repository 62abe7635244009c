#include "client/client.h"
#include "core/unit_table.h"
#include "pnp/pnp.h"
#include "transfer/transfer.h"
#include "usb/usb.h"

#define SLOT_HOME_POLL_MS 1
// Aborted reads are home within a frame or two; one still out after this never comes back.
#define SLOT_HOME_PATIENCE_MS 2000

BOOLEAN DeleteChildDevice(PDEVICE_OBJECT FunctionDevice) {
    PDO_EXTENSION* child = TakeChild(FdoExtension(FunctionDevice));
    if (!child) {
        return FALSE;
    }
    DestroyChildDevice(child);
    return TRUE;
}

// A copy the configuration took of a descriptor or of the interface; none is left.
static PVOID FreeCopy(PVOID Copy) {
    if (Copy) {
        ExFreePool(Copy);
    }
    return NULL;
}

NTSTATUS ReleaseDeviceResources(PDEVICE_OBJECT FunctionDevice) {
    FDO_EXTENSION* ext = FdoExtension(FunctionDevice);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, ext->InterfaceLinkName);
    NTSTATUS status = IoSetDeviceInterfaceState(&link, FALSE);
    FreeTransferSlots(ext);
    ext->DeviceDescriptor = (PUSB_DEVICE_DESCRIPTOR)FreeCopy(ext->DeviceDescriptor);
    ext->InterfaceInfo = (PUSBD_INTERFACE_INFORMATION)FreeCopy(ext->InterfaceInfo);
    ext->ConfigurationDescriptor = (PUSB_CONFIGURATION_DESCRIPTOR)FreeCopy(ext->ConfigurationDescriptor);
    return status;
}

// An aborted read's completion may still be on its way out when the abort returns, and a
// completion that passed the ready test just before DEVICE_REMOVED was set sends its read
// down again after the abort: the pipes are aborted again until every slot is back on the
// free list. False when some never came back within the patience.
static BOOLEAN AllSlotsHome(FDO_EXTENSION* Extension) {
    LONG slots = 0;
    for (TransferSlot* slot = Extension->SlotChain; slot; slot = slot->NextInPool) {
        ++slots;
    }
    return KeReadStateSemaphore(&Extension->FreeSlotSemaphore) >= slots;
}

static BOOLEAN WaitForTransferSlots(FDO_EXTENSION* Extension) {
    MAY_WAIT();
    for (ULONG waited = 0; !AllSlotsHome(Extension); waited += SLOT_HOME_POLL_MS) {
        if (waited >= SLOT_HOME_PATIENCE_MS) {
            return FALSE;
        }
        AbortPipesAgain(Extension->DeviceObject);
        WaitForSignal(&Extension->SlotsHomeEvent, AllSlotsHome, Extension, SLOT_HOME_POLL_MS);
    }
    return TRUE;
}

// Nothing may use the unit once it is gone: it is closed, its slot released (so no request
// or delivery can pick it up again), and those that picked it up before hold I/O references
// that the wait on RemoveEvent outlasts.
NTSTATUS FdoRemove(FDO_EXTENSION* Extension, PIRP Irp) {
    MAY_WAIT();
    PDEVICE_OBJECT device = Extension->DeviceObject;
    IoDecrement(device);
    SetFlags(&Extension->Flags, DEVICE_REMOVED);
    AbortPipes(device);
    // The slot goes right after the abort: no list or open finds the unit from here on.
    ReleaseUnitSlot(Extension);
    ShutDownUnitIo(Extension);
    FreeAllOpenContexts(Extension);
    DeleteChildDevice(device);
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(Extension->LowerDevice, Irp);
    IoDecrement(device);
    // Every counted request inside the driver has bounded waits: this one ends.
    KeWaitForSingleObject(&Extension->RemoveEvent, Suspended, KernelMode, FALSE, NULL);
    if (!WaitForTransferSlots(Extension)) {
        // A slot whose read never came back may still be written by the USB stack: its
        // memory and IRP are left allocated rather than freed under it (the leak shows).
        Extension->SlotChain = NULL;
        Extension->SlotPool = NULL;
    }
    ReleaseDeviceResources(device);
    IoDetachDevice(Extension->LowerDevice);
    IoDeleteDevice(device);
    return status;
}

NTSTATUS FdoSurpriseRemoval(FDO_EXTENSION* Extension, PIRP Irp) {
    MAY_WAIT();
    IoDecrement(Extension->DeviceObject);
    SetFlags(&Extension->Flags, DEVICE_REMOVED);
    AbortPipes(Extension->DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Extension->LowerDevice, Irp);
}
