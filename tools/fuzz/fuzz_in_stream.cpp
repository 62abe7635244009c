// What a unit sends on its IN pipe, from the fuzzer, during its bring-up and during traffic:
// packets of any length and content at any time, mixed with the firmware's own replies (or
// instead of them), while the client and an application read and write.
// Input: two option bytes, then events until the end. An event's first byte holds the delay
// after the previous event in ms (low 5 bits) and its kind (high 3 bits):
//   0 a packet of N bytes as given (N the next byte)     1 N bytes, the rest of the packet FF
//   2 a status packet FE 01 xx                           3 a zero-length packet
//   4 a packet longer than MaxPacketSize (N more, one byte repeated)
//   5 a packet of FF only                                6 the firmware sends N MIDI bytes
//   7 a host action (the next two bytes): client open-all, close-all, writes, capacity; a
//     file read, write or close; FF marks the end of the bring-up's events
// Events up to the mark run on the bring-up's clock, from the plug; after it on the clock of
// the traffic that follows the start.
#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "sim/app_model.h"
#include "tools/fuzz/fuzz_world.h"

namespace {

// A PMC-7R unit whose IN pipe also carries the packets the fuzzer scheduled: a packet due by
// now goes before whatever the firmware has.
class ScriptedUnit : public sim::Pmc7rUnit {
public:
    using Pmc7rUnit::Pmc7rUnit;
    void Inject(int64_t at, std::vector<uint8_t> packet) {
        std::lock_guard guard(mutex_);
        injected_.emplace(at, std::move(packet));
    }
    bool In(uint8_t endpoint, size_t maxLength, std::vector<uint8_t>* packet) override {
        {
            std::lock_guard guard(mutex_);
            auto first = injected_.begin();
            if (first != injected_.end() && first->first <= host::Now()) {
                *packet = std::move(first->second);
                injected_.erase(first);
                return true;
            }
        }
        return Pmc7rUnit::In(endpoint, maxLength, packet);
    }
    int64_t NextEvent() override {
        int64_t next = Pmc7rUnit::NextEvent();
        std::lock_guard guard(mutex_);
        if (injected_.empty()) return next;
        int64_t at = std::max(injected_.begin()->first, host::Now());
        return next < 0 ? at : std::min(next, at);
    }

private:
    std::mutex mutex_;
    std::multimap<int64_t, std::vector<uint8_t>> injected_;
};

struct Action {
    uint8_t what = 0;
    uint8_t arg = 0;
};

struct Event {
    int64_t at = 0;
    uint8_t kind = 0;
    std::vector<uint8_t> bytes;
    Action action;
};

// The host action that starts the traffic's clock.
constexpr uint8_t kTrafficMark = 0xFF;

constexpr uint16_t kPackets[] = {64, 64, 64, 64, 8, 16, 63, 65};
const char* const kFirmware[] = {"2.24", "2.30", "2.10", "9.99"};

void Act(const Action& a, fuzz::Machine& machine, sim::Application& app, sim::PnpNode* node, uint8_t id) {
    sim::MidiClient& client = machine.Client();
    switch (a.what % 9) {
    case 0: fuzz::Note("client open-all: 0x%08X", unsigned(client.OpenAll())); break;
    case 1: fuzz::Note("client close-all: 0x%08X", unsigned(client.CloseAll())); break;
    case 2: fuzz::Note("client write: 0x%08X", unsigned(client.Write(id, std::vector<uint8_t>(a.arg % 70 + 1, 0x40)))); break;
    case 3: fuzz::Note("client write-master: 0x%08X", unsigned(client.WriteMaster({0x90, 0x3C, uint8_t(a.arg & 0x7F)}))); break;
    case 4: client.SetCapacity(a.arg % 40 + 1); break;
    case 5:
        if (!app.IsOpen()) app.Open(node->pdo);
        if (!app.ReadPending()) app.StartRead(a.arg % 130 + 1);
        break;
    case 6:
        if (app.ReadDone()) {
            sim::Application::ReadResult r = app.Wait();
            fuzz::Note("file read: 0x%08X, %zu bytes", unsigned(r.status), r.bytes.size());
        }
        break;
    case 7: {
        if (!app.IsOpen()) app.Open(node->pdo);
        ULONG_PTR written = 0;
        NTSTATUS status = app.Write(std::vector<uint8_t>(a.arg % 70 + 1, 0x41), &written);
        fuzz::Note("file write: 0x%08X, %lu bytes", unsigned(status), (unsigned long)written);
        break;
    }
    case 8: app.Close(); break;
    }
}

// A packet joins the IN pipe now; a send goes through the firmware's own stream.
void Perform(Event& e, fuzz::Machine& machine, ScriptedUnit& unit, sim::Application& app, sim::PnpNode* node,
             uint8_t id) {
    if (e.kind < 6) {
        unit.Inject(host::Now(), std::move(e.bytes));
        unit.Kick();
    } else if (e.kind == 6) {
        unit.Send(e.bytes);
    } else {
        Act(e.action, machine, app, node, id);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Bytes in(data, size);
    bool inTraffic = false;
    uint8_t flags = in.U8(), shape = in.U8();
    sim::UnitOptions options;
    options.silent = flags & 1;
    options.reportsAhead = flags & 2;
    options.deviceId = flags >> 2 & 7;
    options.firmware = kFirmware[flags >> 5 & 3];
    options.packet = kPackets[shape & 7];
    options.replyShape = sim::ReplyShape((shape >> 3) & 3);
    options.replyDelayMs = (shape >> 5) * 7;

    fuzz::Machine machine;
    auto unit = std::make_shared<ScriptedUnit>(options);
    // Events before the first traffic mark are on the bring-up's clock (from the plug): their
    // packets are scheduled in advance, their sends and actions wait for the start to end.
    // Events after it are on the clock of the traffic that follows the start.
    std::vector<Event> bringUp, traffic;
    int64_t at = 0;
    while (!in.Empty() && bringUp.size() + traffic.size() < 200) {
        uint8_t head = in.U8();
        Event e;
        e.kind = head >> 5;
        switch (e.kind) {
        case 0: e.bytes = in.Take(in.U8()); break;
        case 1:
            e.bytes = in.Take(in.U8() % (options.packet + 1));
            e.bytes.resize(options.packet, 0xFF);
            break;
        case 2:
            e.bytes = {0xFE, 0x01, in.U8()};
            e.bytes.resize(options.packet, 0xFF);
            break;
        case 3: break;
        case 4: e.bytes.assign(options.packet + 1 + in.U8(), in.U8()); break;
        case 5: e.bytes.assign(options.packet, 0xFF); break;
        case 6: e.bytes = in.Take(in.U8() % 64 + 1); break;
        case 7:
            e.action.what = in.U8();
            e.action.arg = in.U8();
            break;
        }
        if (e.kind == 7 && e.action.what == kTrafficMark && traffic.empty() && !inTraffic) {
            inTraffic = true;
            at = 0;
            continue;
        }
        at += host::Ms(head & 0x1F);
        e.at = at;
        (inTraffic ? traffic : bringUp).push_back(std::move(e));
    }
    for (Event& e : bringUp)
        if (e.kind < 6) unit->Inject(e.at, e.bytes);

    sim::PnpNode* node = machine.Plug(unit);
    if (node && node->Started()) {
        sim::Application app;
        for (Event& e : bringUp)
            if (e.kind >= 6) Perform(e, machine, *unit, app, node, options.deviceId);
        int64_t base = host::Now();
        for (Event& e : traffic) {
            if (base + e.at > host::Now()) host::Advance(base + e.at - host::Now());
            Perform(e, machine, *unit, app, node, options.deviceId);
        }
        host::Advance(host::Ms(20));
        if (app.ReadPending()) {
            app.Cancel();
            sim::Application::ReadResult r = app.Wait();
            fuzz::Note("last file read: 0x%08X, %zu bytes", unsigned(r.status), r.bytes.size());
        }
        for (uint32_t id = 0; id < 8; ++id)
            if (size_t n = machine.Client().Received(id).size()) fuzz::Note("client got %zu bytes tagged %u", n, id);
        app.Close();
        machine.Client().CloseAll();
    }
    machine.Unplug(node);
    return 0;
}
