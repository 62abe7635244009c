// Power requests through a unit's function device and the master's child, system sleep and
// wake, wait-wake, and the driver's own idle policy, on the simulated bus.
#include <atomic>
#include <cstring>

#include "client/client.h"
#include "pnp/pnp.h"
#include "power/power.h"
#include "unit_world.h"

namespace {

class PowerPolicyTest : public UnitStackTest {
protected:
    Unit& Started() {
        Unit& u = Plug();
        EXPECT_EQ(STATUS_SUCCESS, Start(u));
        return u;
    }
    // A power request as the power manager sends it, to this device (the top of its stack).
    static NTSTATUS SendPower(PDEVICE_OBJECT device, UCHAR minor, ULONG type, ULONG state) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        NTSTATUS final = STATUS_PENDING;
        PIRP irp = host::io::NewRequest(device->StackSize, [&](PIRP r) {
            final = r->IoStatus.Status;
            KeSetEvent(&done, EVENT_INCREMENT, FALSE);
        });
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_POWER;
        next->MinorFunction = minor;
        memcpy(&next->Parameters.Power.Type, &type, sizeof type);  // any number, as a sender may
        memcpy(&next->Parameters.Power.State, &state, sizeof state);
        PoCallDriver(device, irp);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        return final;
    }
    static NTSTATUS SetSystem(PDEVICE_OBJECT device, SYSTEM_POWER_STATE s) {
        return SendPower(device, IRP_MN_SET_POWER, SystemPowerState, s);
    }
    // Nothing of a power request stays behind: no held request, no flag, no reference.
    static void ExpectSettled(FDO_EXTENSION* ext) {
        EXPECT_EQ(nullptr, ext->PendingSystemPowerIrp);
        EXPECT_EQ(0u, ext->Flags & (POWER_REQUEST_PENDING | WAIT_WAKE_ARMED));
        EXPECT_EQ(1, ext->IoCount);  // the base reference of AddDevice
    }
    static NTSTATUS WaitWakeNow(Unit& u) {
        return SendPower(u.fdo, IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemSleeping3);
    }
};

TEST_F(PowerPolicyTest, SystemSleepAndWakeGoThroughTheUnitsDeviceState) {
    Unit& u = Started();
    FDO_EXTENSION* ext = Fdo(u);
    ASSERT_EQ(0u, ext->DevicePowerState);
    // Nothing recorded yet: working still asks for D0.
    EXPECT_EQ(STATUS_SUCCESS, SetSystem(u.fdo, PowerSystemWorking));
    EXPECT_EQ((std::vector<DEVICE_POWER_STATE>{PowerDeviceD0}), u.device->PowerStates());
    EXPECT_EQ(ULONG(PowerDeviceD0), ext->DevicePowerState);

    // A system state that maps to the present device state goes straight down.
    EXPECT_EQ(STATUS_SUCCESS, SetSystem(u.fdo, PowerSystemWorking));
    EXPECT_EQ(1u, u.device->PowerStates().size());

    EXPECT_EQ(STATUS_SUCCESS, host::power::SetSystemState(PowerSystemSleeping3, {u.pdo}));
    EXPECT_EQ(PowerDeviceD3, u.device->PowerStates().back());
    EXPECT_EQ(ULONG(PowerDeviceD3), ext->DevicePowerState);
    EXPECT_EQ(PowerDeviceD3, bus_->PowerState(u.pdo));
    ExpectSettled(ext);

    EXPECT_EQ(STATUS_SUCCESS, host::power::SetSystemState(PowerSystemWorking, {u.pdo}));
    EXPECT_EQ(PowerDeviceD0, u.device->PowerStates().back());
    EXPECT_EQ(ULONG(PowerDeviceD0), ext->DevicePowerState);
    EXPECT_EQ(PowerDeviceD0, bus_->PowerState(u.pdo));
    ExpectSettled(ext);
}

// The device request a system request needs may be refused; the system request still goes
// down (function device) or finishes with success (child), leaving nothing behind.
// A power-up the lower drivers fail is not turned into success: the unit stays in its state.
TEST_F(PowerPolicyTest, APowerUpFailedBelowKeepsItsStatusAndTheUnitsState) {
    Unit& u = Started();
    FDO_EXTENSION* ext = Fdo(u);
    PIRP irp = IoAllocateIrp(u.fdo->StackSize, FALSE);
    ASSERT_NE(nullptr, irp);
    for (NTSTATUS below : {STATUS_IO_DEVICE_ERROR, STATUS_SUCCESS}) {
        ext->DevicePowerState = PowerDeviceD2;
        irp->IoStatus.Status = below;
        IoIncrement(u.fdo);  // the reference the device branch took for the power-up
        EXPECT_EQ(STATUS_SUCCESS, DevicePowerUpComplete(u.fdo, irp, u.fdo));
        EXPECT_EQ(below, irp->IoStatus.Status);
        EXPECT_EQ(ULONG(NT_SUCCESS(below) ? PowerDeviceD0 : PowerDeviceD2), ext->DevicePowerState);
    }
    IoFreeIrp(irp);
    ExpectSettled(ext);
}

TEST_F(PowerPolicyTest, ARefusedDeviceRequestDoesNotHoldTheSystemRequest) {
    Unit& u = Started();
    FDO_EXTENSION* ext = Fdo(u);
    PDO_EXTENSION* child = CreateChildDevice(driver_, u.fdo);
    ASSERT_NE(nullptr, child);
    host::faults::FailAll(host::faults::Op::Irp);
    EXPECT_EQ(STATUS_SUCCESS, SetSystem(u.fdo, PowerSystemSleeping3));
    EXPECT_EQ(STATUS_SUCCESS, SetSystem(child->DeviceObject, PowerSystemSleeping3));
    // The idle policy's own request, refused at the first open, leaves the unit as it was.
    EXPECT_EQ(1u, OpenUnit(ext));
    host::faults::Clear();
    EXPECT_TRUE(u.device->PowerStates().empty());
    EXPECT_EQ(ULONG(PowerSystemSleeping3), child->SystemPowerState);
    ExpectSettled(ext);
    CloseUnit(ext);
    EXPECT_TRUE(DeleteChildDevice(u.fdo));
}

TEST_F(PowerPolicyTest, AWaitWakeIsRefusedUnlessTheUnitSleepsDeepEnough) {
    Unit& u = Started();
    FDO_EXTENSION* ext = Fdo(u);
    ext->IdlePowerState = 0;
    // Before any device state, a wake state above 0 is deeper than the present one.
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, WaitWakeNow(u));
    EXPECT_EQ(ULONG(PowerDeviceD2), ext->IdlePowerState) << "set from the wake state, refused or not";
    ASSERT_EQ(STATUS_SUCCESS, SetSystem(u.fdo, PowerSystemWorking));
    ext->Capabilities.DeviceWake = PowerDeviceD3;
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, WaitWakeNow(u));
    EXPECT_EQ(ULONG(PowerDeviceD3), ext->IdlePowerState);
    ExpectSettled(ext);
    // The next last close asks for the new idle state.
    ASSERT_EQ(1u, OpenUnit(ext));
    CloseUnit(ext);
    EXPECT_EQ(PowerDeviceD3, u.device->PowerStates().back());
    ExpectSettled(ext);
}

TEST_F(PowerPolicyTest, AnArmedWaitWakeBlocksUntilTheUnitWakesAndMapsSleepStates) {
    Unit& u = Started();
    FDO_EXTENSION* ext = Fdo(u);
    ASSERT_EQ(1u, OpenUnit(ext));
    CloseUnit(ext);  // idle: D2, the unit's wake state
    ASSERT_EQ(ULONG(PowerDeviceD2), ext->DevicePowerState);

    std::atomic<NTSTATUS> woke = STATUS_PENDING;
    host::Thread waiter("wait-wake", [&] { woke = WaitWakeNow(u); });
    ASSERT_TRUE(host::WaitUntil([&] { return (ReadShared(&ext->Flags) & WAIT_WAKE_ARMED) != 0; },
                                host::Ms(100)));
    size_t requests = u.device->PowerStates().size();
    // Armed, a light sleep maps to the capabilities' D2, which the unit is in already.
    EXPECT_EQ(STATUS_SUCCESS, SetSystem(u.fdo, PowerSystemSleeping1));
    EXPECT_EQ(requests, u.device->PowerStates().size());
    EXPECT_EQ(STATUS_PENDING, woke.load());

    u.device->Wake();
    waiter.Join();
    EXPECT_EQ(STATUS_SUCCESS, woke.load());
    EXPECT_EQ(ULONG(PowerDeviceD0), ext->DevicePowerState) << "the wake brings the unit up";
    ExpectSettled(ext);
}

// An idle unit whose power-up is refused stays closed with the refusal's status: its
// suspended port would fail every transfer of an open that went ahead. The next open works.
TEST_F(PowerPolicyTest, AnOpenWhosePowerUpIsRefusedFailsAndLeavesTheUnitIdle) {
    for (host::faults::Op refused : {host::faults::Op::PowerIrp, host::faults::Op::Irp}) {
        Unit& u = Started();
        FDO_EXTENSION* ext = Fdo(u);
        ASSERT_EQ(1u, OpenUnit(ext));
        CloseUnit(ext);
        ASSERT_EQ(ULONG(PowerDeviceD2), ext->DevicePowerState);
        size_t requests = u.device->PowerStates().size();
        ULONG reads = ext->ReadsInFlight;  // queued before the port was suspended

        host::faults::FailAll(refused);
        ULONG count = 1;
        EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, TryOpenUnit(ext, &count));
        host::faults::Clear();
        EXPECT_EQ(0u, count);
        EXPECT_EQ(0u, ext->OpenCount);
        EXPECT_EQ(reads, ext->ReadsInFlight) << "no read goes to a suspended port";
        EXPECT_EQ(ULONG(PowerDeviceD2), ext->DevicePowerState);
        EXPECT_EQ(requests, u.device->PowerStates().size());
        ExpectSettled(ext);

        ASSERT_EQ(1u, OpenUnit(ext));
        EXPECT_EQ(ULONG(PowerDeviceD0), ext->DevicePowerState);
        CloseUnit(ext);
        ExpectSettled(ext);
    }
}

TEST_F(PowerPolicyTest, TheIdlePolicyIsOffOutsideD1ToD3) {
    for (ULONG idle : {0u, 1u, 5u}) {
        SCOPED_TRACE(idle);
        Unit& u = Started();
        Fdo(u)->IdlePowerState = idle;
        ASSERT_EQ(1u, OpenUnit(Fdo(u)));
        CloseUnit(Fdo(u));
        EXPECT_TRUE(u.device->PowerStates().empty());
        ExpectSettled(Fdo(u));
    }
}

TEST_F(PowerPolicyTest, TheChildCompletesItsOwnPowerRequests) {
    Unit& u = Started();
    PDO_EXTENSION* child = CreateChildDevice(driver_, u.fdo);
    ASSERT_NE(nullptr, child);
    PDEVICE_OBJECT dev = child->DeviceObject;
    EXPECT_EQ(STATUS_SUCCESS, SendPower(dev, IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3));
    EXPECT_EQ(STATUS_SUCCESS, SendPower(dev, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD2));
    EXPECT_EQ(ULONG(PowerDeviceD2), child->DevicePowerState);
    EXPECT_EQ(PowerDeviceD2, host::power::DeviceState(dev));

    // The system request waits for the child's own device request.
    EXPECT_EQ(STATUS_SUCCESS, SetSystem(dev, PowerSystemSleeping3));
    EXPECT_EQ(ULONG(PowerDeviceD3), child->DevicePowerState);
    EXPECT_EQ(ULONG(PowerSystemSleeping3), child->SystemPowerState);
    EXPECT_EQ(PowerSystemSleeping3, host::power::SystemState(dev));
    EXPECT_EQ(STATUS_SUCCESS, SetSystem(dev, PowerSystemWorking));
    EXPECT_EQ(ULONG(PowerDeviceD0), child->DevicePowerState);

    EXPECT_EQ(STATUS_NOT_SUPPORTED, SendPower(dev, IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemSleeping3));
    EXPECT_EQ(STATUS_NOT_SUPPORTED, SendPower(dev, IRP_MN_POWER_SEQUENCE, SystemPowerState, 0));
    EXPECT_EQ(STATUS_NOT_IMPLEMENTED, SendPower(dev, IRP_MN_SET_POWER, 2, 1));
    EXPECT_TRUE(DeleteChildDevice(u.fdo));
}

}  // namespace
