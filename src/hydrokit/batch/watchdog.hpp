// The time limit of the rows a calling thread computes itself.
//
// A batch's calling thread first computes rows on its own (engine.hpp), with
// the interpreter lock released, for a short budget. One thread of the
// process keeps the deadlines of those first rows: when a calling thread is
// still inside them at its deadline, it raises that thread's stop flag, so
// that the core it is in leaves the row (stop.hpp) and the thread can hand
// the rest to workers and go back to answering signals.
//
// Registering costs the calling thread a lock and a push; the watchdog sleeps
// until the earliest deadline and is woken only when it has nothing to watch.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "batch/workers.hpp"
#include "common/cancel.hpp"

namespace hydrokit::batch {

// One calling thread's first rows, shared with the watchdog.
class Watch {
  public:
    explicit Watch(std::chrono::steady_clock::time_point deadline) : deadline(deadline) {}

    // Called by the calling thread once it is out of its rows.
    void finish() noexcept {
        int running = 0;
        if (!state_.compare_exchange_strong(running, finished)) {
            // Stopped by the watchdog: it counted this thread among the
            // stopping ones, and the thread is out now.
            cancel_detail::stopping.fetch_sub(1, std::memory_order_relaxed);
        }
    }

    bool done() const noexcept { return state_.load() != 0; }

    // Called by the watchdog at the deadline.
    void expire() noexcept {
        // Counted before the stop can be seen, so that finish() never takes
        // the count below what it was.
        cancel_detail::stopping.fetch_add(1, std::memory_order_relaxed);
        stop.store(true, std::memory_order_relaxed);
        int running = 0;
        if (!state_.compare_exchange_strong(running, stopped)) {
            cancel_detail::stopping.fetch_sub(1, std::memory_order_relaxed);  // out already
        }
    }

    const std::chrono::steady_clock::time_point deadline;
    std::atomic<bool> stop{false};  // the calling thread's stop flag (its CancelScope)

  private:
    static constexpr int finished = 1;
    static constexpr int stopped = 2;
    std::atomic<int> state_{0};
};

class Watchdog {
  public:
    // The watchdog of this process, or null when none can be made.
    static Watchdog* get() noexcept { return per_process<Watchdog>(); }

    // Watches `w` until its deadline; false when it cannot (no thread, no memory).
    bool add(const std::shared_ptr<Watch>& w) noexcept {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!started_) {
            try {
                std::thread(&Watchdog::serve, this).detach();
            } catch (...) {
                return false;
            }
            started_ = true;
        }
        try {
            watches_.push_back(w);
        } catch (...) {
            return false;
        }
        // Every deadline is the same budget after its start, so a new one is
        // never earlier than those waited for: only an idle watchdog is woken.
        const bool idle = watches_.size() == 1;
        lock.unlock();
        if (idle) wake_.notify_one();
        return true;
    }

  private:
    template <class T>
    friend T* per_process() noexcept;
    explicit Watchdog(pid_t pid) : pid_(pid) {}

    void serve() noexcept {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            const auto now = std::chrono::steady_clock::now();
            for (const auto& w : watches_) {
                if (!w->done() && w->deadline <= now) w->expire();
            }
            watches_.erase(std::remove_if(watches_.begin(), watches_.end(),
                                          [](const std::shared_ptr<Watch>& w) { return w->done(); }),
                           watches_.end());
            if (watches_.empty()) {
                wake_.wait(lock, [this] { return !watches_.empty(); });
            } else {
                auto next = watches_.front()->deadline;
                for (const auto& w : watches_) next = std::min(next, w->deadline);
                wake_.wait_until(lock, next);
            }
        }
    }

    const pid_t pid_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<std::shared_ptr<Watch>> watches_;
    bool started_ = false;
};

}  // namespace hydrokit::batch
