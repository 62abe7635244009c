// System threads: handles, references, termination, the thread object, and what a session
// finds left running.
#include <string>

#include "support/platform_test.h"

namespace {

class KernelThreads : public PlatformTest {};

struct Worker {
    KEVENT go;
    PKTHREAD self = nullptr;
    KPRIORITY startPriority = 0;
    bool ranPastTerminate = false;
};

void NTAPI WorkerRoutine(PVOID context) {
    auto* w = static_cast<Worker*>(context);
    w->self = KeGetCurrentThread();
    w->startPriority = KeSetPriorityThread(w->self, LOW_REALTIME_PRIORITY);
    KeWaitForSingleObject(&w->go, Executive, KernelMode, FALSE, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void NTAPI ReturnAtOnce(PVOID) {}

PVOID Reference(HANDLE h, POBJECT_TYPE type, NTSTATUS* status) {
    PVOID object = nullptr;
    *status = ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, type, KernelMode, &object, nullptr);
    return object;
}

TEST_F(KernelThreads, HandleReferenceAndTerminationLifecycle) {
    Worker w;
    KeInitializeEvent(&w.go, NotificationEvent, FALSE);
    HANDLE h = nullptr;
    CLIENT_ID id{};
    ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, &id,
                                                   WorkerRoutine, &w));
    EXPECT_NE(nullptr, id.UniqueThread);

    NTSTATUS status;
    PVOID thread = Reference(h, PsThreadType, &status);
    ASSERT_EQ(STATUS_SUCCESS, status);
    Reference(h, reinterpret_cast<POBJECT_TYPE>(&w), &status);
    EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH, status);
    Reference(reinterpret_cast<HANDLE>(uintptr_t(0x1234)), PsThreadType, &status);
    EXPECT_EQ(STATUS_INVALID_HANDLE, status);
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(h));  // our reference keeps the object

    LARGE_INTEGER poll{};
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll));
    KeSetEvent(&w.go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(thread, w.self);
    EXPECT_EQ(8, w.startPriority);
    EXPECT_FALSE(w.ranPastTerminate);
    EXPECT_EQ(0, ObDereferenceObject(thread));  // the ended thread holds none
}

TEST_F(KernelThreads, CreationFailsAsPlanned) {
    host::faults::FailNth(host::faults::Op::Thread, 2);
    HANDLE first = nullptr, second = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&first, THREAD_ALL_ACCESS, nullptr, nullptr,
                                                   nullptr, ReturnAtOnce, nullptr));
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
              PsCreateSystemThread(&second, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   ReturnAtOnce, nullptr));
    NTSTATUS status;
    PVOID thread = Reference(first, PsThreadType, &status);
    ZwClose(first);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
}

TEST_F(KernelThreads, FinishReportsAThreadStillRunning) {
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    host::Thread lingerer("lingerer", [&] {
        KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
    });
    EXPECT_NE(std::string::npos, session_.Finish().find("thread still running: lingerer\n"));
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    lingerer.Join();
}

TEST_F(KernelThreads, EveryPlatformThreadHasAReferencedThreadObject) {
    PKTHREAD session = KeGetCurrentThread();
    ASSERT_NE(nullptr, session);
    EXPECT_EQ(2, ObReferenceObject(session));
    EXPECT_EQ(1, ObDereferenceObject(session));
    PKTHREAD inner = nullptr;
    host::Thread t("inner", [&] { inner = KeGetCurrentThread(); });
    t.Join();
    EXPECT_NE(nullptr, inner);
    EXPECT_NE(session, inner);
}

}  // namespace
