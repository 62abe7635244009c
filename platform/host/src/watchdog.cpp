// The watchdog: a wall-clock thread outside the platform that ends the run when threads run
// but nothing progresses (a thread stuck outside the platform's waits, where virtual time
// cannot help).
#include <atomic>
#include <chrono>
#include <cstdlib>

#include "kernel.h"

namespace host::detail {
namespace {

struct Watchdog {
    std::mutex lock;
    std::condition_variable wake;
    bool stop = false;
    std::thread thread;
    std::atomic<unsigned> seconds{60};
    std::atomic<int64_t> lastProgressNs{0};
};

// Never destroyed, so a session left open at exit does not join it from a destructor.
Watchdog& W() {
    static auto* w = new Watchdog;
    return *w;
}

int64_t WallNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Bark(unsigned seconds) {
    std::string running = RunningThreadNames();
    if (running.empty()) return;  // every thread waits: a deadlock or real-time waits
    Progress();                   // in recording mode, one report per quiet period
    Violate(rules::kWatchdog, "no progress for " + std::to_string(seconds) + " s while running: " + running);
}

void Watch() {
    Watchdog& w = W();
    std::unique_lock lock(w.lock);
    while (!w.stop) {
        w.wake.wait_for(lock, std::chrono::milliseconds(50));
        unsigned seconds = w.seconds.load();
        if (w.stop || seconds == 0) continue;
        if (WallNs() - w.lastProgressNs.load(std::memory_order_relaxed) < int64_t(seconds) * 1000000000)
            continue;
        lock.unlock();
        Bark(seconds);
        lock.lock();
    }
}

void Reset() {
    const char* env = std::getenv("PMC7R_WATCHDOG_SECONDS");
    W().seconds.store(env ? unsigned(std::strtoul(env, nullptr, 10)) : 60);
}

HOST_MODULE(watchdogModule, "watchdog", Reset, [] { return std::string(); });

}  // namespace

void Progress() { W().lastProgressNs.store(WallNs(), std::memory_order_relaxed); }

void StartWatchdog() {
    Watchdog& w = W();
    Progress();
    std::lock_guard guard(w.lock);
    if (w.thread.joinable()) return;
    w.stop = false;
    w.thread = std::thread(Watch);
}

void StopWatchdog() {
    Watchdog& w = W();
    {
        std::lock_guard guard(w.lock);
        w.stop = true;
        w.wake.notify_all();
    }
    if (w.thread.joinable()) w.thread.join();
}

}  // namespace host::detail

void host::SetWatchdogSeconds(unsigned seconds) {
    detail::W().seconds.store(seconds);
    detail::Progress();
}
