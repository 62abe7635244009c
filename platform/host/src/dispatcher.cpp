// Dispatcher objects (events, semaphores, thread objects), waits on them, delays, and the
// system and interrupt time.
#include "kernel.h"

namespace host::detail {
namespace {

constexpr UCHAR SizeInLongs(size_t bytes) { return UCHAR(bytes / sizeof(LONG)); }

void InitializeHeader(DISPATCHER_HEADER& h, UCHAR type, UCHAR size, LONG state) {
    h.Type = type;
    h.Absolute = 0;
    h.Size = size;
    h.Inserted = 0;
    h.SignalState = state;
    h.WaitListHead.Flink = h.WaitListHead.Blink = &h.WaitListHead;
}

// Grants the object to one waiter if it is signalled; the caller holds KernelLock().
bool Take(DISPATCHER_HEADER* h) {
    if (h->SignalState <= 0) return false;
    if (h->Type == EventSynchronizationObject || h->Type == SemaphoreObject) --h->SignalState;
    return true;
}

const char* KindText(UCHAR type) {
    switch (type) {
    case EventNotificationObject: return "notification event";
    case EventSynchronizationObject: return "synchronization event";
    case SemaphoreObject: return "semaphore";
    case ThreadObject: return "thread";
    }
    return "object";
}

// Devices and file objects can carry a matching first byte, so the header's size and the
// object table both have to agree.
bool IsDispatcherObject(const void* object) {
    if (!object) return false;
    ObjectKind kind;
    bool registered = IsObject(object, &kind);
    std::lock_guard guard(KernelLock());
    const auto* h = static_cast<const DISPATCHER_HEADER*>(object);
    switch (h->Type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
        return !registered && h->Size == SizeInLongs(sizeof(KEVENT));
    case SemaphoreObject:
        return !registered && h->Size == SizeInLongs(sizeof(KSEMAPHORE));
    case ThreadObject:
        return registered && kind == ObjectKind::Thread;
    }
    return false;
}

int64_t DeadlineOf(const LARGE_INTEGER* timeout) {
    if (!timeout) return kNoDeadline;
    LONGLONG t = timeout->QuadPart;
    if (t > 0) return t - kSystemTimeBase;
    if (t == INT64_MIN) return kNoDeadline;
    return host::Now() + -t;
}

std::string IrqlText() { return "at IRQL " + std::to_string(CurrentIrql()); }

}  // namespace

void RegisterThreadHeader(KTHREAD& thread) {
    std::lock_guard guard(KernelLock());
    InitializeHeader(thread.Header, ThreadObject, SizeInLongs(sizeof(KTHREAD)), 0);
}

NTSTATUS WaitForDispatcherObject(void* object, int64_t deadline) {
    auto* h = static_cast<DISPATCHER_HEADER*>(object);
    std::unique_lock lock(KernelLock());
    if (Take(h)) return STATUS_SUCCESS;
    Wait w;
    w.kind = KindText(h->Type);
    w.object = h;
    w.deadline = deadline;
    return Block(lock, w);
}

}  // namespace host::detail

using namespace host::detail;

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    std::lock_guard guard(KernelLock());
    UCHAR type = Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
    InitializeHeader(Event->Header, type, SizeInLongs(sizeof(KEVENT)), State ? 1 : 0);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
    std::lock_guard guard(KernelLock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    WakeWaiters(&Event->Header, Take);
    return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    std::lock_guard guard(KernelLock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) { KeResetEvent(Event); }

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard guard(KernelLock());
    return Event->Header.SignalState;
}

VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
    std::lock_guard guard(KernelLock());
    InitializeHeader(Semaphore->Header, SemaphoreObject, SizeInLongs(sizeof(KSEMAPHORE)), Count);
    Semaphore->Limit = Limit;
}

LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY, LONG Adjustment, BOOLEAN) {
    std::unique_lock lock(KernelLock());
    LONG previous = Semaphore->Header.SignalState;
    if (int64_t(previous) + Adjustment > Semaphore->Limit) {
        LONG limit = Semaphore->Limit;
        lock.unlock();
        // Windows raises STATUS_SEMAPHORE_LIMIT_EXCEEDED here.
        Violate(rules::kSemaphoreLimit, "semaphore " + PointerText(Semaphore) + " count " +
                                            std::to_string(previous) + " + " + std::to_string(Adjustment) +
                                            " > limit " + std::to_string(limit));
        return previous;
    }
    Semaphore->Header.SignalState = previous + Adjustment;
    WakeWaiters(&Semaphore->Header, Take);
    return previous;
}

LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
    std::lock_guard guard(KernelLock());
    return Semaphore->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                     PLARGE_INTEGER Timeout) {
    bool poll = Timeout && Timeout->QuadPart == 0;
    if (CurrentIrql() >= DISPATCH_LEVEL && !poll) {
        Violate(rules::kWaitAtDispatch, "KeWaitForSingleObject(" + PointerText(Object) + ") " +
                                            (Timeout ? "with a time-out " : "without a time-out ") + IrqlText());
        return STATUS_TIMEOUT;
    }
    if (!IsDispatcherObject(Object)) {
        Violate(rules::kWaitOnNonDispatcher, "KeWaitForSingleObject(" + PointerText(Object) + ")");
        return STATUS_TIMEOUT;
    }
    return WaitForDispatcherObject(Object, DeadlineOf(Timeout));
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
    if (CurrentIrql() >= DISPATCH_LEVEL) {
        Violate(rules::kDelayAtDispatch, "KeDelayExecutionThread " + IrqlText());
        return STATUS_SUCCESS;
    }
    std::unique_lock lock(KernelLock());
    Wait w;
    w.kind = "delay";
    w.deadline = Interval ? DeadlineOf(Interval) : host::Now();
    w.deadlineStatus = STATUS_SUCCESS;
    return Block(lock, w);
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = kSystemTimeBase + host::Now();
}

ULONGLONG NTAPI KeQueryInterruptTime(void) { return ULONGLONG(host::Now()); }
