// Pool: fresh memory is not zeroed, blocks are tracked by tag, and the verifier's pool
// rules fire.
#include <functional>

#include "support/platform_test.h"

namespace {

class ExPool : public PlatformTest {};

TEST_F(ExPool, BlocksAreTrackedAndNotZeroed) {
    auto p = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, 24, 'Wdm '));
    auto q = ExAllocatePool(NonPagedPool, 8);
    ASSERT_NE(nullptr, p);
    ASSERT_NE(nullptr, q);
    EXPECT_EQ(0xCD, p[0]);
    EXPECT_EQ(0xCD, p[23]);

    auto blocks = host::pool::Outstanding();
    ASSERT_EQ(2u, blocks.size());
    EXPECT_EQ(p, blocks[0].address);
    EXPECT_EQ(PagedPool, blocks[0].type);
    EXPECT_EQ(ULONG('Wdm '), blocks[0].tag);
    EXPECT_EQ(24u, blocks[0].size);
    EXPECT_EQ("None", host::pool::TagText(blocks[1].tag));

    ExFreePoolWithTag(p, 'Wdm ');
    ExFreePool(q);
    EXPECT_TRUE(host::pool::Outstanding().empty());
}

TEST_F(ExPool, TagTextReadsTheHighByteFirst) {
    EXPECT_EQ(0x57646D20u, ULONG('Wdm '));
    EXPECT_EQ("Wdm ", host::pool::TagText('Wdm '));
    EXPECT_EQ("ab..", host::pool::TagText(0x61620001));
}

TEST_F(ExPool, InjectedFaultReturnsNull) {
    host::faults::FailNth(host::faults::Op::Pool, 2);
    void* first = ExAllocatePoolWithTag(NonPagedPool, 4, 'Test');
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPool, 4, 'Test'));
    EXPECT_EQ(1u, host::pool::Outstanding().size());
    ExFreePool(first);
}

TEST_F(ExPool, RulesFire) {
    struct Case {
        const char* rule;
        std::function<void()> act;
    };
    auto atIrql = [](KIRQL irql, std::function<void()> body) {
        KIRQL old;
        KeRaiseIrql(irql, &old);
        body();
        KeLowerIrql(old);
    };
    const Case cases[] = {
        {"pool allocated with an invalid type",
         [] { EXPECT_EQ(nullptr, ExAllocatePoolWithTag(static_cast<POOL_TYPE>(MaxPoolType), 4, 'Test')); }},
        {"pool freed twice",
         [] {
             void* p = ExAllocatePoolWithTag(NonPagedPool, 4, 'Test');
             ExFreePool(p);
             ExFreePool(p);
         }},
        {"pool freed with a pointer the pool never gave",
         [] {
             static UCHAR foreign[4];
             ExFreePool(foreign);
         }},
        {"pool freed with the wrong tag",
         [] {
             void* p = ExAllocatePoolWithTag(NonPagedPool, 4, 'Test');
             ExFreePoolWithTag(p, 'Tset');
             ExFreePoolWithTag(p, 'Test');
         }},
        {"paged pool allocated at DISPATCH_LEVEL",
         [&] { atIrql(DISPATCH_LEVEL, [] { EXPECT_EQ(nullptr, ExAllocatePoolWithTag(PagedPool, 4, 'Test')); }); }},
        {"paged pool allocated at DISPATCH_LEVEL",
         [&] { atIrql(PROFILE_LEVEL, [] { EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPool, 4, 'Test')); }); }},
        {"paged pool freed at DISPATCH_LEVEL",
         [&] {
             void* p = ExAllocatePoolWithTag(PagedPool, 4, 'Test');
             atIrql(DISPATCH_LEVEL, [p] { ExFreePool(p); });
             ExFreePool(p);
         }},
    };
    host::verifier::Record(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule);
        c.act();
        EXPECT_TRUE(host::verifier::Fired(c.rule));
        EXPECT_TRUE(host::pool::Outstanding().empty());
    }
    // At DISPATCH_LEVEL nonpaged pool is allowed.
    atIrql(DISPATCH_LEVEL, [] { ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 4, 'Test')); });
    EXPECT_TRUE(host::verifier::Take().empty());
}

TEST_F(ExPool, LeakReportNamesTagTypeAndSize) {
    void* p = ExAllocatePoolWithTag(NonPagedPool, 24, 'Wdm ');
    std::string report = session_.Finish();
    EXPECT_NE(std::string::npos, report.find("'Wdm ' NonPagedPool 24 bytes")) << report;
    ExFreePoolWithTag(p, 'Wdm ');
}

}  // namespace
