// Transfers on the simulated bus: frame timing, the bus thread's completions, abort, cancel,
// deconfiguration, power and unplugging.
#include "sim/usb_bus_fixture.h"

namespace {

class UsbBusTransferTest : public UsbBusTest {
protected:
    void SetUp() override {
        UsbBusTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, Configure());
    }
};

TEST_F(UsbBusTransferTest, OutCompletesAtTheNextFrameFromTheBusThreadAtDispatchLevel) {
    host::Advance(host::Ms(1) / 2);
    uint8_t bytes[3] = {0x90, 0x40, 0x7f};
    URB urb;
    Transfer(&urb, OutPipe(), false, bytes, sizeof bytes);
    auto sent = Submit(&urb);
    EXPECT_TRUE(device_->Sent().empty());
    ASSERT_TRUE(Finished(sent));
    EXPECT_EQ(STATUS_SUCCESS, sent->status);
    EXPECT_EQ(USBD_STATUS_SUCCESS, urb.UrbHeader.Status);
    EXPECT_EQ(host::Ms(1), sent->time);
    EXPECT_EQ(DISPATCH_LEVEL, sent->irql);
    EXPECT_NE(KeGetCurrentThread(), sent->thread);
    ASSERT_EQ(1u, device_->Sent().size());
    EXPECT_EQ(sim::kPmc7rOutEndpoint, device_->Sent()[0].endpoint);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 3), device_->Sent()[0].data);
}

TEST_F(UsbBusTransferTest, InWaitsForAPacketAndGetsItCutToItsBuffer) {
    uint8_t buffer[4] = {};
    URB urb;
    Transfer(&urb, InPipe(), true, buffer, sizeof buffer);
    auto sent = Submit(&urb);
    host::Advance(host::Ms(5));
    EXPECT_FALSE(sent->done);
    EXPECT_EQ(USBD_STATUS_PENDING, urb.UrbHeader.Status);
    // Nothing is due: the frame thread waits without a deadline.
    EXPECT_NE(std::string::npos, host::ThreadReport().find("\"simusb frames\", no deadline"));
    device_->Push(sim::kPmc7rInEndpoint, {1, 2, 3, 4, 5, 6});
    ASSERT_TRUE(Finished(sent));
    EXPECT_EQ(STATUS_SUCCESS, sent->status);
    EXPECT_EQ(host::Ms(6), sent->time);
    EXPECT_EQ(DISPATCH_LEVEL, sent->irql);
    EXPECT_NE(KeGetCurrentThread(), sent->thread);
    EXPECT_EQ(4u, urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    EXPECT_EQ(4, buffer[3]);
}

TEST_F(UsbBusTransferTest, AtMostOnePacketPerFramePerPipe) {
    for (uint8_t i = 0; i < 3; ++i) device_->Push(sim::kPmc7rInEndpoint, {i});
    uint8_t buffers[3][8];
    URB urbs[3];
    std::vector<std::shared_ptr<Sent>> sent;
    for (int i = 0; i < 3; ++i) {
        Transfer(&urbs[i], InPipe(), true, buffers[i], 8);
        sent.push_back(Submit(&urbs[i]));
    }
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(Finished(sent[i]));
        EXPECT_EQ(host::Ms(1 + i), sent[i]->time);
        EXPECT_EQ(i, buffers[i][0]);
    }
}

// Each way of ending pending transfers, with the status they end with.
struct Ending {
    const char* name;
    std::function<void()> end;
    NTSTATUS status;
    USBD_STATUS usbd;
};

TEST_F(UsbBusTransferTest, PendingTransfersEndWithTheirPipe) {
    auto abort = [this] {
        URB urb;
        PipeRequest(&urb, URB_FUNCTION_ABORT_PIPE, InPipe());
        EXPECT_EQ(STATUS_SUCCESS, Send(&urb).status);
    };
    auto deconfigure = [this] {
        URB urb{};
        urb.UrbHeader.Length = sizeof(_URB_SELECT_CONFIGURATION);
        urb.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        EXPECT_EQ(STATUS_SUCCESS, Send(&urb).status);
    };
    auto reconfigure = [this] { EXPECT_EQ(STATUS_SUCCESS, Configure(1)); };
    auto reselect = [this] { EXPECT_EQ(STATUS_SUCCESS, SelectInterface(1)); };
    auto cancel = [] {};  // cancelled below, request by request
    auto unplug = [this] { bus_->Unplug(pdo_); };
    const Ending endings[] = {
        {"abort", abort, STATUS_CANCELLED, USBD_STATUS_CANCELED},
        {"deconfigure", deconfigure, STATUS_CANCELLED, USBD_STATUS_CANCELED},
        {"configure again", reconfigure, STATUS_CANCELLED, USBD_STATUS_CANCELED},
        {"select interface", reselect, STATUS_CANCELLED, USBD_STATUS_CANCELED},
        {"cancel", cancel, STATUS_CANCELLED, USBD_STATUS_CANCELED},
        {"unplug", unplug, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE},
    };
    for (const Ending& e : endings) {
        SCOPED_TRACE(e.name);
        ASSERT_EQ(STATUS_SUCCESS, Configure());
        uint8_t buffers[2][8];
        URB urbs[2];
        std::shared_ptr<Sent> sent[2];
        for (int i = 0; i < 2; ++i) {
            Transfer(&urbs[i], InPipe(), true, buffers[i], 8);
            sent[i] = Submit(&urbs[i]);
        }
        host::Advance(host::Ms(3));
        if (std::string(e.name) == "cancel") {
            for (auto& s : sent) EXPECT_TRUE(IoCancelIrp(s->irp));
        }
        e.end();
        for (int i = 0; i < 2; ++i) {
            EXPECT_TRUE(sent[i]->done);  // before the request that ended them returned
            EXPECT_EQ(e.status, sent[i]->status);
            EXPECT_EQ(e.usbd, urbs[i].UrbHeader.Status);
            EXPECT_EQ(0u, urbs[i].UrbBulkOrInterruptTransfer.TransferBufferLength);
        }
    }
}

TEST_F(UsbBusTransferTest, AfterUnplugEveryRequestFailsAsOnAGoneDevice) {
    bus_->Unplug(pdo_);
    uint8_t byte = 0;
    URB out;
    Transfer(&out, OutPipe(), false, &byte, 1);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, Send(&out).status);
    EXPECT_EQ(USBD_STATUS_DEVICE_GONE, out.UrbHeader.Status);
    URB read{};
    read.UrbHeader.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    read.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    read.UrbControlDescriptorRequest.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, Send(&read).status);
    EXPECT_TRUE(device_->Sent().empty());
}

// Transfers queued before the port was suspended carry nothing until it is back in D0.
TEST_F(UsbBusTransferTest, ADeviceInD3DeliversNoPacketsUntilD0) {
    auto power = [this](DEVICE_POWER_STATE state) {
        return SendIrp(IRP_MJ_POWER, IRP_MN_SET_POWER, [state](PIO_STACK_LOCATION sl) {
            sl->Parameters.Power.Type = DevicePowerState;
            sl->Parameters.Power.State.DeviceState = state;
        });
    };
    uint8_t buffer[8];
    URB urb;
    Transfer(&urb, InPipe(), true, buffer, 8);
    auto sent = Submit(&urb);
    uint8_t bytes[2] = {0xF8, 0xFA};
    URB out;
    Transfer(&out, OutPipe(), false, bytes, 2);
    auto written = Submit(&out);
    EXPECT_EQ(STATUS_SUCCESS, power(PowerDeviceD3).status);
    EXPECT_EQ(PowerDeviceD3, bus_->PowerState(pdo_));
    device_->Push(sim::kPmc7rInEndpoint, {9});
    host::Advance(host::Ms(5));
    EXPECT_FALSE(sent->done);
    EXPECT_FALSE(written->done);
    EXPECT_EQ(STATUS_SUCCESS, power(PowerDeviceD0).status);
    ASSERT_TRUE(Finished(sent));
    ASSERT_TRUE(Finished(written));
    EXPECT_EQ(9, buffer[0]);
    EXPECT_EQ(STATUS_SUCCESS, written->status);
    EXPECT_EQ((std::vector<DEVICE_POWER_STATE>{PowerDeviceD3, PowerDeviceD0}), device_->PowerStates());
}

TEST_F(UsbBusTransferTest, TheLogHoldsEverySubmissionAndCompletion) {
    uint8_t bytes[2] = {0xF8, 0xFA};
    URB urb;
    Transfer(&urb, OutPipe(), false, bytes, 2);
    ASSERT_TRUE(Finished(Submit(&urb)));
    std::vector<sim::UrbRecord> log = bus_->Log();
    ASSERT_LE(2u, log.size());
    const sim::UrbRecord& submitted = log[log.size() - 2];
    const sim::UrbRecord& completed = log.back();
    EXPECT_EQ(sim::UrbRecord::Event::Submitted, submitted.event);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 2), submitted.data);
    EXPECT_EQ(sim::UrbRecord::Event::Completed, completed.event);
    EXPECT_EQ(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, completed.function);
    EXPECT_EQ(sim::kPmc7rOutEndpoint, completed.endpoint);
    EXPECT_FALSE(completed.in);
    EXPECT_EQ(STATUS_SUCCESS, completed.status);
    EXPECT_EQ(host::Ms(1), completed.time);
    EXPECT_EQ(pdo_, completed.pdo);
}

}  // namespace
