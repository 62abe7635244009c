#include "tools/pmc7r_sim/sweep.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "tools/pmc7r_sim/scenario_parser.h"
#include "tools/pmc7r_sim/sweep_case.h"

namespace simtool {
namespace {

constexpr int kCaseSeconds = 60;  // a child that runs longer has hung past the platform's watchdog

struct Options {
    std::string mode;  // faults, unplug, remove, restart, sleep
    std::vector<std::string> files;
    std::string unit;  // removal sweeps: empty for every unit each file plugs
    unsigned jobs = 1;
    uint64_t limit = 0;  // at most this many calls (points) per site (unit), spread evenly; 0: all
};

struct Verdict {
    bool clean = false;
    std::string why;
    CaseResult result;
};

// What a child's standard error says went wrong: a sanitizer's report or the platform's.
std::string ReportIn(const std::string& text) {
    for (const char* marker : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                               "runtime error:", "verifier:", "deadlock", "watchdog"}) {
        size_t at = text.find(marker);
        if (at == std::string::npos) continue;
        size_t begin = text.rfind('\n', at);
        begin = begin == std::string::npos ? 0 : begin + 1;
        size_t end = text.find('\n', at);
        return text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    }
    return "";
}

std::string FirstLine(const std::string& text) {
    size_t start = text.find_first_not_of("\n ");
    if (start == std::string::npos) return "";
    return text.substr(start, text.find('\n', start) - start);
}

std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(n));
    return text;
}

struct Child {
    pid_t pid = -1;
    int result = -1;  // the pipe the child writes its result to
    int error = -1;   // its standard error, a file
    size_t index = 0;
    std::chrono::steady_clock::time_point started;
};

Child Spawn(const scenario::Scenario& s, const CasePlan& plan, const CaseResult* baseline, size_t index) {
    Child child;
    child.index = index;
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return child;
    char path[] = "/tmp/pmc7r-sweep-XXXXXX";
    int error = mkstemp(path);
    if (error < 0) return child;
    unlink(path);
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(pipeFds[0]);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(error, 2);
        CaseResult r = RunCase(s, plan, baseline, nullptr);
        std::string text = EncodeResult(r);
        for (size_t at = 0; at < text.size();) {
            ssize_t n = write(pipeFds[1], text.data() + at, text.size() - at);
            if (n <= 0) break;
            at += size_t(n);
        }
        close(pipeFds[1]);
        std::fflush(nullptr);
        std::exit(0);  // at-exit checks of the sanitizers run
    }
    close(pipeFds[1]);
    child.pid = pid;
    child.result = pipeFds[0];
    child.error = error;
    child.started = std::chrono::steady_clock::now();
    return child;
}

// The child's verdict once it has ended (status from waitpid).
Verdict Collect(Child& child, int status) {
    Verdict v;
    std::string text = ReadAll(child.result);
    close(child.result);
    lseek(child.error, 0, SEEK_SET);
    std::string errors = ReadAll(child.error);
    close(child.error);
    bool decoded = DecodeResult(text, &v.result);
    std::string report = ReportIn(errors);
    if (WIFSIGNALED(status)) {
        v.why = std::string("killed by signal ") + strsignal(WTERMSIG(status));
    } else if (WEXITSTATUS(status) != 0) {
        v.why = "exit status " + std::to_string(WEXITSTATUS(status));
    } else if (!decoded) {
        v.why = "no result";
    } else if (!report.empty()) {
        v.why = report;
    } else if (!v.result.clean) {
        v.why = v.result.why;
    } else {
        v.clean = true;
    }
    if (!v.clean && (WIFSIGNALED(status) || WEXITSTATUS(status) != 0)) {
        std::string what = report.empty() ? FirstLine(errors) : report;
        if (!what.empty()) v.why += ": " + what;
    }
    return v;
}

// Runs the plans, `jobs` children at a time; the verdicts in the plans' order.
std::vector<Verdict> RunAll(const scenario::Scenario& s, const std::vector<CasePlan>& plans, const CaseResult* baseline,
                            unsigned jobs) {
    std::vector<Verdict> verdicts(plans.size());
    std::vector<Child> running;
    size_t next = 0;
    while (next < plans.size() || !running.empty()) {
        while (next < plans.size() && running.size() < jobs) {
            Child c = Spawn(s, plans[next], baseline, next);
            if (c.pid < 0) {
                verdicts[next].why = "could not fork";
            } else {
                running.push_back(c);
            }
            ++next;
        }
        bool ended = false;
        for (size_t i = 0; i < running.size(); ++i) {
            int status = 0;
            pid_t done = waitpid(running[i].pid, &status, WNOHANG);
            if (done == 0 && std::chrono::steady_clock::now() - running[i].started > std::chrono::seconds(kCaseSeconds)) {
                kill(running[i].pid, SIGKILL);
                done = waitpid(running[i].pid, &status, 0);
            }
            if (done != running[i].pid) continue;
            verdicts[running[i].index] = Collect(running[i], status);
            running.erase(running.begin() + long(i));
            ended = true;
            break;
        }
        if (!ended && !running.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return verdicts;
}

// 1..n, or `limit` of them spread evenly from the first to the last.
std::vector<uint64_t> Indexes(uint64_t n, uint64_t limit) {
    std::vector<uint64_t> out;
    if (limit == 0 || n <= limit) {
        for (uint64_t k = 1; k <= n; ++k) out.push_back(k);
        return out;
    }
    for (uint64_t i = 0; i < limit; ++i) out.push_back(limit == 1 ? 1 : 1 + i * (n - 1) / (limit - 1));
    return out;
}

std::string Replay(const std::string& file, const CasePlan& plan) {
    return "pmc7r-sim run " + file + " " + CaseOption(plan);
}

struct Tally {
    uint64_t calls = 0, runs = 0, clean = 0, injected = 0;
};

void PrintRow(std::FILE* out, const std::string& name, const std::string& calls, const Tally& t, bool events) {
    if (events)
        std::fprintf(out, "  %-16s %10s %8llu %9llu %8llu\n", name.c_str(), calls.c_str(), (unsigned long long)t.runs,
                     (unsigned long long)t.injected, (unsigned long long)t.clean);
    else
        std::fprintf(out, "  %-16s %10s %8llu %8llu\n", name.c_str(), calls.c_str(), (unsigned long long)t.runs,
                     (unsigned long long)t.clean);
}

// The clean run, in a child too; it must pass as `run` would.
bool CleanRun(const scenario::Scenario& s, const Options& o, CaseResult* baseline, std::FILE* out) {
    std::vector<Verdict> v = RunAll(s, {CasePlan{}}, nullptr, 1);
    if (!v[0].clean || v[0].result.outcome.failures) {
        std::fprintf(out, "%s: the clean run is not clean: %s\n", s.file.c_str(),
                     v[0].clean ? "an expectation failed (pmc7r-sim run shows which)" : v[0].why.c_str());
        return false;
    }
    (void)o;
    *baseline = v[0].result;
    return true;
}

struct Totals {
    std::map<std::string, Tally> rows;  // by site or event
    std::vector<std::string> order;
    std::vector<std::string> failures;
    void Add(const std::string& name, const Tally& t) {
        if (!rows.count(name)) order.push_back(name);
        Tally& r = rows[name];
        r.calls += t.calls, r.runs += t.runs, r.clean += t.clean, r.injected += t.injected;
    }
};

// One case's verdict into its row; an unclean case is kept as the command that replays it.
void Count(const std::string& file, const CasePlan& plan, const Verdict& v, Tally* t, Totals* totals) {
    ++t->runs;
    if (v.result.injected) ++t->injected;
    if (v.clean) {
        ++t->clean;
    } else {
        totals->failures.push_back(Replay(file, plan) + "    # " + v.why);
    }
}

bool SweepFaults(const scenario::Scenario& s, const Options& o, Totals* totals, std::FILE* out) {
    CaseResult baseline;
    if (!CleanRun(s, o, &baseline, out)) return false;
    std::vector<CasePlan> plans;
    std::vector<std::string> siteOf;
    std::map<std::string, uint64_t> callsOf;
    for (const auto& [name, calls] : baseline.calls) {
        FaultSite site;
        if (!SiteNamed(name, &site)) continue;
        callsOf[name] = calls;
        for (uint64_t k : Indexes(calls, o.limit)) {
            CasePlan p;
            p.site = site;
            p.call = k;
            plans.push_back(p);
            siteOf.push_back(name);
        }
    }
    CasePlan pending;
    pending.forcePending = true;
    plans.push_back(pending);
    siteOf.push_back("force-pending");
    std::vector<Verdict> verdicts = RunAll(s, plans, &baseline, o.jobs);
    std::map<std::string, Tally> rows;
    for (size_t i = 0; i < plans.size(); ++i) {
        Count(s.file, plans[i], verdicts[i], &rows[siteOf[i]], totals);
    }
    std::fprintf(out, "%s: %llu request completions in the clean run\n", s.file.c_str(),
                 (unsigned long long)baseline.completions);
    std::fprintf(out, "  %-16s %10s %8s %8s\n", "site", "calls", "runs", "clean");
    for (const auto& [name, calls] : baseline.calls) {
        Tally t = rows[name];
        t.calls = calls;
        PrintRow(out, name, std::to_string(calls), t, false);
        totals->Add(name, t);
    }
    PrintRow(out, "force-pending", "-", rows["force-pending"], false);
    totals->Add("force-pending", rows["force-pending"]);
    return true;
}

bool SweepEvents(const scenario::Scenario& s, const Options& o, Event event, Totals* totals, std::FILE* out) {
    CaseResult baseline;
    if (!CleanRun(s, o, &baseline, out)) return false;
    std::vector<std::string> units;
    if (event == Event::Sleep) {
        units.push_back("");
    } else if (!o.unit.empty()) {
        units.push_back(o.unit);
    } else {
        for (const scenario::Command& c : s.commands)
            if (c.kind == scenario::CommandKind::Plug && std::find(units.begin(), units.end(), c.name) == units.end())
                units.push_back(c.name);
    }
    std::vector<CasePlan> plans;
    std::vector<size_t> unitOf;
    for (size_t u = 0; u < units.size(); ++u) {
        for (uint64_t k : Indexes(baseline.completions, o.limit)) {
            CasePlan p;
            p.event = event;
            p.unit = units[u];
            p.after = k;
            plans.push_back(p);
            unitOf.push_back(u);
        }
    }
    std::vector<Verdict> verdicts = RunAll(s, plans, &baseline, o.jobs);
    std::vector<Tally> rows(units.size());
    for (size_t i = 0; i < plans.size(); ++i) {
        Count(s.file, plans[i], verdicts[i], &rows[unitOf[i]], totals);
    }
    std::fprintf(out, "%s: %llu request completions in the clean run\n", s.file.c_str(),
                 (unsigned long long)baseline.completions);
    std::fprintf(out, "  %-16s %10s %8s %9s %8s\n", event == Event::Sleep ? "event" : "unit", "points", "runs",
                 "injected", "clean");
    for (size_t u = 0; u < units.size(); ++u) {
        std::string name = event == Event::Sleep ? "sleep" : units[u];
        PrintRow(out, name, std::to_string(baseline.completions), rows[u], true);
        totals->Add(EventName(event), rows[u]);
    }
    return true;
}

bool ParseOptions(int argc, char** argv, Options* o, std::string* error) {
    if (argc < 1) {
        *error = "sweep needs a mode: faults, unplug, remove, restart or sleep";
        return false;
    }
    o->mode = argv[0];
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto number = [&](uint64_t* n) {
            if (i + 1 >= argc) return false;
            std::string v = argv[++i];
            if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos) return false;
            *n = std::stoull(v);
            return true;
        };
        uint64_t n = 0;
        if (a.starts_with("-j") && a.size() > 2 && a.find_first_not_of("0123456789", 2) == std::string::npos) {
            o->jobs = unsigned(std::max(1ull, std::stoull(a.substr(2))));
        } else if (a == "-j" || a == "--jobs") {
            if (!number(&n) || n == 0) return *error = "-j wants a number of children from 1", false;
            o->jobs = unsigned(n);
        } else if (a == "--limit") {
            if (!number(&o->limit) || o->limit == 0) return *error = "--limit wants a number from 1", false;
        } else if (a.starts_with("-")) {
            return *error = "unknown option '" + a + "'", false;
        } else if (a.ends_with(".pmc")) {
            o->files.push_back(a);
        } else if (o->unit.empty() && o->mode != "faults" && o->mode != "sleep") {
            o->unit = a;
        } else {
            return *error = "'" + a + "' is not a scenario file (NAME.pmc)", false;
        }
    }
    Event e;
    if (o->mode != "faults" && !EventNamed(o->mode, &e))
        return *error = "unknown sweep '" + o->mode + "': faults, unplug, remove, restart or sleep", false;
    if (o->files.empty()) return *error = "no scenario file given", false;
    if (!o->unit.empty() && o->files.size() > 1) return *error = "a unit's NAME goes with one scenario file", false;
    return true;
}

std::vector<scenario::Scenario> Parse(const std::vector<std::string>& files, std::FILE* err, bool* ok) {
    std::vector<scenario::Scenario> out;
    *ok = true;
    for (const std::string& file : files) {
        auto parsed = scenario::ParseScenarioFile(file);
        if (auto* failure = std::get_if<scenario::ParseError>(&parsed)) {
            std::fprintf(err, "%s:%d: %s\n", failure->file.c_str(), failure->line, failure->message.c_str());
            *ok = false;
            return out;
        }
        out.push_back(std::move(std::get<scenario::Scenario>(parsed)));
    }
    return out;
}

}  // namespace

int RunSweep(int argc, char** argv, std::FILE* out) {
    Options o;
    std::string error;
    if (!ParseOptions(argc, argv, &o, &error)) {
        std::fprintf(stderr, "pmc7r-sim sweep: %s (see pmc7r-sim --help)\n", error.c_str());
        return 2;
    }
    bool ok = true;
    std::vector<scenario::Scenario> scenarios = Parse(o.files, stderr, &ok);
    if (!ok) return 2;
    auto begin = std::chrono::steady_clock::now();
    Totals totals;
    bool baselines = true;
    Event event = Event::None;
    EventNamed(o.mode, &event);
    for (const scenario::Scenario& s : scenarios) {
        bool swept = o.mode == "faults" ? SweepFaults(s, o, &totals, out) : SweepEvents(s, o, event, &totals, out);
        baselines = baselines && swept;
        std::fflush(out);
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    uint64_t runs = 0, clean = 0, injected = 0;
    for (const auto& [name, t] : totals.rows) runs += t.runs, clean += t.clean, injected += t.injected;
    if (scenarios.size() > 1) {
        std::fprintf(out, "all %zu files:\n", scenarios.size());
        for (const std::string& name : totals.order) {
            const Tally& t = totals.rows[name];
            PrintRow(out, name, o.mode == "faults" && name != "force-pending" ? std::to_string(t.calls) : "-", t,
                     o.mode != "faults");
        }
    }
    if (o.mode == "faults")
        std::fprintf(out, "sweep faults: %zu files, %zu sites, %llu of %llu runs clean, %.0f s\n", scenarios.size(),
                     totals.rows.size(), (unsigned long long)clean, (unsigned long long)runs, seconds);
    else
        std::fprintf(out, "sweep %s: %zu files, %llu points injected, %llu of %llu runs clean, %.0f s\n", o.mode.c_str(),
                     scenarios.size(), (unsigned long long)injected, (unsigned long long)clean,
                     (unsigned long long)runs, seconds);
    if (!totals.failures.empty()) {
        std::fprintf(out, "not clean (each replays alone):\n");
        for (const std::string& f : totals.failures) std::fprintf(out, "  %s\n", f.c_str());
    }
    return baselines && totals.failures.empty() ? 0 : 1;
}

int RunSweepCase(int argc, char** argv, std::FILE* out) {
    CasePlan plan;
    std::vector<std::string> files;
    std::string error;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        bool ok = true;
        if (a == "--fail" && i + 1 < argc) {
            ok = ParseFail(argv[++i], &plan, &error);
        } else if (a == "--inject" && i + 1 < argc) {
            ok = ParseInject(argv[++i], &plan, &error);
        } else if (a == "--force-pending") {
            plan.forcePending = true;
        } else if (a.starts_with("-")) {
            ok = false;
            error = "unknown option '" + a + "' with a sweep's case";
        } else {
            files.push_back(a);
        }
        if (!ok) {
            std::fprintf(stderr, "pmc7r-sim run: %s (see pmc7r-sim --help)\n", error.c_str());
            return 2;
        }
    }
    if (files.size() != 1) {
        std::fprintf(stderr, "pmc7r-sim run: a sweep's case runs one scenario file\n");
        return 2;
    }
    bool ok = true;
    std::vector<scenario::Scenario> scenarios = Parse(files, stderr, &ok);
    if (!ok) return 2;
    CaseResult baseline = RunCase(scenarios[0], CasePlan{}, nullptr, nullptr);
    if (!baseline.clean || baseline.outcome.failures) {
        std::fprintf(out, "the clean run is not clean: %s\n", baseline.why.c_str());
        return 1;
    }
    CaseResult r = RunCase(scenarios[0], plan, &baseline, out);
    std::fprintf(out, "%s %s: %s%s\n", files[0].c_str(), CaseOption(plan).c_str(), r.clean ? "clean" : "NOT CLEAN: ",
                 r.clean ? "" : r.why.c_str());
    std::fprintf(out, "  %zu expectations failed and went on, %zu of them excused by the event%s\n",
                 r.outcome.failures + r.outcome.excused, r.outcome.excused,
                 plan.event == Event::None || r.injected ? "" : "; the event found no unit to hit");
    return r.clean ? 0 : 1;
}

}  // namespace simtool
