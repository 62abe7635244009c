// The world a scenario runs in: the simulated bus with its units, the Plug and Play manager
// with the driver and the MIDI client driver loaded, applications with handles, and the
// operations a scenario's commands ask for. Each operation returns what happened, for the
// timeline, or an error for the scenario's author.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sim/app_model.h"
#include "sim/midi_client.h"
#include "sim/pmc7r_unit.h"
#include "sim/pnp_manager.h"
#include "sim/usb_bus.h"
#include "tools/pmc7r_sim/scenario.h"

namespace simtool {

struct UnitEntry {
    std::string name;
    scenario::PlugOptions options;
    std::shared_ptr<sim::Pmc7rUnit> model;
    PDEVICE_OBJECT pdo = nullptr;
    sim::PnpNode* node = nullptr;
};

// A command's outcome: done (with a line for the timeline), or the scenario is wrong.
struct Step {
    bool ok = true;
    std::string text;
    static Step Done(std::string text) { return {true, std::move(text)}; }
    static Step Error(std::string text) { return {false, std::move(text)}; }
};

class World {
public:
    World();
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    Step Service(const std::vector<scenario::Setting>& settings);
    Step Plug(const std::string& name, const scenario::PlugOptions& options);
    Step Unplug(const std::string& name);
    Step Remove(const std::string& name);
    // setAside false: what the client got meanwhile stays for the expectations.
    Step Restart(const std::string& name, bool setAside = true);
    Step SetSystem(bool sleep);
    Step UnitSends(const std::string& name, const std::vector<uint8_t>& bytes);

    Step ClientOpenAll();
    Step ClientCloseAll();
    Step ClientList();
    Step ClientWrite(uint32_t id, const std::vector<uint8_t>& bytes);
    Step ClientWriteMaster(const std::vector<uint8_t>& bytes);
    Step ClientCapacity(uint32_t capacity);

    Step Open(const std::string& unit, const std::string& handle);
    // async: the read is started and left running; its outcome is looked at later.
    Step Read(const std::string& handle, uint32_t count, bool async = false);
    Step Write(const std::string& handle, const std::vector<uint8_t>& bytes);
    Step Close(const std::string& handle);
    // One Plug and Play request (query-remove and cancel-remove on the unit's subtree).
    Step QueryRemove(const std::string& name);
    Step CancelRemove(const std::string& name);
    Step QueryStop(const std::string& name);
    Step CancelStop(const std::string& name);
    // Returns once the Plug and Play work that the last command set off is done.
    void Settle();

    // What the expectations look at; null or nullopt when the thing named does not exist.
    UnitEntry* Unit(const std::string& name);
    bool HasHandle(const std::string& handle) const { return apps_.count(handle) != 0 && !closed_.count(handle); }
    // The last read on a handle, open or closed since: still running (pending), or its
    // status and bytes. nullopt when the handle never read.
    struct ReadRecord {
        bool pending = false;
        NTSTATUS status = STATUS_SUCCESS;
        std::vector<uint8_t> bytes;
    };
    std::optional<ReadRecord> LastRead(const std::string& handle);
    DEVICE_POWER_STATE PowerState(const UnitEntry& unit) const { return bus_->PowerState(unit.pdo); }
    std::vector<uint8_t> TakeClientBytes(uint32_t id) { return client_.TakeReceived(id); }
    std::vector<sim::MidiMessage> TakeClientMessages(uint32_t id) { return client_.TakeMessages(id); }
    bool ClientPresent() const { return client_.Attached(); }
    std::vector<sim::ListedUnit> List(NTSTATUS* status) { return client_.List(status); }
    // The master's child node, if there is one.
    const sim::PnpNode* Child() const;
    std::optional<uint32_t> RegistryValue(const UnitEntry& unit, const std::string& value) const;
    std::vector<std::string> DisplayLines(const UnitEntry& unit) const;

    // The capture of everything the bus saw; false with a message when it cannot be written.
    bool WriteCapture(const std::string& path, std::string* error) const;
    // Takes the world down (removes what is left, unloads the drivers); the run's leak
    // report is the session's business.
    void TearDown();

    // For the summary.
    struct Counts {
        size_t plugged = 0, departed = 0, clientReads = 0, clientBytes = 0, bytesToUnits = 0;
    };
    Counts Tally() const;
    std::vector<const UnitEntry*> Units() const;

    // Runs the driver from this native image (pmc7r.sys) instead of the linked-in one.
    void UseImage(const std::string& path) { imagePath_ = path; }

    // For sweeps: the bus, and a routine called with each unit's device object as it is
    // plugged, before the Plug and Play manager learns of it.
    sim::UsbBus& Bus() { return *bus_; }
    void OnPlug(std::function<void(PDEVICE_OBJECT)> onPlug) { onPlug_ = std::move(onPlug); }

private:
    bool EnsureDriver();
    // Lets the units settle for 20 ms, then drops what the client got meanwhile; the count.
    size_t SetAsideClientInput();
    Step NeedClient() const;
    struct Captured {
        PDEVICE_OBJECT pdo;
        std::vector<uint8_t> configuration;
        uint8_t interfaceNumber, alternate;
    };

    std::vector<scenario::Setting> service_;
    bool loaded_ = false;
    std::string imagePath_;
    std::string loadError_;
    std::unique_ptr<sim::UsbBus> bus_;
    sim::MidiClient client_;
    std::unique_ptr<sim::PnpManager> pnp_;
    std::map<std::string, std::unique_ptr<UnitEntry>> units_;
    std::vector<Captured> captured_;
    std::map<std::string, ReadRecord> lastRead_;
    // Open handles, and closed ones whose last read still runs (closed_).
    std::map<std::string, std::unique_ptr<sim::Application>> apps_;
    std::set<std::string> closed_;
    Counts counts_;
    std::function<void(PDEVICE_OBJECT)> onPlug_;
};

// "1ms", "0.25 s" and so on for the timeline.
std::string TimeText(int64_t time100ns);
std::string HexText(const std::vector<uint8_t>& bytes);
std::string StatusText(NTSTATUS status);

}  // namespace simtool
