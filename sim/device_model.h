// What a simulated USB device supplies to the bus: its descriptors, its capabilities, and
// the data of its endpoints. The bus calls every routine from its own thread or from the
// caller of a request, never with a platform lock held.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/host/nt_io.h"

namespace sim {

struct Descriptors {
    std::vector<uint8_t> device;
    std::vector<uint8_t> configuration;  // the configuration with its interfaces and endpoints
};

struct KickLink;  // the bus's side of Kick()

class DeviceModel {
public:
    DeviceModel();
    virtual ~DeviceModel() = default;
    // Served as given, lengths included, even when they lie.
    virtual Descriptors GetDescriptors() = 0;
    // A USB device's usual mapping: S0 -> D0, S1..S3 -> D2, S4/S5 -> D3, wake from D2.
    virtual DEVICE_CAPABILITIES Capabilities();
    // One completed OUT transfer.
    virtual void Out(uint8_t endpoint, const uint8_t* data, size_t length) {
        (void)endpoint, (void)data, (void)length;
    }
    // A packet for a pending IN transfer, if the device has one now.
    virtual bool In(uint8_t endpoint, size_t maxLength, std::vector<uint8_t>* packet) {
        (void)endpoint, (void)maxLength, (void)packet;
        return false;
    }
    // Per interface after a selection; (0, -1, -1) when the device is deconfigured.
    virtual void Configured(int configurationValue, int interfaceNumber, int alternate) {
        (void)configurationValue, (void)interfaceNumber, (void)alternate;
    }
    virtual void PowerChanged(DEVICE_POWER_STATE state) { (void)state; }
    // Virtual time (host::Now units) at which the bus should look for IN data again; -1 none.
    virtual int64_t NextEvent() { return -1; }

    // The model has new IN data: the bus looks at the next frame.
    void Kick();
    // Signals a pending wait-wake request of this device (the device woke the system).
    void Wake();

private:
    friend class UsbBus;
    std::shared_ptr<KickLink> link_;
};

// A device that keeps what the host sent and answers IN transfers from a queue.
class RecordingDevice : public DeviceModel {
public:
    struct Transfer {
        uint8_t endpoint;
        std::vector<uint8_t> data;
    };

    explicit RecordingDevice(Descriptors descriptors) : descriptors_(std::move(descriptors)) {}

    Descriptors GetDescriptors() override;
    void Out(uint8_t endpoint, const uint8_t* data, size_t length) override;
    bool In(uint8_t endpoint, size_t maxLength, std::vector<uint8_t>* packet) override;
    void Configured(int configurationValue, int interfaceNumber, int alternate) override;
    void PowerChanged(DEVICE_POWER_STATE state) override;

    // Queues an IN packet for the endpoint (0x81 ...) and kicks the bus.
    void Push(uint8_t endpoint, std::vector<uint8_t> packet);
    std::vector<Transfer> Sent();
    struct Selection {
        int configuration;
        int interfaceNumber;
        int alternate;
    };
    std::vector<Selection> Selections();
    std::vector<DEVICE_POWER_STATE> PowerStates();

private:
    std::mutex mutex_;
    Descriptors descriptors_;
    std::vector<Transfer> sent_;
    std::deque<Transfer> queued_;
    std::vector<Selection> selections_;
    std::vector<DEVICE_POWER_STATE> power_;
};

}  // namespace sim
