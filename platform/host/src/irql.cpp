// IRQL per thread and spin locks. A KSPIN_LOCK holds its owner's ThreadToken() or 0; the
// atomics acquire and release so ThreadSanitizer sees what the lock protects.
#include <thread>

#include "internal.h"

using namespace host::detail;

namespace {

std::string LockText(PKSPIN_LOCK lock) {
    return "spin lock " + PointerText(lock) + " by " + CurrentThreadName() + " at IRQL " +
           std::to_string(CurrentIrql());
}

// Returns false (after reporting) when the lock is already the caller's.
bool Acquire(PKSPIN_LOCK lock) {
    uintptr_t self = ThreadToken();
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == self) {
        Violate(rules::kSpinLockRecursive, LockText(lock));
        return false;
    }
    for (;;) {
        uintptr_t expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
            return true;
        std::this_thread::yield();
    }
}

bool Release(PKSPIN_LOCK lock) {
    if (CurrentIrql() != DISPATCH_LEVEL) {
        Violate(rules::kSpinLockReleasedWrongIrql, LockText(lock));
        return false;
    }
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) != ThreadToken()) {
        Violate(rules::kSpinLockNotHeld, LockText(lock));
        return false;
    }
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
    return true;
}

}  // namespace

KIRQL KeGetCurrentIrql(void) { return CurrentIrql(); }

void host::CheckIrqlContract(KIRQL Highest, const char* Routine) {
    KIRQL now = CurrentIrql();
    if (now <= Highest) return;
    Violate(Highest < DISPATCH_LEVEL ? rules::kMayWaitAtDispatch : rules::kDispatchSafeAbove,
            std::string(Routine) + " at IRQL " + std::to_string(now) + " on " + CurrentThreadName());
}

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
    KIRQL old = CurrentIrql();
    if (NewIrql < old) {
        Violate(rules::kIrqlRaisedLower,
                "KfRaiseIrql(" + std::to_string(NewIrql) + ") at IRQL " + std::to_string(old));
        return old;
    }
    CurrentIrql() = NewIrql;
    return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql) {
    if (NewIrql > CurrentIrql()) {
        Violate(rules::kIrqlLoweredHigher,
                "KfLowerIrql(" + std::to_string(NewIrql) + ") at IRQL " + std::to_string(CurrentIrql()));
        return;
    }
    CurrentIrql() = NewIrql;
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE); }

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
    KIRQL old = CurrentIrql();
    if (old > DISPATCH_LEVEL) {
        Violate(rules::kSpinLockAboveDispatch, LockText(SpinLock));
        return old;
    }
    CurrentIrql() = DISPATCH_LEVEL;
    if (!Acquire(SpinLock)) CurrentIrql() = old;
    return old;
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    if (Release(SpinLock)) KfLowerIrql(NewIrql);
}

VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    if (CurrentIrql() > DISPATCH_LEVEL) {
        Violate(rules::kSpinLockAboveDispatch, LockText(SpinLock));
        return;
    }
    if (CurrentIrql() < DISPATCH_LEVEL) {
        Violate(rules::kSpinLockWrongIrql, LockText(SpinLock));
        return;
    }
    Acquire(SpinLock);
}

VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) { Release(SpinLock); }
