// Device interfaces and device registry keys: the facts the PnP manager keeps per device
// (instance path, driver key) and the symbolic links registered for it.
#include <cstring>

#include "io_internal.h"

namespace host::detail::iom {
namespace {

struct Interfaces {
    std::vector<host::io::InterfaceLink> links;
    size_t linkLength = 0;
};

Interfaces& Table() {
    static Interfaces table;
    return table;
}

std::u16string GuidText(const GUID& g) {
    char text[40];
    snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2,
             g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
             g.Data4[7]);
    return Widen(text);
}

// \??\<instance path, '\' as '#'>#{GUID}[\reference], the instance part padded or cut to
// make the name as long as SetLinkNameLength asked.
std::u16string LinkName(const _DEVOBJ_EXTENSION& r, const GUID& guid, PUNICODE_STRING reference) {
    std::u16string instance = r.instancePath;
    if (instance.empty()) {
        char text[32];
        snprintf(text, sizeof text, "ROOT\\HOST\\%04llu", static_cast<unsigned long long>(r.serial));
        instance = Widen(text);
    }
    for (char16_t& c : instance)
        if (c == u'\\') c = u'#';
    std::u16string tail = u"#" + GuidText(guid);
    if (reference && reference->Length) tail += u"\\" + FromCounted(reference);
    std::u16string head = u"\\??\\";
    size_t want = Table().linkLength;
    if (want > head.size() + tail.size()) instance.resize(want - head.size() - tail.size(), u'0');
    return head + instance + tail;
}

}  // namespace

void ResetInterfaces() {
    std::lock_guard guard(Lock());
    Table().links.clear();
    Table().linkLength = 0;
}

}  // namespace host::detail::iom

using namespace host::detail;
using namespace host::detail::iom;

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
    if (ShouldFail(host::faults::Op::Interface)) return STATUS_INSUFFICIENT_RESOURCES;
    std::u16string link;
    {
        std::lock_guard guard(Lock());
        _DEVOBJ_EXTENSION* r = DeviceRecordLocked(PhysicalDeviceObject);
        if (!r) return STATUS_INVALID_DEVICE_REQUEST;
        link = LinkName(*r, *InterfaceClassGuid, ReferenceString);
        bool known = false;
        for (const auto& l : Table().links) known = known || l.link == link;
        if (!known) Table().links.push_back({link, PhysicalDeviceObject, *InterfaceClassGuid, false});
    }
    size_t bytes = link.size() * sizeof(WCHAR);
    auto buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), 'knlI'));
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, link.data(), bytes);
    buffer[link.size()] = 0;
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(bytes);
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    std::u16string link = FromCounted(SymbolicLinkName);
    std::lock_guard guard(Lock());
    for (auto& l : Table().links) {
        if (EqualNoCase(l.link, link)) {
            l.enabled = Enable != FALSE;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                       ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL) {
        Violate(rules::kOpenKeyAbovePassive, "at IRQL " + std::to_string(irql));
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (DevInstKeyType != PLUGPLAY_REGKEY_DRIVER) return STATUS_INVALID_PARAMETER;
    std::u16string path;
    {
        std::lock_guard guard(Lock());
        _DEVOBJ_EXTENSION* r = DeviceRecordLocked(DeviceObject);
        if (r) path = r->driverKey;
    }
    if (path.empty()) return STATUS_INVALID_DEVICE_REQUEST;
    if (ShouldFail(host::faults::Op::OpenKey)) return STATUS_INSUFFICIENT_RESOURCES;
    return OpenKeyByPath(path, DesiredAccess, true, DevInstRegKey);
}

void host::io::SetInstancePath(PDEVICE_OBJECT pdo, const std::u16string& instancePath) {
    std::lock_guard guard(Lock());
    if (_DEVOBJ_EXTENSION* r = DeviceRecordLocked(pdo)) r->instancePath = instancePath;
}

void host::io::SetDriverKey(PDEVICE_OBJECT pdo, const std::u16string& registryPath) {
    std::lock_guard guard(Lock());
    if (_DEVOBJ_EXTENSION* r = DeviceRecordLocked(pdo)) r->driverKey = registryPath;
}

std::vector<host::io::InterfaceLink> host::io::Interfaces() {
    std::lock_guard guard(Lock());
    return Table().links;
}

void host::io::SetLinkNameLength(size_t codeUnits) {
    std::lock_guard guard(Lock());
    Table().linkLength = codeUnits;
}
