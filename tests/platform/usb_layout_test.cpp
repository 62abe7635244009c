// The USB records the bus reads, in the driver's 32-bit layout, and the request builders
// from the USB driver library's header.
#include <cstddef>

#include "platform/platform.h"
#include "support/platform_test.h"

namespace {

class UsbLayout : public PlatformTest {};

TEST_F(UsbLayout, DescriptorsArePacked) {
    EXPECT_EQ(18u, sizeof(USB_DEVICE_DESCRIPTOR));
    EXPECT_EQ(9u, sizeof(USB_CONFIGURATION_DESCRIPTOR));
    EXPECT_EQ(9u, sizeof(USB_INTERFACE_DESCRIPTOR));
    EXPECT_EQ(7u, sizeof(USB_ENDPOINT_DESCRIPTOR));
    EXPECT_EQ(2u, sizeof(USB_COMMON_DESCRIPTOR));
    EXPECT_EQ(8u, sizeof(USB_DEFAULT_PIPE_SETUP_PACKET));
    EXPECT_EQ(2u, offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength));
    EXPECT_EQ(4u, offsetof(USB_ENDPOINT_DESCRIPTOR, wMaxPacketSize));
}

TEST_F(UsbLayout, RequestsHaveTheir32BitSizes) {
    if (sizeof(void*) != 4) GTEST_SKIP() << "the USB stack's layouts are the 32-bit ones";
    struct Case {
        const char* name;
        size_t actual, expected;
    };
    const Case cases[] = {
        {"pipe information", sizeof(USBD_PIPE_INFORMATION), 20},
        {"interface information", sizeof(USBD_INTERFACE_INFORMATION), 36},
        {"pipes of an interface", offsetof(USBD_INTERFACE_INFORMATION, Pipes), 16},
        {"URB header", sizeof(struct _URB_HEADER), 16},
        {"select interface", sizeof(struct _URB_SELECT_INTERFACE), 56},
        {"select configuration", sizeof(struct _URB_SELECT_CONFIGURATION), 60},
        {"interfaces of a configuration", offsetof(struct _URB_SELECT_CONFIGURATION, Interface), 24},
        {"pipe request", sizeof(struct _URB_PIPE_REQUEST), 24},
        {"descriptor request", sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), 80},
        {"vendor or class request", sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 80},
        {"bulk or interrupt transfer", sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), 72},
        {"host controller area", sizeof(struct _URB_HCD_AREA), 32},
        {"URB", sizeof(URB), 96},
        {"interface size, 2 endpoints", GET_USBD_INTERFACE_SIZE(2), 56},
        {"interface size, no endpoint", GET_USBD_INTERFACE_SIZE(0), 16},
        {"select configuration, 1 interface, 2 pipes", GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2),
         80},
        {"select configuration, 2 interfaces, 2 pipes",
         GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 2), 96},
        {"select interface, 2 pipes", GET_SELECT_INTERFACE_REQUEST_SIZE(2), 76},
    };
    for (const Case& c : cases) EXPECT_EQ(c.expected, c.actual) << c.name;
}

TEST_F(UsbLayout, ControlCodesAndStatusClasses) {
    EXPECT_EQ(0x220003u, ULONG(IOCTL_INTERNAL_USB_SUBMIT_URB));
    EXPECT_EQ(0x220007u, ULONG(IOCTL_INTERNAL_USB_RESET_PORT));
    EXPECT_EQ(0x220013u, ULONG(IOCTL_INTERNAL_USB_GET_PORT_STATUS));
    EXPECT_EQ(0x22001Fu, ULONG(IOCTL_INTERNAL_USB_CYCLE_PORT));
    EXPECT_TRUE(USBD_SUCCESS(USBD_STATUS_SUCCESS));
    EXPECT_TRUE(USBD_PENDING(USBD_STATUS_PENDING));
    EXPECT_TRUE(USBD_SUCCESS(USBD_STATUS_PENDING));
    for (USBD_STATUS s : {USBD_STATUS_STALL_PID, USBD_STATUS_CANCELED, USBD_STATUS_DEVICE_GONE,
                          USBD_STATUS_INVALID_PARAMETER, USBD_STATUS_ERROR_BUSY}) {
        EXPECT_TRUE(USBD_ERROR(s)) << std::hex << s;
        EXPECT_FALSE(USBD_PENDING(s)) << std::hex << s;
    }
}

TEST_F(UsbLayout, SelectInterfaceRequestSizesItsInterface) {
    constexpr USHORT size = GET_SELECT_INTERFACE_REQUEST_SIZE(2);
    alignas(URB) UCHAR storage[sizeof(URB) + size] = {};
    auto urb = reinterpret_cast<PURB>(storage);
    UsbBuildSelectInterfaceRequest(urb, size, &storage, 1, 2);
    EXPECT_EQ(URB_FUNCTION_SELECT_INTERFACE, urb->UrbHeader.Function);
    EXPECT_EQ(size, urb->UrbHeader.Length);
    EXPECT_EQ(GET_USBD_INTERFACE_SIZE(2), urb->UrbSelectInterface.Interface.Length);
    EXPECT_EQ(1, urb->UrbSelectInterface.Interface.InterfaceNumber);
    EXPECT_EQ(2, urb->UrbSelectInterface.Interface.AlternateSetting);
}

TEST_F(UsbLayout, DescriptorRequestCarriesTypeIndexAndBuffer) {
    URB urb = {};
    UCHAR buffer[64];
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, buffer, nullptr,
                                 sizeof(buffer), nullptr);
    const auto& r = urb.UrbControlDescriptorRequest;
    EXPECT_EQ(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, r.Hdr.Function);
    EXPECT_EQ(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), r.Hdr.Length);
    EXPECT_EQ(USB_STRING_DESCRIPTOR_TYPE, r.DescriptorType);
    EXPECT_EQ(2, r.Index);
    EXPECT_EQ(0x0409, r.LanguageId);
    EXPECT_EQ(buffer, r.TransferBuffer);
    EXPECT_EQ(sizeof(buffer), r.TransferBufferLength);
}

}  // namespace
