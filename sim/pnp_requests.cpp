// The manager's requests to a device stack: sent to its top, waited for, their answers taken.
#include "sim/pnp_state.h"

namespace sim::pnp {
namespace {

constexpr ULONG kLocale = 0x409;

std::vector<std::u16string> QueryId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type, Form form, const char* what) {
    host::io::Result r = Send(pdo, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION sl) { sl->Parameters.QueryId.IdType = type; });
    if (!NT_SUCCESS(r.status)) return {};
    return TakeStrings(r.information, form, std::string(what) + " of " + DeviceText(pdo));
}

std::u16string QueryText(PDEVICE_OBJECT pdo, DEVICE_TEXT_TYPE type, const char* what) {
    host::io::Result r = Send(pdo, IRP_MN_QUERY_DEVICE_TEXT, [type](PIO_STACK_LOCATION sl) {
        sl->Parameters.QueryDeviceText.DeviceTextType = type;
        sl->Parameters.QueryDeviceText.LocaleId = kLocale;
    });
    if (!NT_SUCCESS(r.status)) return u"";
    std::vector<std::u16string> text = TakeStrings(r.information, Form::Text, std::string(what) + " of " + DeviceText(pdo));
    return text.empty() ? u"" : text.front();
}

std::u16string First(const std::vector<std::u16string>& strings) { return strings.empty() ? u"" : strings.front(); }

// As the platform fills the structure before it asks: its size and version, an unknown
// address and UI number.
DEVICE_CAPABILITIES BlankCapabilities() {
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(DEVICE_CAPABILITIES);
    caps.Version = 1;
    caps.Address = ULONG(-1);
    caps.UINumber = ULONG(-1);
    return caps;
}

}  // namespace

host::io::Result Send(PDEVICE_OBJECT device, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup) {
    return host::io::SendAndWait(device, [&](PIRP, PIO_STACK_LOCATION sl) {
        sl->MajorFunction = IRP_MJ_PNP;
        sl->MinorFunction = minor;
        if (setup) setup(sl);
    });
}

void Identify(PnpNode& node) {
    PDEVICE_OBJECT pdo = node.pdo;
    node.deviceId = First(QueryId(pdo, BusQueryDeviceID, Form::Single, "device ID"));
    node.hardwareIds = QueryId(pdo, BusQueryHardwareIDs, Form::List, "hardware IDs");
    node.compatibleIds = QueryId(pdo, BusQueryCompatibleIDs, Form::List, "compatible IDs");
    node.instanceId = First(QueryId(pdo, BusQueryInstanceID, Form::Instance, "instance ID"));
    node.description = QueryText(pdo, DeviceTextDescription, "description");
    node.location = QueryText(pdo, DeviceTextLocationInformation, "location");

    DEVICE_CAPABILITIES caps = BlankCapabilities();
    host::io::Result r = Send(pdo, IRP_MN_QUERY_CAPABILITIES,
                              [&caps](PIO_STACK_LOCATION sl) { sl->Parameters.DeviceCapabilities.Capabilities = &caps; });
    node.capabilitiesRead = NT_SUCCESS(r.status);
    if (node.capabilitiesRead) node.capabilities = caps;
}

bool QueryChildren(PnpNode& node, std::vector<PDEVICE_OBJECT>* reported) {
    host::io::Result r = Send(node.pdo, IRP_MN_QUERY_DEVICE_RELATIONS,
                              [](PIO_STACK_LOCATION sl) { sl->Parameters.QueryDeviceRelations.Type = BusRelations; });
    if (!NT_SUCCESS(r.status)) return false;
    std::vector<PDEVICE_OBJECT> known;
    for (const PnpNode* child : node.children) known.push_back(child->pdo);
    *reported = TakeRelations(r.information, known, "bus relations of " + DeviceText(node.pdo));
    return true;
}

}  // namespace sim::pnp
