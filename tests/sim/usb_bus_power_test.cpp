// The bus's answers to power requests: device states with IN data held back below D0,
// system states, and a wait-wake that ends with the device's wake or its cancel.
#include "platform/po_test_driver.h"
#include "sim/usb_bus_fixture.h"

namespace {

class BusPowerTest : public UsbBusTest {
protected:
    NTSTATUS SetDevice(DEVICE_POWER_STATE state) {
        PowerDone done;
        EXPECT_EQ(STATUS_PENDING, PoRequestPowerIrp(pdo_, IRP_MN_SET_POWER, DeviceState(state), PowerDone::Callback,
                                                    &done, nullptr));
        EXPECT_TRUE(done.Wait());
        return done.status;
    }
};

// Below D0 the port is suspended: a transfer queued before waits for D0, a new one fails.
TEST_F(BusPowerTest, BelowD0TheDeviceIsRecordedHoldsWhatWasQueuedAndRefusesNewTransfers) {
    ASSERT_EQ(STATUS_SUCCESS, Configure());
    for (DEVICE_POWER_STATE low : {PowerDeviceD1, PowerDeviceD2, PowerDeviceD3}) {
        SCOPED_TRACE(low);
        uint8_t buffer[64] = {};
        URB urb;
        Transfer(&urb, InPipe(), true, buffer, sizeof buffer);
        auto queued = Submit(&urb);
        ASSERT_EQ(STATUS_SUCCESS, SetDevice(low));
        EXPECT_EQ(low, bus_->PowerState(pdo_));
        EXPECT_EQ(low, host::power::DeviceState(pdo_));
        EXPECT_EQ(low, device_->PowerStates().back());
        device_->Push(0x81, {0x90, 0x40, 0x7F});
        EXPECT_FALSE(Finished(queued, host::Ms(20)));

        for (bool in : {true, false}) {
            uint8_t more[64] = {};
            URB late;
            Transfer(&late, in ? InPipe() : OutPipe(), in, more, sizeof more);
            auto refused = Submit(&late);
            ASSERT_TRUE(Finished(refused));
            EXPECT_EQ(STATUS_DEVICE_POWERED_OFF, refused->status);
            EXPECT_EQ(USBD_STATUS_DEVICE_GONE, late.UrbHeader.Status);
        }

        ASSERT_EQ(STATUS_SUCCESS, SetDevice(PowerDeviceD0));
        EXPECT_EQ(PowerDeviceD0, host::power::DeviceState(pdo_));
        ASSERT_TRUE(Finished(queued));
        EXPECT_EQ(STATUS_SUCCESS, queued->status);
        EXPECT_EQ(3u, urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    }
}

TEST_F(BusPowerTest, SystemQueriesAndSetsSucceedAndTheStateIsRecorded) {
    ASSERT_EQ(STATUS_SUCCESS, host::power::SetSystemState(PowerSystemSleeping3, {pdo_}));
    EXPECT_EQ(PowerSystemSleeping3, host::power::SystemState(pdo_));
    EXPECT_EQ(PowerDeviceD0, bus_->PowerState(pdo_));  // the device state is the function driver's to ask for
    ASSERT_EQ(STATUS_SUCCESS, host::power::SetSystemState(PowerSystemWorking, {pdo_}));
    EXPECT_EQ(PowerSystemWorking, host::power::SystemState(pdo_));
}

TEST_F(BusPowerTest, ARequestedWaitWakePendsUntilTheDeviceWakesOrItIsCancelled) {
    for (bool wake : {true, false}) {
        SCOPED_TRACE(wake);
        PowerDone done;
        PIRP irp = nullptr;
        ASSERT_EQ(STATUS_PENDING, PoRequestPowerIrp(pdo_, IRP_MN_WAIT_WAKE, SystemState(PowerSystemSleeping3),
                                                    PowerDone::Callback, &done, &irp));
        host::Advance(host::Ms(10));
        EXPECT_FALSE(done.called);
        if (wake)
            device_->Wake();
        else
            EXPECT_TRUE(IoCancelIrp(irp));
        ASSERT_TRUE(done.Wait());
        EXPECT_EQ(wake ? STATUS_SUCCESS : STATUS_CANCELLED, done.status);
        EXPECT_EQ(IRP_MN_WAIT_WAKE, done.minor);
        EXPECT_EQ(PowerSystemSleeping3, done.state.SystemState);
    }
}

}  // namespace
