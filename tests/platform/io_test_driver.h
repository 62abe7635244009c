// A small driver for the I/O manager's tests: each of its devices runs a dispatch routine the
// test gives it, and the fixture stacks the devices and takes them down again.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/platform_test.h"

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// A dispatch that completes at once.
inline Dispatch Completes(NTSTATUS status) {
    return [status](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, status); };
}

// A dispatch that marks the request pending and keeps it for the test to complete.
inline Dispatch Holds(PIRP* held) {
    return [held](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        *held = irp;
        return STATUS_PENDING;
    };
}

class IoTest : public PlatformTest {
protected:
    void SetUp() override {
        driver_ = host::io::LoadDriver(u"\\Driver\\iotest", Entry,
                                       u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\iotest");
        ASSERT_NE(nullptr, driver_);
    }

    void TearDown() override {
        for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
            if (it->lower) IoDetachDevice(it->lower);
            IoDeleteDevice(it->device);
        }
        host::io::UnloadDriver(driver_);
        PlatformTest::TearDown();
    }

    // Creates a device running dispatch; with below, on top of that device's stack.
    PDEVICE_OBJECT AddDevice(Dispatch dispatch, PDEVICE_OBJECT below = nullptr) {
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, sizeof(Dispatch*), nullptr, FILE_DEVICE_UNKNOWN,
                                                 0, FALSE, &device));
        dispatches_.push_back(std::make_unique<Dispatch>(std::move(dispatch)));
        *static_cast<Dispatch**>(device->DeviceExtension) = dispatches_.back().get();
        PDEVICE_OBJECT lower = below ? IoAttachDeviceToDeviceStack(device, below) : nullptr;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        devices_.push_back({device, lower});
        return device;
    }

    PDRIVER_OBJECT driver_ = nullptr;

private:
    static NTSTATUS NTAPI Route(PDEVICE_OBJECT device, PIRP irp) {
        return (**static_cast<Dispatch**>(device->DeviceExtension))(device, irp);
    }
    static NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
        for (PDRIVER_DISPATCH& slot : driver->MajorFunction) slot = Route;
        return STATUS_SUCCESS;
    }

    struct Placed {
        PDEVICE_OBJECT device;
        PDEVICE_OBJECT lower;
    };
    std::vector<Placed> devices_;
    std::vector<std::unique_ptr<Dispatch>> dispatches_;
};

// A completion routine that runs a test's function; the function says what to return.
using Routine = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

inline NTSTATUS NTAPI RunRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    return (*static_cast<Routine*>(context))(device, irp);
}

// Sets the next location's completion routine to run routine (which must outlive the request).
inline void SetRoutine(PIRP irp, Routine* routine, bool success = true, bool error = true, bool cancel = true) {
    IoSetCompletionRoutine(irp, RunRoutine, routine, success, error, cancel);
}
