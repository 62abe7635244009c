// Each of the I/O manager's verifier rules fires, and fires alone, for the mistake it names.
#include <atomic>
#include <string>
#include <vector>

#include "platform/io_test_driver.h"

namespace {

class RuleTest;

struct RuleCase {
    const char* name;
    const char* rule;
    void (*run)(RuleTest& t);
};

void PrintTo(const RuleCase& c, std::ostream* os) { *os << c.name; }

class RuleTest : public IoTest, public ::testing::WithParamInterface<RuleCase> {
public:
    PDEVICE_OBJECT Device(Dispatch dispatch, PDEVICE_OBJECT below = nullptr) {
        return AddDevice(std::move(dispatch), below);
    }
    PDEVICE_OBJECT Bare() {
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
        return device;
    }
    // An allocated request whose own routine takes it back.
    PIRP Request(PDEVICE_OBJECT top) {
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        SetRoutine(irp, &allocator);
        return irp;
    }
    PDRIVER_OBJECT Driver() { return driver_; }

    PIRP held = nullptr;
    std::atomic<bool> allocatorRan{false};
    Routine allocator = [this](PDEVICE_OBJECT, PIRP) {
        allocatorRan = true;
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
};

// Sends a request to a device that keeps it, runs the mistake, then finishes it properly.
void WithHeld(RuleTest& t, void (*mistake)(PIRP held)) {
    PDEVICE_OBJECT d = t.Device(Holds(&t.held));
    PIRP irp = t.Request(d);
    IoCallDriver(d, irp);
    mistake(t.held);
    Complete(t.held, STATUS_SUCCESS);
    IoFreeIrp(irp);
}

void SendTo(RuleTest& t, Dispatch dispatch) {
    PDEVICE_OBJECT d = t.Device(std::move(dispatch));
    PIRP irp = t.Request(d);
    IoCallDriver(d, irp);
    if (t.held) Complete(t.held, STATUS_SUCCESS);
    IoFreeIrp(irp);
}

VOID NTAPI KeepsCancelLock(PDEVICE_OBJECT, PIRP) {}

const RuleCase kCases[] = {
    {"FreedTwice", "IRP freed twice or never allocated",
     [](RuleTest&) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoFreeIrp(irp);
         IoFreeIrp(irp);
     }},
    {"FreedInUse", "IRP freed while in use", [](RuleTest& t) { WithHeld(t, [](PIRP irp) { IoFreeIrp(irp); }); }},
    {"CallAboveDispatch", "IofCallDriver above DISPATCH_LEVEL",
     [](RuleTest& t) {
         PDEVICE_OBJECT d = t.Device(Completes(STATUS_SUCCESS));
         PIRP irp = t.Request(d);
         KIRQL irql = KfRaiseIrql(HIGH_LEVEL);
         IoCallDriver(d, irp);
         KfLowerIrql(irql);
         IoFreeIrp(irp);
     }},
    {"NoStackLocationLeft", "no stack location left",
     [](RuleTest& t) {
         PDEVICE_OBJECT d = t.Device(Completes(STATUS_SUCCESS));
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoSetNextIrpStackLocation(irp);  // the allocator keeps the only location
         EXPECT_EQ(STATUS_INTERNAL_ERROR, IoCallDriver(d, irp));
         IoFreeIrp(irp);
     }},
    {"IrqlChangedInDispatch", "IRQL changed across dispatch routine",
     [](RuleTest& t) {
         SendTo(t, [](PDEVICE_OBJECT, PIRP irp) {
             KfRaiseIrql(DISPATCH_LEVEL);
             return Complete(irp, STATUS_SUCCESS);
         });
         KfLowerIrql(PASSIVE_LEVEL);
     }},
    {"PendingWithoutMark", "STATUS_PENDING returned without IoMarkIrpPending",
     [](RuleTest& t) {
         SendTo(t, [](PDEVICE_OBJECT, PIRP irp) {
             Complete(irp, STATUS_SUCCESS);
             return STATUS_PENDING;
         });
     }},
    {"PendingWithoutMarkCompletedLater", "STATUS_PENDING returned without IoMarkIrpPending",
     [](RuleTest& t) {
         SendTo(t, [&t](PDEVICE_OBJECT, PIRP irp) {
             t.held = irp;
             return STATUS_PENDING;
         });
     }},
    {"MarkWithoutPending", "IoMarkIrpPending with a status other than STATUS_PENDING",
     [](RuleTest& t) {
         SendTo(t, [](PDEVICE_OBJECT, PIRP irp) {
             IoMarkIrpPending(irp);
             return Complete(irp, STATUS_SUCCESS);
         });
     }},
    {"MarkWithoutPendingCompletedLater", "IoMarkIrpPending with a status other than STATUS_PENDING",
     [](RuleTest& t) {
         SendTo(t, [&t](PDEVICE_OBJECT, PIRP irp) {
             IoMarkIrpPending(irp);
             t.held = irp;
             return STATUS_SUCCESS;
         });
     }},
    {"CompleteAboveDispatch", "IofCompleteRequest above DISPATCH_LEVEL",
     [](RuleTest& t) {
         WithHeld(t, [](PIRP irp) {
             KIRQL irql = KfRaiseIrql(HIGH_LEVEL);
             Complete(irp, STATUS_SUCCESS);
             KfLowerIrql(irql);
         });
     }},
    {"CompletedWithPending", "request completed with STATUS_PENDING",
     [](RuleTest& t) { WithHeld(t, [](PIRP irp) { Complete(irp, STATUS_PENDING); }); }},
    {"CompletedWithCancelRoutine", "request completed with a cancel routine set",
     [](RuleTest& t) {
         WithHeld(t, [](PIRP irp) {
             IoSetCancelRoutine(irp, KeepsCancelLock);
             Complete(irp, STATUS_SUCCESS);
             IoSetCancelRoutine(irp, nullptr);
         });
     }},
    {"CompletedAfterReturn", "request completed twice",
     [](RuleTest& t) {
         PDEVICE_OBJECT d = t.Device(Completes(STATUS_SUCCESS));
         PIRP irp = t.Request(d);
         IoCallDriver(d, irp);
         Complete(irp, STATUS_SUCCESS);
         IoFreeIrp(irp);
     }},
    {"CompletedNeverSent", "request completed twice",
     [](RuleTest&) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         Complete(irp, STATUS_SUCCESS);
         IoFreeIrp(irp);
     }},
    {"CompletedWhileCompleting", "request completed twice",
     [](RuleTest& t) {
         // Force pending keeps the first completion in progress while the driver repeats it.
         PDEVICE_OBJECT d = t.Device([](PDEVICE_OBJECT, PIRP irp) {
             Complete(irp, STATUS_SUCCESS);
             Complete(irp, STATUS_SUCCESS);
             return STATUS_SUCCESS;
         });
         host::faults::ForcePending(d, true);
         PIRP irp = t.Request(d);
         EXPECT_EQ(STATUS_PENDING, IoCallDriver(d, irp));
         host::WaitUntil([&t] { return t.allocatorRan.load(); });
         IoFreeIrp(irp);
     }},
    {"IrqlChangedInRoutine", "IRQL changed across completion routine",
     [](RuleTest& t) {
         // Completed by the test, outside any dispatch routine, so only the routine changes it.
         PDEVICE_OBJECT d = t.Device(Holds(&t.held));
         PIRP irp = IoAllocateIrp(d->StackSize, FALSE);
         Routine raises = [](PDEVICE_OBJECT, PIRP) {
             KfRaiseIrql(DISPATCH_LEVEL);
             return STATUS_MORE_PROCESSING_REQUIRED;
         };
         SetRoutine(irp, &raises);
         IoCallDriver(d, irp);
         Complete(t.held, STATUS_SUCCESS);
         KfLowerIrql(PASSIVE_LEVEL);
         IoFreeIrp(irp);
     }},
    {"PastLastRoutine", "IRP from IoAllocateIrp completed past its last completion routine",
     [](RuleTest& t) {
         PDEVICE_OBJECT d = t.Device(Completes(STATUS_SUCCESS));
         PIRP irp = IoAllocateIrp(d->StackSize, FALSE);
         IoCallDriver(d, irp);
         IoFreeIrp(irp);
     }},
    {"CancelRoutineKeepsLock", "cancel routine returned holding the cancel spin lock",
     [](RuleTest& t) {
         WithHeld(t, [](PIRP irp) {
             IoSetCancelRoutine(irp, KeepsCancelLock);
             EXPECT_TRUE(IoCancelIrp(irp));
             KIRQL irql;
             IoAcquireCancelSpinLock(&irql);  // released again by the platform
             IoReleaseCancelSpinLock(irql);
         });
     }},
    {"DeviceDeletedTwice", "device object deleted twice",
     [](RuleTest& t) {
         PDEVICE_OBJECT d = t.Bare();
         IoDeleteDevice(d);
         IoDeleteDevice(d);
     }},
    {"DeletedWhileAttached", "device deleted while attached to a lower device",
     [](RuleTest& t) {
         PDEVICE_OBJECT base = t.Device(Completes(STATUS_SUCCESS));
         PDEVICE_OBJECT upper = t.Bare();
         IoAttachDeviceToDeviceStack(upper, base);
         IoDeleteDevice(upper);
         IoDetachDevice(base);
         IoDeleteDevice(upper);
     }},
    {"UnloadedWithDevices", "driver unloaded with devices",
     [](RuleTest& t) {
         t.Device(Completes(STATUS_SUCCESS));
         host::io::UnloadDriver(t.Driver());
     }},
    {"OpenKeyAbovePassive", "IoOpenDeviceRegistryKey above PASSIVE_LEVEL",
     [](RuleTest& t) {
         PDEVICE_OBJECT d = t.Device(Completes(STATUS_SUCCESS));
         host::io::SetDriverKey(d, u"\\Registry\\Machine\\System\\Driver\\0000");
         HANDLE key = nullptr;
         KIRQL irql = KfRaiseIrql(DISPATCH_LEVEL);
         EXPECT_FALSE(NT_SUCCESS(IoOpenDeviceRegistryKey(d, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key)));
         KfLowerIrql(irql);
     }},
};

TEST_P(RuleTest, FiresAlone) {
    host::verifier::Record(true);
    GetParam().run(*this);
    std::vector<std::string> fired;
    for (const auto& v : host::verifier::Take()) fired.push_back(v.rule);
    host::verifier::Record(false);
    EXPECT_EQ(std::vector<std::string>{GetParam().rule}, fired);
}

INSTANTIATE_TEST_SUITE_P(Io, RuleTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
