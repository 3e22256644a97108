// The column programs of hydrokit._sweep (columns.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace hydrokit::batch {

// program_load(code, constants, table, registers, rows_width, out_width) -> program
PyObject* program_load(PyObject*, PyObject* const* args, Py_ssize_t nargs);
// program_run(program, registers, rows, out)
PyObject* program_run(PyObject*, PyObject* const* args, Py_ssize_t nargs);

}  // namespace hydrokit::batch
