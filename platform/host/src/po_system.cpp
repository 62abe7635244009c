// System power transitions: the power manager queries every stack for a sleep state, then
// sets it; a refused query takes every queried stack back to the working state. Requests go
// out from a power-manager thread, one stack at a time, children before their parents on the
// way down and parents first on the way up.
#include <atomic>
#include <memory>

#include "power_internal.h"

namespace host::detail::power {
namespace {

std::atomic<SYSTEM_POWER_STATE> current{PowerSystemWorking};

POWER_ACTION ActionFor(SYSTEM_POWER_STATE state) {
    switch (state) {
    case PowerSystemSleeping1:
    case PowerSystemSleeping2:
    case PowerSystemSleeping3: return PowerActionSleep;
    case PowerSystemHibernate: return PowerActionHibernate;
    case PowerSystemShutdown: return PowerActionShutdownOff;
    default: return PowerActionNone;
    }
}

// One system request to the top of the stack, waited for.
NTSTATUS SendSystem(PDEVICE_OBJECT stack, UCHAR minor, SYSTEM_POWER_STATE state) {
    struct Wait {
        KEVENT event;
        NTSTATUS status = STATUS_PENDING;
    };
    // Shared with the completion, which may still be in KeSetEvent when the waiter wakes.
    auto wait = std::make_shared<Wait>();
    KeInitializeEvent(&wait->event, NotificationEvent, FALSE);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(stack);
    PIRP irp = host::io::NewRequest(top->StackSize, [wait](PIRP done) {
        wait->status = done->IoStatus.Status;
        KeSetEvent(&wait->event, IO_NO_INCREMENT, FALSE);
    });
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION sl = IoGetNextIrpStackLocation(irp);
    sl->MajorFunction = IRP_MJ_POWER;
    sl->MinorFunction = minor;
    sl->Parameters.Power.Type = SystemPowerState;
    sl->Parameters.Power.State.SystemState = state;
    sl->Parameters.Power.ShutdownType = ActionFor(state);
    PoCallDriver(top, irp);
    KeWaitForSingleObject(&wait->event, Suspended, KernelMode, FALSE, nullptr);
    ObDereferenceObject(top);
    return wait->status;
}

// The order the stacks hear of the new state in.
std::vector<PDEVICE_OBJECT> Ordered(SYSTEM_POWER_STATE state, const std::vector<PDEVICE_OBJECT>& stacks) {
    if (state == PowerSystemWorking) return stacks;
    return {stacks.rbegin(), stacks.rend()};
}

NTSTATUS Transition(SYSTEM_POWER_STATE state, const std::vector<PDEVICE_OBJECT>& stacks) {
    std::vector<PDEVICE_OBJECT> order = Ordered(state, stacks);
    // A return to the working state is not asked for: nothing may refuse it.
    if (state != PowerSystemWorking) {
        for (size_t i = 0; i < order.size(); ++i) {
            NTSTATUS status = SendSystem(order[i], IRP_MN_QUERY_POWER, state);
            if (NT_SUCCESS(status)) continue;
            SYSTEM_POWER_STATE working = current.load();
            for (size_t j = 0; j <= i; ++j) SendSystem(order[j], IRP_MN_SET_POWER, working);
            return status;
        }
    }
    // A set-power is not refused; whatever a stack answers, the system goes on.
    for (PDEVICE_OBJECT stack : order) SendSystem(stack, IRP_MN_SET_POWER, state);
    current.store(state);
    return STATUS_SUCCESS;
}

}  // namespace

void ResetSystem() { current.store(PowerSystemWorking); }

}  // namespace host::detail::power

using namespace host::detail;
using namespace host::detail::power;

NTSTATUS host::power::SetSystemState(SYSTEM_POWER_STATE state, const std::vector<PDEVICE_OBJECT>& stacks) {
    NTSTATUS status = STATUS_PENDING;
    host::Thread thread("power manager: system", [&] { status = Transition(state, stacks); });
    thread.Join();
    return status;
}

NTSTATUS host::power::SetSystemState(SYSTEM_POWER_STATE state) {
    return SetSystemState(state, iom::BottomDevices());
}

SYSTEM_POWER_STATE host::power::CurrentSystemState() { return current.load(); }
