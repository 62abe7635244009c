#include "power/power.h"

// The child is the bottom of its stack: it completes its power requests itself.
static NTSTATUS Finish(PIRP Irp, NTSTATUS Status) {
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static VOID FinishSystemRequest(PDEVICE_OBJECT Child, PIRP Held) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Held);
    PoSetPowerState(Child, SystemPowerState, stack->Parameters.Power.State);
    ((PDO_EXTENSION*)Child->DeviceExtension)->SystemPowerState =
        stack->Parameters.Power.State.SystemState;
    Finish(Held, STATUS_SUCCESS);
}

VOID NTAPI ChildSystemPowerDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus) {
    DISPATCH_SAFE();
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);
    FinishSystemRequest(DeviceObject, (PIRP)Context);
}

static NTSTATUS SetSystemPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack) {
    IoMarkIrpPending(Irp);
    POWER_STATE device;
    device.DeviceState =
        Stack->Parameters.Power.State.SystemState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    if (PoRequestPowerIrp(DeviceObject, IRP_MN_SET_POWER, device, ChildSystemPowerDone, Irp, NULL) !=
        STATUS_PENDING) {
        // Without its device request the system request still finishes, with success.
        FinishSystemRequest(DeviceObject, Irp);
    }
    return STATUS_PENDING;
}

NTSTATUS ChildPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                    PDO_EXTENSION* Extension) {
    switch (Stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (PowerTypeOf(Stack) == SystemPowerState) {
            return SetSystemPower(DeviceObject, Irp, Stack);
        }
        if (PowerTypeOf(Stack) == DevicePowerState) {
            PoSetPowerState(DeviceObject, DevicePowerState, Stack->Parameters.Power.State);
            Extension->DevicePowerState = Stack->Parameters.Power.State.DeviceState;
            return Finish(Irp, STATUS_SUCCESS);
        }
        return Finish(Irp, STATUS_NOT_IMPLEMENTED);
    case IRP_MN_QUERY_POWER:
        return Finish(Irp, STATUS_SUCCESS);
    default:
        return Finish(Irp, STATUS_NOT_SUPPORTED);
    }
}
