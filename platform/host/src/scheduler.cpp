// The virtual clock and the platform's threads: who runs, who waits on what, and what
// happens when nobody can run (the clock jumps to the next deadline, or the run ends as a
// deadlock).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <list>
#include <map>
#include <vector>

#include "kernel.h"

namespace host::detail {
namespace {

struct Scheduler {
    std::atomic<int64_t> now{0};
    std::atomic<bool> realTime{false};
    std::atomic<int64_t> realBaseNs{0};
    // Guarded by KernelLock():
    std::vector<std::shared_ptr<ThreadRecord>> threads;  // in registration order
    std::vector<std::weak_ptr<ThreadRecord>> systemThreads;
    std::list<Wait*> waits;  // in arrival order
    std::map<const void*, std::string> names;
    uint64_t generation = 0;  // bumped by every state change, for WaitUntil
    uint64_t epoch = 0;
    uint32_t lastThreadId = 0;
    bool active = false;
    int64_t limit = 0;  // virtual time a run may not pass; 0: none
};

// Never destroyed: threads left over at exit may still reach it.
Scheduler& S() {
    static auto* s = new Scheduler;
    return *s;
}

thread_local ThreadRecord* t_self = nullptr;
thread_local char t_tokenAnchor;

int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::chrono::steady_clock::time_point WallDeadline(int64_t deadline) {
    int64_t ns = S().realBaseNs.load() + std::min<int64_t>(deadline, INT64_MAX / 200) * 100;
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(ns));
}

bool AnyRunning() {
    return std::any_of(S().threads.begin(), S().threads.end(),
                       [](const auto& t) { return !t->ended && !t->wait; });
}

int64_t EarliestDeadline() {
    int64_t earliest = kNoDeadline;
    for (const Wait* w : S().waits) earliest = std::min(earliest, w->deadline);
    return earliest;
}

std::string TimeText(int64_t t) {
    return std::to_string(t) + " (" + std::to_string(t / 10000) + "." +
           std::to_string(t % 10000 / 1000) + " ms)";
}

std::string WaitText(const Wait& w) {
    std::string text = w.kind;
    if (w.object) text += " " + PointerText(w.object);
    auto name = S().names.find(w.object);
    if (name != S().names.end()) {
        text += " \"" + name->second + "\"";
    } else if (w.object && std::string(w.kind) == "thread") {
        auto* thread = static_cast<ThreadRecord*>(static_cast<const KTHREAD*>(w.object)->HostThread);
        text += " \"" + ThreadNameLocked(*thread) + "\"";
    }
    if (!w.what.empty()) text += " \"" + w.what + "\"";
    return text;
}

const char* RoleText(ThreadRole role) {
    switch (role) {
    case ThreadRole::Session: return "session thread";
    case ThreadRole::System: return "system thread";
    case ThreadRole::Host: return "host thread";
    }
    return "?";
}

std::string ReportLocked() {
    std::string report = "platform threads at virtual time " + TimeText(Now()) + ":\n";
    for (const auto& t : S().threads) {
        report += "  " + ThreadNameLocked(*t) + " (" + RoleText(t->role) + "): ";
        if (t->ended) {
            report += "ended\n";
        } else if (!t->wait) {
            report += "running\n";
        } else {
            const Wait& w = *t->wait;
            report += "waits on " + WaitText(w) + ", " +
                      (w.deadline == kNoDeadline ? "no deadline" : "deadline " + TimeText(w.deadline)) +
                      ", IRQL " + std::to_string(w.irql) + "\n";
        }
    }
    return report;
}

std::string WaitSummaryLocked() {
    std::string summary;
    for (const auto& t : S().threads) {
        if (t->ended || !t->wait) continue;
        if (!summary.empty()) summary += "; ";
        summary += ThreadNameLocked(*t) + " waits on " + WaitText(*t->wait);
    }
    return summary;
}

void WakeExpired() {
    std::vector<Wait*> expired;
    for (Wait* w : S().waits) {
        if (w->deadline <= S().now.load()) expired.push_back(w);
    }
    for (Wait* w : expired) Wake(*w, w->deadlineStatus);
}

// Every platform thread waits and none will time out. In recording mode the waits are
// released with STATUS_TIMEOUT so a test can look at the report.
void ReportDeadlock(std::unique_lock<std::mutex>& lock) {
    std::string detail = "every platform thread waits and none has a deadline: " + WaitSummaryLocked();
    lock.unlock();
    Violate(rules::kDeadlock, detail);
    lock.lock();
    if (AnyRunning() || EarliestDeadline() != kNoDeadline) return;
    std::vector<Wait*> all(S().waits.begin(), S().waits.end());
    for (Wait* w : all) Wake(*w, STATUS_TIMEOUT);
}

// Every thread waits on a timer, again and again, past the time the run was given: a loop
// that polls for something that never comes. Reported once, then time goes on.
void ReportOverrun(std::unique_lock<std::mutex>& lock) {
    std::string detail = "virtual time would pass the run's limit of " + TimeText(S().limit) +
                         ", every platform thread waiting on a deadline: " + WaitSummaryLocked();
    S().limit = 0;
    lock.unlock();
    Violate(rules::kTimeLimit, detail);
    lock.lock();
}

// Called whenever a thread stops running: when nobody runs, time moves on.
void Settle(std::unique_lock<std::mutex>& lock) {
    Scheduler& s = S();
    if (!s.active || AnyRunning()) return;
    int64_t earliest = EarliestDeadline();
    if (earliest == kNoDeadline) {
        ReportDeadlock(lock);
        return;
    }
    if (s.realTime) return;
    if (s.limit != 0 && earliest > s.limit) {
        ReportOverrun(lock);
        Settle(lock);  // the report let go of the lock: look again, without a limit now
        return;
    }
    if (earliest > s.now.load()) s.now.store(earliest);
    Progress();
    WakeExpired();
    NotifyStateChangeLocked();
}

void Reset() {
    Scheduler& s = S();
    std::lock_guard guard(KernelLock());
    s.threads.clear();
    s.systemThreads.clear();
    s.waits.clear();
    s.names.clear();
    s.now.store(0);
    s.realTime.store(false);
    s.generation = 0;
    s.lastThreadId = 0;
    s.limit = 0;
    s.active = false;
    ++s.epoch;
}

std::string Leaks() {
    std::string report;
    std::vector<std::shared_ptr<ThreadRecord>> ended;
    {
        std::lock_guard guard(KernelLock());
        for (const auto& t : S().threads) {
            if (t->role != ThreadRole::Session && !t->ended)
                report += "thread still running: " + ThreadNameLocked(*t) + "\n";
        }
        for (const auto& weak : S().systemThreads) {
            if (auto t = weak.lock(); t && t->ended) ended.push_back(t);
        }
    }
    for (const auto& t : ended) {
        if (IsObject(&t->object)) report += "thread object still referenced: " + t->name + "\n";
    }
    return report;
}

HOST_MODULE(schedulerModule, "scheduler", Reset, Leaks);

}  // namespace

std::mutex& KernelLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

KIRQL& CurrentIrql() {
    thread_local KIRQL irql = PASSIVE_LEVEL;
    return irql;
}

uintptr_t ThreadToken() { return reinterpret_cast<uintptr_t>(&t_tokenAnchor); }

ThreadRecord* CurrentThread() { return t_self; }

// Without the lock: callers may hold it while they describe a violation.
std::string CurrentThreadName() { return t_self ? t_self->name : "unregistered thread"; }

bool InSystemThread() { return t_self && t_self->role == ThreadRole::System; }

std::string ThreadNameLocked(const ThreadRecord& thread) {
    auto name = S().names.find(&thread.object);
    return name != S().names.end() ? name->second : thread.name;
}

NTSTATUS Block(std::unique_lock<std::mutex>& lock, Wait& w) {
    Scheduler& s = S();
    if (w.deadline <= Now()) return w.deadlineStatus;
    w.thread = t_self;
    w.irql = CurrentIrql();
    s.waits.push_back(&w);
    if (t_self) t_self->wait = &w;
    Progress();
    Settle(lock);
    while (!w.done) {
        if (s.realTime.load() && w.deadline != kNoDeadline) {
            if (w.cv.wait_until(lock, WallDeadline(w.deadline)) == std::cv_status::timeout && !w.done)
                Wake(w, w.deadlineStatus);
        } else {
            w.cv.wait(lock);
        }
    }
    return w.status;
}

void Wake(Wait& w, NTSTATUS status) {
    S().waits.remove(&w);
    w.done = true;
    w.status = status;
    if (w.thread) w.thread->wait = nullptr;  // running from now on, before the waker goes on
    w.cv.notify_one();
    Progress();
}

void WakeWaiters(DISPATCHER_HEADER* header, bool (*take)(DISPATCHER_HEADER*)) {
    std::vector<Wait*> waiting;
    for (Wait* w : S().waits) {
        if (w->object == header) waiting.push_back(w);
    }
    for (Wait* w : waiting) {
        if (!take(header)) break;
        Wake(*w, STATUS_SUCCESS);
    }
    NotifyStateChangeLocked();
}

void NotifyStateChangeLocked() {
    ++S().generation;
    std::vector<Wait*> conditions;
    for (Wait* w : S().waits) {
        if (w->retest) conditions.push_back(w);
    }
    for (Wait* w : conditions) Wake(*w, STATUS_SUCCESS);
}

void NotifyStateChange() {
    std::lock_guard guard(KernelLock());
    NotifyStateChangeLocked();
}

std::shared_ptr<ThreadRecord> AddThread(std::string name, ThreadRole role) {
    std::lock_guard guard(KernelLock());
    uint32_t id = ++S().lastThreadId;
    if (role == ThreadRole::System) name = "system thread " + std::to_string(S().systemThreads.size() + 1);
    auto thread = std::make_shared<ThreadRecord>(std::move(name), role);
    thread->epoch = S().epoch;
    thread->id = id;
    S().threads.push_back(thread);
    if (role == ThreadRole::System) S().systemThreads.push_back(thread);
    Progress();
    return thread;
}

void EnterThread(ThreadRecord* thread) { t_self = thread; }

void EndCurrentThread() {
    ThreadRecord* self = t_self;
    std::unique_lock lock(KernelLock());
    self->ended = true;
    self->object.Header.SignalState = 1;
    WakeWaiters(&self->object.Header, [](DISPATCHER_HEADER*) { return true; });
    Progress();
    Settle(lock);
    t_self = nullptr;
}

void RemoveThread(const std::shared_ptr<ThreadRecord>& thread) {
    std::lock_guard guard(KernelLock());
    std::erase(S().threads, thread);
}

// Joins system threads that have ended; outside the lock, as they may still be leaving.
void JoinEndedThreads() {
    std::vector<std::thread> done;
    {
        std::lock_guard guard(KernelLock());
        std::erase_if(S().threads, [&](const std::shared_ptr<ThreadRecord>& t) {
            if (t->role != ThreadRole::System || !t->ended || !t->thread.joinable()) return false;
            done.push_back(std::move(t->thread));
            return true;
        });
    }
    for (std::thread& t : done) t.join();
}

uint64_t SessionEpoch() {
    std::lock_guard guard(KernelLock());
    return S().epoch;
}

std::string RunningThreadNames() {
    std::unique_lock lock(KernelLock(), std::try_to_lock);
    if (!lock.owns_lock()) return "a thread that holds the kernel lock";
    std::string names;
    for (const auto& t : S().threads) {
        if (t->ended || t->wait) continue;
        names += (names.empty() ? "" : ", ") + ThreadNameLocked(*t);
    }
    return names;
}

std::string ThreadReportBestEffort() {
    std::unique_lock lock(KernelLock(), std::defer_lock);
    for (int i = 0; i < 1000 && !lock.try_lock(); ++i) std::this_thread::yield();
    // Without the lock when a stuck thread holds it: the run ends with this report anyway.
    return ReportLocked();
}

void StartSession(const char* threadName) {
    auto thread = AddThread(threadName, ThreadRole::Session);
    RegisterThreadObject(thread);
    EnterThread(thread.get());
    CurrentIrql() = PASSIVE_LEVEL;  // whatever an earlier session on this thread left
    std::lock_guard guard(KernelLock());
    S().active = true;
}

void EndSession() {
    ThreadRecord* self = t_self;
    std::shared_ptr<ThreadRecord> thread;
    {
        std::lock_guard guard(KernelLock());
        S().active = false;
        for (const auto& t : S().threads) {
            if (t.get() == self) thread = t;
        }
    }
    t_self = nullptr;
    if (!thread) return;
    RemoveThread(thread);
    DropThreadReference(thread.get());
}

}  // namespace host::detail

namespace host {

using namespace detail;

int64_t Now() {
    Scheduler& s = S();
    if (s.realTime.load()) return (SteadyNs() - s.realBaseNs.load()) / 100;
    return s.now.load();
}

void SetRealTime(bool realTime) {
    std::lock_guard guard(KernelLock());
    S().realBaseNs.store(SteadyNs());
    S().now.store(0);
    S().realTime.store(realTime);
}

bool RealTime() { return S().realTime.load(); }

std::string ThreadReport() {
    std::lock_guard guard(KernelLock());
    return ReportLocked();
}

void NameObject(const void* object, const char* name) {
    std::lock_guard guard(KernelLock());
    S().names[object] = name;
}

bool WaitUntil(const std::function<bool()>& pred, int64_t timeout100ns, const char* what) {
    std::unique_lock lock(KernelLock());
    int64_t deadline = timeout100ns > 0 ? Now() + timeout100ns : kNoDeadline;
    for (;;) {
        uint64_t seen = S().generation;
        lock.unlock();
        bool holds = pred();
        lock.lock();
        if (holds) return true;
        if (S().generation != seen) continue;  // changed while testing: test again
        Wait w;
        w.kind = "condition";
        w.what = what;
        w.deadline = deadline;
        w.retest = true;
        if (Block(lock, w) == STATUS_TIMEOUT) {
            lock.unlock();
            return pred();
        }
    }
}

void SetTimeLimit(int64_t at100ns) {
    std::lock_guard guard(KernelLock());
    S().limit = at100ns;
}

void Advance(int64_t span100ns) {
    std::unique_lock lock(KernelLock());
    Wait w;
    w.kind = "delay";
    w.deadline = Now() + std::max<int64_t>(span100ns, 0);
    w.deadlineStatus = STATUS_SUCCESS;
    Block(lock, w);
}

}  // namespace host
