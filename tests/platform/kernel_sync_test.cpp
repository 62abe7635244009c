// Events, semaphores and spin locks.
#include <atomic>

#include "support/platform_test.h"

namespace {

using host::Ms;

class KernelSync : public PlatformTest {};

NTSTATUS WaitOn(PVOID object, int64_t relative) {
    LARGE_INTEGER t;
    t.QuadPart = -relative;
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &t);
}

TEST_F(KernelSync, ASetWakesEveryWaiterOfANotificationEventButOneOfASynchronizationEvent) {
    struct Case {
        EVENT_TYPE type;
        int woken;
        LONG stateAfter;
    };
    for (Case c : {Case{NotificationEvent, 2, 1}, Case{SynchronizationEvent, 1, 0}}) {
        SCOPED_TRACE(c.type);
        KEVENT e;
        KeInitializeEvent(&e, c.type, FALSE);
        std::atomic<int> woken{0};
        auto waiter = [&] { woken += WaitOn(&e, Ms(100)) == STATUS_SUCCESS; };
        host::Thread a("a", waiter), b("b", waiter);
        host::Advance(Ms(10));  // both wait by then
        EXPECT_EQ(0, KeSetEvent(&e, IO_NO_INCREMENT, FALSE));
        a.Join();
        b.Join();
        EXPECT_EQ(c.woken, woken.load());
        EXPECT_EQ(c.stateAfter, KeReadStateEvent(&e));
    }
}

TEST_F(KernelSync, EventCallsReturnThePreviousState) {
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    EXPECT_EQ(0, KeSetEvent(&e, IO_NO_INCREMENT, FALSE));
    EXPECT_EQ(1, KeSetEvent(&e, IO_NO_INCREMENT, FALSE));
    EXPECT_EQ(1, KeResetEvent(&e));
    EXPECT_EQ(0, KeReadStateEvent(&e));
    KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&e);
    EXPECT_EQ(0, KeReadStateEvent(&e));

    KEVENT once;
    KeInitializeEvent(&once, SynchronizationEvent, TRUE);
    EXPECT_EQ(STATUS_SUCCESS, WaitOn(&once, 0));
    EXPECT_EQ(STATUS_TIMEOUT, WaitOn(&once, 0));  // a satisfied wait reset it
}

TEST_F(KernelSync, SemaphoreCountsReleasesUpToItsLimitAndEachWaitTakesOne) {
    KSEMAPHORE s;
    KeInitializeSemaphore(&s, 0, 2);
    host::verifier::Record(true);
    EXPECT_EQ(0, KeReleaseSemaphore(&s, SEMAPHORE_INCREMENT, 2, FALSE));
    EXPECT_EQ(2, KeReleaseSemaphore(&s, SEMAPHORE_INCREMENT, 1, FALSE));
    EXPECT_TRUE(host::verifier::Fired("semaphore limit exceeded"));
    EXPECT_EQ(2, KeReadStateSemaphore(&s));
    EXPECT_EQ(STATUS_SUCCESS, WaitOn(&s, 0));
    EXPECT_EQ(STATUS_SUCCESS, WaitOn(&s, 0));
    EXPECT_EQ(STATUS_TIMEOUT, WaitOn(&s, 0));

    host::Thread releaser("releaser", [&] {
        host::Advance(Ms(1));
        KeReleaseSemaphore(&s, SEMAPHORE_INCREMENT, 1, FALSE);
    });
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, nullptr));
    releaser.Join();
    EXPECT_EQ(0, KeReadStateSemaphore(&s));  // the woken wait took the count
}

TEST_F(KernelSync, SpinLockSerializesThreadsAtDispatchLevel) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;  // plain on purpose: ThreadSanitizer checks the lock's ordering
    std::atomic<bool> atDispatch{true};
    auto work = [&] {
        for (int i = 0; i < 1000; ++i) {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            atDispatch = atDispatch && KeGetCurrentIrql() == DISPATCH_LEVEL;
            ++counter;
            KeReleaseSpinLock(&lock, old);
        }
    };
    {
        host::Thread a("a", work), b("b", work);
    }
    EXPECT_EQ(2000, counter);
    EXPECT_TRUE(atDispatch);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

}  // namespace
