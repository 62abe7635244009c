// System threads, the host's own platform threads, and thread objects with their handles.
#include <csetjmp>

#include "image_internal.h"
#include "kernel.h"

struct _OBJECT_TYPE {
    const char* name;
};

namespace {
_OBJECT_TYPE threadType{"Thread"};
}

POBJECT_TYPE PsThreadType = &threadType;

namespace host::detail {
namespace {

// Thrown by PsTerminateSystemThread through the driver's frames (built with unwind tables)
// and caught where the thread began.
struct TerminateThread {
    NTSTATUS status;
};

void Run(const std::shared_ptr<ThreadRecord>& thread, const std::function<void()>& body) {
    EnterThread(thread.get());
    Progress();
    try {
        body();
    } catch (const TerminateThread&) {
    }
    iom::CancelThreadRequests(thread.get());
    if (CurrentIrql() != PASSIVE_LEVEL) {
        Violate(rules::kThreadEndedRaised,
                CurrentThreadName() + " ended at IRQL " + std::to_string(CurrentIrql()));
        CurrentIrql() = PASSIVE_LEVEL;
    }
    // Before the object is signalled, so a waiter holds the last reference once it wakes.
    DropThreadReference(thread.get());
    EndCurrentThread();
}

// A native image's frames have no unwind tables, so a system thread started in an image ends
// by a jump back to its start instead of the exception.
thread_local std::jmp_buf* imageThreadEnd = nullptr;

void RunStartRoutine(PKSTART_ROUTINE start, PVOID context) {
    if (!image::Contains(reinterpret_cast<uintptr_t>(start))) {
        start(context);
        return;
    }
    std::jmp_buf end;
    imageThreadEnd = &end;
    if (setjmp(end) == 0) start(context);
    imageThreadEnd = nullptr;
}

void FillClientId(PCLIENT_ID clientId, const ThreadRecord& thread) {
    if (!clientId) return;
    clientId->UniqueProcess = reinterpret_cast<HANDLE>(uintptr_t(4));  // the System process
    clientId->UniqueThread = reinterpret_cast<HANDLE>(uintptr_t(0x100 + 4 * thread.id));
}

}  // namespace

// The object table holds the record while the thread object lives; the object starts with
// the running thread's reference.
void RegisterThreadObject(const std::shared_ptr<ThreadRecord>& thread) {
    thread->object.HostThread = thread.get();
    RegisterThreadHeader(thread->object);
    RegisterObject(&thread->object, ObjectKind::Thread, [keep = thread] {});
}

// A reference from an earlier session is gone with that session's object table.
void DropThreadReference(ThreadRecord* thread) {
    if (thread->epoch == SessionEpoch() && IsObject(&thread->object))
        DereferenceObject(&thread->object);
}

}  // namespace host::detail

using namespace host::detail;

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, OBJECT_ATTRIBUTES*,
                                    HANDLE, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext) {
    if (CurrentIrql() != PASSIVE_LEVEL) {
        Violate(rules::kCreateThreadAbovePassive, "at IRQL " + std::to_string(CurrentIrql()));
        return STATUS_UNSUCCESSFUL;
    }
    if (!ThreadHandle || !StartRoutine) return STATUS_INVALID_PARAMETER;
    if (ShouldFail(host::faults::Op::Thread)) return STATUS_INSUFFICIENT_RESOURCES;
    JoinEndedThreads();
    auto thread = AddThread("", ThreadRole::System);
    RegisterThreadObject(thread);
    ReferenceObject(&thread->object);  // the handle's
    *ThreadHandle = InsertHandle(
        HandleKind::Thread, &thread->object, [thread] { DropThreadReference(thread.get()); },
        DesiredAccess);
    FillClientId(ClientId, *thread);
    std::thread running(Run, thread, [StartRoutine, StartContext] { RunStartRoutine(StartRoutine, StartContext); });
    std::lock_guard guard(KernelLock());
    thread->thread = std::move(running);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
    if (!InSystemThread())
        Violate(rules::kTerminateOutsideSystemThread, "called by " + CurrentThreadName());
    if (imageThreadEnd) std::longjmp(*imageThreadEnd, 1);
    // In recording mode a host::Thread still ends here: its start catches this too.
    throw TerminateThread{ExitStatus};
}

PKTHREAD NTAPI KeGetCurrentThread(void) {
    ThreadRecord* self = CurrentThread();
    return self ? &self->object : nullptr;
}

KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    auto* thread = static_cast<ThreadRecord*>(Thread->HostThread);
    std::lock_guard guard(KernelLock());
    KPRIORITY previous = thread->priority;
    thread->priority = Priority;
    return previous;
}

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK, POBJECT_TYPE ObjectType,
                                         KPROCESSOR_MODE, PVOID* Object, PVOID) {
    HandleKind kind;
    void* object = nullptr;
    if (!LookupHandle(Handle, &kind, &object)) return STATUS_INVALID_HANDLE;
    if (kind != HandleKind::Thread || (ObjectType && ObjectType != PsThreadType))
        return STATUS_OBJECT_TYPE_MISMATCH;
    ReferenceObject(object);
    *Object = object;
    return STATUS_SUCCESS;
}

namespace host {

struct Thread::State {
    std::shared_ptr<ThreadRecord> record;
    std::thread thread;
};

Thread::Thread(const char* name, std::function<void()> body) : state_(new State) {
    state_->record = AddThread(name, ThreadRole::Host);
    RegisterThreadObject(state_->record);
    state_->thread = std::thread(Run, state_->record, std::move(body));
}

Thread::~Thread() {
    Join();
    delete state_;
}

// A platform wait on the thread object, so virtual time may run while the thread finishes.
void Thread::Join() {
    if (!state_->thread.joinable()) return;
    WaitForDispatcherObject(&state_->record->object, kNoDeadline);
    state_->thread.join();
    RemoveThread(state_->record);
}

}  // namespace host
