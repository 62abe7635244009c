#include "tools/pmc7r_sim/world.h"

#include <atomic>
#include <cstdio>

#include "driver/public/driver_entry.h"
#include "driver/public/pmc7r.h"
#include "sim/pmc7r_descriptors.h"
#include "sim/text.h"
#include "tools/pmc7r_sim/pcap_writer.h"

namespace simtool {
namespace {

constexpr int64_t kReadPatience = 100 * 10000;  // a read waits 100 ms for its first byte
constexpr int64_t kOpenSettle = 20 * 10000;

using sim::Narrow;
using sim::Widen;

sim::UnitOptions ModelOptions(const scenario::PlugOptions& o) {
    sim::UnitOptions m;
    m.product = o.product;
    m.vendor = o.vendor;
    m.packet = o.packet;
    m.firmware = o.firmware;
    m.deviceId = uint8_t(o.deviceId);
    m.silent = o.silent;
    m.reportsAhead = o.reportsAhead;
    if (o.buffer) {
        m.midiOutCapacity = *o.buffer;
        m.busyHeadroom = *o.buffer / 2;
    }
    return m;
}

// A read that finds nothing within its patience is cancelled and returns nothing, so a
// scenario never hangs on a read.
std::optional<sim::Application::ReadResult> TimedRead(sim::Application& app, uint32_t count, int64_t patience) {
    if (!app.StartRead(count)) return std::nullopt;
    // Wait() cannot be cancelled once it waits: the read is watched, cancelled if it takes too
    // long, and only then waited for.
    if (!host::WaitUntil([&] { return app.ReadDone(); }, patience, "a file read")) app.Cancel();
    return app.Wait();
}

}  // namespace

std::string TimeText(int64_t t) {
    char text[32];
    std::snprintf(text, sizeof text, "%9.1f ms", double(t) / 10000.0);
    return text;
}

// Long runs (a `pattern`) show their start and their length.
std::string HexText(const std::vector<uint8_t>& bytes) {
    constexpr size_t kShown = 24;
    if (bytes.empty()) return "(nothing)";
    if (bytes.size() > 2 * kShown) {
        std::vector<uint8_t> head(bytes.begin(), bytes.begin() + kShown);
        return HexText(head) + " ... (" + std::to_string(bytes.size()) + " bytes)";
    }
    std::string out;
    char pair[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(pair, sizeof pair, i ? " %02X" : "%02X", bytes[i]);
        out += pair;
    }
    return out;
}

std::string StatusText(NTSTATUS status) {
    switch (status) {
    case STATUS_SUCCESS: return "success";
    case STATUS_CANCELLED: return "cancelled";
    case STATUS_DELETE_PENDING: return "delete pending";
    case STATUS_INVALID_PARAMETER: return "invalid parameter";
    case STATUS_NO_SUCH_DEVICE: return "no such device";
    case STATUS_INVALID_DEVICE_STATE: return "invalid device state";
    case STATUS_PLUGPLAY_QUERY_VETOED: return "vetoed";
    case STATUS_IO_DEVICE_ERROR: return "I/O device error";
    case STATUS_DEVICE_CONFIGURATION_ERROR: return "device configuration error";
    case STATUS_PENDING: return "pending";
    default: {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08lX", (unsigned long)(ULONG)status);
        return text;
    }
    }
}

World::World() : bus_(std::make_unique<sim::UsbBus>()) { pnp_ = std::make_unique<sim::PnpManager>(*bus_); }

World::~World() { TearDown(); }

void World::TearDown() {
    apps_.clear();  // handles first: they hold the stacks
    pnp_.reset();
}

bool World::EnsureDriver() {
    if (loaded_) return true;
    std::vector<sim::ServiceDword> values;
    for (const scenario::Setting& s : service_) values.push_back({Widen(s.name), s.value});
    std::vector<std::u16string> ids = {u"USB\\VID_0C5B&PID_002A", u"USB\\VID_0C5B&PID_002B"};
    if (!imagePath_.empty()) {
        if (!pnp_->LoadDriverImage(u"pmc7r", imagePath_, ids, values, &loadError_)) return false;
    } else if (!pnp_->LoadDriver(u"pmc7r", DriverEntry, ids, values)) {
        return false;
    }
    client_.Load(*pnp_);
    loaded_ = true;
    return true;
}

Step World::Service(const std::vector<scenario::Setting>& settings) {
    if (loaded_) return Step::Error("service must come before the first plug");
    service_ = settings;
    std::string text = "service key:";
    for (const scenario::Setting& s : settings) text += " " + s.name + "=" + std::to_string(s.value);
    return Step::Done(text);
}

UnitEntry* World::Unit(const std::string& name) {
    auto it = units_.find(name);
    return it == units_.end() ? nullptr : it->second.get();
}

std::vector<const UnitEntry*> World::Units() const {
    std::vector<const UnitEntry*> out;
    for (const auto& [name, unit] : units_) out.push_back(unit.get());
    return out;
}

Step World::Plug(const std::string& name, const scenario::PlugOptions& options) {
    if (units_.count(name)) return Step::Error("unit " + name + " is plugged already");
    if (!EnsureDriver())
        return Step::Error("the driver did not load" + (loadError_.empty() ? "" : ": " + loadError_));
    auto unit = std::make_unique<UnitEntry>();
    unit->name = name;
    unit->options = options;
    unit->model = std::make_shared<sim::Pmc7rUnit>(ModelOptions(options));
    unit->pdo = bus_->Plug(unit->model);
    if (onPlug_) onPlug_(unit->pdo);
    if (options.startFails) bus_->FailStarts(unit->pdo, STATUS_IO_DEVICE_ERROR);
    if (options.bulkMode) host::registry::SetDword(bus_->DriverKey(unit->pdo), u"UsbBulkMode", *options.bulkMode);
    unit->node = pnp_->Arrive(unit->pdo);
    ++counts_.plugged;

    std::string text = "plug " + name + ": ";
    if (!unit->node->Started()) {
        text += "not started (problem " + std::to_string(uint32_t(unit->node->problem.load())) + ", " +
                StatusText(unit->node->problemStatus) + ")";
    } else {
        uint32_t iface = RegistryValue(*unit, "CurrentInterface").value_or(0);
        uint32_t alternate = RegistryValue(*unit, "CurrentAlternate").value_or(0);
        captured_.push_back({unit->pdo, sim::Pmc7rDescriptors(options.product, options.packet).configuration,
                             uint8_t(iface), uint8_t(alternate)});
        text += "started on interface " + std::to_string(iface) + " alternate " + std::to_string(alternate);
        // A child whose ID query failed (the driver had no pool for the answer) has none.
        if (!unit->node->children.empty()) {
            const std::vector<std::u16string>& ids = unit->node->children.front()->hardwareIds;
            text += "; child " + (ids.empty() ? std::string("without a hardware ID") : Narrow(ids.front())) +
                    (client_.Attached() ? " with the MIDI client" : "");
        }
    }
    units_[name] = std::move(unit);
    return Step::Done(text);
}

Step World::Unplug(const std::string& name) {
    UnitEntry* unit = Unit(name);
    if (!unit) return Step::Error("no unit " + name + " is plugged");
    bool removed = pnp_->Unplug(unit->node);
    units_.erase(name);
    ++counts_.departed;
    return Step::Done("unplug " + name + (removed ? ": surprise removal, then removal" :
                                                    ": surprise removal; removal waits for open handles"));
}

Step World::Remove(const std::string& name) {
    UnitEntry* unit = Unit(name);
    if (!unit) return Step::Error("no unit " + name + " is plugged");
    NTSTATUS status = pnp_->Remove(unit->node);
    if (!NT_SUCCESS(status)) return Step::Done("remove " + name + ": refused (" + StatusText(status) + ")");
    units_.erase(name);
    ++counts_.departed;
    return Step::Done("remove " + name + ": query-remove, remove");
}

Step World::Restart(const std::string& name, bool setAside) {
    UnitEntry* unit = Unit(name);
    if (!unit) return Step::Error("no unit " + name + " is plugged");
    NTSTATUS status = pnp_->Restart(unit->node);
    // A unit that is open answers its new bring-up into the stream; those answers are set
    // aside as at an open.
    size_t answers = setAside ? SetAsideClientInput() : 0;
    return Step::Done("restart " + name + ": " + StatusText(status) +
                      (answers ? "; its bring-up's answers set aside (" + std::to_string(answers) + " bytes)" : ""));
}

Step World::SetSystem(bool sleep) {
    std::vector<PDEVICE_OBJECT> stacks;
    for (sim::PnpNode* node : pnp_->Nodes()) stacks.push_back(node->pdo);
    NTSTATUS status = host::power::SetSystemState(sleep ? PowerSystemSleeping3 : PowerSystemWorking, stacks);
    std::string text = sleep ? "system sleeps (S3): " : "system wakes (S0): ";
    text += StatusText(status);
    for (const auto& [n, unit] : units_) {
        const char* names[] = {"unspecified", "D0", "D1", "D2", "D3"};
        DEVICE_POWER_STATE state = bus_->PowerState(unit->pdo);
        text += "; " + n + " " + (state <= PowerDeviceD3 ? names[state] : "?");
    }
    return Step::Done(text);
}

Step World::UnitSends(const std::string& name, const std::vector<uint8_t>& bytes) {
    UnitEntry* unit = Unit(name);
    if (!unit) return Step::Error("no unit " + name + " is plugged");
    unit->model->Send(bytes);
    return Step::Done(name + " sends " + HexText(bytes));
}

size_t World::SetAsideClientInput() {
    host::Advance(kOpenSettle);
    size_t bytes = 0;
    for (uint32_t id = 0; id < MAX_UNITS; ++id) {
        bytes += client_.TakeReceived(id).size();
        client_.TakeMessages(id);
    }
    return bytes;
}

Step World::NeedClient() const {
    if (!client_.Attached()) return Step::Error("there is no master with the MIDI client on its child");
    return Step::Done("");
}

// Opening a unit switches it to mode 1, which it answers with its identity: the open
// settles for 20 ms and those answers are set aside, so that a scenario's stream starts with
// what the units send afterwards.
Step World::ClientOpenAll() {
    if (Step need = NeedClient(); !need.ok) return need;
    NTSTATUS status = client_.OpenAll();
    size_t answers = SetAsideClientInput();
    std::string text = "client opens all units: " + StatusText(status);
    if (answers) text += "; the units answered the mode switch (" + std::to_string(answers) + " bytes set aside)";
    return Step::Done(text);
}

Step World::ClientCloseAll() {
    if (Step need = NeedClient(); !need.ok) return need;
    return Step::Done("client closes all units: " + StatusText(client_.CloseAll()));
}

Step World::ClientList() {
    if (Step need = NeedClient(); !need.ok) return need;
    NTSTATUS status = STATUS_SUCCESS;
    std::vector<sim::ListedUnit> list = client_.List(&status);
    std::string text = "client lists the units:";
    for (const sim::ListedUnit& u : list) {
        char entry[48];
        std::snprintf(entry, sizeof entry, " ID %u firmware %u.%02u;", u.id, u.firmware / 100, u.firmware % 100);
        text += entry;
    }
    if (list.empty()) text += " none";
    if (!NT_SUCCESS(status)) text += " (" + StatusText(status) + ")";
    return Step::Done(text);
}

Step World::ClientWrite(uint32_t id, const std::vector<uint8_t>& bytes) {
    if (Step need = NeedClient(); !need.ok) return need;
    NTSTATUS status = client_.Write(id, bytes);
    counts_.bytesToUnits += bytes.size();
    return Step::Done("client writes " + HexText(bytes) + " to ID " + std::to_string(id) + ": " + StatusText(status));
}

Step World::ClientWriteMaster(const std::vector<uint8_t>& bytes) {
    if (Step need = NeedClient(); !need.ok) return need;
    NTSTATUS status = client_.WriteMaster(bytes);
    counts_.bytesToUnits += bytes.size();
    return Step::Done("client writes " + HexText(bytes) + " to the master: " + StatusText(status));
}

Step World::ClientCapacity(uint32_t capacity) {
    if (Step need = NeedClient(); !need.ok) return need;
    client_.SetCapacity(int32_t(capacity));
    return Step::Done("client reads up to " + std::to_string(capacity) + " bytes at a time");
}

Step World::Open(const std::string& unitName, const std::string& handle) {
    UnitEntry* unit = Unit(unitName);
    if (!unit) return Step::Error("no unit " + unitName + " is plugged");
    if (HasHandle(handle)) return Step::Error("handle " + handle + " is open already");
    // A closed handle's name is taken again: its application ends (a read it left running
    // is cancelled) and its last read is forgotten.
    apps_.erase(handle);
    closed_.erase(handle);
    lastRead_.erase(handle);
    auto app = std::make_unique<sim::Application>();
    NTSTATUS status = app->Open(unit->pdo);
    if (!NT_SUCCESS(status)) return Step::Done("open " + unitName + " as " + handle + ": " + StatusText(status));
    // As for the client: what the unit answers to being opened is not the handle's input.
    host::Advance(kOpenSettle);
    std::optional<sim::Application::ReadResult> answer = TimedRead(*app, 128, kOpenSettle / 20);
    size_t answers = answer ? answer->bytes.size() : 0;
    apps_[handle] = std::move(app);
    return Step::Done("an application opens " + unitName + " as " + handle +
                      (answers ? " (" + std::to_string(answers) + " bytes of the unit's answer set aside)" : ""));
}

Step World::Read(const std::string& handle, uint32_t count, bool async) {
    if (!HasHandle(handle)) return Step::Error("handle " + handle + " is not open");
    sim::Application& app = *apps_.at(handle);
    if (async) {
        if (!app.StartRead(count)) return Step::Error("handle " + handle + " has a read running already");
        lastRead_[handle] = {true, STATUS_PENDING, {}};
        return Step::Done("read " + handle + " " + std::to_string(count) + " started");
    }
    std::optional<sim::Application::ReadResult> read = TimedRead(app, count, kReadPatience);
    if (!read) return Step::Error("handle " + handle + " cannot read now (a read is running)");
    const sim::Application::ReadResult& result = *read;
    lastRead_[handle] = {false, result.status, result.bytes};
    return Step::Done("read " + handle + ": " + HexText(result.bytes) +
                      (result.status == STATUS_SUCCESS ? "" : " (" + StatusText(result.status) + ")"));
}

Step World::Write(const std::string& handle, const std::vector<uint8_t>& bytes) {
    if (!HasHandle(handle)) return Step::Error("handle " + handle + " is not open");
    auto it = apps_.find(handle);
    counts_.bytesToUnits += bytes.size();
    return Step::Done("write " + handle + " " + HexText(bytes) + ": " + StatusText(it->second->Write(bytes)));
}

// The close cancels nothing: a read left running stays with the application, and its
// outcome can still be looked at.
Step World::Close(const std::string& handle) {
    if (!HasHandle(handle)) return Step::Error("handle " + handle + " is not open");
    auto it = apps_.find(handle);
    NTSTATUS status = it->second->Close();
    std::string text = "close " + handle + ": " + StatusText(status);
    if (it->second->ReadPending() && !it->second->ReadDone()) {
        closed_.insert(handle);
        text += "; its read is still pending";
    } else {
        LastRead(handle);  // takes the read's outcome before the application goes
        apps_.erase(it);
    }
    Settle();
    return Step::Done(text);
}

std::optional<World::ReadRecord> World::LastRead(const std::string& handle) {
    auto it = lastRead_.find(handle);
    if (it == lastRead_.end()) return std::nullopt;
    auto app = apps_.find(handle);
    if (it->second.pending && app != apps_.end() && app->second->ReadDone()) {
        sim::Application::ReadResult result = app->second->Wait();
        it->second = {false, result.status, result.bytes};
    }
    return it->second;
}

void World::Settle() { pnp_->Settle(); }

namespace {
Step PnpStep(const std::string& what, NTSTATUS status) {
    return Step::Done(what + ": " + (NT_SUCCESS(status) ? std::string("done") : "refused (" + StatusText(status) + ")"));
}
}  // namespace

Step World::QueryRemove(const std::string& name) {
    UnitEntry* unit = Unit(name);
    if (!unit) return Step::Error("no unit " + name + " is plugged");
    return PnpStep("query-remove " + name, pnp_->QueryRemove(unit->node));
}

Step World::CancelRemove(const std::string& name) {
    UnitEntry* unit = Unit(name);
    if (!unit) return Step::Error("no unit " + name + " is plugged");
    return PnpStep("cancel-remove " + name, pnp_->CancelRemove(unit->node));
}

Step World::QueryStop(const std::string& name) {
    UnitEntry* unit = Unit(name);
    if (!unit) return Step::Error("no unit " + name + " is plugged");
    return PnpStep("query-stop " + name, pnp_->QueryStop(unit->node));
}

Step World::CancelStop(const std::string& name) {
    UnitEntry* unit = Unit(name);
    if (!unit) return Step::Error("no unit " + name + " is plugged");
    return PnpStep("cancel-stop " + name, pnp_->CancelStop(unit->node));
}

const sim::PnpNode* World::Child() const {
    for (sim::PnpNode* node : pnp_->Nodes())
        if (node->parent) return node;
    return nullptr;
}

std::optional<uint32_t> World::RegistryValue(const UnitEntry& unit, const std::string& value) const {
    uint32_t found = 0;
    if (!host::registry::GetDword(bus_->DriverKey(unit.pdo), Widen(value), &found)) return std::nullopt;
    return found;
}

std::vector<std::string> World::DisplayLines(const UnitEntry& unit) const {
    return {sim::TrimTrailingBlanks(unit.model->DisplayLine(0)), sim::TrimTrailingBlanks(unit.model->DisplayLine(1))};
}

bool World::WriteCapture(const std::string& path, std::string* error) const {
    capture::PcapWriter writer;
    for (const Captured& c : captured_) writer.DescribeDevice(c.pdo, c.configuration, c.interfaceNumber, c.alternate);
    return writer.WriteFile(path, bus_->Log(), error);
}

World::Counts World::Tally() const {
    Counts c = counts_;
    for (const sim::TaggedRead& read : client_.Reads()) {
        ++c.clientReads;
        c.clientBytes += read.bytes.size();
    }
    return c;
}

}  // namespace simtool
