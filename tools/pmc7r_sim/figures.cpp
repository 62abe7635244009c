#include "tools/pmc7r_sim/figures.h"

#include <algorithm>
#include <string>
#include <vector>

#include "platform/host/control.h"
#include "tools/pmc7r_sim/world.h"

namespace simtool {
namespace {

constexpr size_t kFlood = 3000;
constexpr double kWireRate = 3125.0;  // bytes a second: 31250 baud, 10 bits a byte
constexpr double kLeastShare = 0.95;
constexpr int64_t kIdleBound = 2 * 10000 + 10000;  // the pump's 2 ms and one frame

struct UnitFigures {
    size_t expected = kFlood, sent = 0, lost = 0;
    double rate = 0;  // bytes a second on the unit's wire, first byte to last
};

UnitFigures Measure(UnitEntry& unit, size_t expected) {
    UnitFigures f;
    f.expected = expected;
    sim::WireSpan wire = unit.model->Wire();
    f.sent = unit.model->MidiOut().size();
    f.lost = unit.model->OverflowBytes();
    if (wire.bytes > 1 && wire.lastEnd > wire.firstStart)
        f.rate = double(wire.bytes) * 1e7 / double(wire.lastEnd - wire.firstStart);
    return f;
}

bool Holds(const UnitFigures& f) { return f.lost == 0 && f.sent == f.expected && f.rate >= kLeastShare * kWireRate; }

void Print(std::FILE* out, const char* what, const UnitFigures& f) {
    if (!out) return;
    std::fprintf(out, "  %-44s lost %zu, out %zu/%zu bytes, %.0f bytes/s (%.1f%% of the wire)%s\n", what, f.lost,
                 f.sent, f.expected, f.rate, 100.0 * f.rate / kWireRate, Holds(f) ? "" : "  <- does not hold");
}

// Units named u0.., IDs 0.., each flooding the host while the client writes to each in turn.
std::vector<UnitFigures> Flood(int units, bool reportsAhead, size_t outBytes, int64_t* idleLatency) {
    World world;
    std::vector<UnitFigures> figures;
    std::vector<uint8_t> in = scenario::PatternBytes(kFlood), out = scenario::PatternBytes(uint32_t(outBytes));
    for (int i = 0; i < units; ++i) {
        scenario::PlugOptions plug;
        plug.deviceId = uint32_t(i);
        plug.reportsAhead = reportsAhead;
        world.Plug("u" + std::to_string(i), plug);
    }
    world.ClientOpenAll();
    for (int i = 0; i < units; ++i) world.UnitSends("u" + std::to_string(i), in);
    for (int i = 0; i < units; ++i) world.ClientWrite(uint32_t(i), out);
    host::Advance(host::Ms(3000 + int64_t(outBytes / 3)));
    for (int i = 0; i < units; ++i) figures.push_back(Measure(*world.Unit("u" + std::to_string(i)), outBytes));
    if (idleLatency) {
        // The wire has long been idle: a control change goes straight out.
        UnitEntry& unit = *world.Unit("u0");
        int64_t queued = host::Now();
        world.ClientWrite(0, {0xB0, 0x07, 0x64});
        host::WaitUntil([&] { return unit.model->Wire().lastArrival >= queued; }, host::Ms(100));
        int64_t arrival = unit.model->Wire().lastArrival;
        *idleLatency = arrival >= queued ? arrival - queued : -1;
    }
    world.TearDown();
    return figures;
}

}  // namespace

int RunFigures(std::FILE* out) {
    bool holds = true;
    int64_t latency = -1;
    if (out)
        std::fprintf(out, "figures: floods both ways, %zu bytes in and %zu out per unit; the wire takes %.0f bytes/s\n",
                     kFlood, kFlood, kWireRate);
    struct Run {
        const char* what;
        int units;
        bool ahead;
        size_t out;
    };
    // The long flood shows the pace the writer keeps once the unit's buffer has played out
    // the first burst: 327 us a byte.
    for (const Run& run : {Run{"one unit, reports behind its input:", 1, false, kFlood},
                           Run{"one unit, reports ahead of its input:", 1, true, kFlood},
                           Run{"one unit, 20000 bytes out:", 1, false, 20000},
                           Run{"eight units, the client writing in turn:", 8, false, kFlood}}) {
        host::Session session("pmc7r-sim figures");
        bool timed = run.units == 1 && !run.ahead && run.out == kFlood;
        std::vector<UnitFigures> figures = Flood(run.units, run.ahead, run.out, timed ? &latency : nullptr);
        std::string leaks = session.Finish();
        if (!leaks.empty()) {
            if (out) std::fprintf(out, "  the run left something behind:\n%s\n", leaks.c_str());
            holds = false;
        }
        UnitFigures total;
        total.rate = figures.empty() ? 0 : figures.front().rate;
        for (const UnitFigures& f : figures) {
            holds = holds && Holds(f);
            total.lost += f.lost;
        }
        if (run.units == 1) {
            Print(out, run.what, figures.at(0));
        } else {
            if (out) std::fprintf(out, "  %s\n", run.what);
            for (size_t i = 0; i < figures.size(); ++i) Print(out, ("    u" + std::to_string(i)).c_str(), figures[i]);
        }
    }
    bool quick = latency >= 0 && latency <= kIdleBound;
    holds = holds && quick;
    if (out) {
        std::fprintf(out, "  a small message on an idle wire: out after %.1f ms (bound 2 ms + 1 frame = 3 ms)%s\n",
                     double(latency) / 10000.0, quick ? "" : "  <- does not hold");
        std::fprintf(out, "figures: %s\n", holds ? "every figure holds" : "NOT every figure holds");
    }
    return holds ? 0 : 1;
}

}  // namespace simtool
