#include "power/power.h"

static BOOLEAN PolicyState(ULONG State) {
    return State >= PowerDeviceD1 && State <= PowerDeviceD3;
}

// Pipes are counted as configured, so the power-up asks whether the unit has pipes to use;
// the power-down asks whether anybody still has the unit open.
static BOOLEAN GatesOpen(FDO_EXTENSION* Extension, BOOLEAN ToIdle) {
    if (!IsDeviceReady(Extension->DeviceObject) || Extension->PendingSystemPowerIrp ||
        (ReadShared(&Extension->Flags) & POWER_REQUEST_PENDING)) {
        return FALSE;
    }
    BOOLEAN use = ToIdle ? Extension->OpenCount == 0 : Extension->OpenPipeCount != 0;
    return use && PolicyState(Extension->IdlePowerState);
}

NTSTATUS SelfPowerTransition(PDEVICE_OBJECT FunctionDevice, BOOLEAN ToIdle) {
    MAY_WAIT();
    FDO_EXTENSION* ext = FdoExtension(FunctionDevice);
    if (!GatesOpen(ext, ToIdle)) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status =
        RequestSelfPower(FunctionDevice, ToIdle ? (DEVICE_POWER_STATE)ext->IdlePowerState : PowerDeviceD0);
    // A unit whose state was never lowered is in D0 whatever became of the request.
    if (ext->DevicePowerState == PowerDeviceUnspecified) {
        status = STATUS_SUCCESS;
    }
    return status;
}

VOID NTAPI SelfPowerRequestDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus) {
    DISPATCH_SAFE();
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    PDEVICE_OBJECT fdo = (PDEVICE_OBJECT)Context;
    FDO_EXTENSION* ext = FdoExtension(fdo);
    if ((ULONG)PowerState.DeviceState < ext->IdlePowerState) {
        ext->PowerUpStatus = IoStatus->Status;
        KeSetEvent(&ext->PowerUpEvent, EVENT_INCREMENT, FALSE);
    }
    IoDecrement(fdo);
}

NTSTATUS RequestSelfPower(PDEVICE_OBJECT FunctionDevice, DEVICE_POWER_STATE State) {
    MAY_WAIT();
    FDO_EXTENSION* ext = FdoExtension(FunctionDevice);
    if ((ULONG)State == ext->DevicePowerState) {
        return STATUS_SUCCESS;
    }
    BOOLEAN up = (ULONG)State < ext->IdlePowerState;
    IoIncrement(FunctionDevice);
    SetFlags(&ext->Flags, POWER_REQUEST_PENDING);
    // Each power-up waits for its own completion, not an earlier one's signal.
    if (up) {
        KeClearEvent(&ext->PowerUpEvent);
    }
    POWER_STATE state;
    state.DeviceState = State;
    NTSTATUS status = PoRequestPowerIrp(ext->PhysicalDeviceObject, IRP_MN_SET_POWER, state,
                                        SelfPowerRequestDone, FunctionDevice, NULL);
    if (status != STATUS_PENDING) {
        ClearFlags(&ext->Flags, POWER_REQUEST_PENDING);
        IoDecrement(FunctionDevice);
        return status;
    }
    if (up) {
        // The power manager completes the request it accepted, and its completion sets the event.
        KeWaitForSingleObject(&ext->PowerUpEvent, Suspended, KernelMode, FALSE, NULL);
        status = ext->PowerUpStatus;
    } else {
        status = STATUS_SUCCESS;
    }
    ClearFlags(&ext->Flags, POWER_REQUEST_PENDING);
    return status;
}
