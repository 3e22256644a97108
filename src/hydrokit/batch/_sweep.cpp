// Batch evaluation of one model over many rows: the compiled cores of every
// model (their sources built with HYDROKIT_CORE_ONLY, so without their Python
// frames) behind two functions that work on whole 2-D arrays with the
// interpreter lock released.
//
//   evaluate(name, u, p, y, threads)
//       row i of y = the core on row i of u and of p; u and p hold either N
//       rows or one row shared by every row; y holds N rows, each zero-filled
//       here right before its core call, as run zero-fills its output.
//   core_seconds(name, u, p, y)
//       the same on one thread, returning the seconds spent in the row loop
//       alone (for benchmarks).
//   models()
//       {name: (input_width, param_width, output_width)} of the models compiled in.
//
// The Python wrapper (hydrokit.batch) converts and checks the arrays and
// raises readable errors; the checks here are repeated so that no call, from
// any caller, can make a core read or write outside the arrays.
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

namespace {

using Accessor = const ModelSpec& (*)();

constexpr Accessor registry[] = {
#define HYDROKIT_SWEEP_MODEL(NAME) &spec_##NAME,
#include "sweep_models.inc"
#undef HYDROKIT_SWEEP_MODEL
};

// Beyond this many worker threads nothing is gained on any machine this
// package targets, and the cap keeps a mistaken `threads=10**9` harmless.
constexpr Py_ssize_t max_threads = 1024;

const ModelSpec* find_model(PyObject* name) {
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

bool is_double_format(const char* fmt) {
    if (fmt == nullptr) return false;
    if (fmt[0] == '@' || fmt[0] == '=' || fmt[0] == '<') ++fmt;
    return fmt[0] == 'd' && fmt[1] == '\0';
}

int take_matrix(PyObject* obj, Matrix& m, bool writable, const char* what, const ModelSpec& spec) {
    int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT;
    if (writable) flags |= PyBUF_WRITABLE;
    if (PyObject_GetBuffer(obj, &m.view, flags) < 0) return -1;
    m.held = true;
    if (m.view.ndim != 2 || !is_double_format(m.view.format) || m.view.itemsize != 8) {
        PyErr_Format(PyExc_ValueError, "%s: %s must be a 2-D C-contiguous float64 array", spec.name, what);
        return -1;
    }
    // A double read or written through a misaligned pointer is undefined
    // behaviour in the cores; the Python wrapper hands over aligned copies.
    if (reinterpret_cast<std::uintptr_t>(m.view.buf) % alignof(double) != 0) {
        PyErr_Format(PyExc_ValueError, "%s: %s must be aligned to 8 bytes", spec.name, what);
        return -1;
    }
    m.rows = m.view.shape[0];
    m.cols = m.view.shape[1];
    return 0;
}

// The row stride of a source matrix: its width for N rows, 0 for one shared row.
int source_stride(const Matrix& m, Py_ssize_t width, Py_ssize_t n, const char* what, const ModelSpec& spec,
                  Py_ssize_t& stride) {
    if (m.cols != width || (m.rows != n && m.rows != 1)) {
        PyErr_Format(PyExc_ValueError, "%s: %s must have shape (%zd, %zd) or (1, %zd), got (%zd, %zd)", spec.name,
                     what, n, width, width, m.rows, m.cols);
        return -1;
    }
    stride = (m.rows == 1) ? 0 : width;
    return 0;
}

struct Batch {
    const ModelSpec* spec = nullptr;
    const double* u = nullptr;
    const double* p = nullptr;
    double* y = nullptr;
    Py_ssize_t u_stride = 0;
    Py_ssize_t p_stride = 0;
    Py_ssize_t rows = 0;

    // A zero-filled output row and the same guarded call as run makes. Filling
    // the row here rather than the whole array beforehand touches the output
    // once, by the thread that computes it, while the row is in its cache.
    void row(Py_ssize_t i) const {
        const ModelSpec& s = *spec;
        double* out = y + i * static_cast<Py_ssize_t>(s.output_width);
        std::fill_n(out, s.output_width, 0.0);
        guarded_call(s, u + i * u_stride, s.input_width, p + i * p_stride, s.param_width, out, s.output_width);
    }
};

// Parse (name, u, p, y) and check every shape against the model's own widths.
int prepare(PyObject* const* args, Matrix& u, Matrix& p, Matrix& y, Batch& batch) {
    const ModelSpec* spec = find_model(args[0]);
    if (spec == nullptr) return -1;
    if (take_matrix(args[1], u, false, "inputs", *spec) < 0 || take_matrix(args[2], p, false, "params", *spec) < 0 ||
        take_matrix(args[3], y, true, "output", *spec) < 0) {
        return -1;
    }
    if (y.cols != spec->output_width) {
        PyErr_Format(PyExc_ValueError, "%s: output must have %d columns, got %zd", spec->name, spec->output_width,
                     y.cols);
        return -1;
    }
    batch.spec = spec;
    batch.rows = y.rows;
    if (source_stride(u, spec->input_width, y.rows, "inputs", *spec, batch.u_stride) < 0 ||
        source_stride(p, spec->param_width, y.rows, "params", *spec, batch.p_stride) < 0) {
        return -1;
    }
    batch.u = u.data();
    batch.p = p.data();
    batch.y = y.data();
    return 0;
}

// Rows are handed out in blocks from a shared counter, so a thread that meets
// cheap rows takes more of them and all finish together even when the cost
// per row varies (iterating cores, hostile rows).
class Schedule {
  public:
    Schedule(const Batch& batch, Py_ssize_t threads)
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
    const Batch& batch_;
    const Py_ssize_t block_;
    std::atomic<Py_ssize_t> next_{0};
};

// Called with the interpreter lock held; releases it while rows run. Returns
// -1 with the exception set when a signal handler raised (Ctrl-C): the rows
// not yet computed are then skipped.
int run_rows(const Batch& batch, Py_ssize_t threads) {
    using clock = std::chrono::steady_clock;
    Schedule schedule(batch, threads);
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

PyObject* evaluate(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 5) {
        PyErr_Format(PyExc_TypeError, "evaluate() takes 5 arguments (%zd given)", nargs);
        return nullptr;
    }
    Py_ssize_t threads = PyLong_AsSsize_t(args[4]);
    if (threads == -1 && PyErr_Occurred()) return nullptr;
    if (threads < 1) {
        PyErr_Format(PyExc_ValueError, "threads must be at least 1, got %zd", threads);
        return nullptr;
    }
    Matrix u, p, y;
    Batch batch;
    if (prepare(args, u, p, y, batch) < 0) return nullptr;
    threads = std::max<Py_ssize_t>(1, std::min({threads, batch.rows, max_threads}));
    if (run_rows(batch, threads) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* core_seconds(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4) {
        PyErr_Format(PyExc_TypeError, "core_seconds() takes 4 arguments (%zd given)", nargs);
        return nullptr;
    }
    Matrix u, p, y;
    Batch batch;
    if (prepare(args, u, p, y, batch) < 0) return nullptr;
    double seconds;
    Py_BEGIN_ALLOW_THREADS
    const auto start = std::chrono::steady_clock::now();
    const ModelSpec& s = *batch.spec;
    for (Py_ssize_t i = 0; i < batch.rows; ++i) {
        s.core(batch.u + i * batch.u_stride, batch.p + i * batch.p_stride,
               batch.y + i * static_cast<Py_ssize_t>(s.output_width));
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Py_END_ALLOW_THREADS
    return PyFloat_FromDouble(seconds);
}

// {name: (input_width, param_width, output_width)} for every model compiled in.
PyObject* models(PyObject*, PyObject*) {
    PyObject* table = PyDict_New();
    if (table == nullptr) return nullptr;
    for (Accessor accessor : registry) {
        const ModelSpec& spec = accessor();
        PyObject* widths = Py_BuildValue("(iii)", spec.input_width, spec.param_width, spec.output_width);
        const int rc = widths ? PyDict_SetItemString(table, spec.name, widths) : -1;
        Py_XDECREF(widths);
        if (rc < 0) {
            Py_DECREF(table);
            return nullptr;
        }
    }
    return table;
}

PyMethodDef methods[] = {
    {"evaluate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&evaluate)), METH_FASTCALL,
     "evaluate(name, u, p, y, threads)\n--\n\nEvaluate the rows of u and p into y."},
    {"core_seconds", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&core_seconds)), METH_FASTCALL,
     "core_seconds(name, u, p, y)\n--\n\nSeconds spent by the bare core loop over the rows, on one thread."},
    {"models", &models, METH_NOARGS, "models()\n--\n\nThe widths of every model compiled in, by name."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "_sweep", "Batch evaluation of the model cores.", 0, methods, slots,
    nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace hydrokit::batch

PyMODINIT_FUNC PyInit__sweep(void) { return PyModuleDef_Init(&hydrokit::batch::definition); }
