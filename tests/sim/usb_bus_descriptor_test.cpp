// Descriptor reads and configuration/interface selection on the simulated bus.
#include "sim/config_parser.h"
#include "sim/usb_bus_fixture.h"

namespace {

class UsbBusDescriptorTest : public UsbBusTest {
protected:
    // Reads a descriptor into a buffer of `requested` bytes; returns the count written back.
    ULONG Read(UCHAR type, ULONG requested, NTSTATUS* status = nullptr, std::vector<uint8_t>* bytes = nullptr) {
        std::vector<uint8_t> buffer(requested);
        URB urb{};
        urb.UrbHeader.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
        urb.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
        urb.UrbControlDescriptorRequest.DescriptorType = type;
        urb.UrbControlDescriptorRequest.TransferBuffer = buffer.data();
        urb.UrbControlDescriptorRequest.TransferBufferLength = requested;
        NTSTATUS s = Send(&urb).status;
        if (status) *status = s;
        if (bytes) *bytes = buffer;
        return urb.UrbControlDescriptorRequest.TransferBufferLength;
    }
};

TEST_F(UsbBusDescriptorTest, ReadsCopyWhatFitsAndWriteTheCountBack) {
    struct Case {
        UCHAR type;
        ULONG requested;
        ULONG expected;
    } cases[] = {
        {USB_DEVICE_DESCRIPTOR_TYPE, 8, 8},
        {USB_DEVICE_DESCRIPTOR_TYPE, 255, 18},
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, 9, 9},
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, 1024, 73},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.requested);
        NTSTATUS status;
        std::vector<uint8_t> bytes;
        EXPECT_EQ(c.expected, Read(c.type, c.requested, &status, &bytes));
        EXPECT_EQ(STATUS_SUCCESS, status);
        EXPECT_EQ(c.type, bytes[1]);
    }
}

TEST_F(UsbBusDescriptorTest, TheDefaultSetHasExactLengthsAndTheSecondAlternateIsInterrupt) {
    sim::Descriptors d = sim::Pmc7rDescriptors(0x002B, 32);
    EXPECT_EQ(0x2B, d.device[10]);
    EXPECT_EQ(d.configuration.size(), size_t(d.configuration[2] | d.configuration[3] << 8));
    sim::bus::ConfigInfo config;
    ASSERT_TRUE(sim::bus::ParseConfiguration(d.configuration.data(), d.configuration.size(), &config));
    EXPECT_EQ(3, config.interfaceCount);
    const sim::bus::InterfaceInfo* alt1 = sim::bus::FindInterface(config, 2, 1);
    ASSERT_NE(nullptr, alt1);
    ASSERT_EQ(2u, alt1->endpoints.size());
    EXPECT_EQ(sim::kPmc7rInEndpoint, alt1->endpoints[0].address);
    EXPECT_EQ(USB_ENDPOINT_TYPE_INTERRUPT, alt1->endpoints[0].attributes);
    EXPECT_EQ(32, alt1->endpoints[1].maxPacket);
}

TEST_F(UsbBusDescriptorTest, SelectionFillsHandlesAndPacketSizesFromTheDescriptors) {
    ASSERT_EQ(STATUS_SUCCESS, Configure());
    EXPECT_NE(nullptr, configHandle_);
    EXPECT_NE(nullptr, interface_.InterfaceHandle);
    EXPECT_EQ(0xFF, interface_.Class);
    EXPECT_EQ(2u, interface_.NumberOfPipes);
    EXPECT_EQ(sim::kPmc7rInEndpoint, pipes_[0].EndpointAddress);
    EXPECT_EQ(sim::kPmc7rOutEndpoint, pipes_[1].EndpointAddress);
    for (const USBD_PIPE_INFORMATION& p : pipes_) {
        EXPECT_EQ(64, p.MaximumPacketSize);
        EXPECT_EQ(UsbdPipeTypeBulk, p.PipeType);
        EXPECT_NE(nullptr, p.PipeHandle);
    }
    USBD_PIPE_HANDLE oldIn = InPipe();
    ASSERT_EQ(STATUS_SUCCESS, SelectInterface(1));
    EXPECT_EQ(USBD_STATUS_SUCCESS, lastStatus_);
    EXPECT_NE(oldIn, InPipe());
    EXPECT_EQ(UsbdPipeTypeInterrupt, pipes_[0].PipeType);
    EXPECT_EQ(1, pipes_[0].Interval);
    EXPECT_EQ(64, pipes_[1].MaximumPacketSize);
    auto selections = device_->Selections();
    ASSERT_EQ(4u, selections.size());
    EXPECT_EQ(1, selections[0].configuration);
    EXPECT_EQ(2, selections[3].interfaceNumber);
    EXPECT_EQ(1, selections[3].alternate);
    // The old pipe is gone.
    uint8_t byte;
    URB urb;
    Transfer(&urb, oldIn, true, &byte, 1);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Send(&urb).status);
    EXPECT_EQ(USBD_STATUS_INVALID_PIPE_HANDLE, urb.UrbHeader.Status);
}

// A device whose descriptors lie about their lengths: they are served as given, and the bus
// reads no byte past what it was given (ASan watches).
class LyingDevice : public UsbBusTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        bus_ = std::make_unique<sim::UsbBus>();
        sim::Descriptors d = sim::Pmc7rDescriptors();
        d.device.resize(8);             // bLength still says 18
        d.configuration.resize(30);     // wTotalLength still says 73
        d.configuration[18 + 9] = 40;   // an endpoint whose bLength runs past the end
        device_ = std::make_shared<sim::RecordingDevice>(d);
        pdo_ = bus_->Plug(device_);
    }
};

TEST_F(LyingDevice, IsServedAsGivenAndCannotBeSelected) {
    std::vector<uint8_t> bytes(73);
    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb.UrbControlDescriptorRequest.DescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
    urb.UrbControlDescriptorRequest.TransferBuffer = bytes.data();
    urb.UrbControlDescriptorRequest.TransferBufferLength = 73;
    EXPECT_EQ(STATUS_SUCCESS, Send(&urb).status);
    EXPECT_EQ(30u, urb.UrbControlDescriptorRequest.TransferBufferLength);
    // The caller passes the buffer of the declared length it read into.
    config_ = bytes;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Configure());
    URB device{};
    device.UrbHeader.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    device.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    device.UrbControlDescriptorRequest.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    device.UrbControlDescriptorRequest.TransferBuffer = bytes.data();
    device.UrbControlDescriptorRequest.TransferBufferLength = 18;
    EXPECT_EQ(STATUS_SUCCESS, Send(&device).status);
    EXPECT_EQ(8u, device.UrbControlDescriptorRequest.TransferBufferLength);
}

}  // namespace
