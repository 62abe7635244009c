#include "tools/pmc7r_sim/run.h"

#include <variant>

#include "platform/host/control.h"
#include "tools/pmc7r_sim/executor.h"
#include "tools/pmc7r_sim/scenario_parser.h"
#include "tools/pmc7r_sim/trace.h"

namespace simtool {
namespace {

// With several files, the second one's capture goes to NAME-2.pcap and so on.
std::string CapturePath(const std::string& path, size_t index) {
    if (index == 0) return path;
    size_t dot = path.rfind('.');
    std::string suffix = "-" + std::to_string(index + 1);
    return dot == std::string::npos || path.find('/', dot) != std::string::npos ? path + suffix
                                                                               : path.substr(0, dot) + suffix + path.substr(dot);
}

}  // namespace

// One session per scenario: each starts from a freshly booted machine.
int RunOne(const scenario::Scenario& s, const scenario::RunOptions& options, size_t index, std::FILE* out,
           bool explain, Outcome* result) {
    host::Session session("pmc7r-sim");
    if (options.realTime) host::SetRealTime(true);
    Outcome outcome;
    std::string captureError;
    bool captured = true;
    {
        Tracer tracer(options.trace ? out : nullptr);
        World world;
        if (!options.sysPath.empty()) world.UseImage(options.sysPath);
        outcome = Execute(s, world, {out, explain});
        world.TearDown();
        if (!options.pcapPath.empty()) captured = world.WriteCapture(CapturePath(options.pcapPath, index), &captureError);
        if (result) *result = outcome;
        if (explain && out) PrintSummary(world, outcome, out);
    }
    if (!options.sysPath.empty() && out)
        std::fprintf(out, "special pool: %zu blocks of the image's\n", host::pool::SpecialBlocksMade());
    std::string leaks = session.Finish();
    if (out) std::fflush(out);
    if (outcome.code != 0) {
        std::fprintf(stderr, "%s\n", outcome.message.c_str());
        return outcome.code;
    }
    if (!captured) {
        std::fprintf(stderr, "%s: the capture was not written: %s\n", s.file.c_str(), captureError.c_str());
        return 1;
    }
    if (!leaks.empty()) {
        std::fprintf(stderr, "%s: the run left something behind:\n%s\n", s.file.c_str(), leaks.c_str());
        return 1;
    }
    return 0;
}

int RunScenarios(const scenario::RunOptions& options, std::FILE* out) {
    std::vector<scenario::Scenario> scenarios;
    for (const std::string& file : options.files) {
        auto parsed = scenario::ParseScenarioFile(file);
        if (auto* failure = std::get_if<scenario::ParseError>(&parsed)) {
            std::fprintf(stderr, "%s:%d: %s\n", failure->file.c_str(), failure->line, failure->message.c_str());
            return 2;
        }
        scenarios.push_back(std::move(std::get<scenario::Scenario>(parsed)));
    }
    for (size_t i = 0; i < scenarios.size(); ++i) {
        if (out) std::fprintf(out, "== %s\n", scenarios[i].file.c_str());
        Outcome outcome;
        if (int code = RunOne(scenarios[i], options, i, out, false, &outcome); code != 0) return code;
        if (out)
            std::fprintf(out, "== %s: %zu commands, %zu expectations held\n", scenarios[i].file.c_str(),
                         outcome.commands, outcome.expectations);
    }
    return 0;
}

}  // namespace simtool
