// The batch engine shared by the entries of hydrokit._sweep: the registry
// of compiled cores, 2-D float64 buffers taken from Python objects, and the
// scheduler that runs rows on pool threads with the interpreter lock released
// while the calling thread keeps answering signals.
//
// The calling thread first computes rows itself for up to `first_budget`
// (with the lock released): a small batch, the usual one of a solve or an
// optimiser's step, is then done without handing anything to another thread.
// The watchdog (watchdog.hpp) stops the calling thread's core in the middle
// of its row when the budget is spent; that row and the rest go to workers,
// and the calling thread goes back to answering signals.
//
// A batch is any type with `Py_ssize_t rows` and `void row(Py_ssize_t i) const`
// (one model over many rows, one flowsheet plan over many rows). A stopped
// batch leaves a core in the middle of its row by the exception RowStopped
// (stop.hpp, thrown from poll_exp), which the row loops here catch; a row may
// therefore hold objects with destructors, and is left unfinished.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>
#include <vector>

#include "batch/stop.hpp"
#include "batch/watchdog.hpp"
#include "batch/workers.hpp"
#include "common/cancel.hpp"
#include "common/model.hpp"

namespace hydrokit::batch {

// One accessor per model, defined next to the model's own core.
#define HYDROKIT_SWEEP_MODEL(NAME) const ModelSpec& spec_##NAME();
#include "sweep_models.inc"
#undef HYDROKIT_SWEEP_MODEL

using Accessor = const ModelSpec& (*)();

inline constexpr Accessor registry[] = {
#define HYDROKIT_SWEEP_MODEL(NAME) &spec_##NAME,
#include "sweep_models.inc"
#undef HYDROKIT_SWEEP_MODEL
};

// Beyond this many worker threads nothing is gained on any machine this
// package targets, and the cap keeps a mistaken `threads=10**9` harmless.
inline constexpr Py_ssize_t max_threads = 1024;

inline const ModelSpec* find_model(PyObject* name) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) return nullptr;
    // The whole string must match: "pump\0" is not pump.
    for (Accessor spec : registry) {
        if (std::strlen(spec().name) == static_cast<size_t>(size) && std::strcmp(spec().name, text) == 0) {
            return &spec();
        }
    }
    PyErr_Format(PyExc_ValueError, "unknown model %R", name);
    return nullptr;
}

// A C-contiguous 2-D float64 buffer, released on scope exit.
struct Matrix {
    Py_buffer view{};
    bool held = false;
    Py_ssize_t rows = 0;
    Py_ssize_t cols = 0;

    ~Matrix() {
        if (held) PyBuffer_Release(&view);
    }

    double* data() const { return static_cast<double*>(view.buf); }
};

inline bool is_double_format(const char* fmt) {
    if (fmt == nullptr) return false;
    if (fmt[0] == '@' || fmt[0] == '=' || fmt[0] == '<') ++fmt;
    return fmt[0] == 'd' && fmt[1] == '\0';
}

// `owner` begins every message (a model name, "flowsheet").
inline int take_matrix(PyObject* obj, Matrix& m, bool writable, const char* what, const char* owner) {
    int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT;
    if (writable) flags |= PyBUF_WRITABLE;
    if (PyObject_GetBuffer(obj, &m.view, flags) < 0) return -1;
    m.held = true;
    if (m.view.ndim != 2 || !is_double_format(m.view.format) || m.view.itemsize != 8) {
        PyErr_Format(PyExc_ValueError, "%s: %s must be a 2-D C-contiguous float64 array", owner, what);
        return -1;
    }
    // A double read or written through a misaligned pointer is undefined
    // behaviour in the cores; the Python wrapper hands over aligned copies.
    if (reinterpret_cast<std::uintptr_t>(m.view.buf) % alignof(double) != 0) {
        PyErr_Format(PyExc_ValueError, "%s: %s must be aligned to 8 bytes", owner, what);
        return -1;
    }
    m.rows = m.view.shape[0];
    m.cols = m.view.shape[1];
    return 0;
}

// A 1-D C-contiguous buffer of 8-byte items of the given kind ('d' or 'q'), copied;
// `owner` begins the error message.
template <class T>
int take_vector(PyObject* obj, std::vector<T>& out, char kind, const char* what, const char* owner) {
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return -1;
    const char* fmt = view.format ? view.format : "B";
    if (fmt[0] == '@' || fmt[0] == '=' || fmt[0] == '<') ++fmt;
    const bool kind_ok = kind == 'd' ? (fmt[0] == 'd') : (fmt[0] == 'q' || fmt[0] == 'l');
    if (view.ndim != 1 || view.itemsize != 8 || !kind_ok || fmt[1] != '\0') {
        PyBuffer_Release(&view);
        PyErr_Format(PyExc_ValueError, "%s: %s must be a 1-D %s array", owner, what,
                     kind == 'd' ? "float64" : "int64");
        return -1;
    }
    const T* data = static_cast<const T*>(view.buf);
    out.assign(data, data + view.shape[0]);
    PyBuffer_Release(&view);
    return 0;
}

// Whether two buffers share any byte. Rows are written while other rows are
// still to be read, so an output that overlaps an input gives wrong values.
inline bool overlap(const Matrix& a, const Matrix& b) {
    const auto a0 = reinterpret_cast<std::uintptr_t>(a.view.buf);
    const auto b0 = reinterpret_cast<std::uintptr_t>(b.view.buf);
    const auto a1 = a0 + static_cast<std::uintptr_t>(a.view.len);
    const auto b1 = b0 + static_cast<std::uintptr_t>(b.view.len);
    return a.view.len > 0 && b.view.len > 0 && a0 < b1 && b0 < a1;
}

// Rows are handed out in blocks from a shared counter, so a thread that meets
// cheap rows takes more of them and all finish together even when the cost
// per row varies (iterating cores, hostile rows).
template <class Rows>
class Schedule {
  public:
    Schedule(const Rows& batch, Py_ssize_t threads)
        : batch_(batch), block_(std::clamp<Py_ssize_t>(batch.rows / (threads * 16), 1, 1024)) {}

    // Run blocks until none is left or `go_on()`, asked every few rows,
    // says stop. Returns false when stopped.
    template <class GoOn>
    bool work(GoOn&& go_on) {
        // The rows the calling thread was stopped inside come first.
        if (given_back_.exchange(false, std::memory_order_acq_rel)) {
            if (!run(back_begin_, back_end_, go_on)) return false;
        }
        for (;;) {
            const Py_ssize_t start = next_.fetch_add(block_, std::memory_order_relaxed);
            if (start >= batch_.rows) return true;
            if (!run(start, std::min(batch_.rows, start + block_), go_on)) return false;
        }
    }

    // The first row of the next `count` nobody has taken (rows() or beyond
    // when none is left).
    Py_ssize_t take(Py_ssize_t count) { return next_.fetch_add(count, std::memory_order_relaxed); }
    bool taken() const { return next_.load(std::memory_order_relaxed) >= batch_.rows; }
    Py_ssize_t rows() const { return batch_.rows; }
    const Rows& batch() const { return batch_; }

    // Rows [begin, end) that the calling thread took and did not finish;
    // before any worker that is to compute them starts.
    void give_back(Py_ssize_t begin, Py_ssize_t end) {
        back_begin_ = begin;
        back_end_ = end;
        given_back_.store(true, std::memory_order_release);
    }
    bool has_given_back() const { return given_back_.load(std::memory_order_acquire); }

    std::atomic<bool> stop{false};

  private:
    template <class GoOn>
    bool run(Py_ssize_t begin, Py_ssize_t end, GoOn& go_on) {
        constexpr Py_ssize_t slice = 32;
        for (Py_ssize_t i = begin; i < end;) {
            const Py_ssize_t slice_end = std::min(end, i + slice);
            for (; i < slice_end; ++i) batch_.row(i);
            if (!go_on()) return false;
        }
        return true;
    }

    const Rows& batch_;
    const Py_ssize_t block_;
    std::atomic<Py_ssize_t> next_{0};
    std::atomic<bool> given_back_{false};
    Py_ssize_t back_begin_ = 0;
    Py_ssize_t back_end_ = 0;
};

// How often the calling thread takes the interpreter lock back to let Python
// run its signal handlers while the workers compute.
inline constexpr std::chrono::milliseconds signal_interval{20};

// The rows on the calling thread (interpreter lock released, `state` saved),
// taking the lock back every `signal_interval` between slices of rows to run
// the signal handlers. Returns -1 when a handler raised.
template <class Rows>
int work_here(Schedule<Rows>& schedule, PyThreadState*& state) {
    using clock = std::chrono::steady_clock;
    int rc = 0;
    auto last_check = clock::now();
    schedule.work([&] {
        if (clock::now() - last_check < signal_interval) return true;
        PyEval_RestoreThread(state);
        rc = PyErr_CheckSignals();
        state = PyEval_SaveThread();
        last_check = clock::now();
        return rc == 0;
    });
    return rc;
}

// Rows until none is left or the batch stops; a core that sees the stop
// leaves its row by RowStopped, caught here.
template <class Rows>
void work_on_worker(Schedule<Rows>& schedule) {
    const CancelScope scope(&schedule.stop);
    try {
        schedule.work([&schedule] { return !schedule.stop.load(std::memory_order_relaxed); });
    } catch (const RowStopped&) {
        // The batch is stopping: the row left is thrown away with it.
    }
}

// How long the calling thread computes rows before it leaves the rest to
// workers: well within the time a Ctrl-C may wait for an answer. Helpers of
// a batch on more than one thread join after `helpers_after`, when the
// batch has turned out to be more than a few rows: waking one costs 10 to
// 70 µs, and the calling thread has to wait for it to leave the batch (in a
// warm pool, workers.hpp, they join at once).
inline constexpr std::chrono::microseconds first_budget{2000};
inline constexpr std::chrono::microseconds helpers_after{100};

// The calling thread's rows, in blocks that double while a block takes less
// than `quick_block` (so that cheap rows pay for a look at the clock only now
// and then), until none is left, the deadline has passed or the watchdog
// stops it. Sets [begin, end) to the rows it took and did not finish (to be
// computed elsewhere; empty when none).
inline constexpr std::chrono::microseconds quick_block{20};

template <class Rows, class Helpers>
void first_rows(Schedule<Rows>& schedule, Watch& w, Helpers& helpers, Py_ssize_t& begin, Py_ssize_t& end) {
    using clock = std::chrono::steady_clock;
    Py_ssize_t current = 0;  // the row in hand (read after a core left it)
    Py_ssize_t stop_at = 0;  // the end of the block in hand
    bool helped = false;
    const Rows& batch = schedule.batch();
    // In a warm pool a helper is awake already: it joins at once.
    const auto help_at = clock::now() + (WorkerPool::lingers() ? std::chrono::microseconds(0) : helpers_after);
    try {
        Py_ssize_t size = 1;
        auto block_start = clock::now();
        while (!w.stop.load(std::memory_order_relaxed)) {
            const Py_ssize_t first = schedule.take(size);
            if (first >= schedule.rows()) break;
            const Py_ssize_t last = std::min(schedule.rows(), first + size);
            stop_at = last;
            // A stop seen inside a row (a tear loop gives up on it) leaves its
            // values unfinished: that row and the rest of the block are given back.
            bool stopped = false;
            for (Py_ssize_t i = first; i < last && !stopped; ++i) {
                current = i;
                batch.row(i);
                stopped = w.stop.load(std::memory_order_relaxed);
            }
            if (stopped) break;
            current = last;
            const auto now = clock::now();
            if (now >= w.deadline) break;
            if (!helped && now >= help_at) {
                helped = true;
                helpers();
            }
            if (now - block_start < quick_block && size < 1024) size *= 2;
            block_start = now;
        }
    } catch (const RowStopped&) {
        // The watchdog stopped the row in hand: it is given back below.
    }
    begin = current;
    const Py_ssize_t block_end = stop_at;
    end = std::max(begin, block_end);
}

// Runs the calling thread's first rows under the watchdog, or returns false
// without running any when the watchdog cannot take them.
template <class Rows, class Helpers>
bool work_first(Schedule<Rows>& schedule, Helpers& helpers) {
    Watchdog* dog = Watchdog::get();
    if (dog == nullptr) return false;
    std::shared_ptr<Watch> w;
    try {
        w = std::make_shared<Watch>(std::chrono::steady_clock::now() + first_budget);
    } catch (...) {
        return false;
    }
    if (!dog->add(w)) return false;
    Py_ssize_t begin = 0, end = 0;
    {
        const CancelScope scope(&w->stop);
        first_rows(schedule, *w, helpers, begin, end);
    }
    w->finish();
    if (begin < end) schedule.give_back(begin, end);
    return true;
}

// Called with the interpreter lock held; releases it while rows run. The
// calling thread computes the first rows itself (helpers join after
// `helpers_after` when `threads` > 1); what is left after `first_budget` runs
// on `threads` pool workers while the calling thread watches for signals: when
// a handler raises (Ctrl-C), the batch stops (its workers leave their rows, in
// the middle of a core call) and -1 is returned with the exception set once
// every worker is out of the batch.
template <class Rows>
int run_rows(const Rows& batch, Py_ssize_t threads) {
    if (batch.rows <= 0) return 0;
    Schedule<Rows> schedule(batch, threads);

    struct Crew {
        Schedule<Rows>& schedule;
        std::mutex mutex;
        std::condition_variable finished;
        std::atomic<Py_ssize_t> running;
    } crew{schedule, {}, {}, {0}};
    const Task task{[](void* context) {
                        Crew& c = *static_cast<Crew*>(context);
                        work_on_worker(c.schedule);
                        // Notified under the lock: the crew lives on the caller's
                        // stack and is gone as soon as the caller sees zero.
                        std::lock_guard<std::mutex> lock(c.mutex);
                        if (--c.running == 0) c.finished.notify_all();
                    },
                    &crew};

    PyThreadState* state = PyEval_SaveThread();
    WorkerPool* pool = WorkerPool::get();
    Py_ssize_t started = 0;
    auto start = [&](Py_ssize_t count) {
        for (Py_ssize_t k = 0; k < count && pool != nullptr; ++k) {
            crew.running.fetch_add(1);
            if (!pool->submit(task)) {
                crew.running.fetch_sub(1);
                break;
            }
            ++started;
        }
    };
    // The calling thread is one of the `threads`, for its first rows.
    bool first = false;
    bool alone = false;  // rows are left and no worker could start for them
    if (pool != nullptr) {
        auto helpers = [&] { start(threads - 1); };
        first = work_first(schedule, helpers);
        if (first && (schedule.has_given_back() || !schedule.taken())) {
            // A worker in the calling thread's place, started now so that
            // it sees the row given back.
            const Py_ssize_t before = started;
            start(1);
            alone = started == before;
        }
    }
    if (!first) {
        start(threads - started);
        alone = started == 0;
    }
    int rc = 0;
    if (alone) {
        // This thread takes every row left (workers that are running share
        // them), looking for signals between slices of rows only.
        rc = work_here(schedule, state);
        if (rc != 0 && started > 0) {
            schedule.stop.store(true, std::memory_order_relaxed);
            cancel_detail::stopping.fetch_add(1, std::memory_order_relaxed);
        }
    }
    if (started == 0) {
        PyEval_RestoreThread(state);
        return rc;
    }
    std::unique_lock<std::mutex> lock(crew.mutex);
    if (crew.running > 0) {
        // Workers that found no row left are out within microseconds: look
        // before sleeping.
        lock.unlock();
        spin_until([&crew] { return crew.running.load() == 0; }, std::chrono::microseconds(30));
        lock.lock();  // the last worker has let go of the crew once this is held
    }
    while (!crew.finished.wait_for(lock, signal_interval, [&crew] { return crew.running == 0; })) {
        if (rc != 0) continue;  // stopping: wait for the workers to leave the batch
        lock.unlock();
        PyEval_RestoreThread(state);
        rc = PyErr_CheckSignals();
        state = PyEval_SaveThread();
        if (rc != 0) {
            schedule.stop.store(true, std::memory_order_relaxed);
            cancel_detail::stopping.fetch_add(1, std::memory_order_relaxed);
        }
        lock.lock();
    }
    lock.unlock();
    if (rc != 0) cancel_detail::stopping.fetch_sub(1, std::memory_order_relaxed);
    PyEval_RestoreThread(state);
    return rc;
}

}  // namespace hydrokit::batch
