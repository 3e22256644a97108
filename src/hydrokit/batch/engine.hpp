// The batch engine shared by the entries of hydrokit._sweep: the registry
// of compiled cores, 2-D float64 buffers taken from Python objects, and the
// scheduler that runs rows on threads with the interpreter lock released
// while the calling thread keeps answering signals.
//
// A batch is any type with `Py_ssize_t rows` and `void row(Py_ssize_t i) const`
// (one model over many rows, one flowsheet plan over many rows).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

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
    const char* text = PyUnicode_AsUTF8(name);
    if (text == nullptr) return nullptr;
    for (Accessor spec : registry) {
        if (std::strcmp(spec().name, text) == 0) return &spec();
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

// Called with the interpreter lock held; releases it while rows run. Returns
// -1 with the exception set when a signal handler raised (Ctrl-C): the rows
// not yet computed are then skipped.
template <class Rows>
int run_rows(const Rows& batch, Py_ssize_t threads) {
    using clock = std::chrono::steady_clock;
    Schedule<Rows> schedule(batch, threads);
    auto helper = [&schedule]() {
        schedule.work([&schedule] { return !schedule.stop.load(std::memory_order_relaxed); });
    };

    PyThreadState* state = PyEval_SaveThread();
    std::vector<std::thread> helpers;
    try {
        helpers.reserve(static_cast<size_t>(threads - 1));
        for (Py_ssize_t t = 1; t < threads; ++t) helpers.emplace_back(helper);
    } catch (const std::exception&) {
        // Fewer threads than asked (none left in the system): the threads
        // already started and this one still take every row.
    }
    // The calling thread works too, and every 50 ms takes the lock back
    // briefly to let Python run its signal handlers.
    int rc = 0;
    auto last_check = clock::now();
    schedule.work([&] {
        if (clock::now() - last_check < std::chrono::milliseconds(50)) return true;
        PyEval_RestoreThread(state);
        rc = PyErr_CheckSignals();
        state = PyEval_SaveThread();
        last_check = clock::now();
        if (rc == 0) return true;
        schedule.stop.store(true, std::memory_order_relaxed);
        return false;
    });
    for (std::thread& t : helpers) t.join();
    PyEval_RestoreThread(state);
    return rc;
}

}  // namespace hydrokit::batch
