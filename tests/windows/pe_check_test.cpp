// Checks the cross-built pmc7r.sys as the Windows loader would see it. The image comes from
// the windows-x86 build; without it these tests skip, unless PMC7R_REQUIRE_SYS=1.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>

#include "windows/pe_image.h"

namespace {

std::string SysPath() {
    const char* path = std::getenv("PMC7R_SYS_PATH");
    return path && *path ? path : PMC7R_SOURCE_DIR "/build/windows-x86/pmc7r.sys";
}

bool SysRequired() {
    const char* required = std::getenv("PMC7R_REQUIRE_SYS");
    return required && std::string(required) == "1";
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

class PeCheck : public ::testing::Test {
protected:
    void SetUp() override {
        std::ifstream in(SysPath(), std::ios::binary);
        if (!in) {
            if (SysRequired()) FAIL() << SysPath() << " is missing";
            GTEST_SKIP() << SysPath() << " is not built";
        }
        image_.emplace(std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                            std::istreambuf_iterator<char>()));
    }

    std::optional<PeImage> image_;
};

TEST_F(PeCheck, IsA32BitNativeImage) {
    EXPECT_EQ(0x14c, image_->Machine());
    EXPECT_EQ(0x10b, image_->Magic());
    EXPECT_EQ(1, image_->Subsystem());
}

TEST_F(PeCheck, EntersAtDriverEntry) {
    std::vector<PeImage::Export> exports = image_->Exports();
    auto entry = std::find_if(exports.begin(), exports.end(),
                              [](const PeImage::Export& e) { return e.name == "DriverEntry@8"; });
    ASSERT_TRUE(entry != exports.end()) << "DriverEntry@8 is not exported";
    EXPECT_NE(0u, image_->EntryPoint());
    EXPECT_EQ(entry->rva, image_->EntryPoint());
}

// Anything else (the C runtime, a user-mode DLL) would make the loader refuse the driver.
TEST_F(PeCheck, ImportsOnlyFromTheKernelTheHalAndUsbd) {
    const std::set<std::string> allowed = {"ntoskrnl.exe", "hal.dll", "usbd.sys"};
    std::set<std::string> modules;
    for (const std::string& module : image_->ImportedModules()) {
        EXPECT_TRUE(allowed.count(Lower(module))) << "imports from " << module;
        modules.insert(Lower(module));
    }
    EXPECT_TRUE(modules.count("ntoskrnl.exe"));
}

TEST_F(PeCheck, ChecksumMatchesTheImage) {
    EXPECT_NE(0u, image_->Checksum());
    EXPECT_EQ(image_->ComputeChecksum(), image_->Checksum());
}

}  // namespace
