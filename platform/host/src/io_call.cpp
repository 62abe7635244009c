// Sending a request down (IofCallDriver), completing it back up (IofCompleteRequest), and the
// verifier's force pending, whose deferred completions run on a platform thread of their own.
#include <algorithm>
#include <cstring>
#include <deque>

#include "io_internal.h"

namespace host::detail::iom {
namespace {

bool InvokeOn(UCHAR control, PIRP irp) {
    if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && (control & SL_INVOKE_ON_CANCEL)) return true;
    return NT_SUCCESS(irp->IoStatus.Status) ? (control & SL_INVOKE_ON_SUCCESS) != 0
                                            : (control & SL_INVOKE_ON_ERROR) != 0;
}

void SetState(Tracker& t, State state) {
    std::lock_guard guard(Lock());
    t.state = state;
}

// Moves up from the current location and runs the routine the caller left in it. Returns
// false when the routine took the request back (STATUS_MORE_PROCESSING_REQUIRED).
bool StepUp(PIRP irp, Tracker& t) {
    PIO_STACK_LOCATION lower = IoGetCurrentIrpStackLocation(irp);
    Trace(true, lower->DeviceObject, lower, irp->IoStatus.Status);
    IoSkipCurrentIrpStackLocation(irp);
    PIO_COMPLETION_ROUTINE routine = lower->CompletionRoutine;
    PVOID context = lower->Context;
    UCHAR control = lower->Control;
    // A request sent down again must not meet a stale routine here.
    lower->CompletionRoutine = nullptr;
    lower->Context = nullptr;
    lower->Control = 0;

    bool above = irp->CurrentLocation > irp->StackCount;
    if (routine && InvokeOn(control, irp)) {
        PDEVICE_OBJECT device = above ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
        SetState(t, above ? State::Returned : State::Held);
        KIRQL irql = KeGetCurrentIrql();
        NTSTATUS status = routine(device, irp, context);
        if (KeGetCurrentIrql() != irql)
            Violate(rules::kIrqlChangedInCompletion,
                    "routine " + PointerText(reinterpret_cast<const void*>(routine)) + " entered at " +
                        std::to_string(irql) + ", returned at " + std::to_string(KeGetCurrentIrql()));
        if (status == STATUS_MORE_PROCESSING_REQUIRED) return false;
        SetState(t, State::Completing);
    } else if (irp->PendingReturned && !above) {
        IoMarkIrpPending(irp);
    }
    return true;
}

// Completion has passed the top location: the request goes back to whoever created it.
void Finish(PIRP irp, Tracker& t) {
    if (t.origin == Origin::Allocated) {
        std::string detail;
        {
            std::lock_guard guard(Lock());
            t.state = State::Returned;
            detail = DescribeIrp(t);
        }
        Violate(rules::kAllocatedPastLastRoutine, detail);
        return;
    }
    if (t.origin == Origin::Built) {
        PVOID system = irp->AssociatedIrp.SystemBuffer;
        if (t.copyBack && t.output && system && !NT_ERROR(irp->IoStatus.Status)) {
            size_t n = std::min<size_t>(irp->IoStatus.Information, t.outputLength);
            std::memcpy(t.output, system, n);
        }
        if (system) ExFreePool(system);
        if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
        PKEVENT event = irp->UserEvent;
        ReleaseIrp(irp);
        if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        return;
    }
    std::function<void(PIRP)> done;
    {
        std::lock_guard guard(Lock());
        done = std::move(t.done);
    }
    // No longer live when done wakes whoever waits for it.
    UntrackIrp(irp);
    if (done) done(irp);
    FreeIrpMemory(irp);
}

// The completion walk. With resume, the current location was already passed (a deferred
// completion continuing above a forced-pending call).
void RunCompletion(PIRP irp, const TrackerPtr& t, bool resume) {
    for (;;) {
        if (!resume) {
            if (irp->CurrentLocation > irp->StackCount) break;
            PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
            bool marked = (sl->Control & SL_PENDING_RETURNED) != 0;
            irp->PendingReturned = marked;
            Findings findings;
            bool defer;
            {
                std::lock_guard guard(Lock());
                defer = PassLocation(*t, irp->CurrentLocation, marked, &findings);
            }
            Report(findings);
            if (defer) {
                sl->Control |= SL_PENDING_RETURNED;
                irp->PendingReturned = TRUE;
                return;
            }
        }
        resume = false;
        if (!StepUp(irp, *t)) return;
    }
    Finish(irp, *t);
}

// ---- Deferred completions ----
struct Deferred {
    std::deque<std::pair<PIRP, TrackerPtr>> queue;
    bool running = false;
    std::unique_ptr<host::Thread> worker;
};

Deferred& Work() {
    static Deferred work;
    return work;
}

void WorkerBody() {
    for (;;) {
        std::pair<PIRP, TrackerPtr> item;
        {
            std::lock_guard guard(Lock());
            if (Work().queue.empty()) {
                Work().running = false;
                return;
            }
            item = std::move(Work().queue.front());
            Work().queue.pop_front();
        }
        KIRQL irql = KfRaiseIrql(DISPATCH_LEVEL);
        RunCompletion(item.first, item.second, true);
        KfLowerIrql(irql);
        NotifyStateChange();
    }
}

}  // namespace

void QueueDeferred(PIRP irp, TrackerPtr t) {
    {
        std::lock_guard guard(Lock());
        Work().queue.emplace_back(irp, std::move(t));
        if (Work().running) return;
        Work().running = true;
    }
    // Started outside the lock: the thread's start takes the kernel's lock.
    auto thread = std::make_unique<host::Thread>("deferred completion", WorkerBody);
    std::unique_ptr<host::Thread> previous;
    {
        std::lock_guard guard(Lock());
        previous = std::exchange(Work().worker, std::move(thread));
    }
    previous.reset();  // it has ended or is about to: joins
}

void StopDeferred() {
    for (;;) {
        std::unique_ptr<host::Thread> worker;
        {
            std::lock_guard guard(Lock());
            worker = std::move(Work().worker);
        }
        if (!worker) return;
        worker.reset();
    }
}

void ResetDeferred() {
    StopDeferred();
    std::lock_guard guard(Lock());
    Work().queue.clear();
    Work().running = false;
}

}  // namespace host::detail::iom

using namespace host::detail;
using namespace host::detail::iom;

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        Violate(rules::kCallAboveDispatch, "IRP " + PointerText(Irp) + " at IRQL " + std::to_string(irql));
        return STATUS_INTERNAL_ERROR;
    }
    bool powerPending = false;
    if (!PowerCallAllowed(DeviceObject, Irp, &powerPending)) return STATUS_INTERNAL_ERROR;
    IoSetNextIrpStackLocation(Irp);
    if (Irp->CurrentLocation <= 0) {
        IoSkipCurrentIrpStackLocation(Irp);
        Violate(rules::kNoStackLocation, "IRP " + PointerText(Irp) + " with " + std::to_string(Irp->StackCount) +
                                             " locations sent to device " + PointerText(DeviceObject));
        return STATUS_INTERNAL_ERROR;
    }
    PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(Irp);
    sl->DeviceObject = DeviceObject;

    bool forced = powerPending || ForcedPending(DeviceObject);
    TrackerPtr t;
    FrameRef frame{};
    {
        std::lock_guard guard(Lock());
        t = FindIrpLocked(Irp);
        if (t) frame = BeginFrame(*t, Irp->CurrentLocation, forced);
    }
    UCHAR major = sl->MajorFunction;
    Trace(false, DeviceObject, sl, STATUS_PENDING);
    NTSTATUS status;
    if (major <= IRP_MJ_MAXIMUM_FUNCTION && DeviceObject->DriverObject->MajorFunction[major]) {
        status = DeviceObject->DriverObject->MajorFunction[major](DeviceObject, Irp);
    } else {
        Irp->IoStatus.Status = status = STATUS_INVALID_DEVICE_REQUEST;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
    }
    if (KeGetCurrentIrql() != irql)
        Violate(rules::kIrqlChangedInDispatch,
                "device " + PointerText(DeviceObject) + " major " + Hex(major) + " entered at " +
                    std::to_string(irql) + ", returned at " + std::to_string(KeGetCurrentIrql()));
    if (!t) return status;

    Findings findings;
    bool deferred;
    {
        std::lock_guard guard(Lock());
        deferred = EndFrame(*t, frame, status, &findings);
    }
    Report(findings);
    if (!deferred) return status;
    QueueDeferred(Irp, std::move(t));
    return STATUS_PENDING;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    UNREFERENCED_PARAMETER(PriorityBoost);
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        Violate(rules::kCompleteAboveDispatch, "IRP " + PointerText(Irp) + " at IRQL " + std::to_string(irql));
        return;
    }
    std::unique_lock guard(Lock());
    TrackerPtr t = FindIrpLocked(Irp);
    bool completable = t && (t->state == State::Sent || t->state == State::Held ||
                             (t->state == State::Returned && t->origin != Origin::Allocated));
    if (!completable) {
        std::string detail = t ? DescribeIrp(*t) : "IRP " + PointerText(Irp) + " is not a live request";
        guard.unlock();
        Violate(rules::kCompletedTwice, detail);
        return;
    }
    const char* rule = nullptr;
    if (Irp->IoStatus.Status == STATUS_PENDING)
        rule = rules::kCompletedWithPending;
    else if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST))
        rule = rules::kCompletedWithCancelRoutine;
    if (rule) {
        std::string detail = DescribeIrp(*t);
        guard.unlock();
        Violate(rule, detail);
        return;
    }
    t->state = State::Completing;
    guard.unlock();
    RunCompletion(Irp, t, false);
    NotifyStateChange();
}
