// The stress run: a controller (this thread) plugs, unplugs, removes, restarts, sleeps and
// wakes; actors on platform threads of their own write, read, send and change capacities.
// Each actor draws its choices from its own generator seeded from the run's seed, in the
// same order whatever the driver answers: the seed fixes what is tried and when (in virtual
// time); what the driver makes of it is the run's.
#include "tools/pmc7r_sim/stress.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cctype>
#include <cinttypes>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <random>

#include "driver/public/driver_entry.h"
#include "platform/host/control.h"
#include "sim/app_model.h"
#include "sim/text.h"
#include "sim/kernel_client.h"
#include "sim/midi_client.h"
#include "sim/pmc7r_unit.h"
#include "sim/pnp_manager.h"
#include "sim/usb_bus.h"
#include "tools/pmc7r_sim/stress_ledger.h"

namespace simtool {
namespace {

using namespace stress;

constexpr int kUnits = 8;
constexpr int kApps = 3;
constexpr int64_t kMs = 10000;
constexpr int64_t kCheckEvery = 2000 * kMs;     // the look on the way
constexpr int64_t kRemovalPatience = 5000 * kMs;  // a handle's session is shorter
constexpr int64_t kDrain = 3000 * kMs;          // the rings and the units' buffers empty

class Choices {
public:
    Choices(uint64_t seed, uint64_t actor) : rng_(seed * 0x9E3779B97F4A7C15ull ^ (actor + 1) * 0xD1B54A32D192ED03ull) {}
    uint64_t Below(uint64_t n) { return rng_() % n; }
    int64_t Between(int64_t lo, int64_t hi) { return lo + int64_t(Below(uint64_t(hi - lo + 1))); }
    bool Chance(int percent) { return Below(100) < uint64_t(percent); }
    uint64_t Salt() { return rng_(); }

private:
    std::mt19937_64 rng_;
};

// Waits until an absolute time of the plan, at once when it has passed.
void Until(int64_t at) {
    int64_t now = host::Now();
    if (at > now) host::Advance(at - now);
}

std::string Seconds(int64_t t) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", double(t) / 1e7);
    return text;
}

struct Counts {
    std::atomic<uint64_t> writes{0}, shortWrites{0}, failedWrites{0}, bytesTaken{0};
    std::atomic<uint64_t> fileReads{0}, fileReadBytes{0}, sessions{0}, failedOpens{0}, bytesSent{0};
    uint64_t plugs = 0, unplugs = 0, removes = 0, vetoed = 0, restarts = 0, sleeps = 0, openAlls = 0;
};

// The machine and what the actors share. Locks are never held across a platform wait.
class Stress {
public:
    Stress(const StressOptions& options, std::FILE* out) : options_(options), out_(out) {}
    int Run();

private:
    // Controller
    void Plug(int unit);
    void Depart(int unit, bool orderly);
    void Replug(int unit);
    void Restart(int unit);
    void SleepAndWake(int64_t wakeAt);
    void OpenAll();
    void Control();
    void TakeReads();
    void Look(bool final);
    void Log(const std::string& text);
    void Fault(const std::string& text);

    // Actors
    void ClientWriter(Choices choices, int writer);
    void CapacityChanger(Choices choices);
    void KernelClientActor(Choices choices);
    void Application(Choices choices, int writer);
    void Sender(Choices choices);

    // A life's handle target: its PDO and index, or none.
    bool CurrentLife(int unit, int* life, PDEVICE_OBJECT* pdo);
    size_t HandleStream(int writer, int life, uint64_t salt, bool reachedUnit);
    void Record(size_t stream, int64_t start, const std::vector<uint8_t>& bytes, uint32_t taken, NTSTATUS status);
    std::vector<uint8_t> NextBytes(size_t stream, size_t length);

    const StressOptions options_;
    std::FILE* out_;
    int64_t end_ = 0;

    std::unique_ptr<sim::UsbBus> bus_;
    std::unique_ptr<sim::MidiClient> client_;
    std::unique_ptr<sim::PnpManager> pnp_;

    std::mutex mutex_;
    Ledger ledger_;
    std::vector<PDEVICE_OBJECT> pdos_;  // by life
    std::vector<sim::PnpNode*> nodes_;  // by life
    int current_[kUnits];
    std::vector<std::string> faults_;
    Counts counts_;
    std::atomic<bool> asleep_{false};
};

void Stress::Log(const std::string& text) {
    if (options_.verbose && out_) std::fprintf(out_, "%12s  %s\n", Seconds(host::Now()).c_str(), text.c_str());
}

void Stress::Fault(const std::string& text) {
    std::lock_guard guard(mutex_);
    if (std::find(faults_.begin(), faults_.end(), text) == faults_.end()) faults_.push_back(text);
}

bool Stress::CurrentLife(int unit, int* life, PDEVICE_OBJECT* pdo) {
    std::lock_guard guard(mutex_);
    int i = current_[unit];
    if (i < 0 || ledger_.lives[size_t(i)].arrivedAt == kNever) return false;
    *life = i;
    *pdo = pdos_[size_t(i)];
    return true;
}

// ---- Controller ----------------------------------------------------------------------------

void Stress::Plug(int unit) {
    sim::UnitOptions o;
    o.deviceId = uint8_t(unit);
    auto model = std::make_shared<sim::Pmc7rUnit>(o);
    size_t index;
    {
        std::lock_guard guard(mutex_);
        Life life;
        life.unit = unit;
        life.salt = Choices(options_.seed, 1000 + ledger_.lives.size()).Salt();
        life.model = model;
        life.plugAt = host::Now();
        index = ledger_.lives.size();
        ledger_.lives.push_back(std::move(life));
        pdos_.push_back(nullptr);
        nodes_.push_back(nullptr);
        current_[unit] = int(index);
    }
    PDEVICE_OBJECT pdo = bus_->Plug(model);
    sim::PnpNode* node = pnp_->Arrive(pdo);
    {
        std::lock_guard guard(mutex_);
        pdos_[index] = pdo;
        nodes_[index] = node;
        ledger_.lives[index].arrivedAt = host::Now();
    }
    ++counts_.plugs;
    std::string shown = sim::TrimTrailingBlanks(model->DisplayLine(0));
    if (!node->Started()) Fault("unit " + std::to_string(unit) + " did not start after its plug at " + Seconds(ledger_.lives[index].plugAt));
    // Its ID is free (the old unit of that ID is removed): it must have taken its slot.
    if (shown.find("ID " + std::to_string(unit) + (unit == 0 ? " [MASTER]" : " [SLAVE]")) == std::string::npos)
        Fault("unit " + std::to_string(unit) + " plugged at " + Seconds(ledger_.lives[index].plugAt) + " shows \"" + shown + "\"");
    Log("plug unit " + std::to_string(unit) + (node->Started() ? ": started, \"" + shown + "\"" : ": NOT started"));
}

void Stress::OpenAll() {
    if (!client_->Attached()) return;
    int64_t start = host::Now();
    {
        std::lock_guard guard(mutex_);
        if (!ledger_.epochs.empty() && ledger_.epochs.back().end == kNever) ledger_.epochs.back().end = start;
    }
    NTSTATUS status = client_->OpenAll();
    ++counts_.openAlls;
    Log("client open-all: 0x" + [&] { char t[16]; std::snprintf(t, sizeof t, "%08X", unsigned(status)); return std::string(t); }());
    // The client's device in removal (the master is being pulled out) refuses it, as it
    // would any request: the stream starts again when the master is back.
    if (status == STATUS_DELETE_PENDING || status == STATUS_NO_SUCH_DEVICE) return;
    if (!NT_SUCCESS(status)) {
        Fault("the client's open-all at " + Seconds(start) + " failed");
        return;
    }
    std::lock_guard guard(mutex_);
    ledger_.epochs.push_back({host::Now()});
    for (int u = 0; u < kUnits; ++u) {
        int i = current_[u];
        if (i >= 0 && ledger_.lives[size_t(i)].readyAt == kNever) ledger_.lives[size_t(i)].readyAt = host::Now();
    }
}

void Stress::Depart(int unit, bool orderly) {
    int index;
    sim::PnpNode* node;
    int64_t now = host::Now();
    {
        std::lock_guard guard(mutex_);
        index = current_[unit];
        if (index < 0) return;
        node = nodes_[size_t(index)];
        ledger_.lives[size_t(index)].leftAt = now;
        current_[unit] = -1;
        if (unit == 0 && !ledger_.epochs.empty() && ledger_.epochs.back().end == kNever) ledger_.epochs.back().end = now;
    }
    if (!orderly) {
        bool removed = pnp_->Unplug(node);
        ++counts_.unplugs;
        Log("unplug unit " + std::to_string(unit) + (removed ? "" : " (removal waits for handles)"));
        return;
    }
    NTSTATUS status = pnp_->Remove(node);
    if (NT_SUCCESS(status)) {
        ++counts_.removes;
        Log("remove unit " + std::to_string(unit));
        return;
    }
    // Vetoed by a handle: the unit stays, and so do its stream and the client's epoch.
    ++counts_.vetoed;
    Log("remove unit " + std::to_string(unit) + ": vetoed");
    std::lock_guard guard(mutex_);
    ledger_.lives[size_t(index)].leftAt = kNever;
    current_[unit] = index;
    if (unit == 0 && !ledger_.epochs.empty() && ledger_.epochs.back().end == now) ledger_.epochs.back().end = kNever;
}

// The old node must be gone first, or the new unit would find its ID taken.
void Stress::Replug(int unit) {
    sim::PnpNode* old = nullptr;
    {
        std::lock_guard guard(mutex_);
        if (current_[unit] >= 0) return;
        for (size_t i = ledger_.lives.size(); i-- > 0;)
            if (ledger_.lives[i].unit == unit) {
                old = nodes_[i];
                break;
            }
    }
    if (old && !pnp_->WaitRemoved(old, kRemovalPatience)) {
        Fault("unit " + std::to_string(unit) + ": its removal did not end within 5 s of its departure (at " +
              Seconds(host::Now()) + ")");
        return;
    }
    Plug(unit);
    OpenAll();
}

void Stress::Restart(int unit) {
    sim::PnpNode* node;
    {
        std::lock_guard guard(mutex_);
        if (current_[unit] < 0) return;
        node = nodes_[size_t(current_[unit])];
    }
    NTSTATUS status = pnp_->Restart(node);
    ++counts_.restarts;
    Log("restart unit " + std::to_string(unit) + (NT_SUCCESS(status) ? "" : ": refused"));
    if (!node->Started()) Fault("unit " + std::to_string(unit) + " was not started again by its restart at " + Seconds(host::Now()));
}

void Stress::SleepAndWake(int64_t wakeAt) {
    auto stacks = [&] {
        std::vector<PDEVICE_OBJECT> list;
        for (sim::PnpNode* node : pnp_->Nodes()) list.push_back(node->pdo);
        return list;
    };
    asleep_ = true;
    NTSTATUS status = host::power::SetSystemState(PowerSystemSleeping3, stacks());
    ++counts_.sleeps;
    Log(std::string("sleep") + (NT_SUCCESS(status) ? "" : ": refused"));
    Until(wakeAt);
    status = host::power::SetSystemState(PowerSystemWorking, stacks());
    asleep_ = false;
    Log("wake");
    if (!NT_SUCCESS(status)) Fault("the wake at " + Seconds(host::Now()) + " failed");
}

void Stress::TakeReads() {
    auto reads = client_->TakeReadsWithTimes();
    std::lock_guard guard(mutex_);
    for (auto& [time, read] : reads) ledger_.reads.push_back({time, read.id, std::move(read.bytes)});
}

void Stress::Look(bool final) {
    TakeReads();
    std::vector<std::shared_ptr<sim::Pmc7rUnit>> models;
    Ledger copy;
    {
        std::lock_guard guard(mutex_);
        for (const Life& life : ledger_.lives) models.push_back(life.model);
    }
    std::vector<std::vector<uint8_t>> midiOut;
    std::vector<size_t> overflow;
    for (auto& model : models) {
        midiOut.push_back(model->MidiOut());
        overflow.push_back(model->OverflowBytes());
    }
    {
        std::lock_guard guard(mutex_);
        copy = ledger_;
    }
    for (const std::string& fault : Check(copy, midiOut, overflow, final)) Fault(fault);
    for (NTSTATUS status : client_->Errors()) {
        char text[64];
        std::snprintf(text, sizeof text, "the client's reader ended on 0x%08X", unsigned(status));
        Fault(text);
    }
}

// One attempt every 50 to 400 ms: what it is and when come from the seed; whether it
// applies (the unit is there) from the run.
void Stress::Control() {
    Choices choices(options_.seed, 0);
    int64_t replugAt[kUnits];
    std::fill(std::begin(replugAt), std::end(replugAt), kNever);
    int64_t next = host::Now(), nextLook = host::Now() + kCheckEvery;
    while (host::Now() < end_) {
        next += choices.Between(50, 400) * kMs;
        uint64_t kind = choices.Below(100);
        int unit = int(choices.Below(kUnits));
        int64_t span = choices.Between(20, 1200) * kMs;
        Until(std::min(next, end_));
        for (int u = 0; u < kUnits; ++u)
            if (replugAt[u] <= host::Now()) {
                replugAt[u] = kNever;
                Replug(u);
            }
        if (host::Now() >= nextLook) {
            Look(false);
            nextLook = host::Now() + kCheckEvery;
        }
        if (host::Now() >= end_) break;
        bool out = replugAt[unit] != kNever;
        if (kind < 30) {
            if (!out) {
                Depart(unit, false);
                replugAt[unit] = host::Now() + span;
            }
        } else if (kind < 40) {
            if (!out) {
                Depart(unit, true);
                bool left;
                {
                    std::lock_guard guard(mutex_);
                    left = current_[unit] < 0;
                }
                if (left) replugAt[unit] = host::Now() + span;
            }
        } else if (kind < 62) {
            if (!out) Restart(unit);
        } else if (kind < 72) {
            SleepAndWake(host::Now() + span / 3);
        }
    }
    // Every unit back, and the client's stream on all of them, for the last look.
    for (int u = 0; u < kUnits; ++u)
        if (replugAt[u] != kNever) Replug(u);
}

// ---- Actors --------------------------------------------------------------------------------

size_t Stress::HandleStream(int writer, int life, uint64_t salt, bool reachedUnit) {
    std::lock_guard guard(mutex_);
    for (size_t i = 0; i < ledger_.streams.size(); ++i)
        if (ledger_.streams[i].writer == writer && ledger_.streams[i].life == life) return i;
    Stream s;
    s.writer = writer;
    s.id = uint32_t(ledger_.lives[size_t(life)].unit);
    s.life = life;
    s.salt = salt;
    s.reachedUnit = reachedUnit;
    ledger_.streams.push_back(s);
    return ledger_.streams.size() - 1;
}

std::vector<uint8_t> Stress::NextBytes(size_t stream, size_t length) {
    std::lock_guard guard(mutex_);
    const Stream& s = ledger_.streams[stream];
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = OutputByte(s.writer, s.salt, s.taken + i);
    return bytes;
}

void Stress::Record(size_t stream, int64_t start, const std::vector<uint8_t>& bytes, uint32_t taken, NTSTATUS status) {
    ++counts_.writes;
    counts_.bytesTaken += taken;
    if (NT_ERROR(status)) {
        ++counts_.failedWrites;
    } else if (taken < bytes.size()) {
        ++counts_.shortWrites;
    }
    std::lock_guard guard(mutex_);
    Stream& s = ledger_.streams[stream];
    s.writes.push_back({start, host::Now(), s.taken, uint32_t(bytes.size()), taken});
    s.taken += std::min<uint64_t>(taken, bytes.size());
}

// The client by device ID (one stream an ID), or to the master.
void Stress::ClientWriter(Choices choices, int writer) {
    size_t first;
    {
        std::lock_guard guard(mutex_);
        first = ledger_.streams.size();
        for (uint32_t id = 0; id < (writer == kClientMaster ? 1u : uint32_t(kUnits)); ++id) {
            Stream s;
            s.writer = writer;
            s.id = id;
            s.salt = choices.Salt();
            ledger_.streams.push_back(s);
        }
    }
    int64_t next = host::Now();
    while (host::Now() < end_) {
        next += choices.Between(writer == kClientMaster ? 5 : 2, writer == kClientMaster ? 60 : 30) * kMs;
        uint32_t id = writer == kClientMaster ? 0 : uint32_t(choices.Below(kUnits));
        size_t length = size_t(choices.Chance(4) ? choices.Between(300, 1500) : choices.Between(1, 64));
        Until(next);
        if (host::Now() >= end_) break;
        size_t stream = first + id;
        std::vector<uint8_t> bytes = NextBytes(stream, length);
        int64_t start = host::Now();
        uint32_t taken = 0;
        NTSTATUS status = writer == kClientMaster ? client_->WriteMaster(bytes, &taken) : client_->Write(id, bytes, &taken);
        Record(stream, start, bytes, taken, status);
    }
}

void Stress::CapacityChanger(Choices choices) {
    static const int32_t kCapacities[] = {1, 2, 3, 5, 8, 16, 33, 64, 65, 128, 200, 1024};
    int64_t next = host::Now();
    while (host::Now() < end_) {
        next += choices.Between(10, 300) * kMs;
        int32_t capacity = kCapacities[choices.Below(std::size(kCapacities))];
        Until(std::min(next, end_));
        client_->SetCapacity(capacity);
    }
}

// Sessions on one unit through the direct-call table.
void Stress::KernelClientActor(Choices choices) {
    int64_t next = host::Now();
    while (host::Now() < end_) {
        next += choices.Between(0, 500) * kMs;
        int unit = int(choices.Below(kUnits));
        uint64_t salt = choices.Salt();
        int ops = int(choices.Between(1, 20));
        Until(next);
        if (host::Now() >= end_) break;
        ++counts_.sessions;
        int life = -1;
        PDEVICE_OBJECT pdo = nullptr;
        sim::KernelClient kernel;
        bool open = CurrentLife(unit, &life, &pdo) && NT_SUCCESS(kernel.Open(pdo)) && NT_SUCCESS(kernel.GetDirectCalls());
        if (!open) ++counts_.failedOpens;
        size_t stream = open ? HandleStream(kKernelClient, life, salt, false) : 0;
        for (int op = 0; op < ops; ++op) {
            next += choices.Between(5, 100) * kMs;
            size_t length = size_t(choices.Chance(3) ? choices.Between(500, 1200) : choices.Between(1, 64));
            bool ex = choices.Chance(50);
            bool mode = choices.Chance(10);
            ULONG reserved = ULONG(choices.Salt());
            Until(next);
            if (!open || host::Now() >= end_) continue;
            if (mode) kernel.DirectSetMode(0);  // active: what the unit is in while open anyway
            std::vector<uint8_t> bytes = NextBytes(stream, length);
            int64_t start = host::Now();
            ULONG taken = ex ? kernel.DirectWriteEx(reserved, bytes) : kernel.DirectWrite(bytes);
            Record(stream, start, bytes, taken, STATUS_SUCCESS);
        }
        kernel.Close();
    }
}

// Sessions of an application on one unit: reads of any length with a patience, writes, and
// now and then a close with a read still running.
void Stress::Application(Choices choices, int writer) {
    int64_t next = host::Now();
    while (host::Now() < end_) {
        next += choices.Between(0, 400) * kMs;
        int unit = int(choices.Below(kUnits));
        uint64_t salt = choices.Salt();
        int ops = int(choices.Between(1, 15));
        bool closeReading = choices.Chance(15);
        Until(next);
        if (host::Now() >= end_) break;
        ++counts_.sessions;
        int life = -1;
        PDEVICE_OBJECT pdo = nullptr;
        auto app = std::make_unique<sim::Application>();
        bool open = CurrentLife(unit, &life, &pdo) && NT_SUCCESS(app->Open(pdo));
        if (!open) ++counts_.failedOpens;
        size_t stream = open ? HandleStream(writer, life, salt, true) : 0;
        for (int op = 0; op < ops; ++op) {
            next += choices.Between(2, 80) * kMs;
            bool read = choices.Chance(50);
            ULONG length = ULONG(read ? choices.Between(1, 200) : (choices.Chance(3) ? choices.Between(200, 600) : choices.Between(1, 64)));
            int64_t patience = choices.Between(0, 60) * kMs;
            Until(next);
            if (!open || host::Now() >= end_) continue;
            if (read) {
                if (!app->StartRead(length)) continue;
                if (!host::WaitUntil([&] { return app->ReadDone(); }, patience + 1, "a stress read")) app->Cancel();
                sim::Application::ReadResult result = app->Wait();
                ++counts_.fileReads;
                counts_.fileReadBytes += result.bytes.size();
            } else {
                std::vector<uint8_t> bytes = NextBytes(stream, length);
                int64_t start = host::Now();
                ULONG_PTR written = 0;
                NTSTATUS status = app->Write(bytes, &written);
                Record(stream, start, bytes, uint32_t(written), status);
            }
        }
        if (open && closeReading && app->StartRead(64)) {
            app->Close();
            if (!host::WaitUntil([&] { return app->ReadDone(); }, 200 * kMs, "a read after its close"))
                Fault("a read left running at its handle's close did not end within 200 ms (unit " + std::to_string(unit) + ")");
        }
        app.reset();  // closes, and ends a read still running
    }
}

// The units' controls: bursts to a unit that is there and open.
void Stress::Sender(Choices choices) {
    int64_t next = host::Now();
    while (host::Now() < end_) {
        next += choices.Between(1, 12) * kMs;
        int unit = int(choices.Below(kUnits));
        size_t length = size_t(choices.Between(1, 40));
        Until(next);
        if (host::Now() >= end_) break;
        std::shared_ptr<sim::Pmc7rUnit> model;
        std::vector<uint8_t> bytes(length);
        {
            std::lock_guard guard(mutex_);
            int i = current_[unit];
            if (i < 0) continue;
            Life& life = ledger_.lives[size_t(i)];
            if (life.readyAt == kNever) continue;
            life.sends.push_back({host::Now(), life.input.size()});
            for (size_t b = 0; b < length; ++b) bytes[b] = InputByte(life.salt, life.input.size() + b);
            life.input.insert(life.input.end(), bytes.begin(), bytes.end());
            model = life.model;
        }
        model->Send(bytes);
        counts_.bytesSent += length;
    }
}

// ---- The run -------------------------------------------------------------------------------

int Stress::Run() {
    std::fill(std::begin(current_), std::end(current_), -1);
    if (out_)
        std::fprintf(out_, "pmc7r-sim stress --seed %" PRIu64 " --for %s\n", options_.seed, Seconds(options_.duration).c_str());
    auto wall0 = std::chrono::steady_clock::now();
    std::string leaks;
    int64_t virtualRun = 0;
    {
        host::Session session("pmc7r-sim stress");
        bus_ = std::make_unique<sim::UsbBus>();
        client_ = std::make_unique<sim::MidiClient>();
        pnp_ = std::make_unique<sim::PnpManager>(*bus_);
        bool loaded = pnp_->LoadDriver(u"pmc7r", DriverEntry, {u"USB\\VID_0C5B&PID_002A", u"USB\\VID_0C5B&PID_002B"}) &&
                      client_->Load(*pnp_);
        if (!loaded) {
            Fault("the drivers did not load");
        } else {
            for (int u = 0; u < kUnits; ++u) Plug(u);
            OpenAll();
            int64_t start = host::Now();
            end_ = start + options_.duration;
            std::vector<std::unique_ptr<host::Thread>> actors;
            auto actor = [&](const char* name, std::function<void()> body) {
                actors.push_back(std::make_unique<host::Thread>(name, std::move(body)));
            };
            const uint64_t seed = options_.seed;
            actor("stress client by ID", [this, seed] { ClientWriter(Choices(seed, 1), kClientById); });
            actor("stress client to master", [this, seed] { ClientWriter(Choices(seed, 2), kClientMaster); });
            actor("stress capacities", [this, seed] { CapacityChanger(Choices(seed, 3)); });
            actor("stress kernel client", [this, seed] { KernelClientActor(Choices(seed, 4)); });
            for (int a = 0; a < kApps; ++a)
                actor("stress application", [this, seed, a] { Application(Choices(seed, 5 + a), kFirstApp + a); });
            actor("stress sender", [this, seed] { Sender(Choices(seed, 10)); });
            Control();
            for (auto& a : actors) a->Join();
            actors.clear();
            virtualRun = host::Now() - start;
            host::Advance(kDrain);
            {
                std::lock_guard guard(mutex_);
                ledger_.endAt = host::Now();
            }
            Look(true);
        }
        pnp_.reset();
        client_.reset();
        bus_.reset();
        leaks = session.Finish();
    }
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    if (!leaks.empty()) Fault("the run left something behind:\n" + leaks);

    size_t received = 0, written = 0;
    for (const ClientRead& r : ledger_.reads) received += r.bytes.size();
    for (const Life& life : ledger_.lives) written += life.model->MidiOut().size();
    if (out_) {
        std::fprintf(out_, "virtual time %s (and %s to drain), wall time %.1f s\n", Seconds(virtualRun).c_str(),
                     Seconds(kDrain).c_str(), wall);
        std::fprintf(out_,
                     "events: %" PRIu64 " plugs, %" PRIu64 " unplugs, %" PRIu64 " removals (%" PRIu64 " vetoed), %" PRIu64
                     " restarts, %" PRIu64 " sleeps, %" PRIu64 " open-alls\n",
                     counts_.plugs, counts_.unplugs, counts_.removes, counts_.vetoed, counts_.restarts, counts_.sleeps,
                     counts_.openAlls);
        std::fprintf(out_, "input: %" PRIu64 " bytes sent by the units, %zu reached the client in %zu reads\n",
                     counts_.bytesSent.load(), received, ledger_.reads.size());
        std::fprintf(out_,
                     "output: %" PRIu64 " writes (%" PRIu64 " short, %" PRIu64 " failed), %" PRIu64
                     " bytes taken, %zu bytes at the units' MIDI outs\n",
                     counts_.writes.load(), counts_.shortWrites.load(), counts_.failedWrites.load(),
                     counts_.bytesTaken.load(), written);
        std::fprintf(out_, "handles: %" PRIu64 " sessions (%" PRIu64 " found no unit), %" PRIu64 " file reads, %" PRIu64 " bytes\n",
                     counts_.sessions.load(), counts_.failedOpens.load(), counts_.fileReads.load(),
                     counts_.fileReadBytes.load());
        for (size_t i = 0; i < faults_.size() && i < 20; ++i) std::fprintf(out_, "FAULT: %s\n", faults_[i].c_str());
        if (faults_.size() > 20) std::fprintf(out_, "... and %zu more\n", faults_.size() - 20);
        std::fprintf(out_, "%s: seed %" PRIu64 "\n", faults_.empty() ? "clean" : "FAULTS", options_.seed);
        std::fflush(out_);
    }
    return faults_.empty() ? 0 : 1;
}

}  // namespace

bool ParseStressDuration(const std::string& text, int64_t* duration) {
    size_t digits = 0;
    while (digits < text.size() && (std::isdigit(static_cast<unsigned char>(text[digits])) || text[digits] == '.')) ++digits;
    if (digits == 0 || digits == text.size()) return false;
    double value = 0;
    try {
        value = std::stod(text.substr(0, digits));
    } catch (...) {
        return false;
    }
    std::string unit = text.substr(digits);
    double scale = unit == "ms" ? 1e4 : unit == "s" ? 1e7 : unit == "m" ? 60e7 : unit == "h" ? 3600e7 : 0;
    if (scale == 0 || value <= 0) return false;
    *duration = int64_t(value * scale);
    return *duration > 0;
}

bool ParseStressOptions(const std::vector<std::string>& arguments, StressOptions* options, std::string* error) {
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        bool hasValue = i + 1 < arguments.size();
        if (a == "--seed" && hasValue) {
            const std::string& v = arguments[++i];
            char* end = nullptr;
            options->seed = std::strtoull(v.c_str(), &end, 0);
            if (v.empty() || *end) return *error = "--seed takes a number, not " + v, false;
        } else if (a == "--for" && hasValue) {
            if (!ParseStressDuration(arguments[++i], &options->duration))
                return *error = "--for takes a duration such as 500ms, 30s or 5m, not " + arguments[i], false;
        } else if (a == "--verbose") {
            options->verbose = true;
        } else {
            return *error = "unknown option " + a, false;
        }
    }
    return true;
}

int RunStress(const StressOptions& options, std::FILE* out) { return Stress(options, out).Run(); }

}  // namespace simtool
