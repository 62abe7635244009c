// Handles: resolving a path, the create, cleanup and close a handle brings, the requestor
// mode, what happens to a request still pending at the close and at its thread's end, and
// handles left open at session end.
#include <atomic>

#include "platform/io_file_test_driver.h"

namespace {

using host::files::File;

std::atomic<PIRP> parked{nullptr};
KEVENT parkedEvent;  // set when a read is parked

VOID NTAPI CancelParked(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    parked = nullptr;
    Complete(irp, STATUS_CANCELLED);
}

// Reads wait cancelably for data that never comes; everything else completes.
NTSTATUS ParkReads(PDEVICE_OBJECT, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) return Complete(irp, STATUS_SUCCESS);
    IoMarkIrpPending(irp);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoSetCancelRoutine(irp, CancelParked);
    IoReleaseCancelSpinLock(irql);
    parked = irp;
    KeSetEvent(&parkedEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_PENDING;
}

TEST_F(FileTest, OpenThroughInterfaceLinkReachesTheTopOfThePdoStack) {
    std::u16string link = Expose();
    ASSERT_EQ(0u, link.rfind(u"\\??\\", 0));
    for (const std::u16string& path : {link, u"\\\\?\\" + link.substr(4)}) {
        NTSTATUS status;
        File* file = host::files::Open(path, UserMode, &status);
        ASSERT_NE(nullptr, file);
        PFILE_OBJECT object = host::files::FileObject(file);
        EXPECT_EQ(pdo_, object->DeviceObject);
        size_t before = recorder_.Calls().size();
        EXPECT_EQ(STATUS_SUCCESS, host::files::Close(file));
        std::vector<Seen> calls = recorder_.Calls();
        ASSERT_EQ(before + 2, calls.size());
        for (const Seen& s : std::vector<Seen>(calls.end() - 3, calls.end())) {
            EXPECT_EQ(fdo_, s.device);
            EXPECT_EQ(object, s.file);
            EXPECT_EQ(object, s.original);
        }
    }
    std::vector<UCHAR> twice = {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE};
    EXPECT_EQ(twice, recorder_.Majors());
    EXPECT_EQ(STATUS_INVALID_HANDLE, host::files::Close(nullptr));
}

TEST_F(FileTest, OpenOfAnUnknownOrDisabledNameFails) {
    std::u16string disabled = Expose(DO_BUFFERED_IO, false);
    for (const std::u16string& path : {disabled, disabled + u"x", std::u16string(u"\\??\\nothing"),
                                       std::u16string(u"\\Device\\nothing")}) {
        NTSTATUS status = STATUS_SUCCESS;
        EXPECT_EQ(nullptr, host::files::Open(path, UserMode, &status));
        EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, status);
    }
    EXPECT_TRUE(recorder_.Calls().empty());
}

TEST_F(FileTest, FailedCreateGetsNoCleanupOrClose) {
    recorder_.answer = Completes(STATUS_ACCESS_DENIED);
    NTSTATUS status;
    EXPECT_EQ(nullptr, host::files::Open(Expose(), UserMode, &status));
    EXPECT_EQ(STATUS_ACCESS_DENIED, status);
    EXPECT_EQ(std::vector<UCHAR>{IRP_MJ_CREATE}, recorder_.Majors());
}

// Create, the caller's requests, cleanup, close; the caller's mode on its own requests.
TEST_F(FileTest, HandleLifeOrderAndRequestorMode) {
    std::u16string link = Expose(0);
    for (KPROCESSOR_MODE mode : {UserMode, KernelMode}) {
        File* file = host::files::Open(link, mode);
        ASSERT_NE(nullptr, file);
        char data[4] = {};
        EXPECT_EQ(STATUS_SUCCESS, host::files::Read(file, data, sizeof data));
        EXPECT_EQ(STATUS_SUCCESS, host::files::Write(file, data, sizeof data));
        EXPECT_EQ(STATUS_SUCCESS, host::files::DeviceIoControl(file, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_NEITHER, FILE_ANY_ACCESS), nullptr, 0, nullptr, 0));
        host::files::Close(file);
    }
    std::vector<Seen> calls = recorder_.Calls();
    std::vector<UCHAR> once = {IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_CLOSE};
    ASSERT_EQ(2 * once.size(), calls.size());
    for (size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(once[i % once.size()], calls[i].major);
        bool callers = calls[i].major != IRP_MJ_CLEANUP && calls[i].major != IRP_MJ_CLOSE;
        KPROCESSOR_MODE mode = i < once.size() ? UserMode : KernelMode;
        EXPECT_EQ(callers ? mode : KPROCESSOR_MODE(KernelMode), calls[i].mode);
    }
}

// As on Windows: the close sends cleanup and cancels nothing; the pending read keeps the
// file object, and the close request follows only once the read has ended.
TEST_F(FileTest, CloseLeavesAPendingReadAndItsEndBringsTheClose) {
    recorder_.answer = ParkReads;
    KeInitializeEvent(&parkedEvent, NotificationEvent, FALSE);
    File* file = OpenExposed();
    NTSTATUS read = STATUS_PENDING;
    host::Thread reader("reader", [&] {
        char data[8];
        read = host::files::Read(file, data, sizeof data);
    });
    KeWaitForSingleObject(&parkedEvent, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(STATUS_SUCCESS, host::files::Close(file));
    EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP}), recorder_.Majors());
    ASSERT_NE(nullptr, parked.load());
    IoCancelIrp(parked.load());
    reader.Join();
    EXPECT_EQ(STATUS_CANCELLED, read);
    EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}), recorder_.Majors());
}

// A thread that ends with a request pending has it cancelled and waited for.
TEST_F(FileTest, AThreadsEndCancelsTheRequestsItLeftPending) {
    recorder_.answer = ParkReads;
    KeInitializeEvent(&parkedEvent, NotificationEvent, FALSE);
    File* file = OpenExposed();
    char data[8];
    host::files::Token token = 0;
    host::Thread app("application", [&] { token = host::files::ReadAsync(file, data, sizeof data); });
    app.Join();
    EXPECT_EQ(nullptr, parked.load());
    EXPECT_TRUE(host::files::Done(token));
    EXPECT_EQ(STATUS_CANCELLED, host::files::Wait(token).status);
    EXPECT_EQ(STATUS_SUCCESS, host::files::Close(file));
    EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}), recorder_.Majors());
}

TEST_F(FileTest, CancelOfAnAsynchronousRead) {
    recorder_.answer = ParkReads;
    KeInitializeEvent(&parkedEvent, NotificationEvent, FALSE);
    File* file = OpenExposed();
    char data[8];
    host::files::Token token = host::files::ReadAsync(file, data, sizeof data);
    EXPECT_NE(nullptr, parked.load());
    EXPECT_TRUE(host::files::Cancel(token));
    EXPECT_EQ(STATUS_CANCELLED, host::files::Wait(token).status);
    EXPECT_FALSE(host::files::Cancel(token));
    EXPECT_EQ(STATUS_INVALID_HANDLE, host::files::Wait(token).status);
    host::files::Close(file);
}

TEST_F(FileTest, OpenHandleIsReportedAndClosedAtSessionEnd) {
    OpenExposed();
    std::string report = session_.Finish();  // before the fixture takes the devices down
    EXPECT_NE(std::string::npos, report.find("file not closed: \\??\\")) << report;
    EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}), recorder_.Majors());
}

// A driver with a create routine only: the prefilled routines answer cleanup and close, and
// the handle closes all the same. Opened by its device name.
NTSTATUS NTAPI CreateOnly(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = [](PDEVICE_OBJECT, PIRP irp) NTAPI { return Complete(irp, STATUS_SUCCESS); };
    UNICODE_STRING name;
    static WCHAR text[] = u"\\Device\\FileTestNamed";
    name.Buffer = text;
    name.Length = name.MaximumLength = sizeof text - sizeof(WCHAR);
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (NT_SUCCESS(status)) device->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
}

TEST_F(PlatformTest, HandleClosesWithoutCleanupOrCloseHandlers) {
    PDRIVER_OBJECT driver = host::io::LoadDriver(u"\\Driver\\createonly", CreateOnly, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\createonly");
    ASSERT_NE(nullptr, driver);
    NTSTATUS status;
    File* file = host::files::Open(u"\\device\\filetestnamed\\stream", KernelMode, &status);
    ASSERT_NE(nullptr, file);
    const UNICODE_STRING& name = host::files::FileObject(file)->FileName;
    EXPECT_EQ(u"\\stream", std::u16string(name.Buffer, name.Length / sizeof(WCHAR)));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, host::files::Read(file, nullptr, 0));
    EXPECT_EQ(STATUS_SUCCESS, host::files::Close(file));
    IoDeleteDevice(driver->DeviceObject);
    host::io::UnloadDriver(driver);
}

}  // namespace
