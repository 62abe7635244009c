// Adding a function device on a simulated unit: what it holds afterwards, and each way
// the platform can refuse it.
#include "unit_world.h"

namespace {

using AddDeviceTest = UnitStackTest;
using host::faults::Op;

TEST_F(AddDeviceTest, LeavesAnAttachedDeviceThatIsNotStarted) {
    Unit& u = Plug();
    ASSERT_NE(nullptr, u.fdo);
    FDO_EXTENSION* ext = Fdo(u);
    EXPECT_EQ(ULONG(FDO_SIGNATURE), ext->Signature);
    EXPECT_EQ(u.fdo, ext->DeviceObject);
    EXPECT_EQ(0u, ext->Flags);
    EXPECT_EQ(1, ext->IoCount);
    EXPECT_EQ(u.pdo, ext->PhysicalDeviceObject);
    EXPECT_EQ(u.pdo, ext->LowerDevice);
    EXPECT_EQ(u.pdo->StackSize, ext->LowerStackSize);
    EXPECT_EQ(128u, ext->MaxPacketSize);
    EXPECT_EQ(0x0C5B002Au, ext->VendorProductId);
    ASSERT_NE(nullptr, ext->DeviceDescriptor);
    EXPECT_EQ(nullptr, ext->BulkInPipe);
    EXPECT_EQ(32, KeReadStateSemaphore(&ext->FreeSlotSemaphore));
    EXPECT_EQ(0u, u.fdo->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_NE(0u, u.fdo->Flags & DO_POWER_PAGABLE);
    EXPECT_NE(0u, u.fdo->Flags & DO_BUFFERED_IO);
    EXPECT_EQ(ULONG(FILE_DEVICE_UNKNOWN), u.fdo->DeviceType);

    auto links = host::io::Interfaces();
    ASSERT_EQ(1u, links.size());
    EXPECT_TRUE(links[0].enabled);
    EXPECT_EQ(u.pdo, links[0].pdo);
    EXPECT_EQ(links[0].link, std::u16string(ext->InterfaceLinkName));
    EXPECT_EQ(0x4B57515Au, links[0].guid.Data1);
}

TEST_F(AddDeviceTest, SlotsAreChainedInCreationOrderFromThePoolStart) {
    LoadDriver();
    // Twenty of the thirty-two slot IRPs can be had.
    host::faults::Plan(Op::Irp, [](uint64_t call) { return call > 20 && call <= 32; });
    Unit& u = Plug();
    host::faults::Clear();
    FDO_EXTENSION* ext = Fdo(u);
    EXPECT_EQ(20, KeReadStateSemaphore(&ext->FreeSlotSemaphore));
    auto* places = (TransferSlot*)ext->SlotPool;
    int n = 0;
    for (TransferSlot* s = ext->SlotChain; s; s = s->NextInPool, ++n) {
        EXPECT_EQ(&places[n], s);
        EXPECT_EQ(u.fdo, s->Owner);
        EXPECT_NE(nullptr, s->Irp);
    }
    EXPECT_EQ(20, n);
    EXPECT_EQ(nullptr, places[20].Irp);
    int free = 0;
    for (TransferSlot* s = ext->FreeSlotList; s; s = s->NextFree) ++free;
    EXPECT_EQ(20, free);
}

TEST_F(AddDeviceTest, IdlePowerStateIsTheLastSleepStateAboveD3) {
    struct Case {
        DEVICE_POWER_STATE s1, s2, s3;
        ULONG idle;
    };
    const Case cases[] = {
        {PowerDeviceD1, PowerDeviceD2, PowerDeviceD3, PowerDeviceD2},
        {PowerDeviceD2, PowerDeviceD3, PowerDeviceD3, PowerDeviceD2},
        {PowerDeviceD3, PowerDeviceD3, PowerDeviceD3, 0},
        {PowerDeviceUnspecified, PowerDeviceUnspecified, PowerDeviceUnspecified, 0},
        {PowerDeviceD3, PowerDeviceD1, PowerDeviceD3, PowerDeviceD1},
    };
    struct Device : sim::RecordingDevice {
        Case c;
        Device(const Case& k) : sim::RecordingDevice(sim::Pmc7rDescriptors()), c(k) {}
        DEVICE_CAPABILITIES Capabilities() override {
            DEVICE_CAPABILITIES caps = sim::RecordingDevice::Capabilities();
            caps.DeviceState[PowerSystemSleeping1] = c.s1;
            caps.DeviceState[PowerSystemSleeping2] = c.s2;
            caps.DeviceState[PowerSystemSleeping3] = c.s3;
            return caps;
        }
    };
    LoadDriver();
    for (const Case& c : cases) {
        auto device = std::make_shared<Device>(c);
        PDEVICE_OBJECT pdo = bus_->Plug(device);
        ASSERT_EQ(STATUS_SUCCESS, AddDevice(driver_, pdo));
        auto unit = std::make_unique<Unit>();
        unit->device = device;
        unit->pdo = pdo;
        unit->fdo = pdo->AttachedDevice;
        EXPECT_EQ(c.idle, Fdo(*unit)->IdlePowerState) << c.s1 << c.s2 << c.s3;
        units_.push_back(std::move(unit));
    }
}

TEST_F(AddDeviceTest, ADeviceWithoutADescriptorIsStillAdded) {
    sim::Descriptors none = sim::Pmc7rDescriptors();
    none.device.clear();
    Unit& u = Plug(none);
    ASSERT_NE(nullptr, u.fdo);
    EXPECT_EQ(nullptr, Fdo(u)->DeviceDescriptor);
    EXPECT_EQ(0u, Fdo(u)->VendorProductId);
}

TEST_F(AddDeviceTest, RefusalsOfThePlatform) {
    struct Case {
        const char* what;
        Op op;
        NTSTATUS status;
        bool interfaceEnabled;
    };
    const Case cases[] = {
        {"interface registration", Op::Interface, STATUS_INSUFFICIENT_RESOURCES, false},
        {"device creation", Op::Device, STATUS_INSUFFICIENT_RESOURCES, true},
        {"attach to a stack that is going away", Op::Attach, STATUS_NO_SUCH_DEVICE, false},
    };
    LoadDriver();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto unit = std::make_unique<Unit>();
        unit->device = std::make_shared<sim::RecordingDevice>(sim::Pmc7rDescriptors());
        unit->pdo = bus_->Plug(unit->device);
        host::faults::FailAll(c.op);
        NTSTATUS status = AddDevice(driver_, unit->pdo);
        host::faults::Clear();
        units_.push_back(std::move(unit));
        Unit& u = *units_.back();
        EXPECT_EQ(c.status, status);
        EXPECT_EQ(nullptr, u.pdo->AttachedDevice);
        auto links = host::io::Interfaces();
        bool enabled = false;
        for (auto& l : links) enabled |= l.pdo == u.pdo && l.enabled;
        EXPECT_EQ(c.interfaceEnabled, enabled);
    }
}

TEST_F(AddDeviceTest, LinkNamesAreKeptZeroTerminatedOrRefused) {
    LoadDriver();
    host::io::SetLinkNameLength(100);
    Unit& fits = Plug();
    ASSERT_NE(nullptr, fits.fdo);
    const WCHAR* stored = Fdo(fits)->InterfaceLinkName;
    EXPECT_EQ(100u, std::u16string(stored).size());
    for (int i = 100; i < INTERFACE_LINK_CHARS; ++i) EXPECT_EQ(0, stored[i]);

    host::io::SetLinkNameLength(INTERFACE_LINK_CHARS);  // no room for its terminator
    NTSTATUS status = STATUS_SUCCESS;
    Unit& tooLong = Plug(sim::Pmc7rDescriptors(), &status);
    host::io::SetLinkNameLength(0);
    EXPECT_EQ(STATUS_NAME_TOO_LONG, status);
    EXPECT_EQ(nullptr, tooLong.fdo);
    for (auto& l : host::io::Interfaces()) {
        if (l.pdo == tooLong.pdo) EXPECT_FALSE(l.enabled);
    }
}

}  // namespace
