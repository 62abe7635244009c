#include "power/power.h"
#include "usb/usb.h"

// Every path of FdoPower drops the I/O reference it took exactly once: here, in
// DevicePowerUpComplete or in SystemPowerDeviceIrpDone.
static NTSTATUS PassDown(FDO_EXTENSION* Extension, PIRP Irp) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    PoStartNextPowerIrp(Irp);
    NTSTATUS status = PoCallDriver(Extension->LowerDevice, Irp);
    IoDecrement(Extension->DeviceObject);
    return status;
}

static DEVICE_POWER_STATE DeviceStateFor(FDO_EXTENSION* Extension, SYSTEM_POWER_STATE System) {
    if (System == PowerSystemWorking) {
        return PowerDeviceD0;
    }
    if ((ReadShared(&Extension->Flags) & WAIT_WAKE_ARMED) && System < PowerSystemMaximum) {
        return Extension->Capabilities.DeviceState[System];
    }
    return PowerDeviceD3;
}

// The system request goes down once the unit's own device request has finished, whatever
// its outcome.
static VOID PassHeldSystemRequest(FDO_EXTENSION* Extension) {
    PIRP held = Extension->PendingSystemPowerIrp;
    // The pointer is cleared before the reference goes: after IoDecrement the extension may
    // be on its way out.
    Extension->PendingSystemPowerIrp = NULL;
    IoCopyCurrentIrpStackLocationToNext(held);
    PoStartNextPowerIrp(held);
    PoCallDriver(Extension->LowerDevice, held);
    IoDecrement(Extension->DeviceObject);
}

VOID NTAPI SystemPowerDeviceIrpDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                    POWER_STATE PowerState, PVOID Context,
                                    PIO_STATUS_BLOCK IoStatus) {
    DISPATCH_SAFE();
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);
    PassHeldSystemRequest(FdoExtension((PDEVICE_OBJECT)Context));
}

static NTSTATUS SetSystemPower(FDO_EXTENSION* Extension, PIRP Irp, PIO_STACK_LOCATION Stack) {
    DEVICE_POWER_STATE device = DeviceStateFor(Extension, Stack->Parameters.Power.State.SystemState);
    if ((ULONG)device == Extension->DevicePowerState) {
        return PassDown(Extension, Irp);
    }
    IoMarkIrpPending(Irp);
    Extension->PendingSystemPowerIrp = Irp;
    POWER_STATE state;
    state.DeviceState = device;
    NTSTATUS status = PoRequestPowerIrp(Extension->PhysicalDeviceObject, IRP_MN_SET_POWER, state,
                                        SystemPowerDeviceIrpDone, Extension->DeviceObject, NULL);
    if (status != STATUS_PENDING) {
        // No device request will call back: the system request must not wait for one.
        PassHeldSystemRequest(Extension);
    }
    return STATUS_PENDING;
}

BOOLEAN RecordDevicePowerState(PDEVICE_OBJECT FunctionDevice, DEVICE_POWER_STATE State) {
    FDO_EXTENSION* ext = FdoExtension(FunctionDevice);
    if (State == PowerDeviceD0) {
        return TRUE;
    }
    // Published for the writers, which hold back while the unit is below D0.
    if (State >= PowerDeviceD1 && State <= PowerDeviceD3) {
        InterlockedExchange((LONG volatile*)&ext->DevicePowerState, (LONG)State);
    }
    return FALSE;
}

// A power-up counts as done, and in D0, once the lower drivers have finished it; one they
// failed leaves the unit in its state and goes on up with their status.
NTSTATUS NTAPI DevicePowerUpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    DISPATCH_SAFE();
    UNREFERENCED_PARAMETER(DeviceObject);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    PDEVICE_OBJECT fdo = (PDEVICE_OBJECT)Context;
    if (NT_SUCCESS(Irp->IoStatus.Status)) {
        InterlockedExchange((LONG volatile*)&FdoExtension(fdo)->DevicePowerState, (LONG)PowerDeviceD0);
        KeSetEvent(&FdoExtension(fdo)->FullPowerEvent, IO_NO_INCREMENT, FALSE);
    }
    IoDecrement(fdo);
    return STATUS_SUCCESS;
}

static NTSTATUS SetDevicePower(FDO_EXTENSION* Extension, PIRP Irp, PIO_STACK_LOCATION Stack) {
    BOOLEAN up = RecordDevicePowerState(Extension->DeviceObject, Stack->Parameters.Power.State.DeviceState);
    if (!up) {
        return PassDown(Extension, Irp);
    }
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, DevicePowerUpComplete, Extension->DeviceObject, TRUE, TRUE, TRUE);
    PoStartNextPowerIrp(Irp);
    return PoCallDriver(Extension->LowerDevice, Irp);
}

static NTSTATUS WaitWake(FDO_EXTENSION* Extension, PIRP Irp) {
    MAY_WAIT();
    Extension->IdlePowerState = Extension->Capabilities.DeviceWake;
    if (Extension->DevicePowerState == PowerDeviceD0 ||
        (LONG)Extension->Capabilities.DeviceWake > (LONG)Extension->DevicePowerState) {
        NTSTATUS refused = CompleteRequest(Irp, STATUS_INVALID_DEVICE_STATE, 0);
        IoDecrement(Extension->DeviceObject);
        return refused;
    }
    SetFlags(&Extension->Flags, WAIT_WAKE_ARMED);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);
    PoStartNextPowerIrp(Irp);
    if (PoCallDriver(Extension->LowerDevice, Irp) == STATUS_PENDING) {
        // The bus driver completes every power request it is given.
        KeWaitForSingleObject(&done, Suspended, KernelMode, FALSE, NULL);
    }
    SelfPowerTransition(Extension->DeviceObject, FALSE);
    ClearFlags(&Extension->Flags, WAIT_WAKE_ARMED);
    NTSTATUS status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoDecrement(Extension->DeviceObject);
    return status;
}

// The device is power-pageable: its power requests come at PASSIVE_LEVEL.
NTSTATUS FdoPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                  FDO_EXTENSION* Extension) {
    MAY_WAIT();
    IoIncrement(DeviceObject);
    switch (Stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        return PowerTypeOf(Stack) == SystemPowerState
                   ? SetSystemPower(Extension, Irp, Stack)
                   : SetDevicePower(Extension, Irp, Stack);
    case IRP_MN_WAIT_WAKE:
        return WaitWake(Extension, Irp);
    default:
        return PassDown(Extension, Irp);
    }
}
