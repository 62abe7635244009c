// The select-configuration URB the USB driver library builds: its layout, its pool memory,
// the old single-interface form, and the IRQL rule.
#include <vector>

#include "platform/usb_descriptors.h"
#include "support/platform_test.h"

namespace {

class UsbConfigRequest : public PlatformTest {
protected:
    usbtest::MidiLayout midi_ = usbtest::Midi();
    PUSB_CONFIGURATION_DESCRIPTOR config_ = usbtest::AsConfiguration(midi_.bytes);

    PUSB_INTERFACE_DESCRIPTOR Interface(size_t offset) {
        return reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(midi_.bytes.data() + offset);
    }
};

constexpr size_t kUrbHead = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);

void ExpectFreshPipes(const USBD_INTERFACE_INFORMATION& info) {
    for (ULONG i = 0; i < info.NumberOfPipes; i++) {
        SCOPED_TRACE(i);
        const USBD_PIPE_INFORMATION& pipe = info.Pipes[i];
        EXPECT_EQ(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE, pipe.MaximumTransferSize);
        EXPECT_EQ(0, pipe.MaximumPacketSize);
        EXPECT_EQ(0, pipe.EndpointAddress);
        EXPECT_EQ(nullptr, pipe.PipeHandle);
        EXPECT_EQ(0u, pipe.PipeFlags);
    }
}

TEST_F(UsbConfigRequest, OneInterfaceWithTwoEndpoints) {
    USBD_INTERFACE_LIST_ENTRY list[2] = {{Interface(midi_.streaming), nullptr}, {}};
    PURB urb = USBD_CreateConfigurationRequestEx(config_, list);
    ASSERT_NE(nullptr, urb);

    if (sizeof(void*) == 4) {
        EXPECT_EQ(24u, kUrbHead);
        EXPECT_EQ(24 + 16 + 2 * 20, urb->UrbHeader.Length);
    }
    EXPECT_EQ(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2), urb->UrbHeader.Length);
    EXPECT_EQ(URB_FUNCTION_SELECT_CONFIGURATION, urb->UrbHeader.Function);
    EXPECT_EQ(USBD_STATUS_SUCCESS, urb->UrbHeader.Status);
    EXPECT_EQ(config_, urb->UrbSelectConfiguration.ConfigurationDescriptor);
    EXPECT_EQ(nullptr, urb->UrbSelectConfiguration.ConfigurationHandle);

    const USBD_INTERFACE_INFORMATION& info = urb->UrbSelectConfiguration.Interface;
    EXPECT_EQ(&urb->UrbSelectConfiguration.Interface, list[0].Interface);
    EXPECT_EQ(GET_USBD_INTERFACE_SIZE(2), info.Length);
    EXPECT_EQ(1, info.InterfaceNumber);
    EXPECT_EQ(0, info.AlternateSetting);
    EXPECT_EQ(2u, info.NumberOfPipes);
    EXPECT_EQ(nullptr, info.InterfaceHandle);
    ExpectFreshPipes(info);

    auto blocks = host::pool::Outstanding();
    ASSERT_EQ(1u, blocks.size());
    EXPECT_EQ(urb, blocks[0].address);
    EXPECT_EQ(NonPagedPool, blocks[0].type);
    EXPECT_EQ(size_t(urb->UrbHeader.Length), blocks[0].size);
    ExFreePool(urb);
}

TEST_F(UsbConfigRequest, InterfacesFollowOneAnotherByLength) {
    USBD_INTERFACE_LIST_ENTRY list[3] = {
        {Interface(midi_.control), nullptr}, {Interface(midi_.vendorAlternate), nullptr}, {}};
    PURB urb = USBD_CreateConfigurationRequestEx(config_, list);
    ASSERT_NE(nullptr, urb);
    EXPECT_EQ(kUrbHead + GET_USBD_INTERFACE_SIZE(0) + GET_USBD_INTERFACE_SIZE(2),
              urb->UrbHeader.Length);
    if (sizeof(void*) == 4) {
        EXPECT_EQ(24 + 16 + 56, urb->UrbHeader.Length);
    }

    PUSBD_INTERFACE_INFORMATION first = list[0].Interface;
    PUSBD_INTERFACE_INFORMATION second = list[1].Interface;
    EXPECT_EQ(&urb->UrbSelectConfiguration.Interface, first);
    EXPECT_EQ(reinterpret_cast<PUCHAR>(first) + first->Length, reinterpret_cast<PUCHAR>(second));
    EXPECT_EQ(0u, first->NumberOfPipes);
    EXPECT_EQ(1, second->InterfaceNumber);
    EXPECT_EQ(1, second->AlternateSetting);
    EXPECT_EQ(2u, second->NumberOfPipes);
    ExpectFreshPipes(*second);
    // The last interface ends where the URB does.
    EXPECT_EQ(reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length,
              reinterpret_cast<PUCHAR>(second) + second->Length);
    ExFreePool(urb);
}

TEST_F(UsbConfigRequest, AnUnfreedRequestIsReportedAsALeak) {
    USBD_INTERFACE_LIST_ENTRY list[2] = {{Interface(midi_.streaming), nullptr}, {}};
    PURB urb = USBD_CreateConfigurationRequestEx(config_, list);
    ASSERT_NE(nullptr, urb);
    std::string report = session_.Finish();
    EXPECT_NE(std::string::npos,
              report.find("'USBD' NonPagedPool " + std::to_string(urb->UrbHeader.Length)))
        << report;
    ExFreePool(urb);
}

TEST_F(UsbConfigRequest, PoolFailureReturnsNull) {
    host::faults::FailAll(host::faults::Op::Pool);
    USBD_INTERFACE_LIST_ENTRY list[2] = {{Interface(midi_.streaming), nullptr}, {}};
    EXPECT_EQ(nullptr, USBD_CreateConfigurationRequestEx(config_, list));
    EXPECT_EQ(nullptr, list[0].Interface);
    USHORT size = 0xBEEF;
    EXPECT_EQ(nullptr, USBD_CreateConfigurationRequest(config_, &size));
    EXPECT_EQ(0xBEEF, size);
    host::faults::Clear();
}

TEST_F(UsbConfigRequest, OldFormTakesTheFirstInterfaceInAlternateZero) {
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(config_, &size);
    ASSERT_NE(nullptr, urb);
    EXPECT_EQ(urb->UrbHeader.Length, size);
    EXPECT_EQ(kUrbHead + GET_USBD_INTERFACE_SIZE(0), size);
    EXPECT_EQ(0, urb->UrbSelectConfiguration.Interface.InterfaceNumber);
    EXPECT_EQ(0, urb->UrbSelectConfiguration.Interface.AlternateSetting);
    ExFreePool(urb);

    // Only an alternate setting 1: nothing to configure.
    std::vector<UCHAR> bytes =
        usbtest::Descriptors().Configuration(1).Interface(0, 1, 1, 0xFF, 0).Endpoint(0x81).Seal();
    size = 0;
    EXPECT_EQ(nullptr, USBD_CreateConfigurationRequest(usbtest::AsConfiguration(bytes), &size));
    EXPECT_EQ(0, size);

    // The first interface found, whatever its number.
    bytes = usbtest::Descriptors().Configuration(2).Interface(3, 0, 1, 0xFF, 0).Endpoint(0x81)
                .Interface(0, 0, 0, 1, 1).Seal();
    urb = USBD_CreateConfigurationRequest(usbtest::AsConfiguration(bytes), &size);
    ASSERT_NE(nullptr, urb);
    EXPECT_EQ(3, urb->UrbSelectConfiguration.Interface.InterfaceNumber);
    EXPECT_EQ(1u, urb->UrbSelectConfiguration.Interface.NumberOfPipes);
    ExFreePool(urb);
}

TEST_F(UsbConfigRequest, BuildingAbovePassiveLevelIsAViolation) {
    host::verifier::Record(true);
    USBD_INTERFACE_LIST_ENTRY list[2] = {{Interface(midi_.streaming), nullptr}, {}};
    USHORT size = 0;
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_EQ(nullptr, USBD_CreateConfigurationRequestEx(config_, list));
    EXPECT_TRUE(host::verifier::Fired("USB driver library call above PASSIVE_LEVEL"));
    EXPECT_EQ(nullptr, USBD_CreateConfigurationRequest(config_, &size));
    EXPECT_TRUE(host::verifier::Fired("USB driver library call above PASSIVE_LEVEL"));
    KeLowerIrql(old);
    EXPECT_TRUE(host::pool::Outstanding().empty());
}

}  // namespace
