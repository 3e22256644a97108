// The flowsheet plan executor of hydrokit._sweep (plan.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace hydrokit::batch {

// plan_load(code, state, inputs, outputs, cores, width, status, tolerance, cap) -> plan
PyObject* plan_load(PyObject*, PyObject* const* args, Py_ssize_t nargs);
// plan_run(plan, rows, out, threads)
PyObject* plan_run(PyObject*, PyObject* const* args, Py_ssize_t nargs);

}  // namespace hydrokit::batch
