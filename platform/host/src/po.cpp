// Power manager: power requests pass through the I/O manager's call path.
#include "internal.h"

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) { UNREFERENCED_PARAMETER(Irp); }

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return IofCallDriver(DeviceObject, Irp);
}

// Placeholders until the power manager is in place.
NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                 POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                                 PVOID Context, PIRP* Irp) {
    (void)DeviceObject; (void)MinorFunction; (void)PowerState; (void)CompletionFunction;
    (void)Context; (void)Irp;
    return STATUS_NOT_IMPLEMENTED;
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                  POWER_STATE State) {
    (void)DeviceObject; (void)Type;
    return State;
}
