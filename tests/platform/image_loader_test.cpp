// The native image loader on the cross-built pmc7r.sys: it loads, relocated, with its
// sections' protections, names its routines, refuses a broken header or a missing import
// before anything runs, and unloads to nothing. 32-bit x86 only. Without the image the tests
// skip, unless PMC7R_REQUIRE_SYS=1.
#include <gtest/gtest.h>

#if defined(__i386__)

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

#include "platform/host/native_image.h"
#include "support/death_test_style.h"

namespace {

std::string SysPath() {
    const char* path = std::getenv("PMC7R_SYS_PATH");
    return path && *path ? path : PMC7R_SOURCE_DIR "/build/windows-x86/pmc7r.sys";
}

class ImageLoader : public ::testing::Test {
protected:
    void SetUp() override {
        std::ifstream in(SysPath(), std::ios::binary);
        if (!in) {
            const char* required = std::getenv("PMC7R_REQUIRE_SYS");
            if (required && std::string(required) == "1") FAIL() << SysPath() << " is missing";
            GTEST_SKIP() << SysPath() << " is not built";
        }
        bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // Writes a changed copy of the image and tries to load it.
    std::string LoadChanged(const std::function<void(std::vector<uint8_t>&)>& change) {
        std::vector<uint8_t> copy = bytes_;
        change(copy);
        std::string path = testing::TempDir() + "changed.sys";
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(copy.data()), copy.size());
        std::string error;
        host::image::Image* image = host::image::Load(path, &error);
        EXPECT_EQ(nullptr, image) << "loaded";
        host::image::Unload(image);
        return error;
    }

    uint32_t PeOffset() const { return bytes_[0x3C] | bytes_[0x3D] << 8; }
    uint32_t U32(size_t at) const { return bytes_[at] | bytes_[at + 1] << 8 | bytes_[at + 2] << 16 | uint32_t(bytes_[at + 3]) << 24; }
    // Where the entry point's first instruction is in the file.
    size_t EntryInFile() const {
        size_t pe = PeOffset(), sections = pe + 24 + (bytes_[pe + 20] | bytes_[pe + 21] << 8);
        uint32_t entry = U32(pe + 24 + 16);
        for (unsigned i = 0; i < unsigned(bytes_[pe + 6]); ++i) {
            size_t s = sections + 40 * i;
            uint32_t rva = U32(s + 12), size = U32(s + 8);
            if (entry >= rva && entry < rva + size) return U32(s + 20) + entry - rva;
        }
        return 0;
    }

    std::vector<uint8_t> bytes_;
};

// The first writable section of a mapped image, from its own headers.
const void* DataSection(const uint8_t* base) {
    auto u32 = [base](size_t at) { uint32_t v; std::memcpy(&v, base + at, 4); return v; };
    size_t pe = u32(0x3C), sections = pe + 24 + (base[pe + 20] | base[pe + 21] << 8);
    for (unsigned i = 0; i < unsigned(base[pe + 6]); ++i)
        if (u32(sections + 40 * i + 36) & 0x80000000u) return base + u32(sections + 40 * i + 12);
    return nullptr;
}

// The permissions of the mapping that holds address, from the process's own map.
std::string PermissionsAt(const void* address) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        uintptr_t from, to;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%x-%x %4s", &from, &to, perms) == 3 && uintptr_t(address) >= from &&
            uintptr_t(address) < to)
            return perms;
    }
    return "";
}

TEST_F(ImageLoader, LoadsRelocatedWithProtectionsAndSymbols) {
    std::string error;
    host::image::Image* image = host::image::Load(SysPath(), &error);
    ASSERT_NE(nullptr, image) << error;
    auto* base = static_cast<uint8_t*>(host::image::Base(image));
    EXPECT_NE(reinterpret_cast<uint8_t*>(0x10000), base) << "the preferred base: relocations untested";
    auto entry = reinterpret_cast<uintptr_t>(host::image::Entry(image));
    std::string where = host::image::Describe(entry);
    EXPECT_EQ(0u, where.find("pmc7r.sys+0x")) << where;
    EXPECT_NE(std::string::npos, where.find("(DriverEntry+0x0)")) << where;
    // The headers and the code are not writable, the data is. (qemu's user-mode emulation
    // keeps the execute permission to itself, so it is not checked here.)
    EXPECT_EQ("r-", PermissionsAt(base).substr(0, 2));
    EXPECT_EQ("r-", PermissionsAt((void*)entry).substr(0, 2));
    EXPECT_EQ("rw", PermissionsAt(DataSection(base)).substr(0, 2));
    host::image::Unload(image);
    EXPECT_EQ("", host::image::Describe(entry));
    std::string after = PermissionsAt(base);
    EXPECT_TRUE(after.empty() || after.starts_with("---")) << "still mapped after the unload: " << after;
}

TEST_F(ImageLoader, MissingImportFailsTheLoadWithItsName) {
    std::string error = LoadChanged([](std::vector<uint8_t>& b) {
        const char name[] = "KeSetEvent";
        auto at = std::search(b.begin(), b.end(), name, name + sizeof name);  // with its NUL
        ASSERT_NE(b.end(), at);
        at[9] = 'X';
    });
    EXPECT_NE(std::string::npos, error.find("ntoskrnl.exe!KeSetEvenX")) << error;
}

using ImageLoaderDeathTest = ImageLoader;

// An illegal instruction at the entry point: the report names the image, the offset and
// the routine from the image's own symbols.
TEST_F(ImageLoaderDeathTest, FaultNamesTheRoutine) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The platform's fault report runs in a signal handler, which the sanitizers' own checks
    // do not allow for; scripts/test.sh runs this in the unsanitized 32-bit build.
    GTEST_SKIP() << "needs a build without sanitizers (host-x86)";
#endif
    ChooseDeathTestStyle();
    size_t at = EntryInFile();
    ASSERT_NE(0u, at);
    bytes_[at] = 0x0F;  // ud2
    bytes_[at + 1] = 0x0B;
    std::string path = testing::TempDir() + "faulting.sys";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes_.data()), bytes_.size());
    EXPECT_DEATH(
        {
            std::string error;
            host::image::Image* image = host::image::Load(path, &error);
            if (image) host::image::Entry(image)(nullptr, nullptr);
        },
        R"(in faulting\.sys\+0x[0-9a-f]+ \(DriverEntry\+0x0\))");
}

TEST_F(ImageLoader, RefusesBrokenHeaders) {
    struct Case {
        const char* what;
        size_t at;  // from the PE signature
        uint8_t value;
        const char* error;
    };
    const Case cases[] = {
        {"signature", 0, 'Q', "no PE signature"},
        {"machine", 4, 0x64, "not an i386 image"},
        {"optional header magic", 25, 0x02, "not a PE32 image"},
        {"subsystem", 24 + 68, 2, "not a native (kernel-mode) image"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string error = LoadChanged([&](std::vector<uint8_t>& b) { b[PeOffset() + c.at] = c.value; });
        EXPECT_NE(std::string::npos, error.find(c.error)) << error;
    }
    std::string error = LoadChanged([&](std::vector<uint8_t>& b) { std::memset(&b[PeOffset() + 24 + 16], 0, 4); });
    EXPECT_NE(std::string::npos, error.find("no entry point")) << error;
    EXPECT_EQ(nullptr, host::image::Load(testing::TempDir() + "absent.sys", &error));
    EXPECT_NE(std::string::npos, error.find("cannot read")) << error;
}

}  // namespace

#endif
