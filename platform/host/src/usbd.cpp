// The USB driver library: walking configuration descriptors and building the
// select-configuration URB. A descriptor set comes from a device and may lie about its
// lengths, so every walk stays inside the length it was given.
#include <cstring>
#include <string>

#include "../../platform.h"
#include "internal.h"

namespace {

using host::detail::CurrentIrql;
using host::detail::Violate;
namespace rules = host::verifier::rules;

constexpr ULONG kTag = 'USBD';

bool IrqlAtMost(KIRQL highest, const char* rule, const char* routine) {
    if (CurrentIrql() <= highest) return true;
    Violate(rule, std::string(routine) + " at IRQL " + std::to_string(CurrentIrql()));
    return false;
}

bool AtPassive(const char* routine) {
    return IrqlAtMost(PASSIVE_LEVEL, rules::kUsbdAbovePassive, routine);
}

bool BelowDispatch(const char* routine) {
    return IrqlAtMost(APC_LEVEL, rules::kUsbdParseAtDispatch, routine);
}

// The descriptor at p when the whole of it lies before end; nullptr otherwise (including a
// zero length, which would never advance).
const USB_COMMON_DESCRIPTOR* WholeDescriptorAt(const UCHAR* p, const UCHAR* end) {
    auto at = reinterpret_cast<uintptr_t>(p);
    auto limit = reinterpret_cast<uintptr_t>(end);
    if (at >= limit || limit - at < sizeof(USB_COMMON_DESCRIPTOR)) return nullptr;
    auto d = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(p);
    if (d->bLength == 0 || d->bLength > limit - at) return nullptr;
    return d;
}

// The first whole descriptor of the type in [start, end), stopping at the first one that is
// not whole.
const USB_COMMON_DESCRIPTOR* FindDescriptor(const UCHAR* start, const UCHAR* end, LONG type) {
    for (const UCHAR* p = start;;) {
        const USB_COMMON_DESCRIPTOR* d = WholeDescriptorAt(p, end);
        if (!d || d->bDescriptorType == type) return d;
        p += d->bLength;
    }
}

bool Matches(LONG wanted, UCHAR value) { return wanted == -1 || wanted == value; }

const UCHAR* EndOf(PUSB_CONFIGURATION_DESCRIPTOR configuration) {
    return reinterpret_cast<const UCHAR*>(configuration) + configuration->wTotalLength;
}

bool Within(const void* p, const void* begin, const UCHAR* end) {
    auto at = reinterpret_cast<uintptr_t>(p);
    return at >= reinterpret_cast<uintptr_t>(begin) && at < reinterpret_cast<uintptr_t>(end);
}

ULONG InterfaceInformationSize(const USB_INTERFACE_DESCRIPTOR* descriptor) {
    return GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints);
}

void FormatInterface(PUSBD_INTERFACE_INFORMATION info, const USB_INTERFACE_DESCRIPTOR* d) {
    info->Length = static_cast<USHORT>(InterfaceInformationSize(d));
    info->InterfaceNumber = d->bInterfaceNumber;
    info->AlternateSetting = d->bAlternateSetting;
    info->NumberOfPipes = d->bNumEndpoints;
    for (ULONG i = 0; i < info->NumberOfPipes; i++)
        info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
}

// Builds the select-configuration URB for the listed interfaces; the caller has checked the
// IRQL.
PURB BuildSelectConfiguration(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                              PUSBD_INTERFACE_LIST_ENTRY list) {
    ULONG size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    for (auto entry = list; entry->InterfaceDescriptor; entry++)
        size += InterfaceInformationSize(entry->InterfaceDescriptor);
    if (size > 0xFFFF) return nullptr;  // the header's Length cannot say it
    auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kTag));
    if (!urb) return nullptr;
    std::memset(urb, 0, size);
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = configuration;
    auto next = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
    for (auto entry = list; entry->InterfaceDescriptor; entry++) {
        auto info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(next);
        FormatInterface(info, entry->InterfaceDescriptor);
        entry->Interface = info;
        next += info->Length;
    }
    return urb;
}

}  // namespace

VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
    VersionInformation->USBDI_Version = USBDI_VERSION;
    VersionInformation->Supported_USB_Version = 0x200;
}

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                   PVOID StartPosition, LONG DescriptorType) {
    if (!BelowDispatch("USBD_ParseDescriptors")) return nullptr;
    auto end = static_cast<const UCHAR*>(DescriptorBuffer) + TotalLength;
    if (!Within(StartPosition, DescriptorBuffer, end)) return nullptr;
    auto found = FindDescriptor(static_cast<const UCHAR*>(StartPosition), end, DescriptorType);
    return const_cast<PUSB_COMMON_DESCRIPTOR>(found);
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
    if (!BelowDispatch("USBD_ParseConfigurationDescriptorEx")) return nullptr;
    const UCHAR* end = EndOf(ConfigurationDescriptor);
    if (!Within(StartPosition, ConfigurationDescriptor, end)) return nullptr;
    auto p = static_cast<const UCHAR*>(StartPosition);
    while (auto d = FindDescriptor(p, end, USB_INTERFACE_DESCRIPTOR_TYPE)) {
        p = reinterpret_cast<const UCHAR*>(d) + d->bLength;
        // A descriptor too short for the interface fields is not an interface.
        if (d->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) continue;
        auto i = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(d);
        if (Matches(InterfaceNumber, i->bInterfaceNumber) &&
            Matches(AlternateSetting, i->bAlternateSetting) &&
            Matches(InterfaceClass, i->bInterfaceClass) &&
            Matches(InterfaceSubClass, i->bInterfaceSubClass) &&
            Matches(InterfaceProtocol, i->bInterfaceProtocol))
            return const_cast<PUSB_INTERFACE_DESCRIPTOR>(i);
    }
    return nullptr;
}

// The old form takes UCHARs, so a caller's -1 arrives as 0xFF and still means "any".
PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, UCHAR InterfaceNumber,
    UCHAR AlternateSetting) {
    LONG number = InterfaceNumber == 0xFF ? -1 : InterfaceNumber;
    LONG alternate = AlternateSetting == 0xFF ? -1 : AlternateSetting;
    return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor,
                                               number, alternate, -1, -1, -1);
}

// The interface descriptor with everything after it up to the next interface descriptor
// (its endpoints and any class-specific descriptors), counted only while whole.
ULONG NTAPI USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor,
                                    PUCHAR BufferEnd) {
    if (!AtPassive("USBD_GetInterfaceLength")) return 0;
    auto start = reinterpret_cast<const UCHAR*>(InterfaceDescriptor);
    const USB_COMMON_DESCRIPTOR* d = WholeDescriptorAt(start, BufferEnd);
    if (!d) return 0;
    ULONG length = d->bLength;
    while ((d = WholeDescriptorAt(start + length, BufferEnd)) &&
           d->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE)
        length += d->bLength;
    return length;
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    if (!AtPassive("USBD_CreateConfigurationRequestEx")) return nullptr;
    return BuildSelectConfiguration(ConfigurationDescriptor, InterfaceList);
}

// The old routine configures the first interface found, in its alternate setting 0.
PURB NTAPI USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                           PUSHORT Siz) {
    if (!AtPassive("USBD_CreateConfigurationRequest")) return nullptr;
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
        ConfigurationDescriptor, ConfigurationDescriptor, -1, 0, -1, -1, -1);
    if (!list[0].InterfaceDescriptor) return nullptr;
    PURB urb = BuildSelectConfiguration(ConfigurationDescriptor, list);
    if (urb) *Siz = urb->UrbHeader.Length;
    return urb;
}
