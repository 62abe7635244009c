// The caller's buffers on the way to a driver: buffered and direct devices get a system
// buffer, neither-buffering devices the caller's address; a bad user-mode address fails the
// request before any driver sees it, without faulting the platform.
#include <cstring>
#include <sys/mman.h>

#include "platform/io_file_test_driver.h"

namespace {

using host::files::File;

const ULONG kBufferedIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
const ULONG kOutDirectIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
const ULONG kNeitherIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_NEITHER, FILE_ANY_ACCESS);

// Three pages: readable and writable, unmapped again, read-only. Mapped as one so that the
// hole is not where the next mapping goes.
struct Pages {
    Pages() {
        base = static_cast<char*>(mmap(nullptr, 3 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        freed = base + kPage;
        readOnly = base + 2 * kPage;
        munmap(freed, kPage);
        mprotect(readOnly, kPage, PROT_READ);
    }
    ~Pages() {
        munmap(base, kPage);
        munmap(readOnly, kPage);
    }
    static constexpr size_t kPage = 4096;
    char* base;
    char* freed;
    char* readOnly;
};

// What a write's driver found in its buffer, and how long the request said it was.
struct Written {
    std::vector<char> bytes;
    ULONG length = 0;
};

Dispatch RecordWrite(Written* written) {
    return [written](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
        if (sl->MajorFunction != IRP_MJ_WRITE) return Complete(irp, STATUS_SUCCESS);
        written->length = sl->Parameters.Write.Length;
        auto* data = static_cast<const char*>(irp->AssociatedIrp.SystemBuffer);
        written->bytes.assign(data, data + written->length);
        return Complete(irp, STATUS_SUCCESS, written->length);
    };
}

TEST_F(FileTest, BufferedAndDirectWritesCopyTheCallersData) {
    for (ULONG flags : {DO_BUFFERED_IO, DO_DIRECT_IO}) {
        Written written;
        recorder_.answer = RecordWrite(&written);
        File* file = OpenExposed(flags);
        char data[] = "pmc7r";
        ULONG_PTR transferred = 0;
        EXPECT_EQ(STATUS_SUCCESS, host::files::Write(file, data, sizeof data, &transferred));
        EXPECT_EQ(sizeof data, transferred);
        EXPECT_EQ(sizeof data, written.length);
        EXPECT_EQ(std::string(data, sizeof data), std::string(written.bytes.begin(), written.bytes.end()));
        Seen write = recorder_.Calls().back();
        EXPECT_NE(nullptr, write.system);
        EXPECT_NE(static_cast<void*>(data), write.system);
        EXPECT_EQ(static_cast<void*>(data), write.user);
        host::files::Close(file);
    }
}

// Each request with a bad buffer, as the caller's own request: the driver only ever sees
// the create, cleanup and close.
TEST_F(FileTest, BadUserAddressFailsBeforeTheDriver) {
    Pages pages;
    File* file = OpenExposed();
    char good[16] = {};
    struct Case {
        const char* what;
        std::function<NTSTATUS(void*)> call;
        bool readOnlyFails;
    } cases[] = {
        {"write", [&](void* p) { return host::files::Write(file, p, 16); }, false},
        {"read", [&](void* p) { return host::files::Read(file, p, 16); }, true},
        {"control input", [&](void* p) { return host::files::DeviceIoControl(file, kBufferedIoctl, p, 16, good, 16); }, false},
        {"control output", [&](void* p) { return host::files::DeviceIoControl(file, kBufferedIoctl, good, 16, p, 16); }, true},
        {"direct output", [&](void* p) { return host::files::DeviceIoControl(file, kOutDirectIoctl, good, 16, p, 16); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(STATUS_ACCESS_VIOLATION, c.call(reinterpret_cast<void*>(0x10)));
        EXPECT_EQ(STATUS_ACCESS_VIOLATION, c.call(pages.freed));
        // A range that runs from good memory into the unmapped page.
        EXPECT_EQ(STATUS_ACCESS_VIOLATION, c.call(pages.freed - 8));
        if (c.readOnlyFails) {
            EXPECT_EQ(STATUS_ACCESS_VIOLATION, c.call(pages.readOnly));
        }
    }
    EXPECT_EQ(std::vector<UCHAR>{IRP_MJ_CREATE}, recorder_.Majors());
    host::files::Close(file);
}

// The driver fills its buffer and completes with this status and 4 bytes of information.
TEST_F(FileTest, BufferedReadCopiesBackOnlyWhatASuccessfulReadReturned) {
    for (NTSTATUS status : {STATUS_SUCCESS, STATUS_DEVICE_DATA_ERROR}) {
        SCOPED_TRACE(status);
        recorder_.answer = [status](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
            if (sl->MajorFunction != IRP_MJ_READ) return Complete(irp, STATUS_SUCCESS);
            std::memset(irp->AssociatedIrp.SystemBuffer, 'd', sl->Parameters.Read.Length);
            return Complete(irp, status, 4);
        };
        File* file = OpenExposed();
        char data[8];
        std::memset(data, '-', sizeof data);
        ULONG_PTR transferred = 0;
        EXPECT_EQ(status, host::files::Read(file, data, sizeof data, &transferred));
        EXPECT_EQ(4u, transferred);
        EXPECT_EQ(NT_SUCCESS(status) ? "dddd----" : "--------", std::string(data, sizeof data));
        host::files::Close(file);
    }
}

// Neither buffering: the driver gets the caller's addresses, even bad ones, unprobed.
TEST_F(FileTest, NeitherBufferingPassesTheCallersAddresses) {
    File* file = OpenExposed(0);
    void* bad = reinterpret_cast<void*>(0x10);
    PVOID type3 = nullptr;
    recorder_.answer = [&type3](PDEVICE_OBJECT, PIRP irp) {
        type3 = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer;
        return Complete(irp, STATUS_SUCCESS);
    };
    EXPECT_EQ(STATUS_SUCCESS, host::files::Read(file, bad, 16));
    EXPECT_EQ(STATUS_SUCCESS, host::files::Write(file, bad, 16));
    EXPECT_EQ(STATUS_SUCCESS, host::files::DeviceIoControl(file, kBufferedIoctl, nullptr, 0, nullptr, 0));
    char out[4];
    EXPECT_EQ(STATUS_SUCCESS, host::files::DeviceIoControl(file, kNeitherIoctl, bad, 16, out, sizeof out));
    EXPECT_EQ(bad, type3);
    std::vector<Seen> calls = recorder_.Calls();
    ASSERT_EQ(5u, calls.size());
    for (int i : {1, 2}) {
        EXPECT_EQ(bad, calls[i].user);
        EXPECT_EQ(nullptr, calls[i].system);
    }
    EXPECT_EQ(static_cast<void*>(out), calls[4].user);
    EXPECT_EQ(nullptr, calls[4].system);
    host::files::Close(file);
}

// METHOD_BUFFERED: the input in one system buffer, information bytes of it copied back.
// METHOD_OUT_DIRECT: the input buffered, the output the caller's buffer itself.
TEST_F(FileTest, DeviceControlBuffersByMethod) {
    recorder_.answer = [](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
        if (sl->MajorFunction != IRP_MJ_DEVICE_CONTROL) return Complete(irp, STATUS_SUCCESS);
        auto* system = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
        char* out = METHOD_FROM_CTL_CODE(sl->Parameters.DeviceIoControl.IoControlCode) == METHOD_BUFFERED
                        ? system
                        : static_cast<char*>(irp->UserBuffer);
        // Echoes the input reversed, three bytes of it.
        char in[3] = {system[0], system[1], system[2]};
        for (int i = 0; i < 3; ++i) out[i] = in[2 - i];
        return Complete(irp, STATUS_SUCCESS, 3);
    };
    File* file = OpenExposed(0);
    for (ULONG code : {kBufferedIoctl, kOutDirectIoctl}) {
        SCOPED_TRACE(code);
        char in[3] = {'a', 'b', 'c'};
        char out[6];
        std::memset(out, '-', sizeof out);
        ULONG_PTR information = 0;
        EXPECT_EQ(STATUS_SUCCESS, host::files::DeviceIoControl(file, code, in, sizeof in, out, sizeof out, &information));
        EXPECT_EQ(3u, information);
        EXPECT_EQ("cba---", std::string(out, sizeof out));
        Seen control = recorder_.Calls().back();
        EXPECT_NE(nullptr, control.system);
        EXPECT_EQ(static_cast<void*>(out), control.user);
    }
    host::files::Close(file);
}

}  // namespace
