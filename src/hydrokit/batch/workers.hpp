// Worker threads kept parked between batches, shared by every batch of the
// process. Starting a thread costs 50 to 100 µs on a small virtual machine;
// waking a parked one 10 to 70 µs, which is why a batch's calling thread
// computes its first rows itself (engine.hpp): a small batch needs no worker.
//
// Threads are started on demand (one per task that finds no idle thread), so
// two sweeps from two Python threads never wait for each other, and each ends
// after a few idle seconds, so a batch on a thousand threads leaves none behind
// for long. The pool is never destroyed: its parked threads end with the
// process, and no destructor runs at exit while they still wait on its lock.
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <thread>

namespace hydrokit::batch {

// Calls `done()` until it is true or `limit` has passed; returns its last answer.
template <class Done>
bool spin_until(Done&& done, std::chrono::microseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            if (done()) return true;
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
        if (std::chrono::steady_clock::now() >= end) return done();
    }
}

struct Task {
    void (*run)(void* context);
    void* context;
};

class WorkerPool {
  public:
    // The pool of this process, or null when none can be made (no memory). A
    // child made by fork() gets a fresh pool: the parent's threads do not exist
    // there, and the parent's lock may have been held at the fork.
    static WorkerPool* get() noexcept {
        static std::atomic<WorkerPool*> current{nullptr};
        const pid_t pid = getpid();
        WorkerPool* pool = current.load(std::memory_order_acquire);
        while (pool == nullptr || pool->pid_ != pid) {
            WorkerPool* fresh = new (std::nothrow) WorkerPool(pid);
            if (fresh == nullptr) return nullptr;
            if (current.compare_exchange_strong(pool, fresh, std::memory_order_acq_rel)) return fresh;
            delete fresh;  // another thread installed one first; `pool` now holds it
        }
        return pool;
    }

    // Hands `task` to an idle thread or a new one. False when no thread could
    // take it (none can be started); the task is then not run.
    bool submit(Task task) noexcept {
        std::unique_lock<std::mutex> lock(mutex_);
        try {
            tasks_.push_back(task);
        } catch (...) {
            return false;
        }
        queued_.store(tasks_.size(), std::memory_order_relaxed);
        if (tasks_.size() <= idle_ + spinning_) {
            lock.unlock();
            wake_.notify_one();
            return true;
        }
        try {
            std::thread(&WorkerPool::serve, this).detach();
        } catch (...) {
            tasks_.pop_back();
            queued_.store(tasks_.size(), std::memory_order_relaxed);
            return false;
        }
        return true;
    }

  private:
    explicit WorkerPool(pid_t pid) : pid_(pid) {}

    void serve() noexcept {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (tasks_.empty()) {
                // Sweeps called one after the other hand over their next task
                // within microseconds: look for it a little before sleeping.
                ++spinning_;
                lock.unlock();
                spin_until([this] { return queued_.load(std::memory_order_relaxed) != 0; }, spin_time);
                lock.lock();
                --spinning_;
            }
            if (tasks_.empty()) {
                ++idle_;
                const bool woken = wake_.wait_for(lock, idle_life, [this] { return !tasks_.empty(); });
                --idle_;
                if (!woken) return;
            }
            const Task task = tasks_.front();
            tasks_.pop_front();
            queued_.store(tasks_.size(), std::memory_order_relaxed);
            lock.unlock();
            task.run(task.context);
            lock.lock();
        }
    }

    static constexpr std::chrono::seconds idle_life{5};
    static constexpr std::chrono::microseconds spin_time{50};

    const pid_t pid_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Task> tasks_;
    size_t idle_ = 0;      // threads asleep, waiting for a task
    size_t spinning_ = 0;  // threads looking for a task before they sleep
    std::atomic<size_t> queued_{0};  // tasks_.size(), for a look without the lock
};

}  // namespace hydrokit::batch
