// The USB driver library's descriptor walks: matching with wildcards, start positions, and
// descriptor sets that lie about their lengths.
#include <functional>
#include <optional>

#include "platform/usb_descriptors.h"
#include "support/platform_test.h"

namespace {

using usbtest::Descriptors;

class UsbParse : public PlatformTest {
protected:
    usbtest::MidiLayout midi_ = usbtest::Midi();
    PUSB_CONFIGURATION_DESCRIPTOR config_ = usbtest::AsConfiguration(midi_.bytes);

    PVOID At(size_t offset) { return midi_.bytes.data() + offset; }
    // Offset of a result within the layout, or nullopt for NULL.
    std::optional<size_t> OffsetOf(const void* p) {
        if (!p) return std::nullopt;
        return size_t(static_cast<const UCHAR*>(p) - midi_.bytes.data());
    }
};

TEST_F(UsbParse, MatchesEachCriterionWithMinusOneAsAny) {
    struct Case {
        LONG number, alternate, cls, subclass, protocol;
        std::optional<size_t> expected;
    };
    const Case cases[] = {
        {-1, -1, -1, -1, -1, midi_.control},
        {1, -1, -1, -1, -1, midi_.streaming},
        {1, 1, -1, -1, -1, midi_.vendorAlternate},
        {-1, 1, -1, -1, -1, midi_.vendorAlternate},
        {-1, -1, USB_DEVICE_CLASS_AUDIO, 3, -1, midi_.streaming},
        {-1, -1, USB_DEVICE_CLASS_AUDIO, -1, -1, midi_.control},
        {-1, -1, USB_DEVICE_CLASS_VENDOR_SPECIFIC, -1, -1, midi_.vendorAlternate},
        {-1, -1, -1, -1, 7, midi_.vendorAlternate},
        {1, 0, USB_DEVICE_CLASS_AUDIO, 3, 1, std::nullopt},  // protocol differs
        {0, 1, -1, -1, -1, std::nullopt},                     // no such alternate
        {2, -1, -1, -1, -1, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.number << "/" << c.alternate << " class " << c.cls
                                        << "/" << c.subclass << "/" << c.protocol);
        EXPECT_EQ(c.expected, OffsetOf(USBD_ParseConfigurationDescriptorEx(
                                  config_, config_, c.number, c.alternate, c.cls, c.subclass,
                                  c.protocol)));
    }
}

TEST_F(UsbParse, SearchBeginsAtTheStartPosition) {
    // At an interface descriptor the search includes it; just after it, the next one.
    EXPECT_EQ(midi_.streaming, OffsetOf(USBD_ParseConfigurationDescriptorEx(
                                   config_, At(midi_.streaming), 1, -1, -1, -1, -1)));
    EXPECT_EQ(midi_.vendorAlternate, OffsetOf(USBD_ParseConfigurationDescriptorEx(
                                         config_, At(midi_.outEndpoint), 1, -1, -1, -1, -1)));
    EXPECT_EQ(std::nullopt, OffsetOf(USBD_ParseConfigurationDescriptorEx(
                                config_, At(midi_.outEndpoint), 0, -1, -1, -1, -1)));
    // A start outside the configuration finds nothing.
    EXPECT_EQ(nullptr, USBD_ParseConfigurationDescriptorEx(config_, At(midi_.bytes.size()), -1,
                                                           -1, -1, -1, -1));
}

TEST_F(UsbParse, OldFormSearchesFromTheBeginning) {
    EXPECT_EQ(midi_.vendorAlternate, OffsetOf(USBD_ParseConfigurationDescriptor(config_, 1, 1)));
    EXPECT_EQ(midi_.control, OffsetOf(USBD_ParseConfigurationDescriptor(config_, 0, 0)));
    // -1 passed as a UCHAR still means any.
    EXPECT_EQ(midi_.vendorAlternate, OffsetOf(USBD_ParseConfigurationDescriptor(config_, -1, 1)));
    EXPECT_EQ(nullptr, USBD_ParseConfigurationDescriptor(config_, 3, 0));
}

TEST_F(UsbParse, DescriptorsOfATypeFromAStartPosition) {
    ULONG total = ULONG(midi_.bytes.size());
    auto find = [&](size_t start, LONG type) {
        return OffsetOf(USBD_ParseDescriptors(config_, total, At(start), type));
    };
    EXPECT_EQ(midi_.outEndpoint, find(0, USB_ENDPOINT_DESCRIPTOR_TYPE));
    EXPECT_EQ(midi_.inEndpoint, find(midi_.outEndpoint + 7, USB_ENDPOINT_DESCRIPTOR_TYPE));
    EXPECT_EQ(midi_.outEndpoint + 7, find(midi_.streaming, usbtest::kCsEndpoint));
    EXPECT_EQ(size_t(0), find(0, USB_CONFIGURATION_DESCRIPTOR_TYPE));
    EXPECT_EQ(std::nullopt, find(midi_.vendorAlternate, usbtest::kCsInterface));
    EXPECT_EQ(std::nullopt, find(0, USB_STRING_DESCRIPTOR_TYPE));
    // TotalLength bounds the search, not the buffer: it ends inside the IN endpoint.
    EXPECT_EQ(std::nullopt, OffsetOf(USBD_ParseDescriptors(config_, ULONG(midi_.inEndpoint + 3),
                                                           At(midi_.outEndpoint + 7),
                                                           USB_ENDPOINT_DESCRIPTOR_TYPE)));
}

// Each set is held in a buffer of exactly wTotalLength bytes, or (for wTotalLength smaller
// than the data) of the whole data, and holds an interface the walk must not reach or trust.
TEST_F(UsbParse, LyingLengthsEndTheWalkWithoutReadingPastTheEnd) {
    struct Case {
        const char* what;
        std::function<std::vector<UCHAR>()> build;
        std::optional<size_t> expected;
        bool keepWholeBuffer = false;
    };
    const Case cases[] = {
        {"a zero bLength before the interface",
         [] {
             return Descriptors().Configuration(1).Raw({0, 0x24, 0, 0}).Interface(0, 0, 0, 1, 3)
                 .Seal();
         },
         std::nullopt},
        {"an interface whose bLength runs past wTotalLength",
         [] { return Descriptors().Configuration(1).Raw({12, 4, 0, 0, 0, 1, 3, 0, 0}).Seal(); },
         std::nullopt},
        {"a class descriptor whose bLength runs past wTotalLength",
         [] { return Descriptors().Configuration(1).Raw({200, 0x24, 0, 0}).Seal(); },
         std::nullopt},
        {"one byte left after the last descriptor",
         [] { return Descriptors().Configuration(1).Raw({9}).Seal(); }, std::nullopt},
        {"wTotalLength ending inside the interface",
         [] { return Descriptors().Configuration(1).ClassSpecific(0x24, 5).Interface(0, 0, 0, 1, 3)
                  .Seal(9 + 5 + 4); },
         std::nullopt},
        {"wTotalLength ending before a whole interface",
         [] { return Descriptors().Configuration(1).ClassSpecific(0x24, 5).Interface(0, 0, 0, 1, 3)
                  .Seal(9 + 5); },
         std::nullopt, true},
        {"an interface too short for its fields, then a real one",
         [] {
             return Descriptors().Configuration(1).Raw({5, 4, 0, 0, 0}).Interface(0, 0, 0, 1, 3)
                 .Seal();
         },
         size_t(9 + 5)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<UCHAR> bytes = c.build();
        auto config = usbtest::AsConfiguration(bytes);
        ASSERT_LE(config->wTotalLength, bytes.size());
        if (!c.keepWholeBuffer) {
            bytes.resize(config->wTotalLength);
            bytes.shrink_to_fit();
            config = usbtest::AsConfiguration(bytes);
        }
        auto found = USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
        std::optional<size_t> at;
        if (found) at = size_t(reinterpret_cast<UCHAR*>(found) - bytes.data());
        EXPECT_EQ(c.expected, at);
        auto any = USBD_ParseDescriptors(config, config->wTotalLength, bytes.data() + 9,
                                         USB_INTERFACE_DESCRIPTOR_TYPE);
        if (!c.expected) {
            EXPECT_EQ(nullptr, any);
        }
    }
}

TEST_F(UsbParse, InterfaceLengthCountsItsDescriptorsUpToTheNextInterface) {
    auto length = [&](size_t iface, size_t end) {
        return USBD_GetInterfaceLength(static_cast<PUSB_INTERFACE_DESCRIPTOR>(At(iface)),
                                       midi_.bytes.data() + end);
    };
    size_t end = midi_.bytes.size();
    EXPECT_EQ(ULONG(9 + 9), length(midi_.control, end));
    EXPECT_EQ(ULONG(midi_.vendorAlternate - midi_.streaming), length(midi_.streaming, end));
    EXPECT_EQ(ULONG(9 + 7 + 7), length(midi_.vendorAlternate, end));
    // BufferEnd inside the first endpoint: only whole descriptors count.
    EXPECT_EQ(ULONG(9 + 7), length(midi_.streaming, midi_.outEndpoint + 3));
    EXPECT_EQ(ULONG(0), length(midi_.streaming, midi_.streaming + 4));

    std::vector<UCHAR> zero = Descriptors().Interface(0, 0, 1, 1, 3).Raw({0, 5}).Endpoint(1).Bytes();
    EXPECT_EQ(ULONG(9), USBD_GetInterfaceLength(reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(
                                                    zero.data()),
                                                zero.data() + zero.size()));
}

TEST_F(UsbParse, ParsingAtDispatchLevelIsAViolation) {
    host::verifier::Record(true);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(nullptr, USBD_ParseConfigurationDescriptorEx(config_, config_, -1, -1, -1, -1, -1));
    EXPECT_TRUE(host::verifier::Fired("USB descriptor parse at DISPATCH_LEVEL"));
    EXPECT_EQ(nullptr, USBD_ParseDescriptors(config_, ULONG(midi_.bytes.size()), config_,
                                             USB_INTERFACE_DESCRIPTOR_TYPE));
    EXPECT_TRUE(host::verifier::Fired("USB descriptor parse at DISPATCH_LEVEL"));
    KeLowerIrql(APC_LEVEL);
    EXPECT_NE(nullptr, USBD_ParseConfigurationDescriptorEx(config_, config_, -1, -1, -1, -1, -1));
    EXPECT_EQ(ULONG(0), USBD_GetInterfaceLength(
                            static_cast<PUSB_INTERFACE_DESCRIPTOR>(At(midi_.control)),
                            midi_.bytes.data() + midi_.bytes.size()));
    EXPECT_TRUE(host::verifier::Fired("USB driver library call above PASSIVE_LEVEL"));
    KeLowerIrql(old);
    EXPECT_TRUE(host::verifier::Take().empty());
}

}  // namespace
