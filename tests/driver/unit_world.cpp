#include "unit_world.h"

#include "client/client.h"

namespace {

const std::u16string kServiceKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\pmc7r";

// Sends a Plug and Play request to this device itself, not to the top of its stack.
NTSTATUS SendPnp(PDEVICE_OBJECT device, UCHAR minor) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    NTSTATUS final = STATUS_PENDING;
    PIRP irp = host::io::NewRequest(device->StackSize, [&](PIRP r) {
        final = r->IoStatus.Status;
        KeSetEvent(&done, EVENT_INCREMENT, FALSE);
    });
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    IoCallDriver(device, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return final;
}

}  // namespace

void UnitStackTest::SetUp() { bus_ = std::make_unique<sim::UsbBus>(); }

void UnitStackTest::TearDown() {
    ReleaseAll();
    bus_.reset();
    PlatformTest::TearDown();
}

void UnitStackTest::ReleaseAll() {
    for (auto& unit : units_) Release(*unit);
    units_.clear();
    if (driver_) host::io::UnloadDriver(driver_);
    driver_ = nullptr;
    host::registry::DeleteKey(kServiceKey);
}

void UnitStackTest::LoadDriver(const std::vector<std::pair<std::u16string, uint32_t>>& settings) {
    for (auto& [name, value] : settings) host::registry::SetDword(kServiceKey, name, value);
    driver_ = host::io::LoadDriver(u"\\Driver\\pmc7r", DriverEntry, kServiceKey);
}

UnitStackTest::Unit& UnitStackTest::Plug(sim::Descriptors descriptors, NTSTATUS* addStatus) {
    if (!driver_) LoadDriver();
    auto unit = std::make_unique<Unit>();
    unit->device = std::make_shared<sim::RecordingDevice>(std::move(descriptors));
    unit->pdo = bus_->Plug(unit->device);
    NTSTATUS status = AddDevice(driver_, unit->pdo);
    if (addStatus) *addStatus = status;
    if (NT_SUCCESS(status)) unit->fdo = unit->pdo->AttachedDevice;
    units_.push_back(std::move(unit));
    return *units_.back();
}

UnitStackTest::Unit& UnitStackTest::PlugModel(std::shared_ptr<sim::DeviceModel> model) {
    if (!driver_) LoadDriver();
    auto unit = std::make_unique<Unit>();
    unit->pdo = bus_->Plug(std::move(model));
    EXPECT_EQ(STATUS_SUCCESS, AddDevice(driver_, unit->pdo));
    unit->fdo = unit->pdo->AttachedDevice;
    units_.push_back(std::move(unit));
    return *units_.back();
}

UnitStackTest::Unit& UnitStackTest::PlugAndStart(std::shared_ptr<sim::DeviceModel> model) {
    Unit& unit = PlugModel(std::move(model));
    EXPECT_EQ(STATUS_SUCCESS, Start(unit));
    return unit;
}

NTSTATUS UnitStackTest::Start(Unit& unit) {
    NTSTATUS status = SendPnp(unit.pdo, IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(status)) return status;
    status = ConfigureDevice(unit.fdo);
    SetFlags(&Fdo(unit)->Flags, DEVICE_STARTED);
    return status;
}

NTSTATUS UnitStackTest::Write(Unit& unit, const std::vector<uint8_t>& bytes, ULONG_PTR* information) {
    std::vector<uint8_t> system(bytes);
    host::io::Result r = host::io::SendAndWait(unit.fdo, [&](PIRP irp, PIO_STACK_LOCATION s) {
        s->MajorFunction = IRP_MJ_WRITE;
        s->Parameters.Write.Length = (ULONG)bytes.size();
        irp->AssociatedIrp.SystemBuffer = system.empty() ? nullptr : system.data();
    });
    if (information) *information = r.information;
    return r.status;
}

UnitStackTest::Unit& UnitStackTest::Open() {
    Unit& u = Plug();
    EXPECT_EQ(STATUS_SUCCESS, Start(u));
    StartReads(u);
    return u;
}

void UnitStackTest::StartReads(Unit& unit) {
    FDO_EXTENSION* ext = Fdo(unit);
    while (ext->ReadsInFlight < 2) {
        TransferSlot* slot = AcquireTransferSlot(unit.fdo);
        ASSERT_NE(nullptr, slot);
        slot->SlotFlags |= SLOT_READ;
        InterlockedIncrement((LONG volatile*)&ext->ReadsInFlight);
        SubmitBulkRead(unit.fdo, slot);
    }
}

std::vector<uint8_t> UnitStackTest::RingFrom(const Unit& unit, ULONG index) {
    std::vector<uint8_t> out;
    ULONG end = ReadShared(&Fdo(unit)->InputWriteIndex);
    for (ULONG i = index; i != end; i = (i + 1) & (INPUT_RING_SIZE - 1))
        out.push_back(Fdo(unit)->InputRing[i]);
    return out;
}

std::vector<std::vector<uint8_t>> UnitStackTest::OutTransfers(Unit& unit) {
    std::vector<std::vector<uint8_t>> out;
    for (auto& t : unit.device->Sent()) out.push_back(t.data);
    return out;
}

std::u16string UnitStackTest::DriverKey(Unit& unit) { return bus_->DriverKey(unit.pdo); }

// What removal releases, in its order: pipes aborted, slots and copies freed, the
// interface switched off, the device detached and deleted.
void UnitStackTest::Release(Unit& unit) {
    if (unit.fdo) {
        FDO_EXTENSION* ext = Fdo(unit);
        // A unit left open still has its pump thread.
        while (ext->OpenCount != 0) CloseUnit(ext);
        SetFlags(&ext->Flags, DEVICE_REMOVED);
        AbortPipes(unit.fdo);
        // A read may still be on its way home from the completion it was in.
        LONG slots = 0;
        for (TransferSlot* s = ext->SlotChain; s; s = s->NextInPool) ++slots;
        host::WaitUntil([&] { return KeReadStateSemaphore(&ext->FreeSlotSemaphore) == slots; });
        FreeTransferSlots(ext);
        for (PVOID copy : {PVOID(ext->DeviceDescriptor), PVOID(ext->ConfigurationDescriptor), PVOID(ext->InterfaceInfo)})
            if (copy) ExFreePool(copy);
        ext->DeviceDescriptor = nullptr;
        ext->ConfigurationDescriptor = nullptr;
        ext->InterfaceInfo = nullptr;
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, ext->InterfaceLinkName);
        IoSetDeviceInterfaceState(&link, FALSE);
        IoDetachDevice(ext->LowerDevice);
        IoDeleteDevice(unit.fdo);
        unit.fdo = nullptr;
    }
    bus_->Unplug(unit.pdo);
    bus_->Delete(unit.pdo);
}

std::vector<uint8_t> InterfaceDescriptor(uint8_t number, uint8_t alternate, uint8_t endpoints) {
    return {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, endpoints, 0xFF, 0, 0, 0};
}

std::vector<uint8_t> EndpointDescriptor(uint8_t address, uint8_t attributes, uint16_t packet) {
    return {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, attributes, uint8_t(packet), uint8_t(packet >> 8), 0};
}

// Interface 0 comes first, as on every device: the configuration is selected with it.
std::vector<uint8_t> ConfigurationWith(const std::vector<std::vector<uint8_t>>& given) {
    std::vector<uint8_t> out = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 0, 1, 0, 0x80, 50};
    std::vector<std::vector<uint8_t>> parts = {InterfaceDescriptor(0, 0, 0)};
    parts.insert(parts.end(), given.begin(), given.end());
    uint8_t interfaces = 0;
    for (const auto& part : parts) {
        if (part.size() > 1 && part[1] == USB_INTERFACE_DESCRIPTOR_TYPE && part[3] == 0) ++interfaces;
        out.insert(out.end(), part.begin(), part.end());
    }
    out[2] = uint8_t(out.size());
    out[3] = uint8_t(out.size() >> 8);
    out[4] = interfaces;
    return out;
}
