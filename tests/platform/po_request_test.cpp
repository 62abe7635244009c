// PoRequestPowerIrp and PoSetPowerState.
#include "po_test_driver.h"

namespace {

class PoRequestTest : public IoTest {
protected:
    void SetUp() override {
        IoTest::SetUp();
        bottom_ = AddDevice(Answers(&log_, STATUS_SUCCESS));
        top_ = AddDevice(PassesTo(&log_, &bottom_), bottom_);
    }

    PowerLog log_;
    PDEVICE_OBJECT bottom_ = nullptr;
    PDEVICE_OBJECT top_ = nullptr;
};

TEST_F(PoRequestTest, RequestTravelsTheWholeStackAndTheCallbackGetsItsEnd) {
    const struct {
        UCHAR minor;
        POWER_STATE state;
        ULONG seen;
    } cases[] = {
        {IRP_MN_SET_POWER, DeviceState(PowerDeviceD3), PowerDeviceD3},
        {IRP_MN_QUERY_POWER, DeviceState(PowerDeviceD2), PowerDeviceD2},
        {IRP_MN_WAIT_WAKE, SystemState(PowerSystemSleeping3), PowerSystemSleeping3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.minor));
        size_t before = log_.Seen().size();
        PowerDone done;
        PIRP irp = nullptr;
        ASSERT_EQ(STATUS_PENDING, PoRequestPowerIrp(bottom_, c.minor, c.state, PowerDone::Callback, &done, &irp));
        ASSERT_TRUE(done.Wait());
        EXPECT_NE(nullptr, irp);
        EXPECT_EQ(bottom_, done.device);  // the target named, not the top it went to
        EXPECT_EQ(c.minor, done.minor);
        EXPECT_EQ(c.seen, ULONG(done.state.DeviceState));
        EXPECT_EQ(STATUS_SUCCESS, done.status);
        std::vector<PowerSeen> seen = log_.Seen();
        ASSERT_EQ(before + 2, seen.size());
        EXPECT_EQ(top_, seen[before].device);
        EXPECT_EQ(bottom_, seen[before + 1].device);
        EXPECT_EQ(c.seen, seen[before + 1].state);
        if (c.minor != IRP_MN_WAIT_WAKE) EXPECT_EQ(DevicePowerState, seen[before + 1].type);
    }
    EXPECT_EQ(0u, host::io::LiveRequests());
}

TEST_F(PoRequestTest, TheCallbackSeesAFailureOfTheStack) {
    PDEVICE_OBJECT refusing = AddDevice(Answers(&log_, STATUS_INVALID_DEVICE_STATE));
    PowerDone done;
    ASSERT_EQ(STATUS_PENDING, PoRequestPowerIrp(refusing, IRP_MN_QUERY_POWER, DeviceState(PowerDeviceD3),
                                                PowerDone::Callback, &done, nullptr));
    ASSERT_TRUE(done.Wait());
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, done.status);
}

TEST_F(PoRequestTest, RefusedRequestsSendNothing) {
    const struct {
        UCHAR minor;
        POWER_STATE state;
        bool failAllocation;
        NTSTATUS expected;
    } cases[] = {
        {IRP_MN_POWER_SEQUENCE, DeviceState(PowerDeviceD0), false, STATUS_INVALID_PARAMETER},
        {IRP_MN_SET_POWER, DeviceState(PowerDeviceUnspecified), false, STATUS_INVALID_PARAMETER},
        {IRP_MN_SET_POWER, DeviceState(PowerDeviceMaximum), false, STATUS_INVALID_PARAMETER},
        {IRP_MN_SET_POWER, DeviceState(PowerDeviceD0), true, STATUS_INSUFFICIENT_RESOURCES},
        {IRP_MN_WAIT_WAKE, SystemState(PowerSystemSleeping1), true, STATUS_INSUFFICIENT_RESOURCES},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.minor));
        if (c.failAllocation) host::faults::FailAll(host::faults::Op::Irp);
        PowerDone done;
        EXPECT_EQ(c.expected, PoRequestPowerIrp(bottom_, c.minor, c.state, PowerDone::Callback, &done, nullptr));
        host::faults::Clear();
        host::Advance(host::Ms(10));
        EXPECT_FALSE(done.called);
    }
    EXPECT_TRUE(log_.Seen().empty());
}

TEST_F(PoRequestTest, AbovePassiveLevelTheRequestGoesOutFromAPowerManagerThread) {
    for (KIRQL level : {KIRQL(PASSIVE_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
        SCOPED_TRACE(int(level));
        size_t before = log_.Seen().size();
        PowerDone done;
        KIRQL old = KfRaiseIrql(level);
        NTSTATUS status = PoRequestPowerIrp(bottom_, IRP_MN_SET_POWER, DeviceState(PowerDeviceD0),
                                            PowerDone::Callback, &done, nullptr);
        KfLowerIrql(old);
        EXPECT_EQ(STATUS_PENDING, status);
        ASSERT_TRUE(done.Wait());
        PowerSeen first = log_.Seen()[before];
        EXPECT_EQ(PASSIVE_LEVEL, first.irql);
        EXPECT_EQ(level == PASSIVE_LEVEL, first.thread == KeGetCurrentThread());
    }
}

TEST_F(PoRequestTest, SetPowerStateRecordsEachTypeAndReturnsThePrevious) {
    EXPECT_EQ(PowerDeviceUnspecified, host::power::DeviceState(bottom_));
    EXPECT_EQ(PowerDeviceUnspecified, PoSetPowerState(bottom_, DevicePowerState, DeviceState(PowerDeviceD2)).DeviceState);
    EXPECT_EQ(PowerDeviceD2, PoSetPowerState(bottom_, DevicePowerState, DeviceState(PowerDeviceD0)).DeviceState);
    EXPECT_EQ(PowerSystemUnspecified,
              PoSetPowerState(bottom_, SystemPowerState, SystemState(PowerSystemSleeping3)).SystemState);
    EXPECT_EQ(PowerDeviceD0, host::power::DeviceState(bottom_));
    EXPECT_EQ(PowerSystemSleeping3, host::power::SystemState(bottom_));
    EXPECT_EQ(PowerDeviceUnspecified, host::power::DeviceState(top_));  // per device object
}

}  // namespace
