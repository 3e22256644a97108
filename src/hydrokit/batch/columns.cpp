// Column programs of hydrokit._sweep: elementwise arithmetic over the columns
// of a flowsheet's row matrix and output matrix, the derived columns of a
// result table (KPIs, cost lines, an optimiser's scores) computed in one call
// instead of one NumPy operation at a time.
//
// A program is a list of instructions of five int64 words (op, d, a, b, c);
// every value is a register, a row of the caller's (registers × N) float64
// matrix, written once. Each operation is the one NumPy applies to float64
// arrays, element by element in the written order, so a column computed here
// has the bits of the same expression evaluated by NumPy. Comparisons and
// logic give 1.0 (true) or 0.0.
//
//   LOAD_ROWS d a       d = column a of the row matrix
//   LOAD_OUT  d a       d = column a of the output matrix
//   CONST     d a       d = constant a
//   ADD SUB MUL DIV d a b
//   GT GE LT LE EQ NE d a b
//   AND OR    d a b     both / either non-zero
//   NOT       d a       a is zero
//   ISFINITE  d a
//   WHERE     d a b c   a non-zero ? b : c
//   MAXIMUM MINIMUM d a b   NaN-propagating, the second operand on ties
//   CLIP      d a b c   a clipped to [b, c], NaN kept
//   NEG       d a
//   BAD_COUNT d a b     the number of groups (b of them, described from word
//                       a of the int table) with a non-zero flag column or a
//                       non-finite stream column of the output matrix
//
// program_load checks every register, column, constant and table index once,
// so a run never reads or writes outside its arrays.
#include <cmath>
#include <memory>
#include <vector>

#include "batch/columns.hpp"
#include "batch/engine.hpp"

namespace hydrokit::batch {
namespace {

enum Op : int64_t {
    LOAD_ROWS, LOAD_OUT, CONST, ADD, SUB, MUL, DIV, GT, GE, LT, LE, EQ, NE, AND, OR, NOT, ISFINITE, WHERE,
    MAXIMUM, MINIMUM, CLIP, NEG, BAD_COUNT, OP_COUNT
};

// How many register operands an op reads (a, b, c in turn).
constexpr int register_operands(int64_t op) {
    switch (op) {
        case LOAD_ROWS: case LOAD_OUT: case CONST: case BAD_COUNT: return 0;
        case NOT: case ISFINITE: case NEG: return 1;
        case WHERE: case CLIP: return 3;
        default: return 2;
    }
}

struct Program {
    std::vector<int64_t> code;
    std::vector<double> consts;
    std::vector<int64_t> table;  // BAD_COUNT groups: [flags, streams, flag columns..., stream columns...] each
    int64_t registers = 0;
    int64_t rows_width = 0;
    int64_t out_width = 0;
};

constexpr const char* capsule_name = "hydrokit._sweep.program";

void destroy_program(PyObject* capsule) {
    delete static_cast<Program*>(PyCapsule_GetPointer(capsule, capsule_name));
}

bool fail(const char* what, size_t at) {
    PyErr_Format(PyExc_ValueError, "column program: instruction %zu: %s", at, what);
    return false;
}

bool check(const Program& p) {
    if (p.code.size() % 5 != 0) {
        PyErr_SetString(PyExc_ValueError, "column program: code must hold five words an instruction");
        return false;
    }
    if (p.registers < 0 || p.rows_width < 0 || p.out_width < 0) {
        PyErr_SetString(PyExc_ValueError, "column program: negative size");
        return false;
    }
    auto within = [](int64_t v, int64_t size) { return v >= 0 && v < size; };
    const auto table_size = static_cast<int64_t>(p.table.size());
    for (size_t at = 0; at < p.code.size() / 5; ++at) {
        const int64_t* w = &p.code[5 * at];
        if (!within(w[0], OP_COUNT)) return fail("unknown operation", at);
        if (!within(w[1], p.registers)) return fail("register out of range", at);
        for (int k = 0; k < register_operands(w[0]); ++k) {
            if (!within(w[2 + k], p.registers)) return fail("register out of range", at);
        }
        switch (w[0]) {
            case LOAD_ROWS:
                if (!within(w[2], p.rows_width)) return fail("row column out of range", at);
                break;
            case LOAD_OUT:
                if (!within(w[2], p.out_width)) return fail("output column out of range", at);
                break;
            case CONST:
                if (!within(w[2], static_cast<int64_t>(p.consts.size()))) return fail("constant out of range", at);
                break;
            case BAD_COUNT: {
                int64_t pos = w[2];
                if (pos < 0 || w[3] < 0) return fail("bad group table", at);
                for (int64_t g = 0; g < w[3]; ++g) {
                    if (pos > table_size - 2) return fail("group table out of range", at);
                    const int64_t flags = p.table[static_cast<size_t>(pos)];
                    const int64_t streams = p.table[static_cast<size_t>(pos + 1)];
                    if (flags < 0 || streams < 0 || flags > table_size || streams > table_size - flags ||
                        pos + 2 > table_size - flags - streams) {
                        return fail("group table out of range", at);
                    }
                    pos += 2;
                    for (int64_t k = 0; k < flags + streams; ++k, ++pos) {
                        if (!within(p.table[static_cast<size_t>(pos)], p.out_width)) {
                            return fail("group column out of range", at);
                        }
                    }
                }
                break;
            }
            default:
                break;
        }
    }
    return true;
}

// NumPy's maximum and minimum of float64: a NaN operand wins (the first one
// if both), and on ties (0.0 against -0.0) the second operand is taken.
inline double maximum(double a, double b) { return std::isnan(a) ? a : std::isnan(b) ? b : (a > b ? a : b); }
inline double minimum(double a, double b) { return std::isnan(a) ? a : std::isnan(b) ? b : (a < b ? a : b); }
// NumPy's clip of float64: a NaN value stays NaN, bounds compared strictly.
inline double clip(double x, double lo, double hi) {
    const double up = std::isnan(x) ? x : (x > lo ? x : lo);
    return std::isnan(up) ? up : (up < hi ? up : hi);
}

inline double truth(bool b) { return b ? 1.0 : 0.0; }

void execute(const Program& p, double* regs, Py_ssize_t n, const double* rows, const double* out) {
    const auto reg = [&](int64_t r) { return regs + static_cast<size_t>(r) * static_cast<size_t>(n); };
    for (size_t pc = 0; pc < p.code.size(); pc += 5) {
        const int64_t* w = &p.code[pc];
        double* d = reg(w[1]);
        const double* a = reg(w[2]);
        const double* b = reg(w[3]);
        const double* c = reg(w[4]);
        switch (w[0]) {
            case LOAD_ROWS:
                for (Py_ssize_t i = 0; i < n; ++i) d[i] = rows[static_cast<size_t>(i * p.rows_width + w[2])];
                break;
            case LOAD_OUT:
                for (Py_ssize_t i = 0; i < n; ++i) d[i] = out[static_cast<size_t>(i * p.out_width + w[2])];
                break;
            case CONST: std::fill_n(d, n, p.consts[static_cast<size_t>(w[2])]); break;
            case ADD: for (Py_ssize_t i = 0; i < n; ++i) d[i] = a[i] + b[i]; break;
            case SUB: for (Py_ssize_t i = 0; i < n; ++i) d[i] = a[i] - b[i]; break;
            case MUL: for (Py_ssize_t i = 0; i < n; ++i) d[i] = a[i] * b[i]; break;
            case DIV: for (Py_ssize_t i = 0; i < n; ++i) d[i] = a[i] / b[i]; break;
            case GT: for (Py_ssize_t i = 0; i < n; ++i) d[i] = truth(a[i] > b[i]); break;
            case GE: for (Py_ssize_t i = 0; i < n; ++i) d[i] = truth(a[i] >= b[i]); break;
            case LT: for (Py_ssize_t i = 0; i < n; ++i) d[i] = truth(a[i] < b[i]); break;
            case LE: for (Py_ssize_t i = 0; i < n; ++i) d[i] = truth(a[i] <= b[i]); break;
            case EQ: for (Py_ssize_t i = 0; i < n; ++i) d[i] = truth(a[i] == b[i]); break;
            case NE: for (Py_ssize_t i = 0; i < n; ++i) d[i] = truth(a[i] != b[i]); break;
            case AND: for (Py_ssize_t i = 0; i < n; ++i) d[i] = truth(a[i] != 0.0 && b[i] != 0.0); break;
            case OR: for (Py_ssize_t i = 0; i < n; ++i) d[i] = truth(a[i] != 0.0 || b[i] != 0.0); break;
            case NOT: for (Py_ssize_t i = 0; i < n; ++i) d[i] = truth(a[i] == 0.0); break;
            case ISFINITE: for (Py_ssize_t i = 0; i < n; ++i) d[i] = truth(std::isfinite(a[i])); break;
            case WHERE: for (Py_ssize_t i = 0; i < n; ++i) d[i] = a[i] != 0.0 ? b[i] : c[i]; break;
            case MAXIMUM: for (Py_ssize_t i = 0; i < n; ++i) d[i] = maximum(a[i], b[i]); break;
            case MINIMUM: for (Py_ssize_t i = 0; i < n; ++i) d[i] = minimum(a[i], b[i]); break;
            case CLIP: for (Py_ssize_t i = 0; i < n; ++i) d[i] = clip(a[i], b[i], c[i]); break;
            case NEG: for (Py_ssize_t i = 0; i < n; ++i) d[i] = -a[i]; break;
            case BAD_COUNT: {
                std::fill_n(d, n, 0.0);
                size_t pos = static_cast<size_t>(w[2]);
                for (int64_t g = 0; g < w[3]; ++g) {
                    const auto flags = static_cast<size_t>(p.table[pos]);
                    const auto streams = static_cast<size_t>(p.table[pos + 1]);
                    const int64_t* cols = &p.table[pos + 2];
                    for (Py_ssize_t i = 0; i < n; ++i) {
                        const double* row = out + static_cast<size_t>(i * p.out_width);
                        bool bad = false;
                        for (size_t k = 0; k < flags && !bad; ++k) bad = row[cols[k]] != 0.0;
                        for (size_t k = flags; k < flags + streams && !bad; ++k) bad = !std::isfinite(row[cols[k]]);
                        if (bad) d[i] += 1.0;
                    }
                    pos += 2 + flags + streams;
                }
                break;
            }
            default:
                break;
        }
    }
}

}  // namespace

PyObject* program_load(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 6) {
        PyErr_Format(PyExc_TypeError, "program_load() takes 6 arguments (%zd given)", nargs);
        return nullptr;
    }
    auto program = std::make_unique<Program>();
    constexpr const char* owner = "column program";
    if (take_vector(args[0], program->code, 'q', "code", owner) < 0 ||
        take_vector(args[1], program->consts, 'd', "constants", owner) < 0 ||
        take_vector(args[2], program->table, 'q', "table", owner) < 0) {
        return nullptr;
    }
    int64_t* sizes[] = {&program->registers, &program->rows_width, &program->out_width};
    for (int k = 0; k < 3; ++k) {
        *sizes[k] = PyLong_AsLongLong(args[3 + k]);
        if (*sizes[k] == -1 && PyErr_Occurred()) return nullptr;
    }
    if (!check(*program)) return nullptr;
    PyObject* capsule = PyCapsule_New(program.get(), capsule_name, destroy_program);
    if (capsule != nullptr) program.release();
    return capsule;
}

PyObject* program_run(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4) {
        PyErr_Format(PyExc_TypeError, "program_run() takes 4 arguments (%zd given)", nargs);
        return nullptr;
    }
    auto* program = static_cast<const Program*>(PyCapsule_GetPointer(args[0], capsule_name));
    if (program == nullptr) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "column program: expected a program made by program_load");
        return nullptr;
    }
    Matrix regs, rows, out;
    constexpr const char* owner = "column program";
    if (take_matrix(args[1], regs, true, "registers", owner) < 0 || take_matrix(args[2], rows, false, "rows", owner) < 0 ||
        take_matrix(args[3], out, false, "out", owner) < 0) {
        return nullptr;
    }
    const Py_ssize_t n = regs.cols;
    if (regs.rows != program->registers || rows.rows != n || out.rows != n || rows.cols != program->rows_width ||
        out.cols != program->out_width) {
        PyErr_Format(PyExc_ValueError,
                     "column program: registers must have shape (%lld, N), rows (N, %lld) and out (N, %lld), got "
                     "(%zd, %zd), (%zd, %zd) and (%zd, %zd)",
                     static_cast<long long>(program->registers), static_cast<long long>(program->rows_width),
                     static_cast<long long>(program->out_width), regs.rows, regs.cols, rows.rows, rows.cols, out.rows,
                     out.cols);
        return nullptr;
    }
    if (overlap(regs, rows) || overlap(regs, out)) {
        PyErr_SetString(PyExc_ValueError, "column program: registers must not share memory with rows or out");
        return nullptr;
    }
    if (n > 0) execute(*program, regs.data(), n, rows.data(), out.data());
    Py_RETURN_NONE;
}

}  // namespace hydrokit::batch
