// pmc7r-sim: runs the driver on the host platform, with simulated units around it. The
// commands and what they print are in kUsage below; each lives in a file of its own.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "driver/public/driver_entry.h"
#include "platform/host/control.h"
#include "platform/host/native_image.h"
#include "tools/pmc7r_sim/bench.h"
#include "tools/pmc7r_sim/figures.h"
#include "tools/pmc7r_sim/run.h"
#include "tools/pmc7r_sim/run_options.h"
#include "tools/pmc7r_sim/scenario_help.h"
#include "tools/pmc7r_sim/scenario_parser.h"
#include "tools/pmc7r_sim/stress.h"
#include "tools/pmc7r_sim/sweep.h"

namespace {

const char kUsage[] =
    "usage: pmc7r-sim demo [--sys FILE] [--pcap FILE] [--realtime] [--trace]\n"
    "       pmc7r-sim run [--sys FILE] [--pcap FILE] [--realtime] [--trace] FILE...\n"
    "       pmc7r-sim run FILE (--fail SITE:K | --force-pending | --inject EVENT[:NAME]:K)\n"
    "       pmc7r-sim sweep faults [-j N] [--limit N] FILE...\n"
    "       pmc7r-sim sweep unplug|remove|restart [-j N] [--limit N] FILE [NAME]\n"
    "       pmc7r-sim sweep unplug|remove|restart|sleep [-j N] [--limit N] FILE...\n"
    "       pmc7r-sim figures\n"
    "       pmc7r-sim bench [--json] [--brief]\n"
    "       pmc7r-sim stress [--seed N] [--for DURATION] [--verbose]\n"
    "       pmc7r-sim --help\n"
    "\n"
    "demo  a built-in session with units on one desk: a master and two slaves, a unit\n"
    "      with an ID in use, one with an invalid ID, one with old firmware, the MIDI\n"
    "      client reading and writing, an application with a file handle, sleep and\n"
    "      wake, a unit pulled out and plugged in again, the master removed; printed\n"
    "      as a timeline on virtual time, with a summary at the end.\n"
    "\n"
    "figures  the output path measured: floods both ways (3000 bytes in and 3000\n"
    "      out per unit) with one unit, its busy reports behind or ahead of its\n"
    "      input, and with eight units; then a small message on an idle wire. Exit\n"
    "      status 0 when no byte was lost, every unit got its output at 95% of its\n"
    "      MIDI wire (3125 bytes/s) or better and the small message left within\n"
    "      2 ms + 1 frame; 1 otherwise.\n"
    "\n"
    "run   runs each scenario file against simulated units on a simulated bus.\n"
    "      Exit status: 0 when every expectation held; 1 at the first that did not\n"
    "      (file, line, expected, found); 2 on a malformed file (file, line, what is\n"
    "      wrong) or a bad command line.\n"
    "      --sys FILE   run the driver from this image (build/windows-x86/pmc7r.sys)\n"
    "                   instead of the linked-in sources: the host loads it as\n"
    "                   Windows does, with special pool for its allocations;\n"
    "                   32-bit x86 build only (build/host-x86)\n"
    "      --pcap FILE  write the bus traffic as a USB capture (pcap, Linux usbmon\n"
    "                   link type) for Wireshark or tshark\n"
    "      --realtime   let time follow the wall clock instead of virtual time\n"
    "      --trace      also print every request that crosses the driver's\n"
    "                   boundary (PnP, power, controls, URBs) with its status\n"
    "      Each file runs on a freshly started machine; the timeline of what\n"
    "      happened goes to standard output, errors to standard error. A read\n"
    "      waits up to 100 ms for its first byte; if none comes it is cancelled\n"
    "      and returns nothing.\n"
    "\n"
    "sweep faults  a clean run of each file counts the calls of every fault site:\n"
    "      irp, device, interface, thread, openkey, attach, power (PoRequestPowerIrp),\n"
    "      pool-TAG (the pool by tag, e.g. pool-Wdm), and the bus's refusals urb-stall\n"
    "      and urb-error (a URB that reaches the unit fails so; its pipe stays halted\n"
    "      until reset) and transfer-hang (a transfer never answered until cancelled).\n"
    "      Then one run for every site and every call K with the K-th call failing,\n"
    "      and one with every request the driver sends forced to pend.\n"
    "sweep unplug|remove|restart|sleep  one run for every K up to the request\n"
    "      completions of a clean run, with the event injected after the K-th:\n"
    "      NAME pulled out, removed, restarted (every unit the file plugs, without\n"
    "      NAME); sleep: the system to S3 and back.\n"
    "      Each run is a forked child and is clean when it did not crash, no\n"
    "      sanitizer or the verifier reported, nothing was left over, every unit\n"
    "      left plugged is started or has a problem with a failing status, every unit\n"
    "      plugged in again afterwards behaves as after the clean run (started, a\n"
    "      file handle reads what it sends), and for an event, every expectation it\n"
    "      does not concern still held (those of NAME, its ID and handles, the unit\n"
    "      list, and with the master the client's). The table gives per site (unit)\n"
    "      the calls (points), the runs and the clean ones, then every run that was\n"
    "      not clean as the `run` command that replays it alone. Exit status 0 when\n"
    "      every run was clean.\n"
    "      -j N       N children at a time (default 1)\n"
    "      --limit N  at most N calls of each site (points of each unit), spread\n"
    "                 evenly from the first to the last\n"
    "run FILE --fail SITE:K | --force-pending | --inject EVENT[:NAME]:K\n"
    "      one run of a sweep alone, after a clean run of the file; prints its\n"
    "      timeline and verdict; exit status 0 when it was clean.\n"
    "\n"
    "bench fixed workloads on virtual time, printed as one table: input latency (bus\n"
    "      to the client's and a file's read), output latency on an idle wire, flood\n"
    "      throughput and bytes lost (one and eight units, output only and both ways),\n"
    "      life-cycle times, and the simulator's speed; each figure with its bound and\n"
    "      whether it holds. Exit status 0 when every figure was measured (a bound that\n"
    "      does not hold is reported, not an error), 1 when one was not.\n"
    "      --json   the rows as JSON instead of the table\n"
    "      --brief  small workloads (a quarter second of flood) that only show every\n"
    "               figure is produced\n"
    "\n"
    "stress  eight units under load both ways (the client by ID and to the master,\n"
    "      its reads of changing capacity, a kernel client on the direct calls,\n"
    "      applications reading and writing through handles) while units are\n"
    "      unplugged and plugged in again, removed, restarted, and the system sleeps\n"
    "      and wakes. Checks on the way and at the end that every byte a unit sent\n"
    "      reached the client once and in order, every byte the driver took for a\n"
    "      unit reached it once and in order (unless the unit left), and that nothing\n"
    "      was left behind. Prints its seed, the virtual and the wall time; exit\n"
    "      status 0 when clean, 1 on a fault.\n"
    "      --seed N        the run's choices (default 1); the same seed tries the\n"
    "                      same things at the same virtual times\n"
    "      --for DURATION  virtual time under load, e.g. 500ms, 30s, 5m (default 10s)\n"
    "      --verbose       every event of the controller on the timeline\n"
    "\n"
    "Scenario files: one command a line; # starts a comment. Numbers are decimal or\n"
    "0x hex; HEX... is bytes as hex pairs separated by blanks (90 3C 7F); durations\n"
    "are a number and us, ms or s (5ms, 2s); texts are in double quotes, where \\\"\n"
    "is a quote and \\\\ a backslash. NAME and HANDLE are words of letters, digits,\n"
    "'_' and '-'. Wherever HEX... goes, `pattern N` stands for N bytes of control\n"
    "changes (B0..BF, controller and value changing; never FF or a SysEx).\n"
    "\n";

// The scenario commands follow, from the parser's table.
void Usage(std::FILE* out) {
    std::fputs(kUsage, out);
    std::fputs(scenario::CommandsHelp().c_str(), out);
}

int Run(int argc, char** argv, bool demo) {
    for (int i = 0; !demo && i < argc; ++i) {
        std::string_view a = argv[i];
        if (a == "--fail" || a == "--inject" || a == "--force-pending") return simtool::RunSweepCase(argc, argv, stdout);
    }
    scenario::RunOptions options;
    std::string error;
    std::vector<std::string> arguments(argv, argv + argc);
    if (demo) arguments.push_back("demo");  // the built-in scenario stands in for the files
    if (!scenario::ParseRunOptions(arguments, &options, &error)) {
        std::fprintf(stderr, "pmc7r-sim %s: %s (see pmc7r-sim --help)\n", demo ? "demo" : "run", error.c_str());
        return 2;
    }
    if (!options.sysPath.empty() && !host::image::Supported()) {
        std::fprintf(stderr,
                     "pmc7r-sim %s: --sys %s: an x86 driver image needs the 32-bit simulator "
                     "(cmake --preset host-x86 && cmake --build build/host-x86; build/host-x86/tools/pmc7r-sim)\n",
                     demo ? "demo" : "run", options.sysPath.c_str());
        return 2;
    }
    return demo ? simtool::RunDemo(options, stdout) : simtool::RunScenarios(options, stdout);
}

int Bench(int argc, char** argv) {
    simtool::BenchOptions options;
    for (int i = 0; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a == "--json") {
            options.json = true;
        } else if (a == "--brief") {
            options.brief = true;
        } else {
            std::fprintf(stderr, "pmc7r-sim bench: unknown option %s (see pmc7r-sim --help)\n", argv[i]);
            return 2;
        }
    }
    return simtool::RunBench(options, stdout);
}

int Stress(int argc, char** argv) {
    simtool::StressOptions options;
    std::string error;
    if (!simtool::ParseStressOptions(std::vector<std::string>(argv, argv + argc), &options, &error)) {
        std::fprintf(stderr, "pmc7r-sim stress: %s (see pmc7r-sim --help)\n", error.c_str());
        return 2;
    }
    return simtool::RunStress(options, stdout);
}

}  // namespace

int main(int argc, char** argv) {
    std::string_view command = argc > 1 ? argv[1] : "";
    if (command == "--help" || command == "-h") {
        Usage(stdout);
        return 0;
    }
    if (command == "demo") return Run(argc - 2, argv + 2, true);
    if (command == "run") return Run(argc - 2, argv + 2, false);
    if (command == "figures" && argc == 2) return simtool::RunFigures(stdout);
    if (command == "bench") return Bench(argc - 2, argv + 2);
    if (command == "stress") return Stress(argc - 2, argv + 2);
    if (command == "sweep") return simtool::RunSweep(argc - 2, argv + 2, stdout);
    Usage(stderr);
    return 2;
}
