// Completion: routines bottom-up by their invoke flags, "more processing required", the
// pending mark carried up, a routine re-sending the request, and force pending.
#include <string>

#include "platform/io_test_driver.h"

namespace {

// A device that forwards to the one below with a completion routine of its own.
Dispatch Forwards(PDEVICE_OBJECT* lower, Routine* routine, bool success = true, bool error = true,
                  bool cancel = true) {
    return [=](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        SetRoutine(irp, routine, success, error, cancel);
        return IoCallDriver(*lower, irp);
    };
}

// The allocator's own routine: records and takes the request back.
struct Allocator {
    std::string* log;
    BOOLEAN pendingReturned = FALSE;
    Routine routine = [this](PDEVICE_OBJECT device, PIRP irp) {
        *log += device ? "alloc(device)," : "alloc,";
        pendingReturned = irp->PendingReturned;
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
};

struct Flags {
    const char* name;
    NTSTATUS status;
    bool cancelled;
    bool success, error, cancel;
    bool invoked;
};

void PrintTo(const Flags& c, std::ostream* os) { *os << c.name; }

class InvokeFlags : public IoTest, public ::testing::WithParamInterface<Flags> {};

TEST_P(InvokeFlags, RoutinesRunBottomUpWhenTheirFlagsMatch) {
    const Flags& f = GetParam();
    std::string log;
    PDEVICE_OBJECT bottom = AddDevice(Completes(f.status));
    PDEVICE_OBJECT mid = nullptr, top = nullptr;
    Routine midRoutine = [&](PDEVICE_OBJECT device, PIRP) {
        log += device == mid ? "mid," : "mid(wrong device),";
        return STATUS_SUCCESS;
    };
    Routine topRoutine = [&](PDEVICE_OBJECT device, PIRP) {
        log += device == top ? "top," : "top(wrong device),";
        return STATUS_SUCCESS;
    };
    mid = AddDevice(Forwards(&bottom, &midRoutine, f.success, f.error, f.cancel), bottom);
    top = AddDevice(Forwards(&mid, &topRoutine), mid);

    Allocator alloc{&log};
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    ASSERT_NE(nullptr, irp);
    irp->Cancel = f.cancelled;
    SetRoutine(irp, &alloc.routine);
    EXPECT_EQ(f.status, IoCallDriver(top, irp));
    EXPECT_EQ(std::string(f.invoked ? "mid," : "") + "top,alloc,", log);
    EXPECT_EQ(f.status, irp->IoStatus.Status);
    IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(
    Io, InvokeFlags,
    ::testing::Values(Flags{"SuccessOnSuccess", STATUS_SUCCESS, false, true, false, false, true},
                      Flags{"ErrorOnSuccessOnly", STATUS_UNSUCCESSFUL, false, true, false, false, false},
                      Flags{"ErrorOnError", STATUS_UNSUCCESSFUL, false, false, true, false, true},
                      Flags{"SuccessOnErrorOnly", STATUS_SUCCESS, false, false, true, false, false},
                      Flags{"WarningIsNotSuccess", STATUS_BUFFER_OVERFLOW, false, false, true, false, true},
                      Flags{"CancelledOnCancel", STATUS_CANCELLED, true, false, false, true, true},
                      Flags{"UncancelledOnCancelOnly", STATUS_SUCCESS, false, false, false, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(IoTest, MoreProcessingRequiredStopsCompletionUntilCompletedAgain) {
    std::string log;
    PDEVICE_OBJECT bottom = AddDevice(Completes(STATUS_SUCCESS));
    PIRP heldByMid = nullptr;
    Routine midRoutine = [&](PDEVICE_OBJECT, PIRP irp) {
        log += "mid,";
        heldByMid = irp;
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
    PDEVICE_OBJECT mid = AddDevice(Forwards(&bottom, &midRoutine), bottom);
    Routine topRoutine = [&](PDEVICE_OBJECT, PIRP) {
        log += "top,";
        return STATUS_SUCCESS;
    };
    PDEVICE_OBJECT top = AddDevice(Forwards(&mid, &topRoutine), mid);

    Allocator alloc{&log};
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    SetRoutine(irp, &alloc.routine);
    IoCallDriver(top, irp);
    EXPECT_EQ("mid,", log);
    ASSERT_EQ(irp, heldByMid);

    Complete(heldByMid, STATUS_UNSUCCESSFUL);
    EXPECT_EQ("mid,top,alloc,", log);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, irp->IoStatus.Status);
    IoFreeIrp(irp);
}

// The middle device forwards with no routine of its own: the pending mark must still reach
// the top device's routine and the allocator.
TEST_F(IoTest, PendingReturnedPropagatesThroughALocationWithoutRoutine) {
    std::string log;
    PIRP held = nullptr;
    PDEVICE_OBJECT bottom = AddDevice(Holds(&held));
    PDEVICE_OBJECT mid = AddDevice(
        [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            return IoCallDriver(bottom, irp);
        },
        bottom);
    BOOLEAN topSaw = FALSE;
    Routine topRoutine = [&](PDEVICE_OBJECT, PIRP irp) {
        topSaw = irp->PendingReturned;
        if (irp->PendingReturned) IoMarkIrpPending(irp);
        return STATUS_SUCCESS;
    };
    PDEVICE_OBJECT top = AddDevice(Forwards(&mid, &topRoutine), mid);

    Allocator alloc{&log};
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    SetRoutine(irp, &alloc.routine);
    EXPECT_EQ(STATUS_PENDING, IoCallDriver(top, irp));
    ASSERT_EQ(irp, held);
    EXPECT_EQ("", log);

    Complete(held, STATUS_SUCCESS);
    EXPECT_TRUE(topSaw);
    EXPECT_TRUE(alloc.pendingReturned);
    EXPECT_EQ("alloc,", log);
    IoFreeIrp(irp);
}

// The top device's routine sends the request down once more; each trip is checked against
// its own pending mark (the first pends, the second completes at once).
TEST_F(IoTest, CompletionRoutineMaySendTheRequestDownAgain) {
    std::string log;
    PIRP held = nullptr;
    int trips = 0;
    PDEVICE_OBJECT bottom = AddDevice([&](PDEVICE_OBJECT device, PIRP irp) {
        if (++trips == 1) return Holds(&held)(device, irp);
        return Complete(irp, STATUS_SUCCESS, trips);
    });
    PDEVICE_OBJECT top = nullptr;
    Routine topRoutine = [&](PDEVICE_OBJECT, PIRP irp) {
        log += "top,";
        if (trips > 1) return STATUS_SUCCESS;
        IoCopyCurrentIrpStackLocationToNext(irp);
        SetRoutine(irp, &topRoutine);
        IoCallDriver(bottom, irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
    top = AddDevice(
        [&](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            IoCopyCurrentIrpStackLocationToNext(irp);
            SetRoutine(irp, &topRoutine);
            IoCallDriver(bottom, irp);
            return STATUS_PENDING;
        },
        bottom);

    Allocator alloc{&log};
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    SetRoutine(irp, &alloc.routine);
    EXPECT_EQ(STATUS_PENDING, IoCallDriver(top, irp));
    Complete(held, STATUS_SUCCESS);
    EXPECT_EQ("top,top,alloc,", log);
    EXPECT_EQ(2u, irp->IoStatus.Information);
    EXPECT_TRUE(alloc.pendingReturned);
    IoFreeIrp(irp);
}

// The bottom device completes at once, but force pending makes its caller see
// STATUS_PENDING and run its routine later, from another thread at DISPATCH_LEVEL. The
// middle device shares the bottom's location (it skips its own).
TEST_F(IoTest, ForcePendingDefersTheCallersRoutine) {
    PDEVICE_OBJECT bottom = AddDevice(Completes(STATUS_SUCCESS));
    PDEVICE_OBJECT mid = AddDevice(
        [&](PDEVICE_OBJECT, PIRP irp) {
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(bottom, irp);
        },
        bottom);
    struct Seen {
        bool ran = false;
        BOOLEAN pendingReturned = FALSE;
        KIRQL irql = PASSIVE_LEVEL;
        PKTHREAD thread = nullptr;
    } seen;
    Routine topRoutine = [&](PDEVICE_OBJECT, PIRP irp) {
        seen = {true, irp->PendingReturned, KeGetCurrentIrql(), KeGetCurrentThread()};
        if (irp->PendingReturned) IoMarkIrpPending(irp);
        return STATUS_SUCCESS;
    };
    PDEVICE_OBJECT top = AddDevice(Forwards(&mid, &topRoutine), mid);
    host::faults::ForcePending(bottom, true);

    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    Routine allocRoutine = [&](PDEVICE_OBJECT, PIRP) {
        KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    SetRoutine(irp, &allocRoutine);
    EXPECT_EQ(STATUS_PENDING, IoCallDriver(top, irp));
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_TRUE(seen.ran);
    EXPECT_TRUE(seen.pendingReturned);
    EXPECT_EQ(DISPATCH_LEVEL, seen.irql);
    EXPECT_NE(KeGetCurrentThread(), seen.thread);
    EXPECT_TRUE(irp->PendingReturned);
    IoFreeIrp(irp);
}

TEST_F(IoTest, SendAndWaitReturnsTheStacksAnswerOrNotSupported) {
    PDEVICE_OBJECT bottom = AddDevice([](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
        if (sl->MinorFunction == IRP_MN_QUERY_CAPABILITIES) return Complete(irp, STATUS_SUCCESS, 42);
        NTSTATUS status = irp->IoStatus.Status;  // not handled: left as it came
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    });
    PDEVICE_OBJECT top = AddDevice(
        [&](PDEVICE_OBJECT, PIRP irp) {
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(bottom, irp);
        },
        bottom);
    host::faults::ForcePending(top, true);
    for (UCHAR minor : {IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_BUS_INFORMATION}) {
        host::io::Result r = host::io::SendAndWait(bottom, [minor](PIRP, PIO_STACK_LOCATION sl) {
            sl->MajorFunction = IRP_MJ_PNP;
            sl->MinorFunction = minor;
        });
        bool handled = minor == IRP_MN_QUERY_CAPABILITIES;
        EXPECT_EQ(handled ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED, r.status);
        EXPECT_EQ(handled ? 42u : 0u, r.information);
    }
    EXPECT_EQ(0u, host::io::LiveRequests());
}

TEST_F(IoTest, UnhandledMajorFunctionsAreInvalidRequests) {
    PDRIVER_OBJECT plain = host::io::LoadDriver(
        u"\\Driver\\plain", [](PDRIVER_OBJECT, PUNICODE_STRING) NTAPI { return STATUS_SUCCESS; },
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\plain");
    PDEVICE_OBJECT other = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(plain, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &other));
    host::io::Result r = host::io::SendAndWait(other, [](PIRP, PIO_STACK_LOCATION sl) {
        sl->MajorFunction = IRP_MJ_READ;
    });
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, r.status);
    IoDeleteDevice(other);
    host::io::UnloadDriver(plain);
}

}  // namespace
