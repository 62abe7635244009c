// The kernel core's verifier rules, the deadlock report and the watchdog.
#include <atomic>
#include <string>

#include <sys/utsname.h>

#include "platform/platform.h"
#include "support/death_test_style.h"
#include "support/platform_test.h"

namespace {

class KernelVerifier : public PlatformTest {};

void Raise(KIRQL level) {
    KIRQL old;
    KeRaiseIrql(level, &old);
}

void NTAPI ReturnAtOnce(PVOID) {}

struct RuleCase {
    const char* rule;
    void (*breakIt)(PKSPIN_LOCK freshLock);
};

const RuleCase kRules[] = {
    {"IRQL raised to a lower level", [](PKSPIN_LOCK) { Raise(DISPATCH_LEVEL), Raise(APC_LEVEL); }},
    {"IRQL lowered to a higher level", [](PKSPIN_LOCK) { KeLowerIrql(DISPATCH_LEVEL); }},
    {"spin lock acquired above DISPATCH_LEVEL",
     [](PKSPIN_LOCK l) {
         Raise(PROFILE_LEVEL);
         KIRQL old;
         KeAcquireSpinLock(l, &old);
     }},
    {"spin lock acquired at the wrong IRQL", [](PKSPIN_LOCK l) { KeAcquireSpinLockAtDpcLevel(l); }},
    {"spin lock acquired recursively",
     [](PKSPIN_LOCK l) {
         KIRQL old, again;
         KeAcquireSpinLock(l, &old);
         KeAcquireSpinLock(l, &again);
         KeReleaseSpinLock(l, old);
     }},
    {"spin lock released by a thread that does not hold it",
     [](PKSPIN_LOCK l) {
         Raise(DISPATCH_LEVEL);
         KeReleaseSpinLockFromDpcLevel(l);
     }},
    {"spin lock released at the wrong IRQL",
     [](PKSPIN_LOCK l) {
         KIRQL old;
         KeAcquireSpinLock(l, &old);
         KeLowerIrql(PASSIVE_LEVEL);
         KeReleaseSpinLock(l, PASSIVE_LEVEL);
     }},
    {"wait at DISPATCH_LEVEL",
     [](PKSPIN_LOCK) {
         KEVENT e;
         KeInitializeEvent(&e, NotificationEvent, FALSE);
         Raise(DISPATCH_LEVEL);
         KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
     }},
    {"delay at DISPATCH_LEVEL",
     [](PKSPIN_LOCK) {
         LARGE_INTEGER t;
         t.QuadPart = -1;
         Raise(DISPATCH_LEVEL);
         KeDelayExecutionThread(KernelMode, FALSE, &t);
     }},
    {"routine that may wait called at DISPATCH_LEVEL or above",
     [](PKSPIN_LOCK) {
         Raise(DISPATCH_LEVEL);
         MAY_WAIT();
     }},
    {"routine for DISPATCH_LEVEL called above it",
     [](PKSPIN_LOCK) {
         Raise(PROFILE_LEVEL);
         DISPATCH_SAFE();
     }},
    {"wait on a non-dispatcher object",
     [](PKSPIN_LOCK) {
         LONG neverInitialized[8] = {};
         KeWaitForSingleObject(neverInitialized, Executive, KernelMode, FALSE, nullptr);
     }},
    {"PsCreateSystemThread above PASSIVE_LEVEL",
     [](PKSPIN_LOCK) {
         HANDLE h;
         Raise(APC_LEVEL);
         PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ReturnAtOnce, nullptr);
     }},
    {"PsTerminateSystemThread outside a system thread",
     [](PKSPIN_LOCK) { host::Thread("plain", [] { PsTerminateSystemThread(STATUS_SUCCESS); }); }},
    {"thread ended at raised IRQL",
     [](PKSPIN_LOCK) { host::Thread("raiser", [] { Raise(DISPATCH_LEVEL); }); }},
    {"reference on an unknown object",
     [](PKSPIN_LOCK l) { ObReferenceObject(l); }},
    {"object dereferenced too often",
     [](PKSPIN_LOCK) {
         PKTHREAD ended = nullptr;
         host::Thread("brief", [&] { ended = KeGetCurrentThread(); }).Join();
         ObDereferenceObject(ended);
     }},
};

TEST_F(KernelVerifier, EachRuleFires) {
    host::verifier::Record(true);
    for (const RuleCase& c : kRules) {
        SCOPED_TRACE(c.rule);
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        c.breakIt(&lock);
        EXPECT_TRUE(host::verifier::Fired(c.rule));
        if (KeGetCurrentIrql() != PASSIVE_LEVEL) KeLowerIrql(PASSIVE_LEVEL);
    }
}

// The contracts hold up to their level: APC_LEVEL may still wait, DISPATCH_LEVEL is where
// completion routines run.
TEST_F(KernelVerifier, IrqlContractsAcceptTheirOwnLevel) {
    host::verifier::Record(true);
    Raise(APC_LEVEL);
    MAY_WAIT();
    Raise(DISPATCH_LEVEL);
    DISPATCH_SAFE();
    KeLowerIrql(PASSIVE_LEVEL);
    EXPECT_TRUE(host::verifier::Take().empty());
}

// In recording mode the deadlocked waits are released with STATUS_TIMEOUT.
TEST_F(KernelVerifier, DeadlockReportNamesEveryWait) {
    host::verifier::Record(true);
    KEVENT a, b;
    KeInitializeEvent(&a, NotificationEvent, FALSE);
    KeInitializeEvent(&b, SynchronizationEvent, FALSE);
    host::NameObject(&a, "never set A");
    host::NameObject(&b, "never set B");
    NTSTATUS other = STATUS_PENDING;
    host::Thread t("other", [&] { other = KeWaitForSingleObject(&a, Executive, KernelMode, FALSE, nullptr); });
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&b, Executive, KernelMode, FALSE, nullptr));
    t.Join();
    EXPECT_EQ(STATUS_TIMEOUT, other);
    auto violations = host::verifier::Take();
    ASSERT_EQ(1u, violations.size());
    EXPECT_EQ("deadlock", violations[0].rule);
    const std::string& detail = violations[0].detail;
    for (const char* part : {"test waits on synchronization event", "\"never set B\"",
                             "other waits on notification event", "\"never set A\""}) {
        EXPECT_NE(std::string::npos, detail.find(part)) << part << " in " << detail;
    }
}

// A poll that never sees its condition keeps the clock jumping: past the run's limit it is
// reported once, with the waits, and the run goes on.
TEST_F(KernelVerifier, APollPastTheTimeLimitIsReportedOnce) {
    host::verifier::Record(true);
    host::SetTimeLimit(host::Ms(1000));
    std::atomic<bool> seen{false};
    host::Thread poller("poller", [&] {
        LARGE_INTEGER poll;
        poll.QuadPart = -host::Ms(20);
        while (!seen) KeDelayExecutionThread(KernelMode, FALSE, &poll);
    });
    host::Advance(host::Ms(3000));
    seen = true;
    poller.Join();
    auto violations = host::verifier::Take();
    ASSERT_EQ(1u, violations.size());
    EXPECT_EQ("time limit", violations[0].rule);
    EXPECT_NE(std::string::npos, violations[0].detail.find("poller waits on delay")) << violations[0].detail;
    EXPECT_GE(host::Now(), host::Ms(3000));
}

TEST(KernelVerifierDeathTest, DeadlockEndsTheRunWithTheThreadReport) {
    ChooseDeathTestStyle();
    EXPECT_DEATH(
        {
            host::Session session;
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            host::NameObject(&never, "never set");
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        },
        "VERIFIER: deadlock: .*\"never set\".*test \\(session thread\\): waits on notification "
        "event .*no deadline, IRQL 0");
}

TEST(KernelVerifierDeathTest, WatchdogEndsARunWhoseThreadSpinsWithoutWaiting) {
    ChooseDeathTestStyle();
    EXPECT_DEATH(
        {
            host::Session session;
            host::SetWatchdogSeconds(1);
            std::atomic<bool> forever{true};
            host::Thread spinner("spinner", [&] {
                while (forever.load()) {
                }
            });
            spinner.Join();
        },
        "VERIFIER: watchdog: no progress for 1 s while running: spinner");
}

}  // namespace
