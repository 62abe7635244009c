#include "tools/pmc7r_sim/sweep_case.h"

#include <atomic>
#include <map>
#include <set>
#include <sstream>

#include "sim/text.h"
#include "tools/pmc7r_sim/world.h"

namespace simtool {
namespace {

using host::faults::Op;
using scenario::Command;
using scenario::CommandKind;
using Refusal = sim::UsbBus::Refusal;

// Request completions at the bus's own devices: each request the bus ends, counted once.
std::atomic<uint64_t> completions{0};
std::atomic<PDRIVER_OBJECT> busDriver{nullptr};

void CountCompletion(const host::io::TraceEvent& e) {
    if (e.completion && e.device && e.device->DriverObject == busDriver.load()) ++completions;
}

const uint8_t kProbe[] = {0x90, 0x3C, 0x7F};

// The driver's longest bounded waits are seconds; a run that goes on for minutes of virtual
// time past the scenario's own waits polls for something that never comes.
constexpr int64_t kSpareTime = host::Ms(10 * 60 * 1000);

int64_t TimeLimit(const scenario::Scenario& s) {
    int64_t waits = 0;
    for (const Command& c : s.commands)
        if (c.kind == CommandKind::Wait) waits += c.duration;
    return waits + kSpareTime;
}

std::string TagName(ULONG tag) { return sim::TrimTrailingBlanks(host::pool::TagText(tag)); }

// What an injected event hits, and which failures after it are its consequence.
class Injector : public ExecuteHooks {
public:
    Injector(World& world, const scenario::Scenario& s, const CasePlan& plan) : world_(world), plan_(plan) {
        for (const Command& c : s.commands)
            if (c.kind == CommandKind::Plug && c.name == plan.unit) id_ = UnitId(c.plug), master_ = id_ == 0;
        // The outcome of a unit that wants the same ID depends on whether the hit one holds it.
        for (const Command& c : s.commands)
            if (c.kind == CommandKind::Plug && c.name != plan.unit && UnitId(c.plug) == id_) rivals_.insert(c.name);
    }

    void Wait(int64_t duration) override {
        int64_t end = host::Now() + duration;
        while (Pending() && host::Now() < end) {
            if (!host::WaitUntil([this] { return completions.load() >= plan_.after; }, end - host::Now(), "a sweep point"))
                break;
            if (!Awake()) break;  // the event comes with the wake
            Inject();
        }
        if (host::Now() < end) host::Advance(end - host::Now());
    }

    void AfterCommand(const Command& c) override {
        if (c.kind == CommandKind::Open && c.name == plan_.unit) handles_.insert(c.handle);
        if (Pending() && completions.load() >= plan_.after && Awake()) Inject();
    }

    bool Excused(const Command& c) override {
        if (!done_) return false;
        // The wake powers every unit up, and one nobody has open stays in D0 until its next
        // close: its power state is the sleep's consequence.
        if (plan_.event == Event::Sleep) return c.kind == CommandKind::ExpectPower;
        if (c.name == plan_.unit || handles_.count(c.handle)) return true;
        if (rivals_.count(c.name) && IsOutcome(c.kind)) return true;
        if (c.kind == CommandKind::ExpectList) return true;
        if (c.kind == CommandKind::ExpectClient && c.number == id_) return true;
        if (!master_) return false;
        // Without the master the client is gone, and what it would have written with it.
        switch (c.kind) {
        case CommandKind::ClientOpenAll:
        case CommandKind::ClientCloseAll:
        case CommandKind::ClientList:
        case CommandKind::ClientWrite:
        case CommandKind::ClientWriteMaster:
        case CommandKind::ClientCapacity:
        case CommandKind::ExpectClient:
        case CommandKind::ExpectChild:
        case CommandKind::ExpectNoChild:
        case CommandKind::ExpectUnitReceived:
        case CommandKind::ExpectUnitLost:
        case CommandKind::ExpectPower: return true;  // the client's opens end with it
        default: return false;
        }
    }

    // A run that ends before the point (or asleep) still gets its event, at the end.
    void Finish() {
        if (!Pending()) return;
        if (!Awake()) world_.SetSystem(false), world_.Settle();
        Inject();
    }

    bool Injected() const { return injected_; }

private:
    bool Pending() const { return plan_.event != Event::None && !done_; }
    // While the system sleeps nothing runs: Windows holds Plug and Play's work until the
    // wake, and a unit pulled out meanwhile is found gone then.
    static bool Awake() { return host::power::CurrentSystemState() == PowerSystemWorking; }
    // Firmware before 2.24 cannot tell its ID and counts as ID 0.
    static uint32_t UnitId(const scenario::PlugOptions& plug) { return plug.version < 224 ? 0 : plug.deviceId; }
    static bool IsOutcome(CommandKind kind) {
        return kind == CommandKind::ExpectDisplay || kind == CommandKind::ExpectStarted ||
               kind == CommandKind::ExpectProblem || kind == CommandKind::ExpectChild ||
               kind == CommandKind::ExpectNoChild;
    }

    void Inject() {
        done_ = true;
        if (plan_.event == Event::Sleep) {
            world_.SetSystem(true);
            world_.Settle();
            world_.SetSystem(false);
            world_.Settle();
            injected_ = true;
            return;
        }
        if (!world_.Unit(plan_.unit)) return;  // not plugged at this point
        injected_ = true;
        if (plan_.event == Event::Unplug) world_.Unplug(plan_.unit);
        if (plan_.event == Event::Remove) world_.Remove(plan_.unit);
        if (plan_.event == Event::Restart) world_.Restart(plan_.unit, false);
        world_.Settle();
    }

    World& world_;
    const CasePlan& plan_;
    bool master_ = false;
    uint32_t id_ = 0;
    bool done_ = false;
    bool injected_ = false;
    std::set<std::string> handles_;
    std::set<std::string> rivals_;
};

void PlanFault(const CasePlan& plan, World* world) {
    if (!plan.site) return;
    uint64_t k = plan.call;
    auto nth = [k](uint64_t call) { return call == k; };
    switch (plan.site->kind) {
    case FaultSite::Kind::Op: host::faults::Plan(plan.site->op, nth); break;
    case FaultSite::Kind::Pool: host::faults::PlanPool(plan.site->tag, nth); break;
    case FaultSite::Kind::Bus:
        if (world) world->Bus().PlanRefusals(plan.site->refusal, nth);
        break;
    }
}

std::vector<std::pair<std::string, uint64_t>> CountCalls(World& world) {
    std::vector<std::pair<std::string, uint64_t>> calls;
    for (const FaultSite& site : FixedSites()) {
        if (site.kind == FaultSite::Kind::Op) calls.emplace_back(site.name, host::faults::Calls(site.op));
        if (site.kind == FaultSite::Kind::Bus) calls.emplace_back(site.name, world.Bus().RefusalCalls(site.refusal));
    }
    for (const host::faults::TagCalls& t : host::faults::PoolCalls()) calls.emplace_back(PoolSite(t.tag).name, t.calls);
    return calls;
}

// Every unit still plugged is started, or its node has a problem and a failing status.
std::string CheckLeft(World& world) {
    for (const UnitEntry* unit : world.Units()) {
        if (unit->node->Started()) continue;
        uint32_t problem = uint32_t(unit->node->problem.load());
        if (problem == 0) return "unit " + unit->name + " is neither started nor has a problem";
        if (NT_SUCCESS(unit->node->problemStatus))
            return "unit " + unit->name + " has problem " + std::to_string(problem) + " with a status of success";
    }
    return "";
}

// Each unit the scenario plugged, pulled out if it is still in and plugged in again, in the
// scenario's order; then a file handle on each reads what it sends.
std::vector<Replug> ReplugAll(World& world, const scenario::Scenario& s) {
    std::vector<std::pair<std::string, scenario::PlugOptions>> units;
    for (const Command& c : s.commands) {
        if (c.kind != CommandKind::Plug) continue;
        bool known = false;
        for (auto& u : units)
            if (u.first == c.name) u.second = c.plug, known = true;
        if (!known) units.emplace_back(c.name, c.plug);
    }
    if (host::power::CurrentSystemState() != PowerSystemWorking) world.SetSystem(false);
    world.Settle();
    for (const auto& u : units) {
        if (world.Unit(u.first)) world.Unplug(u.first);
        world.Settle();
    }
    for (const auto& u : units) {
        world.Plug(u.first, u.second);
        world.Settle();
    }
    std::vector<Replug> out;
    for (const auto& u : units) {
        Replug r{u.first};
        UnitEntry* unit = world.Unit(u.first);
        if (!unit) continue;
        r.started = unit->node->Started();
        r.problem = uint32_t(unit->node->problem.load());
        std::string handle = "sweep-probe-" + u.first;
        if (r.started) {
            world.Open(u.first, handle);
            if (world.HasHandle(handle)) {
                world.UnitSends(u.first, std::vector<uint8_t>(std::begin(kProbe), std::end(kProbe)));
                world.Read(handle, sizeof kProbe);
                std::optional<World::ReadRecord> read = world.LastRead(handle);
                r.reads = read && read->bytes == std::vector<uint8_t>(std::begin(kProbe), std::end(kProbe));
                world.Close(handle);
            }
        }
        out.push_back(r);
    }
    return out;
}

std::string ReplugText(const std::vector<Replug>& replug) {
    std::string text;
    for (const Replug& r : replug)
        text += (text.empty() ? "" : ", ") + r.unit + (r.started ? " started" : " problem " + std::to_string(r.problem)) +
                (r.started ? (r.reads ? " and reads" : " but does not read") : "");
    return text.empty() ? "no units" : text;
}

}  // namespace

std::vector<FaultSite> FixedSites() {
    auto op = [](const char* name, Op o) {
        FaultSite s;
        s.name = name;
        s.kind = FaultSite::Kind::Op;
        s.op = o;
        return s;
    };
    auto bus = [](const char* name, Refusal r) {
        FaultSite s;
        s.name = name;
        s.kind = FaultSite::Kind::Bus;
        s.refusal = r;
        return s;
    };
    return {op("irp", Op::Irp),           op("device", Op::Device),   op("interface", Op::Interface),
            op("thread", Op::Thread),     op("openkey", Op::OpenKey), op("attach", Op::Attach),
            op("power", Op::PowerIrp),    bus("urb-stall", Refusal::Stall), bus("urb-error", Refusal::BusError),
            bus("transfer-hang", Refusal::Hang)};
}

FaultSite PoolSite(ULONG tag) {
    FaultSite s;
    s.name = "pool-" + TagName(tag);
    s.kind = FaultSite::Kind::Pool;
    s.tag = tag;
    return s;
}

bool SiteNamed(const std::string& name, FaultSite* site) {
    for (const FaultSite& s : FixedSites())
        if (s.name == name) return *site = s, true;
    if (!name.starts_with("pool-") || name.size() < 6 || name.size() > 9) return false;
    std::string text = name.substr(5);
    text.resize(4, ' ');
    ULONG tag = 0;
    for (char c : text) tag = tag << 8 | uint8_t(c);
    *site = PoolSite(tag);
    return true;
}

const char* EventName(Event event) {
    switch (event) {
    case Event::Unplug: return "unplug";
    case Event::Remove: return "remove";
    case Event::Restart: return "restart";
    case Event::Sleep: return "sleep";
    default: return "none";
    }
}

bool EventNamed(const std::string& name, Event* event) {
    for (Event e : {Event::Unplug, Event::Remove, Event::Restart, Event::Sleep})
        if (name == EventName(e)) return *event = e, true;
    return false;
}

CaseResult RunCase(const scenario::Scenario& s, const CasePlan& plan, const CaseResult* baseline, std::FILE* out) {
    CaseResult r;
    std::string leaks;
    {
        host::Session session("pmc7r-sim sweep");
        host::SetTimeLimit(TimeLimit(s));
        completions = 0;
        busDriver = nullptr;
        host::io::SetTracer(CountCompletion);
        PlanFault(plan, nullptr);
        {
            World world;
            busDriver = world.Bus().Driver();
            PlanFault(plan, &world);
            if (plan.forcePending) world.OnPlug([](PDEVICE_OBJECT pdo) { host::faults::ForcePending(pdo, true); });
            Injector injector(world, s, plan);
            ExecuteOptions options{out, false, true, &injector};
            r.outcome = Execute(s, world, options);
            injector.Finish();
            r.injected = injector.Injected();
            r.calls = CountCalls(world);
            r.completions = completions.load();
            // What follows checks the run's end; no fault of the run's plan reaches it.
            host::faults::Clear();
            for (Refusal kind : {Refusal::Stall, Refusal::BusError, Refusal::Hang}) world.Bus().PlanRefusals(kind, nullptr);
            world.OnPlug(nullptr);
            std::string left = CheckLeft(world);
            if (!left.empty()) r.clean = false, r.why = left;
            r.replug = ReplugAll(world, s);
            world.TearDown();
        }
        host::io::SetTracer(nullptr);
        leaks = session.Finish();
    }
    if (r.clean && !leaks.empty()) r.clean = false, r.why = "the run left something behind: " + leaks;
    if (r.clean && r.outcome.code == 2) r.clean = false, r.why = r.outcome.message;
    if (r.clean && plan.event != Event::None && r.outcome.failures)
        r.clean = false, r.why = "an expectation the event does not excuse failed: " + r.outcome.firstFailure;
    if (r.clean && baseline && r.replug != baseline->replug)
        r.clean = false,
        r.why = "plugged in again: " + ReplugText(r.replug) + "; after a clean run: " + ReplugText(baseline->replug);
    return r;
}

std::string EncodeResult(const CaseResult& r) {
    std::ostringstream o;
    o << "clean " << r.clean << "\n";
    o << "completions " << r.completions << "\n";
    o << "injected " << r.injected << "\n";
    o << "failures " << r.outcome.failures << " " << r.outcome.excused << "\n";
    for (const auto& [site, n] : r.calls) o << "calls " << site << " " << n << "\n";
    for (const Replug& p : r.replug) o << "replug " << p.unit << " " << p.started << " " << p.problem << " " << p.reads << "\n";
    std::string why = r.why;
    for (char& c : why)
        if (c == '\n') c = ' ';
    o << "why " << why << "\n";
    return o.str();
}

bool DecodeResult(const std::string& text, CaseResult* r) {
    std::istringstream in(text);
    std::string line;
    bool seen = false;
    while (std::getline(in, line)) {
        std::istringstream l(line);
        std::string key;
        l >> key;
        if (key == "clean") l >> r->clean, seen = true;
        if (key == "completions") l >> r->completions;
        if (key == "injected") l >> r->injected;
        if (key == "failures") l >> r->outcome.failures >> r->outcome.excused;
        if (key == "calls") {
            std::string site;
            uint64_t n = 0;
            l >> site >> n;
            r->calls.emplace_back(site, n);
        }
        if (key == "replug") {
            Replug p;
            l >> p.unit >> p.started >> p.problem >> p.reads;
            r->replug.push_back(p);
        }
        if (key == "why") r->why = line.size() > 4 ? line.substr(4) : "";
    }
    return seen;
}

std::string CaseOption(const CasePlan& plan) {
    if (plan.site) return "--fail " + plan.site->name + ":" + std::to_string(plan.call);
    if (plan.forcePending) return "--force-pending";
    if (plan.event == Event::None) return "";
    std::string text = std::string("--inject ") + EventName(plan.event);
    if (plan.event != Event::Sleep) text += ":" + plan.unit;
    return text + ":" + std::to_string(plan.after);
}

namespace {
bool Number(const std::string& text, uint64_t* n) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *n = std::stoull(text);
    return *n > 0;
}
}  // namespace

bool ParseFail(const std::string& argument, CasePlan* plan, std::string* error) {
    size_t colon = argument.rfind(':');
    FaultSite site;
    uint64_t k = 0;
    if (colon == std::string::npos || !SiteNamed(argument.substr(0, colon), &site) ||
        !Number(argument.substr(colon + 1), &k)) {
        *error = "--fail wants SITE:K (a site such as irp, pool-Wdm or urb-stall, and a call from 1), not '" +
                 argument + "'";
        return false;
    }
    plan->site = site;
    plan->call = k;
    return true;
}

bool ParseInject(const std::string& argument, CasePlan* plan, std::string* error) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(argument);
    while (std::getline(in, part, ':')) parts.push_back(part);
    Event event = Event::None;
    bool ok = !parts.empty() && EventNamed(parts[0], &event) && parts.size() == (event == Event::Sleep ? 2u : 3u) &&
              Number(parts.back(), &plan->after);
    if (!ok) {
        *error = "--inject wants unplug:NAME:K, remove:NAME:K, restart:NAME:K or sleep:K, not '" + argument + "'";
        return false;
    }
    plan->event = event;
    if (event != Event::Sleep) plan->unit = parts[1];
    return true;
}

}  // namespace simtool
