// pmc7r-sim: runs the driver on the host platform. `demo` loads the driver with a few
// service-key settings, shows what the driver read, unloads it and shows what the session
// found left over; `run` reads scenario files.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "driver/core/core.h"
#include "platform/host/control.h"
#include "platform/host/native_image.h"
#include "tools/pmc7r_sim/run.h"
#include "tools/pmc7r_sim/run_options.h"
#include "tools/pmc7r_sim/scenario_parser.h"

namespace {

const char kUsage[] =
    "usage: pmc7r-sim demo [--sys FILE] [--pcap FILE] [--realtime] [--trace]\n"
    "       pmc7r-sim run [--sys FILE] [--pcap FILE] [--realtime] [--trace] FILE...\n"
    "       pmc7r-sim --help\n"
    "\n"
    "demo  a built-in session with units on one desk: a master and two slaves, a unit\n"
    "      with an ID in use, one with an invalid ID, one with old firmware, the MIDI\n"
    "      client reading and writing, an application with a file handle, sleep and\n"
    "      wake, a unit pulled out and plugged in again, the master removed; printed\n"
    "      as a timeline on virtual time, with a summary at the end.\n"
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
    "Scenario files: one command a line; # starts a comment. Numbers are decimal or\n"
    "0x hex; HEX... is bytes as hex pairs separated by blanks (90 3C 7F); durations\n"
    "are a number and us, ms or s (5ms, 2s); texts are in double quotes, where \\\"\n"
    "is a quote and \\\\ a backslash. NAME and HANDLE are words of letters, digits,\n"
    "'_' and '-'.\n"
    "\n"
    "  service Interface=N Alternate=N AlternateBulk=N\n"
    "                              service-key values; only before the first plug\n"
    "  plug NAME [id=N] [fw=D.DD] [product=N] [vendor=N] [packet=N] [bulkmode=N] [silent]\n"
    "                              plug in a unit; defaults id=0 fw=2.24\n"
    "                              product=0x002A vendor=0x0C5B packet=64, no\n"
    "                              UsbBulkMode value; silent: the unit never answers\n"
    "  unplug NAME                 pulled out: surprise removal, then removal\n"
    "  remove NAME                 orderly removal: query-remove, then remove\n"
    "  restart NAME                query-stop, stop, start; settles for 20 ms and sets\n"
    "                              aside the client input of the new bring-up\n"
    "  sleep | wake                system to S3 | back to S0\n"
    "  wait DURATION               let virtual time run\n"
    "  unit NAME sends HEX...      the unit sends MIDI bytes to the host\n"
    "  client open-all | client close-all | client list\n"
    "                              open-all settles for 20 ms: the units' identity\n"
    "                              answers to being opened are not client input\n"
    "  client write ID HEX...      write to the unit with device ID\n"
    "  client write-master HEX...  write to the master\n"
    "  client capacity N           capacity of the client's reads\n"
    "  open NAME as HANDLE         open the unit's function device as a file\n"
    "  read HANDLE [N]             read from it (N bytes)\n"
    "  write HANDLE HEX...         write to it\n"
    "  close HANDLE\n"
    "  expect display NAME \"LINE 1\" [\"LINE 2\"]   trailing blanks ignored\n"
    "  expect unit NAME received HEX...  the unit's MIDI out since the last such expect\n"
    "  expect client ID HEX...     bytes the client read tagged ID since the last one\n"
    "  expect list ID:VERSION...   the client's unit list, e.g. 0:224 3:230\n"
    "  expect child \"HARDWARE ID\"  the master's child exists with that hardware ID\n"
    "  expect no-child\n"
    "  expect read HANDLE HEX...   the bytes the last read on HANDLE returned\n"
    "  expect registry NAME VALUE=N...  values of the unit's driver key,\n"
    "                              e.g. CurrentAlternate=1\n";

void Usage(std::FILE* out) { std::fputs(kUsage, out); }

int Run(int argc, char** argv, bool demo) {
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

}  // namespace

int main(int argc, char** argv) {
    std::string_view command = argc > 1 ? argv[1] : "";
    if (command == "--help" || command == "-h") {
        Usage(stdout);
        return 0;
    }
    if (command == "demo") return Run(argc - 2, argv + 2, true);
    if (command == "run") return Run(argc - 2, argv + 2, false);
    Usage(stderr);
    return 2;
}
