// The flowsheet plan executor: one compiled flowsheet over many rows.
//
// A plan is data. Every quantity of a row lives in one state vector `x` of
// doubles: each unit's input, parameter and output vectors, each stream
// (flow, temperature, pressure, then the components: `width` doubles), the
// constants of the unit conversions and three status slots. The plan holds
// the starting state (defaults, fixed slots, feeds, constants, tear starts),
// the offsets that a row's variables are written to, the offsets read back as
// the row's outputs, and the code: a flat list of int64 words.
//
//   COPY  d s          x[d] = x[s]
//   MUL   d s k        x[d] = x[s] * x[k]      (a unit conversion)
//   DIV   d s k        x[d] = x[s] / x[k]
//   ADD   d s k        x[d] = x[s] + x[k]      (a pressure rise)
//   SUB   d s k        x[d] = x[s] - x[k]      (a pressure drop, a difference)
//   MAX   d s k        x[d] = the larger of x[s] and x[k]; a NaN in either wins
//   MIN   d s k        x[d] = the smaller of x[s] and x[k]; a NaN in either wins
//   CORE  m u p y      zero x[y..y+out_width), then core m on x+u, x+p -> x+y
//   MIX   n o i1..in   stream o from streams i1..in
//   SPLIT i n f o1..on stream i divided, fractions x[f..f+n-2], o_n the rest
//   HEAT  i o s d m g  stream o from stream i heated (g = 1) or cooled
//                      (g = -1): m = 0 to the temperature x[s] (°C), m = 1 by
//                      the duty x[s] (kW); the heat moved, kW, into x[d]
//   LOOP  v b t1..tv   the next b words repeated until the v tear values
//                      x[t1..tv] stop changing: successive substitution with
//                      bounded Wegstein acceleration, to a relative change of
//                      at most `tolerance`, at most `cap` passes
//
// After the code, x[status] = 1 when every loop converged (else 0),
// x[status+1] = loop passes, x[status+2] = the largest final residual.
//
// plan_load checks every word once: no plan, however built, makes the
// executor read or write outside its state vector, or a core outside its
// vectors. Rows then run through run_rows with the interpreter lock released,
// each thread on its own scratch state (allocated once per thread, reused).
#include "batch/plan.hpp"

#include <cmath>
#include <memory>
#include <cstdint>
#include <string>
#include <vector>

#include "batch/engine.hpp"
#include "common/cancel.hpp"
#include "common/distillation.hpp"
#include "common/properties.hpp"

namespace hydrokit::batch {
namespace {

enum Op : int64_t { COPY = 1, MUL = 2, DIV = 3, CORE = 4, MIX = 5, SPLIT = 6, LOOP = 7, HEAT = 8, ADD = 9, SUB = 10, MAX = 11,
                   MIN = 12 };

// Wegstein's factor q (next = q * x + (1 - q) * g) is kept in these bounds:
// below 0 it accelerates a slowly converging loop (q = -20 lets a loop that
// returns 95 % of each change still close in tens of passes), above 0 it
// damps an oscillating one; the bounds keep a poor slope estimate from
// throwing the iteration far off.
constexpr double wegstein_q_min = -20.0;
constexpr double wegstein_q_max = 0.5;

struct Plan {
    std::vector<int64_t> code;
    std::vector<double> state;
    std::vector<int64_t> inputs;
    std::vector<int64_t> outputs;
    std::vector<const ModelSpec*> cores;
    int64_t width = 0;   // doubles per stream
    int64_t status = 0;  // offset of the three status slots
    double tolerance = 1e-10;
    int64_t cap = 200;
    int64_t loop_values = 0;  // the most tear values of any loop
    // The code cut at its loops: straight runs [begin, end) and loops
    // (begin: the LOOP header, end: past its body), found at load.
    struct Segment {
        bool loop;
        size_t begin;
        size_t end;
    };
    std::vector<Segment> segments;
};

constexpr const char* capsule_name = "hydrokit._sweep.plan";

void destroy_plan(PyObject* capsule) {
    delete static_cast<Plan*>(PyCapsule_GetPointer(capsule, capsule_name));
}

// ---- execution --------------------------------------------------------------

void run_ops(const Plan& plan, double* x, size_t pc, size_t end);

void mix(const Plan& plan, double* x, const int64_t* w) {
    const int64_t n = w[0];
    const int64_t out = w[1];
    const int64_t* in = w + 2;
    const int64_t width = plan.width;
    double total = 0.0;
    for (int64_t i = 0; i < n; ++i) total += x[in[i]];
    x[out] = total;
    // Temperature (1) and components (3..): flow-weighted; inlets without
    // flow take no part, whatever their other values. With no total flow,
    // the plain mean of the inlets.
    for (int64_t q = 1; q < width; ++q) {
        if (q == 2) continue;
        double acc = 0.0;
        if (total > 0.0) {
            for (int64_t i = 0; i < n; ++i) {
                const double f = x[in[i]];
                if (f != 0.0) acc += f * x[in[i] + q];
            }
            x[out + q] = acc / total;
        } else {
            for (int64_t i = 0; i < n; ++i) acc += x[in[i] + q];
            x[out + q] = acc / static_cast<double>(n);
        }
    }
    // Pressure: the lowest of the inlets that carry flow (of all, if none does).
    bool found = false;
    double low = 0.0;
    for (int64_t i = 0; i < n; ++i) {
        if (!(x[in[i]] > 0.0)) continue;
        const double pr = x[in[i] + 2];
        if (!found || pr < low) low = pr;
        found = true;
    }
    if (!found) {
        for (int64_t i = 0; i < n; ++i) {
            const double pr = x[in[i] + 2];
            if (i == 0 || pr < low) low = pr;
        }
    }
    x[out + 2] = low;
}

// A heater or cooler: the stream keeps its flow, pressure and components;
// its heat capacity rate is rho * cp * Q with the water density and specific
// heat at the inlet temperature, so a duty and a temperature change convert
// exactly both ways. A heater never cools and a cooler never heats: a set
// point on the wrong side of the inlet temperature moves no heat. A NaN set
// point or duty gives a NaN outlet temperature and duty (the row is flagged).
void heat(const Plan& plan, double* x, const int64_t* w) {
    const int64_t in = w[0];
    const int64_t out = w[1];
    const double setting = x[w[2]];
    const bool by_duty = w[4] == 1;
    const double sign = w[5] < 0 ? -1.0 : 1.0;
    for (int64_t q = 0; q < plan.width; ++q) x[out + q] = x[in + q];
    const double t_in = x[in + 1];
    const double rate_kw = ((water_density(t_in) * water_specific_heat(t_in)) * x[in]) / 1000.0;  // kW/K
    double t_out = t_in;
    double duty = 0.0;
    if (std::isnan(setting)) {
        t_out = setting;
        duty = setting;
    } else if (by_duty) {
        if (setting > 0.0 && rate_kw > 0.0) {
            duty = setting;
            t_out = t_in + (sign * setting) / rate_kw;
        }
    } else {
        const double change = sign * (setting - t_in);
        if (change > 0.0) {
            t_out = setting;
            duty = rate_kw * change;
        }
    }
    x[out + 1] = t_out;
    x[w[3]] = duty;
}

void split(const Plan& plan, double* x, const int64_t* w) {
    const int64_t in = w[0];
    const int64_t n = w[1];
    const int64_t frac = w[2];
    const int64_t* out = w + 3;
    const double flow = x[in];
    double rest = flow;
    for (int64_t j = 0; j + 1 < n; ++j) {
        const double part = flow * x[frac + j];
        x[out[j]] = part;
        rest -= part;
    }
    x[out[n - 1]] = rest;
    for (int64_t j = 0; j < n; ++j) {
        for (int64_t q = 1; q < plan.width; ++q) x[out[j] + q] = x[in + q];
    }
}

struct LoopStatus {
    bool converged = true;
    double passes = 0.0;
    double residual = 0.0;
};

// The one tear loop. `w` points at the LOOP header; its body follows it.
// `old`, `x_prev`, `g_prev` hold room for the loop's tear values.
void tear_loop(const Plan& plan, double* x, size_t pc, double* scratch, LoopStatus& status) {
    const int64_t* w = plan.code.data() + pc;
    const int64_t n = w[1];
    const size_t body = pc + 3 + static_cast<size_t>(n);
    const size_t end = body + static_cast<size_t>(w[2]);
    const int64_t* tear = w + 3;
    double* old = scratch;
    double* x_prev = scratch + n;
    double* g_prev = scratch + 2 * n;

    for (int64_t v = 0; v < n; ++v) old[v] = x[tear[v]];
    bool converged = false;
    double residual = 0.0;
    int64_t pass = 0;
    for (;;) {
        run_ops(plan, x, body, end);
        ++pass;
        // Relative change of every tear value; a NaN anywhere keeps the
        // loop from ever counting as converged and is reported as such.
        residual = 0.0;
        bool nan = false;
        for (int64_t v = 0; v < n; ++v) {
            const double g = x[tear[v]];
            const double scale = std::fmax(std::fabs(g), std::fabs(old[v]));
            const double change = std::fabs(g - old[v]);
            double r = 0.0;
            if (std::isnan(g) || std::isnan(old[v]) || std::isnan(change)) {
                nan = true;
            } else if (scale > 0.0) {
                r = std::isinf(scale) ? (g == old[v] ? 0.0 : INFINITY) : change / scale;
            }
            if (r > residual) residual = r;
        }
        if (nan) residual = NAN;
        if (!nan && residual <= plan.tolerance) {
            converged = true;
            break;
        }
        if (pass >= plan.cap) break;
        // A stopped batch throws the row away: leave the loop at once.
        if (cancel_requested()) break;
        // The next guess: plain substitution on the first pass, then one
        // Wegstein factor for all tear values, from the slope of the last
        // two passes along their secant (each value relative to its size):
        // per-value slopes are thrown off by the coupling of the values (a
        // recycle's flow and its concentrations move together).
        double q = 0.0;
        if (pass > 1) {
            double dx_dx = 0.0;
            double dg_dx = 0.0;
            for (int64_t v = 0; v < n; ++v) {
                const double g = x[tear[v]];
                double scale = std::fmax(std::fabs(g), std::fabs(old[v]));
                if (!(scale > 0.0) || std::isinf(scale)) scale = 1.0;
                const double dx = (old[v] - x_prev[v]) / scale;
                const double dg = (g - g_prev[v]) / scale;
                dx_dx += dx * dx;
                dg_dx += dg * dx;
            }
            if (dx_dx > 0.0 && std::isfinite(dx_dx) && std::isfinite(dg_dx)) {
                const double slope = dg_dx / dx_dx;
                q = slope / (slope - 1.0);
                if (std::isnan(q)) q = 0.0;
                if (q < wegstein_q_min) q = wegstein_q_min;
                if (q > wegstein_q_max) q = wegstein_q_max;
            }
        }
        for (int64_t v = 0; v < n; ++v) {
            const double g = x[tear[v]];
            const double xk = old[v];
            double next = q * xk + (1.0 - q) * g;
            // An extrapolation across zero (a negative flow or concentration
            // from positive ones) is not taken.
            if (q == 0.0 || next * g < 0.0) next = g;
            x_prev[v] = xk;
            g_prev[v] = g;
            old[v] = next;
            x[tear[v]] = next;
        }
    }
    status.converged = status.converged && converged;
    status.passes += static_cast<double>(pass);
    if (std::isnan(residual) || residual > status.residual) status.residual = residual;
}

void run_ops(const Plan& plan, double* x, size_t pc, size_t end) {
    const int64_t* code = plan.code.data();
    while (pc < end) {
        const int64_t* w = code + pc;
        switch (w[0]) {
            case COPY:
                x[w[1]] = x[w[2]];
                pc += 3;
                break;
            case MUL:
                x[w[1]] = x[w[2]] * x[w[3]];
                pc += 4;
                break;
            case DIV:
                x[w[1]] = x[w[2]] / x[w[3]];
                pc += 4;
                break;
            case ADD:
                x[w[1]] = x[w[2]] + x[w[3]];
                pc += 4;
                break;
            case SUB:
                x[w[1]] = x[w[2]] - x[w[3]];
                pc += 4;
                break;
            case MAX: {
                // A summary over elements: a NaN anywhere stays, so a check on it fails.
                const double a = x[w[2]];
                const double b = x[w[3]];
                x[w[1]] = (b > a || std::isnan(b)) ? b : a;
                pc += 4;
                break;
            }
            case MIN: {
                const double a = x[w[2]];
                const double b = x[w[3]];
                x[w[1]] = (b < a || std::isnan(b)) ? b : a;
                pc += 4;
                break;
            }
            case CORE: {
                const ModelSpec& spec = *plan.cores[static_cast<size_t>(w[1])];
                double* y = x + w[4];
                std::fill_n(y, spec.output_width, 0.0);
                spec.core(x + w[2], x + w[3], y);
                pc += 5;
                break;
            }
            case MIX:
                mix(plan, x, w + 1);
                pc += 3 + static_cast<size_t>(w[1]);
                break;
            case SPLIT:
                split(plan, x, w + 1);
                pc += 4 + static_cast<size_t>(w[2]);
                break;
            case HEAT:
                heat(plan, x, w + 1);
                pc += 7;
                break;
            default:  // LOOP never reaches here: plan_load keeps loops at the top level
                return;
        }
    }
}

void execute(const Plan& plan, double* x, double* scratch) {
    LoopStatus status;
    for (const Plan::Segment& seg : plan.segments) {
        if (seg.loop) {
            tear_loop(plan, x, seg.begin, scratch, status);
        } else {
            run_ops(plan, x, seg.begin, seg.end);
        }
    }
    x[plan.status] = status.converged ? 1.0 : 0.0;
    x[plan.status + 1] = status.passes;
    x[plan.status + 2] = status.residual;
}

// ---- loading: every word checked once -----------------------------------------

struct Checker {
    const Plan& plan;
    const int64_t size;  // of the state vector
    std::string error;

    bool fail(const std::string& message) {
        if (error.empty()) error = message;
        return false;
    }
    // [off, off + n) inside the state vector.
    bool span(int64_t off, int64_t n, const char* what, size_t pc) {
        if (n < 0 || off < 0 || n > size || off > size - n) {
            return fail(std::string(what) + " outside the state vector at word " + std::to_string(pc));
        }
        return true;
    }
    static bool disjoint(int64_t a, int64_t na, int64_t b, int64_t nb) { return a + na <= b || b + nb <= a; }

    // Checks the op at pc (never a LOOP) and returns its length in words, 0 on error.
    size_t op(size_t pc, size_t end) {
        const int64_t* w = plan.code.data() + pc;
        const size_t left = end - pc;
        auto need = [&](size_t words) {
            if (words > left) {
                fail("plan code ends inside the op at word " + std::to_string(pc));
                return false;
            }
            return true;
        };
        const int64_t width = plan.width;
        switch (w[0]) {
            case COPY:
                if (!need(3) || !span(w[1], 1, "COPY target", pc) || !span(w[2], 1, "COPY source", pc)) return 0;
                return 3;
            case MUL:
            case DIV:
            case ADD:
            case SUB:
            case MAX:
            case MIN:
                if (!need(4) || !span(w[1], 1, "conversion target", pc) || !span(w[2], 1, "conversion source", pc) ||
                    !span(w[3], 1, "conversion constant", pc)) {
                    return 0;
                }
                return 4;
            case CORE: {
                if (!need(5)) return 0;
                if (w[1] < 0 || w[1] >= static_cast<int64_t>(plan.cores.size())) {
                    fail("CORE names no core at word " + std::to_string(pc));
                    return 0;
                }
                const ModelSpec& s = *plan.cores[static_cast<size_t>(w[1])];
                if (!span(w[2], s.input_width, "CORE input vector", pc) ||
                    !span(w[3], s.param_width, "CORE parameter vector", pc) ||
                    !span(w[4], s.output_width, "CORE output vector", pc)) {
                    return 0;
                }
                if (!disjoint(w[4], s.output_width, w[2], s.input_width) ||
                    !disjoint(w[4], s.output_width, w[3], s.param_width)) {
                    fail("CORE output vector overlaps its inputs at word " + std::to_string(pc));
                    return 0;
                }
                return 5;
            }
            case MIX: {
                if (!need(3)) return 0;
                const int64_t n = w[1];
                if (n < 1 || n > static_cast<int64_t>(left) - 3) {
                    fail("MIX inlet count out of range at word " + std::to_string(pc));
                    return 0;
                }
                if (!span(w[2], width, "MIX outlet", pc)) return 0;
                for (int64_t i = 0; i < n; ++i) {
                    if (!span(w[3 + i], width, "MIX inlet", pc)) return 0;
                    if (!disjoint(w[3 + i], width, w[2], width)) {
                        fail("MIX outlet overlaps an inlet at word " + std::to_string(pc));
                        return 0;
                    }
                }
                return 3 + static_cast<size_t>(n);
            }
            case SPLIT: {
                if (!need(4)) return 0;
                const int64_t n = w[2];
                if (n < 1 || n > static_cast<int64_t>(left) - 4) {
                    fail("SPLIT outlet count out of range at word " + std::to_string(pc));
                    return 0;
                }
                if (!span(w[1], width, "SPLIT inlet", pc) || !span(w[3], n - 1, "SPLIT fractions", pc)) return 0;
                for (int64_t j = 0; j < n; ++j) {
                    if (!span(w[4 + j], width, "SPLIT outlet", pc)) return 0;
                    if (!disjoint(w[4 + j], width, w[1], width)) {
                        fail("SPLIT outlet overlaps its inlet at word " + std::to_string(pc));
                        return 0;
                    }
                }
                return 4 + static_cast<size_t>(n);
            }
            case HEAT: {
                if (!need(7)) return 0;
                if (!span(w[1], width, "HEAT inlet", pc) || !span(w[2], width, "HEAT outlet", pc) ||
                    !span(w[3], 1, "HEAT setting", pc) || !span(w[4], 1, "HEAT duty", pc)) {
                    return 0;
                }
                if (!disjoint(w[1], width, w[2], width) || !disjoint(w[4], 1, w[2], width)) {
                    fail("HEAT outlet overlaps its inlet or its duty at word " + std::to_string(pc));
                    return 0;
                }
                if ((w[5] != 0 && w[5] != 1) || (w[6] != 1 && w[6] != -1)) {
                    fail("HEAT mode or sign out of range at word " + std::to_string(pc));
                    return 0;
                }
                return 7;
            }
            case LOOP:
                fail("LOOP inside a loop at word " + std::to_string(pc));
                return 0;
            default:
                fail("unknown op " + std::to_string(w[0]) + " at word " + std::to_string(pc));
                return 0;
        }
    }

    // A straight run [pc, end) of ops.
    bool straight(size_t pc, size_t end) {
        while (pc < end) {
            const size_t words = op(pc, end);
            if (words == 0) return false;
            pc += words;
        }
        return true;
    }

    bool all(Plan& out) {
        const size_t end = plan.code.size();
        size_t pc = 0;
        while (pc < end) {
            if (plan.code[pc] == LOOP) {
                const int64_t* w = plan.code.data() + pc;
                const size_t left = end - pc;
                if (left < 3) return fail("plan code ends inside a LOOP header");
                const int64_t n = w[1];
                const int64_t body = w[2];
                if (n < 1 || n > static_cast<int64_t>(left) - 3) return fail("LOOP tear count out of range");
                if (body < 0 || body > static_cast<int64_t>(left) - 3 - n) return fail("LOOP body past the code");
                for (int64_t v = 0; v < n; ++v) {
                    if (!span(w[3 + v], 1, "LOOP tear value", pc)) return false;
                }
                const size_t begin = pc + 3 + static_cast<size_t>(n);
                const size_t stop = begin + static_cast<size_t>(body);
                if (!straight(begin, stop)) return false;
                out.segments.push_back({true, pc, stop});
                if (n > out.loop_values) out.loop_values = n;
                pc = stop;
            } else {
                size_t stop = pc;
                while (stop < end && plan.code[stop] != LOOP) {
                    const size_t words = op(stop, end);
                    if (words == 0) return false;
                    stop += words;
                }
                out.segments.push_back({false, pc, stop});
                pc = stop;
            }
        }
        for (int64_t off : plan.inputs) {
            if (!span(off, 1, "row input", 0)) return false;
        }
        for (int64_t off : plan.outputs) {
            if (!span(off, 1, "row output", 0)) return false;
        }
        return span(plan.status, 3, "status slots", 0);
    }
};

const Plan* get_plan(PyObject* obj) {
    auto* plan = static_cast<const Plan*>(PyCapsule_GetPointer(obj, capsule_name));
    if (plan == nullptr) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "flowsheet plan: expected a plan made by plan_load");
    }
    return plan;
}

struct PlanRows {
    const Plan* plan = nullptr;
    const double* in = nullptr;
    double* out = nullptr;
    Py_ssize_t rows = 0;

    void row(Py_ssize_t i) const {
        // Per-thread scratch, grown when a bigger plan comes and kept after.
        thread_local std::vector<double> state;
        thread_local std::vector<double> loop;
        const Plan& p = *plan;
        state.assign(p.state.begin(), p.state.end());
        const size_t loop_size = 3 * static_cast<size_t>(p.loop_values);
        if (loop.size() < loop_size) loop.resize(loop_size);
        double* x = state.data();
        const size_t ni = p.inputs.size();
        const size_t no = p.outputs.size();
        const double* src = in + static_cast<size_t>(i) * ni;
        for (size_t j = 0; j < ni; ++j) x[p.inputs[j]] = src[j];
        execute(p, x, loop.data());
        double* dst = out + static_cast<size_t>(i) * no;
        for (size_t j = 0; j < no; ++j) dst[j] = x[p.outputs[j]];
    }
};

}  // namespace

PyObject* plan_load(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 9) {
        PyErr_Format(PyExc_TypeError, "plan_load() takes 9 arguments (%zd given)", nargs);
        return nullptr;
    }
    auto plan = std::make_unique<Plan>();
    constexpr const char* owner = "flowsheet plan";
    if (take_vector(args[0], plan->code, 'q', "code", owner) < 0 || take_vector(args[1], plan->state, 'd', "state", owner) < 0 ||
        take_vector(args[2], plan->inputs, 'q', "inputs", owner) < 0 || take_vector(args[3], plan->outputs, 'q', "outputs", owner) < 0) {
        return nullptr;
    }
    PyObject* cores = PySequence_Fast(args[4], "flowsheet plan: cores must be a sequence of model names");
    if (cores == nullptr) return nullptr;
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(cores); ++k) {
        const ModelSpec* spec = find_model(PySequence_Fast_GET_ITEM(cores, k));
        if (spec == nullptr) {
            Py_DECREF(cores);
            return nullptr;
        }
        plan->cores.push_back(spec);
    }
    Py_DECREF(cores);
    plan->width = PyLong_AsLongLong(args[5]);
    if (plan->width == -1 && PyErr_Occurred()) return nullptr;
    plan->status = PyLong_AsLongLong(args[6]);
    if (plan->status == -1 && PyErr_Occurred()) return nullptr;
    plan->tolerance = PyFloat_AsDouble(args[7]);
    if (plan->tolerance == -1.0 && PyErr_Occurred()) return nullptr;
    plan->cap = PyLong_AsLongLong(args[8]);
    if (plan->cap == -1 && PyErr_Occurred()) return nullptr;
    if (plan->width < 3) {
        PyErr_Format(PyExc_ValueError, "flowsheet plan: stream width must be at least 3, got %lld",
                     static_cast<long long>(plan->width));
        return nullptr;
    }
    if (plan->cap < 1) {
        PyErr_SetString(PyExc_ValueError, "flowsheet plan: the iteration cap must be at least 1");
        return nullptr;
    }
    if (!(plan->tolerance >= 0.0)) {
        PyErr_SetString(PyExc_ValueError, "flowsheet plan: the tolerance must be a number >= 0");
        return nullptr;
    }
    Checker check{*plan, static_cast<int64_t>(plan->state.size()), {}};
    if (!check.all(*plan)) {
        PyErr_Format(PyExc_ValueError, "flowsheet plan: %s", check.error.c_str());
        return nullptr;
    }
    PyObject* capsule = PyCapsule_New(plan.get(), capsule_name, destroy_plan);
    if (capsule != nullptr) plan.release();
    return capsule;
}

PyObject* plan_run(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4) {
        PyErr_Format(PyExc_TypeError, "plan_run() takes 4 arguments (%zd given)", nargs);
        return nullptr;
    }
    const Plan* plan = get_plan(args[0]);
    if (plan == nullptr) return nullptr;
    Py_ssize_t threads = PyLong_AsSsize_t(args[3]);
    if (threads == -1 && PyErr_Occurred()) return nullptr;
    if (threads < 1) {
        PyErr_Format(PyExc_ValueError, "threads must be at least 1, got %zd", threads);
        return nullptr;
    }
    Matrix in, out;
    if (take_matrix(args[1], in, false, "rows", "flowsheet") < 0 || take_matrix(args[2], out, true, "out", "flowsheet") < 0) {
        return nullptr;
    }
    const auto ni = static_cast<Py_ssize_t>(plan->inputs.size());
    const auto no = static_cast<Py_ssize_t>(plan->outputs.size());
    if (in.cols != ni || out.cols != no || in.rows != out.rows) {
        PyErr_Format(PyExc_ValueError, "flowsheet: rows must have shape (N, %zd) and out (N, %zd), got (%zd, %zd) and (%zd, %zd)",
                     ni, no, in.rows, in.cols, out.rows, out.cols);
        return nullptr;
    }
    PlanRows batch{plan, in.data(), out.data(), out.rows};
    threads = std::max<Py_ssize_t>(1, std::min({threads, batch.rows, max_threads}));
    if (batch.rows > 0 && run_rows(batch, threads) < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace hydrokit::batch
