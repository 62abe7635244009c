// System power transitions: query then set, their order over the stacks, and a refusal.
#include <tuple>

#include "po_test_driver.h"

namespace {

using Step = std::tuple<PDEVICE_OBJECT, UCHAR, ULONG>;  // device, minor, system state

class PoSystemTest : public IoTest {
protected:
    void SetUp() override {
        IoTest::SetUp();
        a_ = AddDevice(Answering());
        b_ = AddDevice(Answering());
        bTop_ = AddDevice(PassesTo(&log_, &b_), b_);
        c_ = AddDevice(Answering());
    }

    // Answers every request, refusing a query on the device refuser_ names.
    Dispatch Answering() {
        return [this](PDEVICE_OBJECT device, PIRP irp) {
            log_.Add(device, irp);
            bool refuse = device == refuser_ && IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_QUERY_POWER;
            PoStartNextPowerIrp(irp);
            return Complete(irp, refuse ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
        };
    }

    std::vector<Step> Steps() {
        std::vector<Step> steps;
        for (const PowerSeen& s : log_.Seen()) {
            EXPECT_EQ(SystemPowerState, s.type);
            EXPECT_NE(KeGetCurrentThread(), s.thread);
            steps.emplace_back(s.device, s.minor, s.state);
        }
        return steps;
    }

    PowerLog log_;
    PDEVICE_OBJECT a_ = nullptr, b_ = nullptr, bTop_ = nullptr, c_ = nullptr;
    PDEVICE_OBJECT refuser_ = nullptr;
};

TEST_F(PoSystemTest, SleepQueriesThenSetsFromTheEndOfTheListAndWakeSetsFromItsStart) {
    const std::pair<SYSTEM_POWER_STATE, POWER_ACTION> sleeps[] = {
        {PowerSystemSleeping1, PowerActionSleep},
        {PowerSystemSleeping3, PowerActionSleep},
        {PowerSystemHibernate, PowerActionHibernate},
    };
    for (auto [state, action] : sleeps) {
        SCOPED_TRACE(state);
        ASSERT_EQ(STATUS_SUCCESS, host::power::SetSystemState(state, {a_, b_, c_}));
        EXPECT_EQ(state, host::power::CurrentSystemState());
        const UCHAR q = IRP_MN_QUERY_POWER, s = IRP_MN_SET_POWER;
        EXPECT_EQ((std::vector<Step>{{c_, q, state}, {bTop_, q, state}, {b_, q, state}, {a_, q, state},
                                     {c_, s, state}, {bTop_, s, state}, {b_, s, state}, {a_, s, state}}),
                  Steps());
        for (const PowerSeen& seen : log_.Seen()) EXPECT_EQ(action, seen.action);
        log_.Clear();

        ASSERT_EQ(STATUS_SUCCESS, host::power::SetSystemState(PowerSystemWorking, {a_, b_, c_}));
        EXPECT_EQ(PowerSystemWorking, host::power::CurrentSystemState());
        EXPECT_EQ((std::vector<Step>{{a_, s, PowerSystemWorking}, {bTop_, s, PowerSystemWorking},
                                     {b_, s, PowerSystemWorking}, {c_, s, PowerSystemWorking}}),
                  Steps());
        for (const PowerSeen& seen : log_.Seen()) EXPECT_EQ(PowerActionNone, seen.action);
        log_.Clear();
    }
}

TEST_F(PoSystemTest, ARefusedQueryReturnsTheQueriedStacksToWorkingAndFailsTheTransition) {
    refuser_ = b_;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, host::power::SetSystemState(PowerSystemSleeping3, {a_, b_, c_}));
    EXPECT_EQ(PowerSystemWorking, host::power::CurrentSystemState());
    const UCHAR q = IRP_MN_QUERY_POWER, s = IRP_MN_SET_POWER;
    const ULONG s3 = PowerSystemSleeping3, s0 = PowerSystemWorking;
    EXPECT_EQ((std::vector<Step>{{c_, q, s3}, {bTop_, q, s3}, {b_, q, s3}, {c_, s, s0}, {bTop_, s, s0}, {b_, s, s0}}),
              Steps());
}

TEST_F(PoSystemTest, WithoutAListEveryStackIsTakenByItsBottomDeviceInCreationOrder) {
    ASSERT_EQ(STATUS_SUCCESS, host::power::SetSystemState(PowerSystemSleeping2));
    std::vector<PDEVICE_OBJECT> queried;
    for (const PowerSeen& s : log_.Seen())
        if (s.minor == IRP_MN_QUERY_POWER) queried.push_back(s.device);
    EXPECT_EQ((std::vector<PDEVICE_OBJECT>{c_, bTop_, b_, a_}), queried);
    EXPECT_EQ(STATUS_SUCCESS, host::power::SetSystemState(PowerSystemWorking));
}

}  // namespace
