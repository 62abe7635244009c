// The I/O reference count, its two events, and the device-ready test.
#include "spine_world.h"

namespace {

using IoCountTest = SpineTest;

TEST_F(IoCountTest, EventsFollowTheCount) {
    PDEVICE_OBJECT fdo = NewFunctionDevice();
    FDO_EXTENSION* ext = Fdo(fdo);
    EXPECT_EQ(1, ext->IoCount);
    EXPECT_EQ(0, KeReadStateEvent(&ext->IdleEvent));
    EXPECT_EQ(0, KeReadStateEvent(&ext->RemoveEvent));

    IoIncrement(fdo);
    IoIncrement(fdo);
    EXPECT_EQ(2, IoDecrement(fdo));  // 3 -> 2 signals nothing
    EXPECT_EQ(0, KeReadStateEvent(&ext->IdleEvent));
    EXPECT_EQ(1, IoDecrement(fdo));  // back to 1: idle, for good
    EXPECT_NE(0, KeReadStateEvent(&ext->IdleEvent));
    EXPECT_EQ(0, KeReadStateEvent(&ext->RemoveEvent));

    KeClearEvent(&ext->IdleEvent);
    EXPECT_EQ(0, IoDecrement(fdo));  // the base reference: removal may go on
    EXPECT_NE(0, KeReadStateEvent(&ext->RemoveEvent));
    EXPECT_EQ(0, KeReadStateEvent(&ext->IdleEvent));
}

TEST_F(IoCountTest, ConcurrentHoldersBalance) {
    PDEVICE_OBJECT fdo = NewFunctionDevice();
    auto body = [fdo] {
        for (int i = 0; i < 500; ++i) {
            IoIncrement(fdo);
            IoDecrement(fdo);
        }
    };
    {
        host::Thread a("holder a", body), b("holder b", body);
    }
    EXPECT_EQ(1, Fdo(fdo)->IoCount);
    EXPECT_EQ(0, KeReadStateEvent(&Fdo(fdo)->RemoveEvent));
}

TEST_F(IoCountTest, DeviceReadyOnlyWhenStartedAndNothingPending) {
    PDEVICE_OBJECT fdo = NewFunctionDevice();
    const std::pair<ULONG, bool> table[] = {
        {DEVICE_STARTED, true},
        {DEVICE_STARTED | UNIT_BUSY | UNIT_BUSY_REPORTS | UNIT_PUMP_RUNNING, true},
        {0, false},
        {DEVICE_STARTED | DEVICE_REMOVED, false},
        {DEVICE_STARTED | DEVICE_REMOVE_PENDING, false},
        {DEVICE_STARTED | DEVICE_STOP_PENDING, false},
        {DEVICE_REMOVED, false},
        {DEVICE_REMOVE_PENDING, false},
        {DEVICE_STOP_PENDING, false},
    };
    for (auto [flags, ready] : table) {
        Fdo(fdo)->Flags = flags;
        EXPECT_EQ(ready, IsDeviceReady(fdo) != FALSE) << "flags " << std::hex << flags;
    }
}

TEST_F(IoCountTest, FlagChangesFromSeveralThreadsAreNotLost) {
    PDEVICE_OBJECT fdo = NewFunctionDevice();
    volatile ULONG* flags = &Fdo(fdo)->Flags;
    auto toggler = [flags](ULONG bit) {
        return [flags, bit] {
            for (int i = 0; i < 2000; ++i) {
                SetFlags(flags, bit);
                ClearFlags(flags, bit);
            }
            SetFlags(flags, bit);
        };
    };
    {
        host::Thread a("busy", toggler(UNIT_BUSY)), b("pump", toggler(UNIT_PUMP_RUNNING));
    }
    EXPECT_EQ(ULONG(UNIT_BUSY | UNIT_PUMP_RUNNING), *flags);
}

}  // namespace
