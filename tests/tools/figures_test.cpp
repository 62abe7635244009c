// pmc7r-sim figures: the output path's figures hold (each run has its own platform session).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tools/pmc7r_sim/figures.h"

namespace {

TEST(FiguresTest, NothingLostAtTheWiresPaceAndQuickWhenIdle) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(nullptr, out);
    EXPECT_EQ(0, simtool::RunFigures(out));
    std::rewind(out);
    std::string text;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, out)) text += buffer;
    std::fclose(out);
    EXPECT_NE(std::string::npos, text.find("every figure holds")) << text;
    EXPECT_EQ(std::string::npos, text.find("does not hold")) << text;
}

}  // namespace
