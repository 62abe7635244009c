// pmc7r-sim bench in brief: every figure is produced. No bound is asserted here: the
// figures are the bench's to report, on the full workloads.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>

#include "tools/pmc7r_sim/bench.h"

namespace {

TEST(BenchTest, EveryFigureIsProduced) {
    // With AddressSanitizer in a 32-bit process under qemu-i386, creating the bench's threads
    // aborts in the sanitizer (a thread stack outside its memory map); the 64-bit suite runs it.
    if (sizeof(void*) == 4) GTEST_SKIP() << "the brief bench does not fit the 32-bit sanitized build";
    simtool::BenchOptions options;
    options.brief = true;
    std::vector<simtool::BenchRow> rows = simtool::RunBenchRows(options);
    // What the bench promises, by group: how many rows each holds.
    const std::pair<const char*, size_t> groups[] = {
        {"input latency", 4},   {"output latency, idle wire", 4}, {"flood throughput", 10},
        {"simulator speed", 1}, {"life cycle", 6},
    };
    for (const auto& [group, count] : groups) {
        size_t found = 0;
        for (const simtool::BenchRow& row : rows) found += row.group == group;
        EXPECT_EQ(count, found) << group;
    }
    std::set<std::string> names;
    for (const simtool::BenchRow& row : rows) {
        SCOPED_TRACE(row.group + ": " + row.name);
        EXPECT_TRUE(row.produced);
        EXPECT_TRUE(std::isfinite(row.value));
        EXPECT_FALSE(row.unit.empty());
        EXPECT_TRUE(names.insert(row.group + row.name).second) << "named twice";
    }
}

TEST(BenchTest, JsonHasOneObjectPerRow) {
    std::vector<simtool::BenchRow> rows(2);
    rows[0].group = "g";
    rows[0].name = "a \"quoted\" name";
    rows[0].unit = "ms";
    rows[0].produced = true;
    rows[0].value = 1.5;
    rows[0].bound = {simtool::Bound::Kind::AtMost, 2};
    rows[1].group = "g";
    rows[1].name = "not measured";
    rows[1].unit = "B/s";
    char* text = nullptr;
    size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    simtool::PrintBenchJson(rows, out);
    std::fclose(out);
    std::string json(text, size);
    free(text);
    EXPECT_NE(std::string::npos, json.find("\"name\": \"a \\\"quoted\\\" name\", \"value\": 1.500"));
    EXPECT_NE(std::string::npos, json.find("\"value\": null"));
    EXPECT_NE(std::string::npos, json.find("\"holds\": true"));
    EXPECT_NE(std::string::npos, json.find("\"produced\": false"));
}

}  // namespace
