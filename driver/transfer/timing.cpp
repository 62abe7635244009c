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
