// Worker threads kept parked between batches, shared by every batch of the
// process. Starting a thread costs 50 to 100 µs on a small virtual machine;
// waking a parked one costs about 10 µs, which is what a sweep of one cheap
// row pays to keep its calling thread free for signals.
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
        if (tasks_.size() <= idle_) {
            lock.unlock();
            wake_.notify_one();
            return true;
        }
        try {
            std::thread(&WorkerPool::serve, this).detach();
        } catch (...) {
            tasks_.pop_back();
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
                ++idle_;
                const bool woken = wake_.wait_for(lock, idle_life, [this] { return !tasks_.empty(); });
                --idle_;
                if (!woken) return;
            }
            const Task task = tasks_.front();
            tasks_.pop_front();
            lock.unlock();
            task.run(task.context);
            lock.lock();
        }
    }

    static constexpr std::chrono::seconds idle_life{5};

    const pid_t pid_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Task> tasks_;
    size_t idle_ = 0;
};

}  // namespace hydrokit::batch
