// pmc7r-sim run's answers to its users: exit status and the message for a malformed file, a
// failed expectation and a command naming what does not exist. Each run has its own
// platform session, so these tests have none of their own.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
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

#if defined(__i386__)
// On the shipped image: the units come up, the image's pool is special, and an image that
// does not load is the scenario's error with the loader's reason.
TEST(ScenarioRunTest, OnTheImage) {
    const char* sys = std::getenv("PMC7R_SYS_PATH");
    std::string image = sys && *sys ? sys : PMC7R_SOURCE_DIR "/build/windows-x86/pmc7r.sys";
    if (!std::ifstream(image)) {
        const char* required = std::getenv("PMC7R_REQUIRE_SYS");
        if (required && std::string(required) == "1") FAIL() << image << " is missing";
        GTEST_SKIP() << image << " is not built";
    }
    std::string path = ::testing::TempDir() + "scenario_run_image.pmc";
    std::ofstream(path) << "plug m\nexpect display m \"Firmware V2.24, ID 0 [MASTER]\"\n";
    std::string outPath = ::testing::TempDir() + "scenario_run_image.out";
    scenario::RunOptions options;
    options.files = {path};
    options.sysPath = image;
    std::FILE* out = std::fopen(outPath.c_str(), "w");
    ASSERT_NE(nullptr, out);
    EXPECT_EQ(0, simtool::RunScenarios(options, out));
    std::fclose(out);
    std::ifstream in(outPath);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t at = text.find("special pool: ");
    ASSERT_NE(std::string::npos, at) << text;
    EXPECT_LT(0, std::atoi(text.c_str() + at + 14)) << text;

    options.sysPath = ::testing::TempDir() + "absent.sys";
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(2, simtool::RunScenarios(options, nullptr));
    std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, errors.find("the driver did not load: " + options.sysPath + ": cannot read")) << errors;
    std::remove(path.c_str());
    std::remove(outPath.c_str());
}
#endif

}  // namespace
