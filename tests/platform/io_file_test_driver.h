// Handles on a test device stack: a PDO with an enabled interface and a function device on
// it whose dispatch records every request it sees and answers as the test says.
#pragma once

#include <mutex>

#include "platform/io_test_driver.h"

struct Seen {
    UCHAR major;
    KPROCESSOR_MODE mode;
    PDEVICE_OBJECT device;
    PFILE_OBJECT file;
    PFILE_OBJECT original;
    PVOID system;
    PVOID user;
};

class Recorder {
public:
    // What the device does with a request after recording it; by default completes it.
    Dispatch answer = Completes(STATUS_SUCCESS);

    Dispatch Dispatcher() {
        return [this](PDEVICE_OBJECT device, PIRP irp) {
            PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
            {
                std::lock_guard guard(lock_);
                seen_.push_back({sl->MajorFunction, irp->RequestorMode, device, sl->FileObject,
                                 irp->Tail.Overlay.OriginalFileObject, irp->AssociatedIrp.SystemBuffer,
                                 irp->UserBuffer});
            }
            return answer(device, irp);
        };
    }
    std::vector<Seen> Calls() {
        std::lock_guard guard(lock_);
        return seen_;
    }
    std::vector<UCHAR> Majors() {
        std::vector<UCHAR> majors;
        for (const Seen& s : Calls()) majors.push_back(s.major);
        return majors;
    }

private:
    std::mutex lock_;
    std::vector<Seen> seen_;
};

class FileTest : public IoTest {
protected:
    void TearDown() override {
        for (UNICODE_STRING& link : links_) {
            IoSetDeviceInterfaceState(&link, FALSE);
            RtlFreeUnicodeString(&link);
        }
        IoTest::TearDown();
    }

    // A stack whose function device runs the recorder, with the given I/O flags; returns the
    // interface link (enabled unless told otherwise).
    std::u16string Expose(ULONG flags = DO_BUFFERED_IO, bool enable = true) {
        static const GUID guid = {0x6d1f0a42, 0x1c3e, 0x4b7a, {0x9e, 0x21, 0x5a, 0x0c, 0x77, 0x13, 0xe4, 0x08}};
        pdo_ = AddDevice(Completes(STATUS_SUCCESS));
        fdo_ = AddDevice(recorder_.Dispatcher(), pdo_);
        fdo_->Flags |= flags;
        links_.emplace_back();
        EXPECT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(pdo_, &guid, nullptr, &links_.back()));
        if (enable) IoSetDeviceInterfaceState(&links_.back(), TRUE);
        return std::u16string(links_.back().Buffer, links_.back().Length / sizeof(WCHAR));
    }

    host::files::File* OpenExposed(ULONG flags = DO_BUFFERED_IO, KPROCESSOR_MODE mode = UserMode) {
        NTSTATUS status = STATUS_PENDING;
        host::files::File* file = host::files::Open(Expose(flags), mode, &status);
        EXPECT_EQ(STATUS_SUCCESS, status);
        return file;
    }

    Recorder recorder_;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;

private:
    std::vector<UNICODE_STRING> links_;
};
