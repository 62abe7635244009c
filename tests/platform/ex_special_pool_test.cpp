// The verifier's special pool: an overrun past the block's page faults at once, a write into
// the slack around the block is found at free, and freed blocks stay inaccessible.
#include <functional>

#include "support/death_test_style.h"
#include "support/platform_test.h"

namespace {

class SpecialPool : public PlatformTest {
protected:
    void SetUp() override { host::pool::SetSpecial(host::pool::Special::All); }
    void TearDown() override {
        host::pool::SetSpecial(host::pool::Special::Images);
        PlatformTest::TearDown();
    }
};

using SpecialPoolDeathTest = SpecialPool;

// 13 bytes are placed at the end of their page, rounded to 8: bytes 13..15 are slack, 16 is
// the guard page.
constexpr size_t kSize = 13;

UCHAR* Block() { return static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, kSize, 'Spec')); }

TEST_F(SpecialPoolDeathTest, FaultsAtOnce) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The platform's fault report runs in a signal handler, which the sanitizers' own checks
    // do not allow for; scripts/test.sh runs this in the unsanitized 32-bit build.
    GTEST_SKIP() << "needs a build without sanitizers (host-x86)";
#endif
    ChooseDeathTestStyle();
    struct Case {
        const char* what;
        std::function<void()> act;
        const char* report;
    };
    const Case cases[] = {
        {"overrun", [] { Block()[16] = 1; }, "special pool: overrun, 16 bytes past the start of the 'Spec' block of 13"},
        {"underrun past the page",
         [] {
             // A page-sized block starts at its page: the byte before it is the guard page.
             auto* q = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 4096, 'Spec'));
             q[-1] = 1;
         },
         "special pool: underrun"},
        {"use after free",
         [] {
             UCHAR* p = Block();
             ExFreePoolWithTag(p, 'Spec');
             volatile UCHAR read = p[0];
             (void)read;
         },
         "special pool: use after free of the 'Spec' block of 13 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_DEATH(c.act(), c.report);
    }
}

TEST_F(SpecialPool, SlackIsCheckedAtFree) {
    struct Case {
        const char* what;
        ptrdiff_t at;
        const char* detail;
    };
    const Case cases[] = {
        {"overrun into the slack", 13, "byte 13 past the block's end overwritten"},
        {"underrun", -1, "1 byte(s) before the block overwritten"},
    };
    host::verifier::Record(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UCHAR* p = Block();
        p[c.at] = 0;
        ExFreePoolWithTag(p, 'Spec');
        std::vector<host::verifier::Violation> found = host::verifier::Take();
        ASSERT_EQ(1u, found.size());
        EXPECT_EQ("special pool: block corrupted", found[0].rule);
        EXPECT_NE(std::string::npos, found[0].detail.find(c.detail)) << found[0].detail;
    }
    // A block used within its bounds frees quietly, tag and size checked as always.
    UCHAR* p = Block();
    for (size_t i = 0; i < kSize; ++i) p[i] = UCHAR(i);
    ExFreePoolWithTag(p, 'Spec');
    EXPECT_TRUE(host::verifier::Take().empty());
    p = Block();
    ExFreePoolWithTag(p, 'Tset');
    EXPECT_TRUE(host::verifier::Fired("pool freed with the wrong tag"));
    ExFreePoolWithTag(p, 'Spec');
}

TEST_F(SpecialPool, CacheAlignedBlocksKeepTheirAlignment) {
    void* p = ExAllocatePoolWithTag(NonPagedPoolCacheAligned, 100, 'Spec');
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(p) % 64);
    ExFreePoolWithTag(p, 'Spec');
}

}  // namespace
