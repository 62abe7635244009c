// Life-cycle times on the virtual clock: arrival until the display shows the outcome, for one
// unit and for eight at once; removal of a pulled-out unit; a restart; sleep until every unit
// is in D3; wake until input flows again.
#include <atomic>
#include <memory>

#include "platform/host/control.h"
#include "tools/pmc7r_sim/bench_rig.h"
#include "tools/pmc7r_sim/bench_workloads.h"

namespace simtool::bench {
namespace {

constexpr int kUnits = 8;
const std::string kGroup = "life cycle";

BenchRow Timed(const std::string& name, double limitMs, int64_t span, bool ok, const std::string& note = "") {
    BenchRow row = Row(kGroup, name, "ms", {Bound::Kind::AtMost, limitMs});
    row.produced = span >= 0;
    row.value = span >= 0 ? double(span) / kMs : 0;
    row.broken = !ok;
    row.note = note;
    return row;
}

// The outcome is on the display once its first line is drawn after the arrival began.
int64_t OutcomeSpan(RigUnit& unit, int64_t from) {
    int64_t at = unit.model->DisplayChangedAt();
    return at < from || unit.model->DisplayLine(0).find_first_not_of(' ') == std::string::npos ? -1 : at - from;
}

void PlugOne(std::vector<BenchRow>* rows) {
    host::Session session("bench plug");
    int64_t span = -1;
    {
        Rig rig;
        if (rig.Loaded()) {
            RigUnit& unit = rig.Attach(0);
            int64_t t0 = host::Now();
            rig.Arrive(unit);
            span = OutcomeSpan(unit, t0);
        }
    }
    bool clean = session.Finish().empty();
    rows->push_back(Timed("plug -> outcome on the display, one unit", 1000, span, clean,
                          clean ? "" : "the run left something behind"));
}

void Together(std::vector<BenchRow>* rows) {
    host::Session session("bench together");
    int64_t plug = -1, unplug = -1, restart = -1, sleep = -1, wake = -1;
    bool allD3 = false, restarted = false;
    std::string wakeNote;
    {
        Rig rig;
        if (rig.Loaded()) {
            std::vector<RigUnit*> units;
            for (uint8_t id = 0; id < kUnits; ++id) units.push_back(&rig.Attach(id));
            int64_t t0 = host::Now();
            {
                std::vector<std::unique_ptr<host::Thread>> arrivals;
                for (RigUnit* u : units)
                    arrivals.push_back(std::make_unique<host::Thread>("bench arrival", [&rig, u] { rig.Arrive(*u); }));
            }
            plug = 0;
            for (RigUnit* u : units) {
                int64_t span = OutcomeSpan(*u, t0);
                plug = span < 0 || plug < 0 ? -1 : std::max(plug, span);
            }
            rig.OpenAll();

            // A slave is pulled out while the client reads.
            RigUnit& gone = *units.back();
            t0 = host::Now();
            if (!rig.Pnp().Unplug(gone.node)) rig.Pnp().WaitRemoved(gone.node, host::Ms(5000));
            unplug = host::Now() - t0;

            RigUnit& again = *units[kUnits - 2];
            t0 = host::Now();
            restarted = NT_SUCCESS(rig.Pnp().Restart(again.node));
            restart = host::Now() - t0;
            host::Advance(host::Ms(20));
            rig.Client().TakeTimedReads();

            std::vector<PDEVICE_OBJECT> stacks = rig.Stacks();
            t0 = host::Now();
            NTSTATUS slept = host::power::SetSystemState(PowerSystemSleeping3, stacks);
            sleep = host::Now() - t0;
            allD3 = NT_SUCCESS(slept);
            for (size_t i = 0; i + 1 < units.size(); ++i) allD3 = allD3 && rig.Bus().PowerState(units[i]->pdo) == PowerDeviceD3;
            host::Advance(host::Ms(500));

            // From the wake on, every unit present sends a message each millisecond.
            std::atomic<bool> stop{false};
            t0 = host::Now();
            {
                std::vector<std::unique_ptr<host::Thread>> feeders;
                for (size_t i = 0; i + 1 < units.size(); ++i) {
                    RigUnit* u = units[i];
                    feeders.push_back(std::make_unique<host::Thread>("bench feeder", [u, &stop] {
                        for (int k = 0; k < 2000 && !stop; ++k) {
                            u->model->Send({0xB0, 0x07, uint8_t(k & 0x7F)});
                            host::Advance(host::Ms(1));
                        }
                    }));
                }
                NTSTATUS woke = host::power::SetSystemState(PowerSystemWorking, stacks);
                // Flowing again: every unit present has reached the client.
                std::vector<int64_t> first(8, -1);
                auto flowing = [&] {
                    for (const sim::TimedRead& r : rig.Client().TakeTimedReads())
                        if (first[r.id & 7] < 0) first[r.id & 7] = r.time;
                    for (size_t i = 0; i + 1 < units.size(); ++i)
                        if (first[units[i]->id] < 0) return false;
                    return true;
                };
                bool flowed = host::WaitUntil(flowing, host::Ms(1000), "input after the wake");
                stop = true;
                if (flowed && NT_SUCCESS(woke)) {
                    wake = 0;
                    for (size_t i = 0; i + 1 < units.size(); ++i) wake = std::max(wake, first[units[i]->id] - t0);
                } else {
                    wakeNote = NT_SUCCESS(woke) ? "no input within 1 s" : "the wake failed";
                }
            }
        }
    }
    bool clean = session.Finish().empty();
    std::string left = clean ? "" : "the run left something behind";
    rows->push_back(Timed("plug -> outcome on the display, eight together (last)", 2000, plug, clean, left));
    rows->push_back(Timed("unplug -> node removed", 100, unplug, clean, left));
    rows->push_back(Timed("restart -> the unit started again", 1000, restart, clean && restarted,
                          restarted ? left : "the restart failed"));
    rows->push_back(Timed("sleep -> every unit in D3", 1000, sleep, clean && allD3, allD3 ? left : "not every unit reached D3"));
    rows->push_back(Timed("wake -> input flowing again (every unit)", 100, wake, clean && wakeNote.empty(),
                          wakeNote.empty() ? left : wakeNote));
}

}  // namespace

void LifeCycle(const Sizes& sizes, std::vector<BenchRow>* rows) {
    (void)sizes;
    PlugOne(rows);
    Together(rows);
}

}  // namespace simtool::bench
