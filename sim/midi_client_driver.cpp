// The client's driver object: AddDevice on the child, PnP and power passed down.
#include <optional>

#include "sim/midi_client_state.h"

#include <new>

namespace sim {

std::atomic<MidiClient::State*> loadedMidiClient{nullptr};

namespace {

MidiClientDevice& Of(PDEVICE_OBJECT device) { return *static_cast<MidiClientDevice*>(device->DeviceExtension); }

NTSTATUS PassDown(MidiClientDevice& d, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(d.lower, irp);
}

NTSTATUS PassDownSucceeded(MidiClientDevice& d, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(d, irp);
}

// The child may delete itself while it handles the removal, so the client leaves it first.
NTSTATUS Remove(MidiClientDevice& d, PIRP irp) {
    if (d.owner) d.owner->Detach(&d, true);
    PDEVICE_OBJECT lower = d.lower;
    PDEVICE_OBJECT self = d.self;
    IoDetachDevice(lower);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    d.~MidiClientDevice();
    IoDeleteDevice(self);
    return status;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    MidiClientDevice& d = Of(device);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_REMOVE_DEVICE: return Remove(d, irp);
    case IRP_MN_SURPRISE_REMOVAL:
        if (d.owner) d.owner->Detach(&d, false);
        return PassDownSucceeded(d, irp);
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE: return PassDownSucceeded(d, irp);
    default: return PassDown(d, irp);
    }
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Of(device).lower, irp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT self = nullptr;
    // The client's device and its attachment are not the driver's to lose.
    std::optional<host::faults::Exempt> exempt(std::in_place);
    NTSTATUS status = IoCreateDevice(driver, sizeof(MidiClientDevice), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &self);
    if (!NT_SUCCESS(status)) return status;
    auto* d = new (self->DeviceExtension) MidiClientDevice{loadedMidiClient.load(), self, nullptr, 1, {}, false};
    KeInitializeEvent(&d->drained, NotificationEvent, FALSE);
    d->lower = IoAttachDeviceToDeviceStack(self, pdo);
    exempt.reset();
    if (!d->lower) {
        d->~MidiClientDevice();
        IoDeleteDevice(self);
        return STATUS_NO_SUCH_DEVICE;
    }
    self->Flags |= d->lower->Flags & DO_POWER_PAGABLE;
    self->Flags &= ~DO_DEVICE_INITIALIZING;
    if (d->owner) d->owner->Attach(d);
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) {}

}  // namespace

NTSTATUS NTAPI MidiClientEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

void MidiClient::State::Attach(MidiClientDevice* d) {
    std::lock_guard guard(mutex);
    device = d;
}

void MidiClient::State::Detach(MidiClientDevice* d, bool drain) {
    {
        std::lock_guard guard(mutex);
        d->removing = true;
    }
    LockControl();
    if (readerDevice == d) StopReader();
    UnlockControl();
    if (!drain) return;
    {
        std::lock_guard guard(mutex);
        if (device == d) device = nullptr;
    }
    Release(d);
    KeWaitForSingleObject(&d->drained, Executive, KernelMode, FALSE, nullptr);
}

}  // namespace sim
