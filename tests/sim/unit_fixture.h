// A PMC-7R unit driven directly through its Out and In, and one plugged into the bus behind
// a configured pipe pair, with the messages the host sends it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/pmc7r_unit.h"
#include "sim/usb_bus_fixture.h"

using Bytes = std::vector<uint8_t>;

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

inline const Bytes kIdentityRequest = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
inline const Bytes kDeviceIdQuery = {0xF0, 0x00, 0x01, 0x75, 0x2A, 0x7F, 0x52, 0x01, 0x01, 0x00, 0x00, 0x01, 0xF7};
inline const Bytes kDisplaySetup = {0xF0, 0x00, 0x01, 0x75, 0x2A, 0x7F, 0x44, 0x00, 0x00, 0x00, 0x40, 0xF7};

inline Bytes DisplayText(int position, const std::string& text) {
    Bytes m = {0xF0, 0x00, 0x01, 0x75, 0x2A, 0x7F, 0x44, 0x70, uint8_t(position / 128), uint8_t(position % 128)};
    for (char c : text) m.push_back(uint8_t(c));
    m.push_back(0xF7);
    return m;
}

// The payload cut into packets of `size` bytes, the last one filled with FF.
inline std::vector<Bytes> Packets(const Bytes& payload, size_t size) {
    std::vector<Bytes> packets;
    for (size_t at = 0; at < payload.size(); at += size) {
        Bytes p(payload.begin() + at, payload.begin() + std::min(payload.size(), at + size));
        p.resize(size, 0xFF);
        packets.push_back(p);
    }
    return packets;
}

// What a packet carries: its first byte, then everything up to the first FF.
inline Bytes Payload(const std::vector<Bytes>& packets) {
    Bytes all;
    for (const Bytes& p : packets) {
        size_t end = p.empty() ? 0 : 1;
        while (end < p.size() && p[end] != 0xFF) ++end;
        all.insert(all.end(), p.begin(), p.begin() + end);
    }
    return all;
}

inline Bytes Filled(Bytes bytes, size_t size) {
    bytes.resize(size, 0xFF);
    return bytes;
}

class SimUnitTest : public PlatformTest {
protected:
    void Make(sim::UnitOptions options) {
        packet_ = options.packet;
        unit_ = std::make_shared<sim::Pmc7rUnit>(options);
    }
    void Write(const Bytes& payload) {
        for (const Bytes& p : Packets(payload, packet_)) unit_->Out(sim::kPmc7rOutEndpoint, p.data(), p.size());
    }
    // Every IN packet the unit has now.
    std::vector<Bytes> Read() {
        std::vector<Bytes> packets;
        Bytes p;
        while (packets.size() < 1000 && unit_->In(sim::kPmc7rInEndpoint, packet_, &p)) packets.push_back(p);
        return packets;
    }

    size_t packet_ = 64;
    std::shared_ptr<sim::Pmc7rUnit> unit_ = std::make_shared<sim::Pmc7rUnit>();
};

class SimUnitBusTest : public UsbBusTest {
protected:
    void SetUp() override {}
    void Plug(sim::UnitOptions options = {}) {
        packet_ = options.packet;
        bus_ = std::make_unique<sim::UsbBus>();
        unit_ = std::make_shared<sim::Pmc7rUnit>(options);
        pdo_ = bus_->Plug(unit_);
        config_ = sim::Pmc7rDescriptors(options.product, options.packet).configuration;
        ASSERT_EQ(STATUS_SUCCESS, Configure());
    }
    // Sends the payload packet by packet; returns when the last one completed.
    int64_t Write(const Bytes& payload) {
        int64_t done = -1;
        for (Bytes p : Packets(payload, packet_)) {
            URB urb;
            Transfer(&urb, OutPipe(), false, p.data(), ULONG(p.size()));
            auto sent = Submit(&urb);
            EXPECT_TRUE(Finished(sent));
            done = sent->time;
        }
        return done;
    }
    // An IN transfer of one packet, held until the unit answers it.
    struct Reading {
        std::shared_ptr<Sent> sent;
        std::unique_ptr<URB> urb = std::make_unique<URB>();
        Bytes buffer;
        Bytes Data() const {
            return Bytes(buffer.begin(), buffer.begin() + urb->UrbBulkOrInterruptTransfer.TransferBufferLength);
        }
    };
    std::unique_ptr<Reading> StartRead() {
        auto r = std::make_unique<Reading>();
        r->buffer.resize(packet_);
        Transfer(r->urb.get(), InPipe(), true, r->buffer.data(), ULONG(packet_));
        r->sent = Submit(r->urb.get());
        return r;
    }

    size_t packet_ = 64;
    std::shared_ptr<sim::Pmc7rUnit> unit_;
};
