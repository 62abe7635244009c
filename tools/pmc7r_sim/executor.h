// Runs a parsed scenario in a world, printing a timeline of what happened on virtual time.
#pragma once

#include <cstdio>
#include <string>

#include "tools/pmc7r_sim/scenario.h"
#include "tools/pmc7r_sim/world.h"

namespace simtool {

struct Outcome {
    int code = 0;          // 0 every expectation held, 1 one did not, 2 the scenario is wrong
    std::string message;   // "FILE:LINE: ..." when code is not 0
    size_t commands = 0;
    size_t expectations = 0;
    // Lenient runs: what failed (expectations, commands that could not be carried out, bytes
    // lost) and went on, and how many of those the hooks excused; the first unexcused one.
    size_t failures = 0;
    size_t excused = 0;
    std::string firstFailure;
};

// What a sweep changes in a run: how time runs in a `wait`, what happens after each
// command, and which failures concern an event it injected.
class ExecuteHooks {
public:
    virtual ~ExecuteHooks() = default;
    virtual void Wait(int64_t duration) = 0;
    virtual void AfterCommand(const scenario::Command& command) = 0;
    virtual bool Excused(const scenario::Command& command) = 0;
};

struct ExecuteOptions {
    std::FILE* out = nullptr;  // the timeline; null prints nothing
    // For a reader who has never seen the project: each display drawn after its unit's
    // arrival, the client's bytes decoded as MIDI messages.
    bool explain = false;
    // The run goes on past a failed expectation or a command that cannot be carried out,
    // counting them in the outcome (whose code stays 0).
    bool lenient = false;
    ExecuteHooks* hooks = nullptr;
};

// Stops at the first expectation that fails or command that cannot be carried out.
Outcome Execute(const scenario::Scenario& scenario, World& world, const ExecuteOptions& options);

// The demo's closing screen: what each unit shows and where it stands, and the traffic.
void PrintSummary(const World& world, const Outcome& outcome, std::FILE* out);

// A unit's 2x40 display as a small box of text lines.
std::string DisplayBox(const std::vector<std::string>& lines);
// "Control Change 7 = 100, channel 1" and the like.
std::string DescribeMidi(const std::vector<uint8_t>& message);

}  // namespace simtool
