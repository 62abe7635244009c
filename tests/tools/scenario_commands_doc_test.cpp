// The two places a user reads the scenario commands: README's list under "How to add a
// scenario", written by hand, and the help, laid out from the parser's table. Both must show
// every usage the parser has, and README nothing it does not have.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tools/pmc7r_sim/scenario_help.h"
#include "tools/pmc7r_sim/scenario_parser.h"

namespace {

std::set<std::string> TableUsages() {
    std::set<std::string> usages;
    for (const scenario::CommandForm& form : scenario::CommandForms()) usages.insert(form.usage);
    return usages;
}

std::string Trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The indented block that follows the section's heading, one entry per command line: a
// comment (` # ...`) cut off, a deeper-indented line joined to the one before, and forms
// given together (`sleep | wake`) taken apart. A `|` without blanks is part of a usage.
std::vector<std::string> ReadmeCommandLines(const std::string& readme) {
    std::istringstream in(readme.substr(readme.find("\n## How to add a scenario\n") + 1));
    std::vector<std::string> lines;
    bool inBlock = false;
    for (std::string line; std::getline(in, line);) {
        bool indented = line.starts_with("    ") && !Trimmed(line).empty();
        if (!indented && inBlock) break;
        if (!indented) continue;
        if (size_t comment = line.find(" #"); comment != std::string::npos) line.resize(comment);
        if (inBlock && line.starts_with("     ")) {
            lines.back() += " " + Trimmed(line);
        } else {
            lines.push_back(Trimmed(line));
        }
        inBlock = true;
    }
    std::vector<std::string> commands;
    for (const std::string& entry : lines) {
        for (size_t from = 0;;) {
            size_t bar = entry.find(" | ", from);
            commands.push_back(Trimmed(entry.substr(from, bar - from)));
            if (bar == std::string::npos) break;
            from = bar + 3;
        }
    }
    return commands;
}

TEST(ScenarioCommandsDoc, ReadmeListsExactlyTheParsersUsages) {
    std::ifstream file(PMC7R_SOURCE_DIR "/README.md", std::ios::binary);
    ASSERT_TRUE(file) << PMC7R_SOURCE_DIR "/README.md";
    std::string readme((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_NE(readme.find("\n## How to add a scenario\n"), std::string::npos);

    std::vector<std::string> listed = ReadmeCommandLines(readme);
    ASSERT_FALSE(listed.empty());
    std::set<std::string> usages = TableUsages();
    for (const std::string& usage : usages)
        EXPECT_NE(std::find(listed.begin(), listed.end(), usage), listed.end()) << "README lacks: " << usage;
    for (const std::string& command : listed)
        EXPECT_TRUE(usages.count(command)) << "README lists what the parser does not have: " << command;
}

// A long usage or description goes on over lines; joined again, each usage reads whole.
TEST(ScenarioCommandsDoc, HelpShowsEveryUsageWithinEightyColumns) {
    std::string help = scenario::CommandsHelp();
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;

    auto collapsed = [](const std::string& text) {
        std::istringstream words(text);
        std::string out;
        for (std::string word; words >> word;) out += " " + word;
        return out + " ";
    };
    std::string joined = collapsed(help);
    for (const std::string& usage : TableUsages())
        EXPECT_NE(joined.find(collapsed(usage)), std::string::npos) << "the help lacks: " << usage;
}

}  // namespace
