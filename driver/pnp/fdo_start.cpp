#include "client/client.h"
#include "pnp/pnp.h"
#include "unit/unit.h"
#include "usb/usb.h"

// The input ring must hold two packets: one packet as long as the ring would lap every
// reader that is behind at all (with 128 bytes, a 129-byte burst would deliver one). Such a
// unit is refused, and its pipes are not used.
static NTSTATUS CheckPacketFitsRing(FDO_EXTENSION* Extension) {
    if (Extension->MaxPacketSize <= INPUT_RING_SIZE / 2) {
        return STATUS_SUCCESS;
    }
    Extension->BulkInPipe = NULL;
    Extension->BulkOutPipe = NULL;
    return STATUS_NOT_SUPPORTED;
}

// Without its device descriptor the unit cannot be configured or identified. A unit that
// could not be configured is not started and not brought up: its start fails, and the Plug
// and Play manager takes the node down.
NTSTATUS StartDevice(PDEVICE_OBJECT FunctionDevice) {
    MAY_WAIT();
    FDO_EXTENSION* ext = FdoExtension(FunctionDevice);
    if (!ext->DeviceDescriptor) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = ConfigureDevice(FunctionDevice);
    if (NT_SUCCESS(status)) {
        status = CheckPacketFitsRing(ext);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    SetFlags(&ext->Flags, DEVICE_STARTED);
    // The reads of a unit that stayed open ended with the old configuration.
    ResumeUnitIo(ext);
    UnitBringUp(FunctionDevice);
    return status;
}

NTSTATUS FdoStart(FDO_EXTENSION* Extension, PIRP Irp) {
    MAY_WAIT();
    // The device is started from the bottom up: a start the bus failed is not ours to go on.
    NTSTATUS status = SendPnpDownAndWait(Extension, Irp);
    if (NT_SUCCESS(status)) {
        status = StartDevice(Extension->DeviceObject);
    }
    CompleteRequest(Irp, status, Irp->IoStatus.Information);
    IoDecrement(Extension->DeviceObject);
    return status;
}
