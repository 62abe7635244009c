// PoRequestPowerIrp: a device set/query power or wait-wake request that the power manager
// owns, sent to the top of the target's stack; the caller hears of its end through its
// callback.
#include "power_internal.h"

namespace host::detail::power {
namespace {

bool IsDeviceState(DEVICE_POWER_STATE state) { return state >= PowerDeviceD0 && state <= PowerDeviceD3; }

bool Valid(UCHAR minor, POWER_STATE state) {
    switch (minor) {
    case IRP_MN_SET_POWER:
    case IRP_MN_QUERY_POWER: return IsDeviceState(state.DeviceState);
    case IRP_MN_WAIT_WAKE: return state.SystemState >= PowerSystemWorking && state.SystemState < PowerSystemMaximum;
    default: return false;
    }
}

void Fill(PIO_STACK_LOCATION sl, UCHAR minor, POWER_STATE state) {
    sl->MajorFunction = IRP_MJ_POWER;
    sl->MinorFunction = minor;
    if (minor == IRP_MN_WAIT_WAKE) {
        sl->Parameters.WaitWake.PowerState = state.SystemState;
    } else {
        sl->Parameters.Power.Type = DevicePowerState;
        sl->Parameters.Power.State = state;
        sl->Parameters.Power.ShutdownType = PowerActionNone;
    }
}

}  // namespace
}  // namespace host::detail::power

using namespace host::detail;
using namespace host::detail::power;

// Only device states can be asked for: a system state goes to every stack, which is the
// power manager's own business (host::power::SetSystemState).
NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                 POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                                 PVOID Context, PIRP* Irp) {
    if (!Valid(MinorFunction, PowerState)) return STATUS_INVALID_PARAMETER;
    // It allocates the request: a plan for IRPs fails it too.
    if (ShouldFail(host::faults::Op::PowerIrp) || ShouldFail(host::faults::Op::Irp)) return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
    PIRP irp = host::io::NewRequest(top->StackSize, [=](PIRP done) {
        if (CompletionFunction) CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &done->IoStatus);
        ObDereferenceObject(top);
    });
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    Fill(IoGetNextIrpStackLocation(irp), MinorFunction, PowerState);
    if (Irp) *Irp = irp;
    // Power-pagable drivers expect their requests at PASSIVE_LEVEL.
    if (KeGetCurrentIrql() > PASSIVE_LEVEL)
        Post([top, irp] { PoCallDriver(top, irp); });
    else
        PoCallDriver(top, irp);
    return STATUS_PENDING;
}
