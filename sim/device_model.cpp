#include "sim/device_model.h"

#include "sim/bus_state.h"

namespace sim {

DeviceModel::DeviceModel() = default;

DEVICE_CAPABILITIES DeviceModel::Capabilities() {
    DEVICE_CAPABILITIES c{};
    c.Size = sizeof c;
    c.Version = 1;
    c.DeviceD2 = 1;
    c.WakeFromD2 = 1;
    c.Removable = 1;
    c.Address = ULONG(-1);  // the bus puts in the port number
    c.UINumber = ULONG(-1);
    c.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    c.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
    c.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
    c.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    c.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    c.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    c.SystemWake = PowerSystemSleeping3;
    c.DeviceWake = PowerDeviceD2;
    return c;
}

void DeviceModel::Kick() {
    std::shared_ptr<KickLink> link = link_;
    if (!link) return;
    std::lock_guard guard(link->mutex);
    if (!link->port) return;
    bus::Port& port = *link->port;
    {
        bus::Locked locked(port.bus);
        port.look = true;
    }
    bus::WakeFrames(port.bus);
}

void DeviceModel::Wake() {
    std::shared_ptr<KickLink> link = link_;
    if (!link) return;
    PIRP irp = nullptr;
    {
        std::lock_guard guard(link->mutex);
        if (link->port) irp = bus::TakeWaitWake(*link->port);
    }
    bus::FinishWaitWake(irp, STATUS_SUCCESS);
}

Descriptors RecordingDevice::GetDescriptors() {
    std::lock_guard guard(mutex_);
    return descriptors_;
}

void RecordingDevice::Out(uint8_t endpoint, const uint8_t* data, size_t length) {
    std::lock_guard guard(mutex_);
    sent_.push_back({endpoint, std::vector<uint8_t>(data, data + length)});
}

bool RecordingDevice::In(uint8_t endpoint, size_t maxLength, std::vector<uint8_t>* packet) {
    (void)maxLength;  // the bus cuts the packet to the transfer
    std::lock_guard guard(mutex_);
    for (auto it = queued_.begin(); it != queued_.end(); ++it) {
        if (it->endpoint != endpoint) continue;
        *packet = std::move(it->data);
        queued_.erase(it);
        return true;
    }
    return false;
}

void RecordingDevice::Configured(int configurationValue, int interfaceNumber, int alternate) {
    std::lock_guard guard(mutex_);
    selections_.push_back({configurationValue, interfaceNumber, alternate});
}

void RecordingDevice::PowerChanged(DEVICE_POWER_STATE state) {
    std::lock_guard guard(mutex_);
    power_.push_back(state);
}

void RecordingDevice::Push(uint8_t endpoint, std::vector<uint8_t> packet) {
    {
        std::lock_guard guard(mutex_);
        queued_.push_back({endpoint, std::move(packet)});
    }
    Kick();
}

std::vector<RecordingDevice::Transfer> RecordingDevice::Sent() {
    std::lock_guard guard(mutex_);
    return sent_;
}

std::vector<RecordingDevice::Selection> RecordingDevice::Selections() {
    std::lock_guard guard(mutex_);
    return selections_;
}

std::vector<DEVICE_POWER_STATE> RecordingDevice::PowerStates() {
    std::lock_guard guard(mutex_);
    return power_;
}

}  // namespace sim
