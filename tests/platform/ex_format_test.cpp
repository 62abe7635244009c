// _vsnprintf's bounds, the kernel's format codes, and DbgPrint's capture.
#include <cstring>

#include "support/platform_test.h"

namespace {

class ExFormat : public PlatformTest {};

int Bounded(char* buffer, size_t count, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = _vsnprintf(buffer, count, format, args);
    va_end(args);
    return n;
}

std::string Format(const char* format, ...) {
    char buffer[256];
    va_list args;
    va_start(args, format);
    int n = _vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return n < 0 ? "<overflow>" : std::string(buffer, n);
}

TEST_F(ExFormat, BoundedOutputFollowsThePlatform) {
    struct Case {
        size_t count;
        int result;
        const char* written;  // the bytes the call leaves, '#' where it writes nothing
    };
    const Case cases[] = {
        {5, 3, "abc\0#"},
        {4, 3, "abc\0#"},
        {3, 3, "abc##"},
        {2, -1, "ab###"},
        {0, -1, "#####"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        char buffer[5];
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(c.result, Bounded(buffer, c.count, "a%c%s", 'b', "c"));
        EXPECT_EQ(0, std::memcmp(c.written, buffer, sizeof buffer));
    }
}

TEST_F(ExFormat, KernelFormatCodes) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"pmc7r\u00b5\U0001D11E");
    name.Length -= 4;  // the counted length, not the terminator, ends %wZ
    struct {
        std::string got, want;
    } cases[] = {
        {Format("%lx %lu %ld", ULONG(0xDEADBEEF), ULONG(7), LONG(-7)), "deadbeef 7 -7"},
        {Format("%I64x %I64d", 0x123456789ULL, -5LL), "123456789 -5"},
        {Format("%hd %hhu", 70000, 257), "4464 1"},
        {Format("[%wZ]", &name), "[pmc7r\xc2\xb5]"},
        {Format("[%ws|%S|%-4ls|%.2ws]", u"ab", u"\U0001D11E", u"c", u"xyz"), "[ab|\xf0\x9d\x84\x9e|c   |xy]"},
        {Format("[%s|%hs|%5.1s|%c%wc%C]", "a", "b", "cd", 'e', u'f', u'g'), "[a|b|    c|efg]"},
        {Format("%ws %wZ", (PCWSTR) nullptr, (PUNICODE_STRING) nullptr), "(null) (null)"},
        {Format("%p", reinterpret_cast<void*>(0xAB)), std::string(sizeof(void*) * 2 - 2, '0') + "AB"},
        {Format("%08X|%-3d|%+d|%%|%*d", 0xBEEFu, 5, 5, 3, 9), "0000BEEF|5  |+5|%|  9"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.want, c.got);
}

TEST_F(ExFormat, UnicodeCodesOnlyAtPassive) {
    host::verifier::Record(true);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    std::string text = Format("%s-%ws-%d", "a", u"b", 3);
    std::string plain = Format("%s %lx", "a", ULONG(1));
    KeLowerIrql(old);
    EXPECT_EQ("a--3", text);
    EXPECT_EQ("a 1", plain);
    auto fired = host::verifier::Take();
    ASSERT_EQ(1u, fired.size());
    EXPECT_EQ("Unicode format above PASSIVE_LEVEL", fired[0].rule);
}

TEST_F(ExFormat, DbgPrintIsCapturedAndBounded) {
    EXPECT_EQ(STATUS_SUCCESS, static_cast<NTSTATUS>(DbgPrint("pmc7r: %s %lu\n", "start", ULONG(3))));
    DbgPrint("%s", std::string(600, 'x').c_str());
    auto lines = host::debug::Output();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("pmc7r: start 3\n", lines[0]);
    EXPECT_EQ(512u, lines[1].size());
    host::debug::Clear();
    EXPECT_TRUE(host::debug::Output().empty());
}

}  // namespace
