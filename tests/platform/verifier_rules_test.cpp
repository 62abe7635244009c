// The verifier's list of rules: each text once, and every report names a rule from the list.
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/host/verifier_rules.h"

namespace {

TEST(VerifierRules, EachTextIsListedOnce) {
    std::set<std::string> seen;
    for (const char* rule : host::verifier::rules::kAll) {
        EXPECT_NE("", std::string(rule));
        EXPECT_TRUE(seen.insert(rule).second) << "listed twice: " << rule;
    }
}

// A literal passed to the report routines would be a rule outside the list.
TEST(VerifierRules, ReportsPassListedConstants) {
    namespace fs = std::filesystem;
    const fs::path root = PMC7R_SOURCE_DIR;
    for (const char* dir : {"platform/host/src", "sim"}) {
        for (const fs::directory_entry& entry : fs::directory_iterator(root / dir)) {
            if (entry.path().extension() != ".cpp") continue;
            std::ifstream in(entry.path());
            std::stringstream text;
            text << in.rdbuf();
            for (const char* call : {"Violate(\"", "Report(\"", "Fault(\""}) {
                EXPECT_EQ(std::string::npos, text.str().find(call)) << entry.path() << " calls " << call;
            }
        }
    }
}

}  // namespace
