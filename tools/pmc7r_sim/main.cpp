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
#include "tools/pmc7r_sim/run_options.h"
#include "tools/pmc7r_sim/scenario_parser.h"

namespace {

const std::u16string kDriverName = u"\\Driver\\pmc7r";
const std::u16string kServiceKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\pmc7r";

const char kUsage[] =
    "usage: pmc7r-sim demo [NAME=VALUE...]\n"
    "       pmc7r-sim run [--pcap FILE] [--realtime] [--trace] FILE...\n"
    "       pmc7r-sim --help\n"
    "\n"
    "demo  loads the driver, shows the settings it read from its service key and\n"
    "      the leak report after unloading. The key holds Interface=0 Alternate=0\n"
    "      AlternateBulk=1; each NAME=VALUE sets a DWORD value of it besides.\n"
    "\n"
    "run   runs each scenario file against simulated units on a simulated bus.\n"
    "      Exit status: 0 when every expectation held; 1 at the first that did not\n"
    "      (file, line, expected, found); 2 on a malformed file (file, line, what is\n"
    "      wrong) or a bad command line.\n"
    "      --pcap FILE  write the bus traffic as a USB capture (pcap, Linux usbmon\n"
    "                   link type) for Wireshark or tshark\n"
    "      --realtime   let time follow the wall clock instead of virtual time\n"
    "      --trace      print each command as it runs\n"
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
    "  restart NAME                query-stop, stop, start\n"
    "  sleep | wake                system to S3 | back to S0\n"
    "  wait DURATION               let virtual time run\n"
    "  unit NAME sends HEX...      the unit sends MIDI bytes to the host\n"
    "  client open-all | client close-all | client list\n"
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

std::u16string Widen(std::string_view text) {
    return std::u16string(text.begin(), text.end());
}

// Parses NAME=VALUE into the service key; false when the argument is not of that form.
bool SetSetting(std::string_view argument) {
    size_t equals = argument.find('=');
    if (equals == 0 || equals == std::string_view::npos) return false;
    std::string value(argument.substr(equals + 1));
    char* end = nullptr;
    unsigned long number = std::strtoul(value.c_str(), &end, 0);
    if (value.empty() || *end != '\0') return false;
    host::registry::SetDword(kServiceKey, Widen(argument.substr(0, equals)), uint32_t(number));
    return true;
}

int Demo(int argc, char** argv) {
    host::Session session("pmc7r-sim");
    host::registry::SetDword(kServiceKey, u"Interface", 0);
    host::registry::SetDword(kServiceKey, u"Alternate", 0);
    host::registry::SetDword(kServiceKey, u"AlternateBulk", 1);
    for (int i = 0; i < argc; ++i) {
        if (!SetSetting(argv[i])) {
            std::fprintf(stderr, "pmc7r-sim: expected NAME=VALUE, got '%s'\n", argv[i]);
            Usage(stderr);
            return 2;
        }
    }

    NTSTATUS status = STATUS_SUCCESS;
    PDRIVER_OBJECT driver = host::io::LoadDriver(kDriverName, DriverEntry, kServiceKey, &status);
    std::printf("DriverEntry returned 0x%08lx\n", (unsigned long)status);
    if (!NT_SUCCESS(status) || driver == nullptr) return 1;
    std::printf("settings: Interface=%lu Alternate=%lu AlternateBulk=%lu\n",
                (unsigned long)Interface, (unsigned long)Alternate, (unsigned long)AlternateBulk);
    host::io::UnloadDriver(driver);

    std::string leaks = session.Finish();
    std::printf("leak report: %s\n", leaks.empty() ? "nothing left over" : leaks.c_str());
    return leaks.empty() ? 0 : 1;
}

// Until scenarios can be executed, run checks their syntax only.
int Run(int argc, char** argv) {
    scenario::RunOptions options;
    std::string error;
    if (!scenario::ParseRunOptions(std::vector<std::string>(argv, argv + argc), &options, &error)) {
        std::fprintf(stderr, "pmc7r-sim run: %s (see pmc7r-sim --help)\n", error.c_str());
        return 2;
    }
    for (const std::string& file : options.files) {
        auto parsed = scenario::ParseScenarioFile(file);
        if (auto* failure = std::get_if<scenario::ParseError>(&parsed)) {
            std::fprintf(stderr, "%s:%d: %s\n", failure->file.c_str(), failure->line, failure->message.c_str());
            return 2;
        }
        std::fprintf(stderr, "%s: %zu commands, not executed\n", file.c_str(),
                     std::get<scenario::Scenario>(parsed).commands.size());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string_view command = argc > 1 ? argv[1] : "";
    if (command == "--help" || command == "-h") {
        Usage(stdout);
        return 0;
    }
    if (command == "demo") return Demo(argc - 2, argv + 2);
    if (command == "run") return Run(argc - 2, argv + 2);
    Usage(stderr);
    return 2;
}
