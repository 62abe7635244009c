// The power manager's worker threads. Each posted item runs on a free worker; when every
// worker is busy (a driver's dispatch routine may block for as long as a wait-wake pends)
// another one starts. Workers end when nothing is left to do.
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "power_internal.h"

namespace host::detail::power {
namespace {

struct Workers {
    std::mutex lock;
    std::deque<std::function<void()>> queue;
    size_t alive = 0;
    size_t busy = 0;
    std::vector<std::unique_ptr<host::Thread>> threads;
};

Workers& W() {
    static auto* w = new Workers;
    return *w;
}

void Body() {
    for (;;) {
        std::function<void()> work;
        {
            std::lock_guard guard(W().lock);
            if (W().queue.empty()) {
                --W().alive;
                return;
            }
            work = std::move(W().queue.front());
            W().queue.pop_front();
            ++W().busy;
        }
        work();
        std::lock_guard guard(W().lock);
        --W().busy;
    }
}

}  // namespace

void Post(std::function<void()> work) {
    {
        std::lock_guard guard(W().lock);
        W().queue.push_back(std::move(work));
        if (W().queue.size() <= W().alive - W().busy) return;
        ++W().alive;
    }
    // Started outside the lock: the thread's start takes the kernel's lock.
    auto thread = std::make_unique<host::Thread>("power manager", Body);
    std::lock_guard guard(W().lock);
    W().threads.push_back(std::move(thread));
}

void StopWorkers() {
    for (;;) {
        std::vector<std::unique_ptr<host::Thread>> threads;
        {
            std::lock_guard guard(W().lock);
            threads.swap(W().threads);
        }
        if (threads.empty()) return;
        threads.clear();  // joins
    }
}

}  // namespace host::detail::power
