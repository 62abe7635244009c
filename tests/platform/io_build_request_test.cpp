// IoBuildDeviceIoControlRequest: the stack location it fills, the buffers of each transfer
// method, and the status block and event at completion, with and without force pending.
#include <cstring>
#include <string>

#include "platform/io_test_driver.h"

namespace {

struct BuildCase {
    const char* name;
    ULONG method;
    bool forced;
};

void PrintTo(const BuildCase& c, std::ostream* os) { *os << c.name; }

class BuildRequest : public IoTest, public ::testing::WithParamInterface<BuildCase> {};

constexpr ULONG kCode(ULONG method) { return CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, method, FILE_ANY_ACCESS); }

TEST_P(BuildRequest, CompletesIntoTheStatusBlockAndEvent) {
    const BuildCase& c = GetParam();
    char input[4] = {'1', '2', '3', '4'};
    char output[8];
    std::memset(output, 'x', sizeof output);
    std::string seen;
    PKTHREAD caller = KeGetCurrentThread();
    IO_STATUS_BLOCK iosb{};
    PDEVICE_OBJECT device = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
        const auto& p = sl->Parameters.DeviceIoControl;
        bool neither = c.method == METHOD_NEITHER;
        const char* in = static_cast<const char*>(neither ? p.Type3InputBuffer : irp->AssociatedIrp.SystemBuffer);
        char* out = static_cast<char*>(c.method == METHOD_BUFFERED ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer);
        if (sl->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL) seen += "major,";
        if (p.IoControlCode != kCode(c.method) || p.InputBufferLength != 4 || p.OutputBufferLength != 8) seen += "parameters,";
        if (irp->RequestorMode != KernelMode || irp->UserIosb != &iosb || irp->Tail.Overlay.Thread != caller) seen += "fields,";
        if (std::memcmp(in, "1234", 4) != 0) seen += "input,";
        std::memcpy(out, "ABCD", 4);
        return Complete(irp, STATUS_SUCCESS, 4);
    });
    host::faults::ForcePending(device, c.forced);

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(kCode(c.method), device, input, sizeof input, output, sizeof output,
                                             TRUE, &event, &iosb);
    ASSERT_NE(nullptr, irp);
    NTSTATUS status = IoCallDriver(device, irp);
    EXPECT_EQ(c.forced ? STATUS_PENDING : STATUS_SUCCESS, status);
    if (status == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ("", seen);
    EXPECT_EQ(1, KeReadStateEvent(&event));
    EXPECT_EQ(STATUS_SUCCESS, iosb.Status);
    EXPECT_EQ(4u, iosb.Information);
    EXPECT_EQ("ABCDxxxx", std::string(output, sizeof output));  // only Information bytes come back
    EXPECT_EQ(0u, host::io::LiveRequests());
}

INSTANTIATE_TEST_SUITE_P(Io, BuildRequest,
                         ::testing::Values(BuildCase{"Buffered", METHOD_BUFFERED, false},
                                           BuildCase{"BufferedForcedPending", METHOD_BUFFERED, true},
                                           BuildCase{"Neither", METHOD_NEITHER, false},
                                           BuildCase{"OutDirectForcedPending", METHOD_OUT_DIRECT, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
