// Counted strings and memory comparison.
#include <algorithm>

#include "support/platform_test.h"

namespace {

using namespace std::string_literals;

class ExStrings : public PlatformTest {};

UNICODE_STRING Counted(const char16_t* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

TEST_F(ExStrings, InitCountsBytesWithoutTheTerminator) {
    UNICODE_STRING s = Counted(u"pmc7r");
    EXPECT_EQ(10, s.Length);
    EXPECT_EQ(12, s.MaximumLength);
    s = Counted(nullptr);
    EXPECT_EQ(0, s.Length);
    EXPECT_EQ(0, s.MaximumLength);
    EXPECT_EQ(nullptr, s.Buffer);
}

TEST_F(ExStrings, CopyStopsAtTheDestinationsRoom) {
    UNICODE_STRING source = Counted(u"abcdef");
    char16_t storage[8];
    struct Case {
        USHORT room;
        std::u16string left;  // the destination's storage afterwards
    };
    const Case cases[] = {
        {16, u"abcdef\0#"s},
        {14, u"abcdef\0#"s},
        {12, u"abcdef##"s},
        {6, u"abc#####"s},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.room);
        std::fill(std::begin(storage), std::end(storage), u'#');
        UNICODE_STRING dest{0, c.room, storage};
        RtlCopyUnicodeString(&dest, &source);
        EXPECT_EQ(std::min<USHORT>(c.room, 12), dest.Length);
        EXPECT_EQ(c.left, std::u16string(storage, 8));
    }
    UNICODE_STRING dest{4, 16, storage};
    RtlCopyUnicodeString(&dest, nullptr);
    EXPECT_EQ(0, dest.Length);
}

TEST_F(ExStrings, EqualityWithAndWithoutCase) {
    struct Case {
        const char16_t* a;
        const char16_t* b;
        bool exact, folded;
    };
    const Case cases[] = {
        {u"Pmc7r", u"Pmc7r", true, true},
        {u"Pmc7r", u"PMC7R", false, true},
        {u"\u00e9t\u00e9", u"\u00c9T\u00c9", false, true},
        {u"pmc7r", u"pmc7", false, false},
        {u"a", u"b", false, false},
    };
    for (const Case& c : cases) {
        UNICODE_STRING a = Counted(c.a), b = Counted(c.b);
        EXPECT_EQ(c.exact, RtlEqualUnicodeString(&a, &b, FALSE) != FALSE);
        EXPECT_EQ(c.folded, RtlEqualUnicodeString(&a, &b, TRUE) != FALSE);
    }
}

TEST_F(ExStrings, CompareMemoryCountsTheMatchingPrefix) {
    const UCHAR a[] = {1, 2, 3, 4}, b[] = {1, 2, 9, 4};
    EXPECT_EQ(2u, RtlCompareMemory(a, b, 4));
    EXPECT_EQ(4u, RtlCompareMemory(a, a, 4));
    EXPECT_EQ(0u, RtlCompareMemory(a, b, 0));
}

TEST_F(ExStrings, FreeReleasesThePoolBuffer) {
    UNICODE_STRING s;
    s.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, 8, 'Strg'));
    s.Length = s.MaximumLength = 8;
    RtlFreeUnicodeString(&s);
    EXPECT_EQ(nullptr, s.Buffer);
    EXPECT_EQ(0, s.MaximumLength);
    EXPECT_TRUE(host::pool::Outstanding().empty());
}

}  // namespace
