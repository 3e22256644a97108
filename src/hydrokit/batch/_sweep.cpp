// The batch extension: everything that runs many rows in compiled code with
// the interpreter lock released. It evaluates one model over many rows (the
// compiled cores of every model, their sources built with HYDROKIT_CORE_ONLY,
// so without their Python frames), runs flowsheet plans (plan_load/plan_run,
// plan.cpp) and column programs (program_load/program_run, columns.cpp).
//
//   evaluate(name, u, p, y, threads)
//       row i of y = the core on row i of u and of p; u and p hold either N
//       rows or one row shared by every row; y holds N rows, each zero-filled
//       here right before its core call, as run zero-fills its output.
//   core_seconds(name, u, p, y)
//       the same on one thread, returning the seconds spent in the row loop
//       alone (for benchmarks).
//   varying_columns(m)
//       the columns of a 2-D float64 matrix that are not bitwise constant.
//   models()
//       {name: (input_width, param_width, output_width)} of the models compiled in.
//   warm(change)
//       ask for (1) or let go of (-1) a warm worker pool (workers.hpp).
//   plan_load(...), plan_run(plan, rows, out, threads)
//       a compiled flowsheet over many rows (plan.cpp).
//   program_load(...), program_run(program, registers, rows, out)
//       derived columns of a flowsheet's rows and outputs (columns.cpp).
//
// The Python wrapper (hydrokit.batch) converts and checks the arrays and
// raises readable errors; the checks here are repeated so that no call, from
// any caller, can make a core read or write outside the arrays.
#include <initializer_list>
#include <vector>

#include "batch/columns.hpp"
#include "batch/engine.hpp"
#include "batch/plan.hpp"

namespace hydrokit::batch {
namespace {

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
    if (take_matrix(args[1], u, false, "inputs", spec->name) < 0 || take_matrix(args[2], p, false, "params", spec->name) < 0 ||
        take_matrix(args[3], y, true, "output", spec->name) < 0) {
        return -1;
    }
    for (const Matrix* source : {&u, &p}) {
        if (overlap(y, *source)) {
            PyErr_Format(PyExc_ValueError, "%s: output must not share memory with the %s", spec->name,
                         source == &u ? "inputs" : "params");
            return -1;
        }
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

// The columns of a 2-D float64 matrix whose bits differ from those of its
// first row somewhere (-0.0 differs from 0.0, NaNs differ by payload): the
// slots a cluster chunk has to carry row by row. One pass over the rows.
PyObject* varying_columns(PyObject*, PyObject* arg) {
    Matrix m;
    if (take_matrix(arg, m, false, "matrix", "varying_columns") < 0) return nullptr;
    // Per column, the OR of every row's bits XOR the first row's: not zero
    // exactly where some row differs.
    std::vector<uint64_t> varies(static_cast<size_t>(m.cols), 0);
    if (m.rows > 1) {
        const auto* bytes = static_cast<const unsigned char*>(m.view.buf);
        const size_t cols = static_cast<size_t>(m.cols);
        std::vector<uint64_t> first(cols);
        std::memcpy(first.data(), bytes, cols * sizeof(uint64_t));
        Py_BEGIN_ALLOW_THREADS
        for (Py_ssize_t i = 1; i < m.rows; ++i) {
            const unsigned char* row = bytes + static_cast<size_t>(i) * cols * sizeof(uint64_t);
            for (size_t j = 0; j < cols; ++j) {
                uint64_t word;
                std::memcpy(&word, row + j * sizeof(uint64_t), sizeof(word));
                varies[j] |= word ^ first[j];
            }
        }
        Py_END_ALLOW_THREADS
    }
    PyObject* out = PyList_New(0);
    for (Py_ssize_t j = 0; out != nullptr && j < m.cols; ++j) {
        if (!varies[static_cast<size_t>(j)]) continue;
        PyObject* index = PyLong_FromSsize_t(j);
        if (index == nullptr || PyList_Append(out, index) < 0) Py_CLEAR(out);
        Py_XDECREF(index);
    }
    return out;
}

// warm(change): +1 asks for pool threads that keep looking for work between
// small batches (so that a batch's helpers join at once), -1 lets go;
// returns the requests still open.
PyObject* warm(PyObject*, PyObject* arg) {
    const long change = PyLong_AsLong(arg);
    if (change == -1 && PyErr_Occurred()) return nullptr;
    if (change != 1 && change != -1) {
        PyErr_SetString(PyExc_ValueError, "warm: change must be 1 or -1");
        return nullptr;
    }
    return PyLong_FromLong(WorkerPool::warm(static_cast<int>(change)));
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
    {"plan_load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&plan_load)), METH_FASTCALL,
     "plan_load(code, state, inputs, outputs, cores, width, status, tolerance, cap)\n--\n\n"
     "Check a flowsheet plan once and return it ready to run."},
    {"plan_run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&plan_run)), METH_FASTCALL,
     "plan_run(plan, rows, out, threads)\n--\n\nRun a loaded flowsheet plan on every row of rows into out."},
    {"program_load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&program_load)), METH_FASTCALL,
     "program_load(code, constants, table, registers, rows_width, out_width)\n--\n\n"
     "Check a column program once and return it ready to run."},
    {"program_run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&program_run)), METH_FASTCALL,
     "program_run(program, registers, rows, out)\n--\n\nRun a loaded column program into the rows of registers."},
    {"varying_columns", &varying_columns, METH_O,
     "varying_columns(m)\n--\n\nThe columns of a 2-D float64 matrix whose bits are not those of its first row everywhere."},
    {"warm", &warm, METH_O,
     "warm(change)\n--\n\nAsk for (1) or let go of (-1) pool threads kept looking for work between batches."},
    {"models", &models, METH_NOARGS, "models()\n--\n\nThe widths of every model compiled in, by name."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "_sweep",
    "The batch engine: model cores over many rows, flowsheet plans and column programs, "
    "run with the interpreter lock released.", 0, methods, slots,
    nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace hydrokit::batch

PyMODINIT_FUNC PyInit__sweep(void) {
    return PyModuleDef_Init(&hydrokit::batch::definition);
}
