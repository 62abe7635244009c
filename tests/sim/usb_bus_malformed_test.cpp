// Requests the USB stack refuses, each with the status and USBD status it gives.
#include "sim/usb_bus_fixture.h"

namespace {

class UsbBusMalformedTest : public UsbBusTest {};

TEST_F(UsbBusMalformedTest, MalformedUrbsFailWithTheStacksStatuses) {
    uint8_t buffer[8];
    struct Case {
        const char* name;
        bool configured;
        std::function<void(URB*)> build;
        NTSTATUS status;
        USBD_STATUS usbd;
    };
    auto transfer = [&](USBD_PIPE_HANDLE pipe, void* data) {
        return [=, this](URB* u) { Transfer(u, pipe ? pipe : InPipe(), true, data, 8); };
    };
    const Case cases[] = {
        {"unknown function", false, [](URB* u) { u->UrbHeader.Function = 0x7777; },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION},
        {"reserved function", false, [](URB* u) { u->UrbHeader.Function = URB_FUNCTION_RESERVED_0X0016; },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION},
        {"short descriptor header", false,
         [](URB* u) { u->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, u->UrbHeader.Length = 8; },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
        {"transfer before configuration", false, transfer(reinterpret_cast<USBD_PIPE_HANDLE>(0x5b010), buffer),
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE},
        {"string descriptor", false,
         [&](URB* u) {
             u->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
             u->UrbControlDescriptorRequest.DescriptorType = USB_STRING_DESCRIPTOR_TYPE;
             u->UrbControlDescriptorRequest.TransferBuffer = buffer;
             u->UrbControlDescriptorRequest.TransferBufferLength = 8;
         },
         STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID},
        {"vendor request", false, [](URB* u) { u->UrbHeader.Function = URB_FUNCTION_VENDOR_DEVICE; },
         STATUS_NOT_SUPPORTED, USBD_STATUS_NOT_SUPPORTED},
        {"short transfer header", true,
         [&](URB* u) { transfer(nullptr, buffer)(u), u->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST); },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
        {"unknown pipe", true, transfer(reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), buffer),
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE},
        {"missing buffer", true, transfer(nullptr, nullptr), STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
        {"abort of an unknown pipe", true,
         [](URB* u) { PipeRequest(u, URB_FUNCTION_ABORT_PIPE, reinterpret_cast<USBD_PIPE_HANDLE>(8)); },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(!c.configured && configHandle_) << "configured cases come last";
        if (c.configured && !configHandle_) {
            ASSERT_EQ(STATUS_SUCCESS, Configure());
        }
        URB urb{};
        urb.UrbHeader.Length = sizeof(URB);
        c.build(&urb);
        urb.UrbHeader.Status = 0x12345678;
        EXPECT_EQ(c.status, Send(&urb).status);
        EXPECT_EQ(c.usbd, urb.UrbHeader.Status);
    }
}

TEST_F(UsbBusMalformedTest, SelectionsOfWhatTheDeviceDoesNotHaveFail) {
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SelectInterface(0));  // not configured yet
    EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, lastStatus_);
    ASSERT_EQ(STATUS_SUCCESS, Configure());
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SelectInterface(5));
    EXPECT_EQ(USBD_STATUS_INTERFACE_NOT_FOUND, lastStatus_);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SelectInterface(1, 2, reinterpret_cast<USBD_CONFIGURATION_HANDLE>(4)));
    EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, lastStatus_);
    config_[1] = 0;  // not a configuration descriptor
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Configure());
}

TEST_F(UsbBusMalformedTest, RequestsTheBusDoesNotServeKeepTheirStatus) {
    auto r = host::io::SendAndWait(pdo_, [](PIRP irp, PIO_STACK_LOCATION sl) {
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        sl->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        sl->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_CYCLE_PORT;
    });
    EXPECT_EQ(STATUS_NOT_SUPPORTED, r.status);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Send(nullptr).status);
}

}  // namespace
