// The kernel core's own machinery, shared by the scheduler, the dispatcher, threads and the
// session: thread records, blocked waits and the calls that block and wake them.
#pragma once

#include <condition_variable>
#include <memory>
#include <thread>

#include "internal.h"

namespace host::detail {

inline constexpr int64_t kNoDeadline = INT64_MAX;
// KeQuerySystemTime at virtual time 0: 2026-01-01 00:00 UTC as a FILETIME value.
inline constexpr int64_t kSystemTimeBase = 134116992000000000LL;

struct ThreadRecord;

// One platform wait of one thread. Lives on the waiter's stack; a waker marks it done and
// its thread running under KernelLock(), so the clock never jumps past a wake-up in flight.
struct Wait {
    const char* kind = "";  // "notification event", "semaphore", "thread", "delay", "condition"
    const void* object = nullptr;
    std::string what;        // a condition's description
    int64_t deadline = kNoDeadline;
    NTSTATUS deadlineStatus = STATUS_TIMEOUT;
    bool retest = false;     // a WaitUntil condition: woken by every state change
    KIRQL irql = PASSIVE_LEVEL;
    ThreadRecord* thread = nullptr;
    bool done = false;
    NTSTATUS status = STATUS_SUCCESS;
    std::condition_variable cv;
};

enum class ThreadRole { Session, System, Host };

struct ThreadRecord {
    ThreadRecord(std::string name, ThreadRole role) : name(std::move(name)), role(role) {}
    ~ThreadRecord() {
        if (thread.joinable()) thread.detach();  // left over from an unfinished session
    }
    KTHREAD object{};
    const std::string name;
    const ThreadRole role;
    uint64_t epoch = 0;  // the session it belongs to
    uint32_t id = 0;
    // Guarded by KernelLock():
    KPRIORITY priority = 8;
    bool ended = false;
    Wait* wait = nullptr;  // null while running
    std::thread thread;    // system threads, joined by the session
};

// ---- Scheduler (every call with KernelLock() held unless it says otherwise) ----
// Blocks the calling thread until woken or its deadline passes; returns the wake status.
NTSTATUS Block(std::unique_lock<std::mutex>& lock, Wait& wait);
void Wake(Wait& wait, NTSTATUS status);
// Wakes the object's waiters in arrival order while take() grants the object to one more.
void WakeWaiters(DISPATCHER_HEADER* header, bool (*take)(DISPATCHER_HEADER*));
std::string ThreadNameLocked(const ThreadRecord& thread);

// Without the lock:
// A new thread counts as running from here on. System threads are named by the platform.
std::shared_ptr<ThreadRecord> AddThread(std::string name, ThreadRole role);
void EnterThread(ThreadRecord* thread);  // the calling thread becomes this record's
void EndCurrentThread();
namespace iom {
// The I/O manager's side of a thread's end: its pending requests are cancelled and waited for.
void CancelThreadRequests(const void* thread);
}  // namespace iom
void RemoveThread(const std::shared_ptr<ThreadRecord>& thread);
ThreadRecord* CurrentThread();
void JoinEndedThreads();
uint64_t SessionEpoch();
std::string ThreadReportBestEffort();
std::string RunningThreadNames();  // "" when every thread waits
void StartSession(const char* threadName);
void EndSession();

// ---- Watchdog (wall clock, not a platform thread) ----
void StartWatchdog();
void StopWatchdog();

// ---- Threads ----
void RegisterThreadHeader(KTHREAD& thread);  // a not yet signalled thread object
void RegisterThreadObject(const std::shared_ptr<ThreadRecord>& thread);
void DropThreadReference(ThreadRecord* thread);
// Waits on an event, semaphore or thread object until the deadline (virtual time).
NTSTATUS WaitForDispatcherObject(void* object, int64_t deadline);

}  // namespace host::detail
