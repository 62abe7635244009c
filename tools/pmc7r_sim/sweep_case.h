// One run of a scenario as a sweep makes it: with one fault planned (the k-th call of a
// fault site fails), with every request the driver sends forced to pend, or with an event
// (the unit pulled out, removed, restarted; the system put to sleep and woken) injected
// after the k-th request completion. Then the checks that say whether it ended clean: every
// unit left started or with a problem and a failing status, nothing left over, each unit
// plugged in again behaving as after a clean run, and for an event, every expectation that
// does not concern the unit it hit still held.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/host/control.h"
#include "sim/usb_bus.h"
#include "tools/pmc7r_sim/executor.h"
#include "tools/pmc7r_sim/scenario.h"

namespace simtool {

// A platform operation, the pool allocations of one tag, or one of the bus's refusals.
struct FaultSite {
    enum class Kind { Op, Pool, Bus };
    std::string name;  // "irp", "pool-Wdm", "urb-stall", ...
    Kind kind = Kind::Op;
    host::faults::Op op = host::faults::Op::Irp;
    ULONG tag = 0;
    sim::UsbBus::Refusal refusal = sim::UsbBus::Refusal::Stall;
};
// Every operation and refusal; the pool's sites come one a tag, as a run meets them.
std::vector<FaultSite> FixedSites();
FaultSite PoolSite(ULONG tag);
// "pool-Wdm" is the tag 'Wdm ' (trailing blanks left out of the name).
bool SiteNamed(const std::string& name, FaultSite* site);

enum class Event { None, Unplug, Remove, Restart, Sleep };
const char* EventName(Event event);
bool EventNamed(const std::string& name, Event* event);

struct CasePlan {
    std::optional<FaultSite> site;
    uint64_t call = 0;  // the call of the site that fails, from 1
    bool forcePending = false;
    Event event = Event::None;
    std::string unit;    // whom the event hits (not for sleep)
    uint64_t after = 0;  // the event comes after this many request completions
};

// A unit plugged in again after the run: its node, and whether a file handle on it read
// what the unit sent.
struct Replug {
    std::string unit;
    bool started = false;
    uint32_t problem = 0;
    bool reads = false;
    bool operator==(const Replug&) const = default;
};

struct CaseResult {
    bool clean = true;
    std::string why;  // the first thing that was not
    Outcome outcome;
    std::vector<std::pair<std::string, uint64_t>> calls;  // per site, during the scenario
    uint64_t completions = 0;  // request completions at the bus during the scenario
    bool injected = false;     // the event found its unit and happened
    std::vector<Replug> replug;
};

// Runs the case in this process, in a session of its own. With a baseline (the clean run's
// result) the replugged units must behave as they did there.
CaseResult RunCase(const scenario::Scenario& scenario, const CasePlan& plan, const CaseResult* baseline,
                   std::FILE* out);

// The result as lines of text, for a forked child to hand its parent.
std::string EncodeResult(const CaseResult& result);
bool DecodeResult(const std::string& text, CaseResult* result);

// The option of `pmc7r-sim run` that replays the case: --fail SITE:K, --force-pending,
// --inject EVENT[:UNIT]:K.
std::string CaseOption(const CasePlan& plan);
// Parses such an option's argument into the plan; false with a message.
bool ParseFail(const std::string& argument, CasePlan* plan, std::string* error);
bool ParseInject(const std::string& argument, CasePlan* plan, std::string* error);

}  // namespace simtool
