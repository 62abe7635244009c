// The machine a bench workload runs on: the bus, the Plug and Play manager with the driver
// and the MIDI client driver loaded, and units by device ID. Each workload builds its own
// inside a platform session.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sim/midi_client.h"
#include "sim/pmc7r_unit.h"
#include "sim/pnp_manager.h"
#include "sim/usb_bus.h"

namespace simtool::bench {

struct RigUnit {
    uint8_t id;
    std::shared_ptr<sim::Pmc7rUnit> model;
    PDEVICE_OBJECT pdo = nullptr;
    sim::PnpNode* node = nullptr;
};

class Rig {
public:
    Rig();
    ~Rig();  // removes what is left, unloads the drivers
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    bool Loaded() const { return loaded_; }
    // A unit on the bus, not yet arrived (Arrive does the Plug and Play side).
    RigUnit& Attach(uint8_t id);
    void Arrive(RigUnit& unit);
    RigUnit& Plug(uint8_t id) {
        RigUnit& unit = Attach(id);
        Arrive(unit);
        return unit;
    }
    // Opens every unit for the client and lets the answers to the mode switch go by.
    NTSTATUS OpenAll();
    // Every stack present, for system power changes.
    std::vector<PDEVICE_OBJECT> Stacks() const;

    sim::UsbBus& Bus() { return *bus_; }
    sim::PnpManager& Pnp() { return *pnp_; }
    sim::MidiClient& Client() { return client_; }
    std::vector<std::unique_ptr<RigUnit>>& Units() { return units_; }
    RigUnit* Unit(uint8_t id);

private:
    std::unique_ptr<sim::UsbBus> bus_;
    sim::MidiClient client_;  // outlives the driver's devices
    std::unique_ptr<sim::PnpManager> pnp_;
    std::vector<std::unique_ptr<RigUnit>> units_;
    bool loaded_ = false;
};

// The MIDI bytes of an IN packet as the driver takes them: the first byte is data, the
// first FF after it starts the fill; a status packet (FE 01 xx) carries none.
std::vector<uint8_t> PacketInput(const std::vector<uint8_t>& packet);

// Percentile (0..100) of the samples by nearest rank; 0 for none.
double Percentile(std::vector<double> samples, double percent);
double Max(const std::vector<double>& samples);

}  // namespace simtool::bench
