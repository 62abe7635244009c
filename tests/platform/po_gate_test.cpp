// PoCallDriver's rules: one set/query request of a kind active per device until
// PoStartNextPowerIrp, power requests only through PoCallDriver, one wait-wake per device.
#include "po_test_driver.h"

namespace {

class PoGateTest : public IoTest {
protected:
    PowerLog log_;
    std::vector<PIRP> kept_;  // requests the bottom device holds, in arrival order
};

TEST_F(PoGateTest, ASecondRequestOfAKindWaitsForPoStartNextPowerIrpOfTheFirst) {
    // The first device request stays in the bottom device without PoStartNextPowerIrp; the
    // rest are answered at once, without a pending mark of their own.
    PDEVICE_OBJECT bottom = AddDevice([this](PDEVICE_OBJECT device, PIRP irp) {
        log_.Add(device, irp);
        PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
        if (kept_.empty() && sl->Parameters.Power.Type == DevicePowerState) {
            IoMarkIrpPending(irp);
            kept_.push_back(irp);
            return STATUS_PENDING;
        }
        PoStartNextPowerIrp(irp);
        return Complete(irp, STATUS_SUCCESS);
    });
    PDEVICE_OBJECT top = AddDevice(PassesTo(&log_, &bottom), bottom);
    PowerDone first, second;
    PoRequestPowerIrp(bottom, IRP_MN_SET_POWER, DeviceState(PowerDeviceD3), PowerDone::Callback, &first, nullptr);
    PoRequestPowerIrp(bottom, IRP_MN_QUERY_POWER, DeviceState(PowerDeviceD2), PowerDone::Callback, &second, nullptr);
    host::Advance(host::Ms(10));
    ASSERT_EQ(3u, log_.Seen().size());  // the second passed the top device only
    EXPECT_EQ(top, log_.Seen()[2].device);
    EXPECT_FALSE(second.called);

    // A system request is of another kind and goes through.
    EXPECT_EQ(STATUS_SUCCESS, host::power::SetSystemState(PowerSystemSleeping1, {bottom}));
    EXPECT_EQ(7u, log_.Seen().size());
    EXPECT_FALSE(second.called);

    PoStartNextPowerIrp(kept_[0]);
    ASSERT_TRUE(second.Wait());
    EXPECT_EQ(STATUS_SUCCESS, second.status);
    EXPECT_EQ(IRP_MN_QUERY_POWER, log_.Seen().back().minor);
    EXPECT_EQ(bottom, log_.Seen().back().device);
    EXPECT_FALSE(first.called);
    Complete(kept_[0], STATUS_SUCCESS);
    ASSERT_TRUE(first.Wait());
}

TEST_F(PoGateTest, ADriverPassingAPowerRequestWithIoCallDriverIsFlagged) {
    PDEVICE_OBJECT bottom = AddDevice(Answers(&log_));
    PDEVICE_OBJECT top = AddDevice([&bottom](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        NTSTATUS status = IoCallDriver(bottom, irp);
        // Refused without effect: the request is still this driver's.
        if (status == STATUS_INTERNAL_ERROR) Complete(irp, status);
        return status;
    }, bottom);
    host::verifier::Record(true);
    host::io::Result r = host::io::SendAndWait(top, [](PIRP, PIO_STACK_LOCATION sl) {
        sl->MajorFunction = IRP_MJ_POWER;
        sl->MinorFunction = IRP_MN_SET_POWER;
        sl->Parameters.Power.Type = DevicePowerState;
        sl->Parameters.Power.State.DeviceState = PowerDeviceD2;
    });
    std::vector<host::verifier::Violation> v = host::verifier::Take();
    ASSERT_EQ(1u, v.size());  // the platform's own send to the top is not one
    EXPECT_EQ("power request sent with IoCallDriver", v[0].rule);
    EXPECT_EQ(STATUS_INTERNAL_ERROR, r.status);
    EXPECT_TRUE(log_.Seen().empty());
}

TEST_F(PoGateTest, ASecondWaitWakeToADeviceIsFlaggedUntilTheFirstIsDone) {
    PDEVICE_OBJECT bottom = AddDevice([this](PDEVICE_OBJECT device, PIRP irp) {
        log_.Add(device, irp);
        IoMarkIrpPending(irp);
        kept_.push_back(irp);
        return STATUS_PENDING;
    });
    auto wake = [bottom](PowerDone* done) {
        return PoRequestPowerIrp(bottom, IRP_MN_WAIT_WAKE, SystemState(PowerSystemSleeping3), PowerDone::Callback,
                                 done, nullptr);
    };
    PowerDone first;
    wake(&first);
    ASSERT_EQ(1u, kept_.size());

    host::verifier::Record(true);
    PIRP second = IoAllocateIrp(bottom->StackSize, FALSE);
    PIO_STACK_LOCATION sl = IoGetNextIrpStackLocation(second);
    sl->MajorFunction = IRP_MJ_POWER;
    sl->MinorFunction = IRP_MN_WAIT_WAKE;
    EXPECT_EQ(STATUS_INTERNAL_ERROR, PoCallDriver(bottom, second));
    EXPECT_TRUE(host::verifier::Fired("second wait-wake request to a device"));
    IoFreeIrp(second);
    EXPECT_EQ(1u, kept_.size());

    Complete(kept_[0], STATUS_SUCCESS);
    ASSERT_TRUE(first.Wait());
    PowerDone third;
    wake(&third);
    ASSERT_EQ(2u, kept_.size());
    EXPECT_TRUE(host::verifier::Take().empty());
    Complete(kept_[1], STATUS_CANCELLED);
    ASSERT_TRUE(third.Wait());
    EXPECT_EQ(STATUS_CANCELLED, third.status);
}

}  // namespace
