// Power: the function device's and the child device's handlers.
#pragma once

#include "core/core.h"

NTSTATUS FdoPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                  FDO_EXTENSION* Extension);
NTSTATUS ChildPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                    PDO_EXTENSION* Extension);

// The request's power type as a number: a sender may put any value there.
inline ULONG PowerTypeOf(PIO_STACK_LOCATION Stack) {
    ULONG type;
    RtlCopyMemory(&type, &Stack->Parameters.Power.Type, sizeof(type));
    return type;
}

// The driver's own power policy for a unit (passive level only). A power-up that leaves
// the unit below D0 fails: its port stays suspended and carries no transfer.
NTSTATUS SelfPowerTransition(PDEVICE_OBJECT FunctionDevice, BOOLEAN ToIdle);
NTSTATUS RequestSelfPower(PDEVICE_OBJECT FunctionDevice, DEVICE_POWER_STATE State);
BOOLEAN RecordDevicePowerState(PDEVICE_OBJECT FunctionDevice, DEVICE_POWER_STATE State);

NTSTATUS NTAPI DevicePowerUpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
VOID NTAPI SystemPowerDeviceIrpDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                    POWER_STATE PowerState, PVOID Context,
                                    PIO_STATUS_BLOCK IoStatus);
VOID NTAPI ChildSystemPowerDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus);
VOID NTAPI SelfPowerRequestDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus);
