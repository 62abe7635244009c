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

// Timeout in 100 ns units, at least one.
static VOID WaitStep(PKEVENT Event, WAIT_CONDITION Done, FDO_EXTENSION* Extension, LONGLONG Timeout) {
    KeClearEvent(Event);
    if (Done(Extension)) {
        return;
    }
    LARGE_INTEGER relative;
    relative.QuadPart = -Timeout;
    KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, &relative);
}

VOID WaitForSignal(PKEVENT Event, WAIT_CONDITION Done, FDO_EXTENSION* Extension, ULONG StepMs) {
    MAY_WAIT();
    WaitStep(Event, Done, Extension, (LONGLONG)StepMs * 10000);
}

BOOLEAN WaitForCondition(PKEVENT Event, WAIT_CONDITION Done, FDO_EXTENSION* Extension, ULONG StepMs,
                         ULONG PatienceMs) {
    MAY_WAIT();
    LONGLONG deadline = Now() + (LONGLONG)PatienceMs * 10000;
    LONGLONG step = (LONGLONG)StepMs * 10000;
    while (!Done(Extension)) {
        LONGLONG left = deadline - Now();
        if (left <= 0) {
            return FALSE;
        }
        WaitStep(Event, Done, Extension, left < step ? left : step);
    }
    return TRUE;
}
