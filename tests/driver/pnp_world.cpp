#include "pnp_world.h"

namespace {

const char16_t* const kChildIds[] = {u"USB\\{0C5B002A-5E73-11d3-9D4E-00A0C9E17B35}",
                                     u"USB\\{0C5B002B-5E73-11d3-9D4E-00A0C9E17B35}",
                                     u"USB\\{0C5BFFFF-5E73-11d3-9D4E-00A0C9E17B35}"};
constexpr ULONG kStubSignature = 0x42555453;  // 'STUB'

struct StubExtension {
    ULONG signature;
    PDEVICE_OBJECT lower;
};

NTSTATUS NTAPI StubAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(StubExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = static_cast<StubExtension*>(fdo->DeviceExtension);
    ext->signature = kStubSignature;
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI StubPnp(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<StubExtension*>(device->DeviceExtension);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(ext->lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(ext->lower);
        IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS NTAPI StubPower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(static_cast<StubExtension*>(device->DeviceExtension)->lower, irp);
}

VOID NTAPI StubUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI StubEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = StubAddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = StubPnp;
    driver->MajorFunction[IRP_MJ_POWER] = StubPower;
    driver->DriverUnload = StubUnload;
    return STATUS_SUCCESS;
}

}  // namespace

void UnitPnpTest::SetUp() {
    bus_ = std::make_unique<sim::UsbBus>();
    pnp_ = std::make_unique<sim::PnpManager>(*bus_);
    driver_ = pnp_->LoadDriver(u"pmc7r", DriverEntry, {u"USB\\VID_0C5B&PID_002A", u"USB\\VID_0C5B&PID_002B"});
    client_ = pnp_->LoadDriver(u"stubclient", StubEntry, {kChildIds[0], kChildIds[1], kChildIds[2]});
    ASSERT_NE(nullptr, driver_);
    ASSERT_NE(nullptr, client_);
}

void UnitPnpTest::TearDown() {
    pnp_.reset();  // removes what is left and unloads the drivers
    bus_.reset();
    units_.clear();
    PlatformTest::TearDown();
}

UnitPnpTest::Unit& UnitPnpTest::Plug(sim::UnitOptions options) {
    auto unit = std::make_unique<Unit>();
    unit->model = std::make_shared<sim::Pmc7rUnit>(options);
    unit->pdo = bus_->Plug(unit->model);
    unit->node = pnp_->Arrive(unit->pdo);
    units_.push_back(std::move(unit));
    return *units_.back();
}

sim::UnitOptions UnitPnpTest::Id(uint8_t id, const char* firmware) {
    sim::UnitOptions options;
    options.deviceId = id;
    options.firmware = firmware;
    return options;
}

FDO_EXTENSION* UnitPnpTest::Fdo(const Unit& u) {
    PDEVICE_OBJECT top = u.node->Top();
    return SignatureOf(top) == FDO_SIGNATURE ? FdoExtension(top) : nullptr;
}

sim::PnpNode* UnitPnpTest::ChildNode(const Unit& master) const {
    return master.node->children.empty() ? nullptr : master.node->children.front();
}

bool UnitPnpTest::ClientAttached(PDEVICE_OBJECT child) {
    PDEVICE_OBJECT above = child->AttachedDevice;
    return above && *static_cast<ULONG*>(above->DeviceExtension) == kStubSignature;
}
