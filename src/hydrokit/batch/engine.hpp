// The batch engine shared by the entries of hydrokit._sweep: the registry
// of compiled cores, 2-D float64 buffers taken from Python objects, and the
// scheduler that runs rows on pool threads with the interpreter lock released
// while the calling thread keeps answering signals.
//
// A batch is any type with `Py_ssize_t rows` and `void row(Py_ssize_t i) const`
// (one model over many rows, one flowsheet plan over many rows). A type whose
// rows hold no object with a destructor around its core calls may say
// `static constexpr bool escapable = true`: a stopped batch then leaves a core
// in the middle of its row (escape.hpp); otherwise at the end of the core call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csetjmp>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <type_traits>

#include "batch/escape.hpp"
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
        constexpr Py_ssize_t slice = 32;
        for (;;) {
            const Py_ssize_t start = next_.fetch_add(block_, std::memory_order_relaxed);
            if (start >= batch_.rows) return true;
            const Py_ssize_t end = std::min(batch_.rows, start + block_);
            for (Py_ssize_t i = start; i < end;) {
                const Py_ssize_t slice_end = std::min(end, i + slice);
                for (; i < slice_end; ++i) batch_.row(i);
                if (!go_on()) return false;
            }
        }
    }

    std::atomic<bool> stop{false};

  private:
    const Rows& batch_;
    const Py_ssize_t block_;
    std::atomic<Py_ssize_t> next_{0};
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

template <class Rows, class = void>
struct is_escapable : std::false_type {};
template <class Rows>
struct is_escapable<Rows, std::void_t<decltype(Rows::escapable)>> : std::bool_constant<Rows::escapable> {};

// Rows until none is left or the batch stops; for an escapable batch, a core
// that sees the stop jumps back here (escape.hpp). Its own frame, so that
// nothing with a destructor lies between the jump and its target.
template <class Rows>
[[gnu::noinline]] void work_escapable(Schedule<Rows>& schedule) {
    std::jmp_buf target;
    if (setjmp(target) == 0) {
        escape_detail::target = &target;
        schedule.work([&schedule] { return !schedule.stop.load(std::memory_order_relaxed); });
    }
    escape_detail::target = nullptr;
}

template <class Rows>
void work_on_worker(Schedule<Rows>& schedule) {
    const CancelScope scope(&schedule.stop);
    if constexpr (is_escapable<Rows>::value) {
        work_escapable(schedule);
    } else {
        schedule.work([&schedule] { return !schedule.stop.load(std::memory_order_relaxed); });
    }
}

// Called with the interpreter lock held; releases it while rows run. The rows
// run on `threads` pool workers while the calling thread watches for signals:
// when a handler raises (Ctrl-C), the batch stops (its workers leave their
// rows, in the middle of a core call where the batch is escapable) and -1 is
// returned with the exception set once every worker is out of the batch.
template <class Rows>
int run_rows(const Rows& batch, Py_ssize_t threads) {
    if (batch.rows <= 0) return 0;
    Schedule<Rows> schedule(batch, threads);

    struct Crew {
        Schedule<Rows>& schedule;
        std::mutex mutex;
        std::condition_variable finished;
        std::atomic<Py_ssize_t> running;
    } crew{schedule, {}, {}, {threads}};
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
    while (started < threads && pool != nullptr && pool->submit(task)) ++started;
    int rc = 0;
    std::unique_lock<std::mutex> lock(crew.mutex);
    crew.running -= threads - started;  // tasks no thread took (none could be started)
    if (started > 0 && crew.running > 0) {
        // A small batch is done within microseconds: look before sleeping;
        // in a warm pool, for as long as its threads look for work (the
        // caller of many small sweeps has a core to spare for it).
        lock.unlock();
        spin_until([&crew] { return crew.running.load() == 0; },
                   threads == 1 && WorkerPool::lingers() ? WorkerPool::linger_time : std::chrono::microseconds(30));
        lock.lock();  // the last worker has let go of the crew once this is held
    }
    if (started == 0) {
        // No worker at all: this thread takes every row, looking for signals
        // between slices of rows only.
        lock.unlock();
        rc = work_here(schedule, state);
        PyEval_RestoreThread(state);
        return rc;
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
