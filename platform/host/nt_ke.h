// Kernel: IRQL, spin locks, dispatcher objects (events, semaphores, threads), waits,
// system time, system threads, interlocked operations.
#pragma once

#include "nt_types.h"

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define PROFILE_LEVEL 27
#define HIGH_LEVEL 31

#define LOW_PRIORITY 0
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31

#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1
#define SEMAPHORE_INCREMENT 1

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;

typedef enum _KWAIT_REASON {
    Executive,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    WrExecutive,
    MaximumWaitReason = 37
} KWAIT_REASON;

// Dispatcher header types.
#define EventNotificationObject 0
#define EventSynchronizationObject 1
#define MutantObject 2
#define ProcessObject 3
#define SemaphoreObject 5
#define ThreadObject 6

// 16 bytes in the 32-bit build, as on the platform.
typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Absolute;
    UCHAR Size;
    UCHAR Inserted;
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KSEMAPHORE {
    DISPATCHER_HEADER Header;
    LONG Limit;
} KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;

// The thread object: a dispatcher object, signalled when the thread has ended.
typedef struct _KTHREAD {
    DISPATCHER_HEADER Header;
    PVOID HostThread;  // the platform's own record of the thread
} KTHREAD, *PKTHREAD, *PRKTHREAD, ETHREAD, *PETHREAD;

typedef struct _OBJECT_TYPE* POBJECT_TYPE;
extern POBJECT_TYPE PsThreadType;

typedef VOID(NTAPI* PKSTART_ROUTINE)(PVOID StartContext);

// IRQL
KIRQL NTAPI KeGetCurrentIrql(void);
KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql);
VOID FASTCALL KfLowerIrql(KIRQL NewIrql);
inline void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) { *OldIrql = KfRaiseIrql(NewIrql); }
inline void KeLowerIrql(KIRQL NewIrql) { KfLowerIrql(NewIrql); }
namespace host {
// The check behind MAY_WAIT and DISPATCH_SAFE (platform.h): a verifier report when the current
// IRQL is above Highest.
void CheckIrqlContract(KIRQL Highest, const char* Routine);
}  // namespace host

// Spin locks
VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock);
VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
inline void KeAcquireSpinLock(PKSPIN_LOCK l, PKIRQL OldIrql) { *OldIrql = KfAcquireSpinLock(l); }
inline void KeReleaseSpinLock(PKSPIN_LOCK l, KIRQL NewIrql) { KfReleaseSpinLock(l, NewIrql); }
inline void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK l) { KefAcquireSpinLockAtDpcLevel(l); }
inline void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK l) { KefReleaseSpinLockFromDpcLevel(l); }

// Events and semaphores
VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
LONG NTAPI KeResetEvent(PRKEVENT Event);
VOID NTAPI KeClearEvent(PRKEVENT Event);
LONG NTAPI KeReadStateEvent(PRKEVENT Event);
VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment,
                              BOOLEAN Wait);
LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore);

// Waits and time. Time-outs: negative = relative, positive = absolute, in 100 ns units.
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout);
NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval);
VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
ULONGLONG NTAPI KeQueryInterruptTime(void);

// Threads
PKTHREAD NTAPI KeGetCurrentThread(void);
KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                    struct _OBJECT_ATTRIBUTES* ObjectAttributes,
                                    HANDLE ProcessHandle, PCLIENT_ID ClientId,
                                    PKSTART_ROUTINE StartRoutine, PVOID StartContext);
[[noreturn]] NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus);
inline PETHREAD PsGetCurrentThread(void) { return KeGetCurrentThread(); }

// Objects and handles
NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                         POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                         PVOID* Object, PVOID HandleInformation);
LONG_PTR FASTCALL ObfReferenceObject(PVOID Object);
LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);
inline LONG_PTR ObReferenceObject(PVOID o) { return ObfReferenceObject(o); }
inline LONG_PTR ObDereferenceObject(PVOID o) { return ObfDereferenceObject(o); }
NTSTATUS NTAPI ZwClose(HANDLE Handle);

// Interlocked operations: the first five are exports of the kernel, fastcall on x86.
inline LONG FASTCALL InterlockedIncrement(volatile LONG* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG FASTCALL InterlockedDecrement(volatile LONG* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG FASTCALL InterlockedExchange(volatile LONG* p, LONG v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
inline LONG FASTCALL InterlockedExchangeAdd(volatile LONG* p, LONG v) { return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST); }
inline LONG FASTCALL InterlockedCompareExchange(volatile LONG* p, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline LONG InterlockedOr(volatile LONG* p, LONG v) { return __atomic_fetch_or(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedAnd(volatile LONG* p, LONG v) { return __atomic_fetch_and(p, v, __ATOMIC_SEQ_CST); }
inline PVOID InterlockedExchangePointer(PVOID volatile* p, PVOID v) {
    return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
// The acquire reads of newer DDKs: a read that sees a value another processor stored with an
// interlocked operation also sees what it stored before.
inline ULONG ReadULongAcquire(volatile const ULONG* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
inline PVOID ReadPointerAcquire(PVOID const volatile* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* p, PVOID exchange, PVOID comparand) {
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
