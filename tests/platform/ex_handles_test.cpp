// Kernel handles: their values, ZwClose, and the leak report.
#include <set>

#include "support/platform_test.h"

namespace {

class ExHandles : public PlatformTest {
protected:
    HANDLE OpenMachine() {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\Registry\\Machine");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        HANDLE h = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, ZwOpenKey(&h, KEY_READ, &attributes));
        return h;
    }
};

TEST_F(ExHandles, ValuesLookLikeKernelHandlesAndAreNotReused) {
    std::set<HANDLE> seen;
    for (int i = 0; i < 4; ++i) {
        HANDLE h = OpenMachine();
        auto value = reinterpret_cast<uintptr_t>(h);
        EXPECT_NE(0u, value);
        EXPECT_EQ(0u, value % 4);
        EXPECT_TRUE(seen.insert(h).second);
        EXPECT_EQ(STATUS_SUCCESS, ZwClose(h));
    }
}

TEST_F(ExHandles, ClosingAnUnknownOrClosedHandleIsARule) {
    host::verifier::Record(true);
    HANDLE h = OpenMachine();
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(h));
    for (HANDLE bad : {h, reinterpret_cast<HANDLE>(uintptr_t(0x1234))}) {
        EXPECT_EQ(STATUS_INVALID_HANDLE, ZwClose(bad));
        EXPECT_TRUE(host::verifier::Fired("ZwClose on an invalid handle"));
    }
}

TEST_F(ExHandles, LeakReportListsOpenHandlesByKindAndClosesThem) {
    OpenMachine();
    std::string report = session_.Finish();
    EXPECT_NE(std::string::npos, report.find("Key handle")) << report;
}

}  // namespace
