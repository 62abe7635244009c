// Cancel: IoCancelIrp against a driver that queues a request cancelably, racing the
// driver's own completion of it.
#include <atomic>

#include "platform/io_test_driver.h"

namespace {

VOID NTAPI CancelQueued(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED);
}

// Queues the request with a cancel routine; whoever withdraws the routine owns it.
NTSTATUS QueueCancelably(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoSetCancelRoutine(irp, CancelQueued);
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

void CompleteIfStillQueued(PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    bool mine = IoSetCancelRoutine(irp, nullptr) != nullptr;
    IoReleaseCancelSpinLock(irql);
    if (mine) Complete(irp, STATUS_SUCCESS);
}

struct Counter {
    std::atomic<int> completions{0};
    Routine routine = [this](PDEVICE_OBJECT, PIRP) {
        ++completions;
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
};

TEST_F(IoTest, CancelRacingCompletionCompletesExactlyOnce) {
    PDEVICE_OBJECT device = AddDevice(QueueCancelably);
    int cancelled = 0;
    for (int i = 0; i < 200; ++i) {
        Counter counter;
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        SetRoutine(irp, &counter.routine);
        ASSERT_EQ(STATUS_PENDING, IoCallDriver(device, irp));
        std::atomic<bool> cancelWon{false};
        KEVENT go;  // releases both sides at once
        KeInitializeEvent(&go, NotificationEvent, FALSE);
        auto wait = [&go] { KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr); };
        {
            host::Thread completer("completer", [&, irp] {
                wait();
                CompleteIfStillQueued(irp);
            });
            host::Thread canceller("canceller", [&, irp] {
                wait();
                cancelWon = IoCancelIrp(irp) != FALSE;
            });
            KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
        }
        ASSERT_EQ(1, counter.completions.load()) << "iteration " << i;
        EXPECT_TRUE(irp->Cancel);
        EXPECT_EQ(cancelWon ? STATUS_CANCELLED : STATUS_SUCCESS, irp->IoStatus.Status);
        cancelled += cancelWon;
        IoFreeIrp(irp);
    }
    RecordProperty("cancelled", cancelled);
}

TEST_F(IoTest, CancelWithoutRoutineOnlyMarksTheRequest) {
    PIRP held = nullptr;
    PDEVICE_OBJECT device = AddDevice(Holds(&held));
    Counter counter;
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoSetCompletionRoutine(irp, RunRoutine, &counter.routine, FALSE, FALSE, TRUE);
    IoCallDriver(device, irp);
    EXPECT_FALSE(IoCancelIrp(held));
    EXPECT_TRUE(held->Cancel);
    EXPECT_EQ(0, counter.completions.load());
    Complete(held, STATUS_SUCCESS);  // only the invoke-on-cancel flag is set
    EXPECT_EQ(1, counter.completions.load());
    IoFreeIrp(irp);
}

}  // namespace
