// pmc7r-sim run's answers to its users: exit status and the message for a malformed file, a
// failed expectation and a command naming what does not exist. Each run has its own
// platform session, so these tests have none of their own.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "tools/pmc7r_sim/run.h"

namespace {

struct RunCase {
    const char* what;
    const char* text;
    int code;
    const char* message;  // a part of what standard error says
};

int RunText(const std::string& text, std::string* errors) {
    std::string path = ::testing::TempDir() + "scenario_run_test.pmc";
    std::ofstream(path) << text;
    scenario::RunOptions options;
    options.files = {path};
    ::testing::internal::CaptureStderr();
    int code = simtool::RunScenarios(options, nullptr);
    *errors = ::testing::internal::GetCapturedStderr();
    std::remove(path.c_str());
    return code;
}

TEST(ScenarioRunTest, ExitStatusAndMessage) {
    const RunCase cases[] = {
        {"all held", "plug m id=0\nexpect display m \"Firmware V2.24, ID 0 [MASTER]\"\n", 0, ""},
        {"malformed", "plug m id=0\nwait 5 parsecs\n", 2, "scenario_run_test.pmc:2:"},
        {"failed expectation", "plug m id=3\n# comment\nexpect display m \"Firmware V2.24, ID 4 [SLAVE]\"\n", 1,
         ":3: expect display: expected \"Firmware V2.24, ID 4 [SLAVE]\", found \"Firmware V2.24, ID 3 [SLAVE]\""},
        {"unit not plugged", "unit ghost sends 90 40 7F\n", 2, ":1: unit: no unit ghost is plugged"},
        {"handle not open", "plug m\nread nothing\n", 2, ":2: read: handle nothing is not open"},
        {"no master for the client", "plug s id=2\nclient open-all\n", 2, "no master with the MIDI client"},
        {"list expected", "plug m\nplug s id=1\nexpect list 0:224 2:224\n", 1,
         "expected 0:224 2:224, found 0:224 1:224"},
        // A unit with less buffer than the driver's burst drops bytes: loudly, unless expected.
        {"a drop nobody expected", "plug m buffer=2\nclient open-all\nclient write 0 pattern 10\nwait 100ms\n", 1,
         ":4: unit m lost 8 bytes of its MIDI out, the first at"},
        {"a drop on the way out", "plug m buffer=2\nclient open-all\nclient write 0 pattern 10\nwait 100ms\nunplug m\n",
         1, ":5: unit m lost 8 bytes"},
        {"a drop the scenario expects",
         "plug m buffer=2\nclient open-all\nclient write 0 pattern 10\nwait 100ms\nexpect unit m lost 8\n", 0, ""},
        {"a drop miscounted",
         "plug m buffer=2\nclient open-all\nclient write 0 pattern 10\nwait 100ms\nexpect unit m lost 3\n", 1,
         ":5: expect unit: expected 3 bytes lost, found 8 bytes lost"},
    };
    for (const RunCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::string errors;
        EXPECT_EQ(c.code, RunText(c.text, &errors));
        EXPECT_NE(std::string::npos, errors.find(c.message)) << errors;
    }
}

}  // namespace
