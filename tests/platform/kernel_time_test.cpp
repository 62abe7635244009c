// The virtual clock: timed waits, delays and conditions move it exactly, and only when every
// platform thread waits.
#include <functional>

#include "support/platform_test.h"

namespace {

using host::Ms;
using host::Now;

class KernelTime : public PlatformTest {};

LARGE_INTEGER Relative(int64_t span) {
    LARGE_INTEGER t;
    t.QuadPart = -span;
    return t;
}

NTSTATUS WaitOn(PVOID object, LARGE_INTEGER timeout) {
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &timeout);
}

TEST_F(KernelTime, TimedWaitsAndDelaysMoveTheClockByExactlyTheirSpan) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    struct Case {
        const char* name;
        std::function<NTSTATUS()> run;
        NTSTATUS status;
        int64_t elapsed;
    };
    const Case cases[] = {
        {"relative wait", [&] { return WaitOn(&never, Relative(Ms(1000))); }, STATUS_TIMEOUT, Ms(1000)},
        {"poll", [&] { return WaitOn(&never, Relative(0)); }, STATUS_TIMEOUT, 0},
        {"absolute wait",
         [&] {
             LARGE_INTEGER at;
             KeQuerySystemTime(&at);
             at.QuadPart += Ms(250);
             return WaitOn(&never, at);
         },
         STATUS_TIMEOUT, Ms(250)},
        {"delay",
         [] {
             LARGE_INTEGER t = Relative(Ms(40));
             return KeDelayExecutionThread(KernelMode, FALSE, &t);
         },
         STATUS_SUCCESS, Ms(40)},
        // A day of virtual time within the test's time limit: waits spend no wall time.
        {"a day", [&] { return WaitOn(&never, Relative(Ms(24 * 3600 * 1000LL))); }, STATUS_TIMEOUT,
         Ms(24 * 3600 * 1000LL)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int64_t start = Now();
        EXPECT_EQ(c.status, c.run());
        EXPECT_EQ(c.elapsed, Now() - start);
    }
}

TEST_F(KernelTime, SystemTimeStartsAtTheBaseAndFollowsTheClock) {
    LARGE_INTEGER t;
    KeQuerySystemTime(&t);
    EXPECT_EQ(134116992000000000LL, t.QuadPart);  // 2026-01-01 00:00 UTC
    host::Advance(Ms(5));
    KeQuerySystemTime(&t);
    EXPECT_EQ(134116992000000000LL + Ms(5), t.QuadPart);
    EXPECT_EQ(ULONGLONG(Ms(5)), KeQueryInterruptTime());
}

// The waker goes on to a long delay right after the wake-up: the clock must not jump to the
// woken thread's deadline while it has not yet run.
TEST_F(KernelTime, WakeUpBeforeTheDeadlineWins) {
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    host::Thread waker("waker", [&] {
        host::Advance(Ms(300));
        KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
        host::Advance(Ms(5000));
    });
    EXPECT_EQ(STATUS_SUCCESS, WaitOn(&e, Relative(Ms(1000))));
    EXPECT_EQ(Ms(300), Now());
    waker.Join();
    EXPECT_EQ(Ms(5300), Now());
}

TEST_F(KernelTime, WaitUntilRetestsOnSignalsAndTimesOut) {
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    host::Thread setter("setter", [&] {
        host::Advance(Ms(5));
        KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
    });
    EXPECT_TRUE(host::WaitUntil([&] { return KeReadStateEvent(&e) != 0; }));
    EXPECT_EQ(Ms(5), Now());
    setter.Join();
    EXPECT_FALSE(host::WaitUntil([] { return false; }, Ms(20)));
    EXPECT_EQ(Ms(25), Now());
}

// The simulator's mode: a real deadline ends the wait, and the clock is the wall clock's.
TEST_F(KernelTime, RealTimeWaitsEndOnTheWallClock) {
    host::SetRealTime(true);
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    EXPECT_EQ(STATUS_TIMEOUT, WaitOn(&never, Relative(Ms(1))));
    EXPECT_GE(Now(), Ms(1));
}

}  // namespace
