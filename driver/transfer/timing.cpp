#include "transfer/transfer.h"

NTSTATUS TimedWait(PVOID Object, ULONG Milliseconds) {
    MAY_WAIT();
    LARGE_INTEGER timeout;
    timeout.QuadPart = -(LONGLONG)Milliseconds * 10000;
    return KeWaitForSingleObject(Object, Executive, KernelMode, FALSE,
                                 Milliseconds ? &timeout : NULL);
}

// An absolute deadline: the sleep ends at the same time however late the thread runs.
NTSTATUS DelayMilliseconds(ULONG Milliseconds) {
    MAY_WAIT();
    LARGE_INTEGER until;
    KeQuerySystemTime(&until);
    until.QuadPart += (LONGLONG)Milliseconds * 10000;
    return KeDelayExecutionThread(KernelMode, FALSE, &until);
}

static LONGLONG Now(void) {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart;
}

BOOLEAN WaitForCondition(PKEVENT Event, WAIT_CONDITION Done, FDO_EXTENSION* Extension, ULONG StepMs,
                         ULONG PatienceMs) {
    MAY_WAIT();
    LONGLONG deadline = Now() + (LONGLONG)PatienceMs * 10000;
    for (;;) {
        KeClearEvent(Event);
        if (Done(Extension)) {
            return TRUE;
        }
        LONGLONG left = deadline - Now();
        if (left <= 0) {
            return FALSE;
        }
        LONGLONG step = (LONGLONG)StepMs * 10000;
        LARGE_INTEGER timeout;
        timeout.QuadPart = -(left < step ? left : step);
        KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, &timeout);
    }
}
