// Worker threads kept parked between batches, shared by every batch of the
// process. Starting a thread costs 50 to 100 µs on a small virtual machine;
// waking a parked one 10 to 70 µs, which is why a batch's calling thread
// computes its first rows itself (engine.hpp): a small batch needs no worker.
// A caller that runs many small batches on two or more threads (an
// optimiser's steps of a hundred rows) asks for a warm pool (`warm`): while
// it is asked for, one thread at a time keeps looking for the next task for a
// millisecond before it sleeps, so a helper joins a batch at once. Otherwise,
// and always on a single core, threads look for 50 µs: a thread that keeps
// looking takes a core from the caller or from the other workers.
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

// The one T of this process, made on first use (null when there is no memory
// for it) and never destroyed. A child made by fork() gets a fresh one: the
// parent's threads do not exist there, and the parent's lock may have been
// held at the fork. T is made by T(pid) and keeps that pid in `pid_`.
template <class T>
T* per_process() noexcept {
    static std::atomic<T*> current{nullptr};
    const pid_t pid = getpid();
    T* found = current.load(std::memory_order_acquire);
    while (found == nullptr || found->pid_ != pid) {
        T* fresh = new (std::nothrow) T(pid);
        if (fresh == nullptr) return nullptr;
        if (current.compare_exchange_strong(found, fresh, std::memory_order_acq_rel)) return fresh;
        delete fresh;  // another thread installed one first; `found` now holds it
    }
    return found;
}

class WorkerPool {
  public:
    // The pool of this process, or null when none can be made (no memory).
    static WorkerPool* get() noexcept { return per_process<WorkerPool>(); }

    // Asks for (+1) or lets go of (-1) a warm pool; returns the requests now
    // open. A release with none open changes nothing.
    static int warm(int change) noexcept {
        std::atomic<int>& open = warm_requests();
        int now = open.load();
        while (now + change >= 0 && !open.compare_exchange_weak(now, now + change)) {
        }
        return now + change >= 0 ? now + change : 0;
    }

    // Whether a thread that finds no task keeps looking for `linger_time`: a
    // warm pool is asked for and there is a core to spare for the looking.
    static bool lingers() noexcept {
        static const bool many_cores = std::thread::hardware_concurrency() > 1;
        return many_cores && warm_requests().load(std::memory_order_relaxed) > 0;
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
    template <class T>
    friend T* per_process() noexcept;
    explicit WorkerPool(pid_t pid) : pid_(pid) {}

    void serve() noexcept {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (tasks_.empty()) {
                // Sweeps called one after the other hand over their next task
                // within microseconds: look for it a little before sleeping.
                const bool linger = !lingering_ && lingers();
                lingering_ = lingering_ || linger;
                ++spinning_;
                lock.unlock();
                spin_until([this] { return queued_.load(std::memory_order_relaxed) != 0; },
                           linger ? linger_time : spin_time);
                lock.lock();
                --spinning_;
                if (linger) lingering_ = false;
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

    static std::atomic<int>& warm_requests() noexcept {
        static std::atomic<int> requests{0};
        return requests;
    }

    static constexpr std::chrono::seconds idle_life{5};
    static constexpr std::chrono::microseconds spin_time{50};
    static constexpr std::chrono::microseconds linger_time{1000};

    const pid_t pid_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Task> tasks_;
    size_t idle_ = 0;      // threads asleep, waiting for a task
    size_t spinning_ = 0;  // threads looking for a task before they sleep
    bool lingering_ = false;  // one of them looks for linger_time
    std::atomic<size_t> queued_{0};  // tasks_.size(), for a look without the lock
};

}  // namespace hydrokit::batch
