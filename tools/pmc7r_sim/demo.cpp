// The built-in demo: a realistic session with units on one desk, on virtual time.
#include <variant>

#include "driver/public/driver_entry.h"
#include "driver/public/pmc7r.h"
#include "tools/pmc7r_sim/executor.h"
#include "tools/pmc7r_sim/run.h"
#include "tools/pmc7r_sim/scenario_parser.h"

namespace simtool {

namespace {

const char kDemo[] = R"(# A master and two slaves arrive; each one's display shows how its start went.
plug master id=0
plug left id=1
plug right id=2
# A second unit set to ID 2, one set to an invalid ID, one with firmware older than 2.24
# (which cannot report its ID, so it counts as ID 0, the master's).
plug twin id=2
plug stray id=9
plug old id=3 fw=2.23
expect display twin "Device ID 2 already used!on..." "Select different ID and reconnect"
expect display stray "Invalid Device ID 9!" "Version 224"
expect child "USB\{0C5B002A-5E73-11d3-9D4E-00A0C9E17B35}"
# The MIDI client driver on the master's child sees the units that hold a slot.
client list
expect list 0:224 1:224 2:224
client open-all
# Faders move on three units; the client reads one stream, each piece tagged with its unit.
unit left sends B0 07 64
unit right sends B0 07 20 B0 08 10
unit master sends 90 3C 7F 80 3C 00
wait 20ms
expect client 0 90 3C 7F 80 3C 00
expect client 1 B0 07 64
expect client 2 B0 07 20 B0 08 10
# The client lights LEDs on the left unit and on the master.
client write 1 90 10 7F 90 11 7F
client write-master 90 20 7F
wait 20ms
expect unit left received 90 10 7F 90 11 7F
expect unit master received 90 20 7F
# An application opens the right unit as a file and reads what it sends from then on.
open right as app
unit right sends B0 09 7F
wait 10ms
read app 16
expect read app B0 09 7F
expect client 2 B0 09 7F
close app
# The system sleeps and wakes; the units follow, and input flows again.
sleep
wait 500ms
wake
wait 50ms
unit left sends B0 07 00
wait 20ms
expect client 1 B0 07 00
# The right unit is pulled out and plugged in again; it takes its ID back.
unplug right
wait 10ms
plug right id=2
expect display right "Firmware V2.24, ID 2 [SLAVE]" "Version 224"
client open-all
unit right sends B0 07 7F
wait 20ms
expect client 2 B0 07 7F
expect registry right CurrentInterface=2 CurrentAlternate=1
# The master goes, and its child with the client.
client close-all
remove master
expect no-child
)";

}  // namespace

void PrintSummary(const World& world, const Outcome& outcome, std::FILE* out) {
    World::Counts c = world.Tally();
    std::fprintf(out, "\n==================================== summary ====================================\n");
    std::fprintf(out, "units plugged %zu, departed %zu; %zu commands, %zu expectations held%s\n", c.plugged,
                 c.departed, outcome.commands, outcome.expectations, outcome.code ? " until one failed" : "");
    std::fprintf(out, "the client read %zu tagged pieces (%zu bytes); %zu bytes were written to units\n",
                 c.clientReads, c.clientBytes, c.bytesToUnits);
    std::fprintf(out, "%-8s %-4s %-9s %-40s\n", "unit", "id", "firmware", "display line 1");
    for (const UnitEntry* unit : world.Units()) {
        std::vector<std::string> lines = world.DisplayLines(*unit);
        std::fprintf(out, "%-8s %-4u %-9s %-40s\n", unit->name.c_str(), unit->options.deviceId,
                     unit->options.firmware.c_str(), lines[0].substr(0, 40).c_str());
    }
}

int RunDemo(const scenario::RunOptions& options, std::FILE* out) {
    auto parsed = scenario::ParseScenario(kDemo, "demo");
    if (auto* failure = std::get_if<scenario::ParseError>(&parsed)) {
        std::fprintf(stderr, "demo:%d: %s\n", failure->line, failure->message.c_str());
        return 2;
    }
    std::fprintf(out,
                 "pmc7r-sim demo: the pmc7r driver runs against simulated PMC-7R units on a simulated\n"
                 "USB bus. Times are virtual: milliseconds since the machine started.\n\n");
    Outcome outcome;
    int code = RunOne(std::get<scenario::Scenario>(parsed), options, 0, out, true, &outcome);
    if (code == 0) std::fprintf(out, "nothing left over: no pool, no request, no thread.\n");
    return code;
}

}  // namespace simtool
