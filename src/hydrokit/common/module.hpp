// The Python surface shared by every model module, over the raw CPython C API.
//
// One instantiation per extension module, Module<spec>, gives:
//   - multi-phase initialisation with exactly a create and an exec slot;
//   - the attributes np, INPUT_WIDTH, PARAM_WIDTH, OUTPUT_WIDTH, DESCRIPTION,
//     _DEFAULT_INPUT, _DEFAULT_PARAMS, default_input, default_params, run,
//     bound in that order;
//   - run(u=None, p=None): conversion through the module's `np`, length checks,
//     a zero-filled output and the guarded core call.
// `np`, `_DEFAULT_INPUT` and `_DEFAULT_PARAMS` are looked up in the module
// namespace at every call, so rebinding them is honoured. When they are still
// the objects bound at import and the arguments already are what the
// conversions would return, the Python-level calls are skipped: the outcome is
// the same, only faster.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_23_API_VERSION
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "model.hpp"

namespace hydrokit::frame {

// The three vectors of a call: an owned object and a view of its doubles.
struct Vector {
    PyObject* obj = nullptr;
    Py_buffer view{};
    bool has_view = false;
    double* data = nullptr;
    Py_ssize_t size = 0;
    PyObject* aligned = nullptr;  // an aligned copy that `data` points into, if one was needed
    double* original = nullptr;   // the vector's own memory while `data` is the copy

    ~Vector() {
        Py_XDECREF(aligned);
        if (has_view) PyBuffer_Release(&view);
        Py_XDECREF(obj);
    }
};

// NumPy accepts float64 memory at any byte offset and np.ascontiguousarray
// hands such an array back unchanged, but a double read or written through a
// misaligned pointer is undefined behaviour in the core. Such a vector is
// copied into an aligned array owned by the call; the values are the same.
inline int align_for_core(Vector& v) {
    if (reinterpret_cast<std::uintptr_t>(v.data) % alignof(double) == 0) return 0;
    npy_intp n = v.size;
    v.aligned = PyArray_SimpleNew(1, &n, NPY_DOUBLE);
    if (v.aligned == nullptr) return -1;
    v.original = v.data;
    v.data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(v.aligned)));
    std::memcpy(v.data, v.original, static_cast<size_t>(n) * sizeof(double));
    return 0;
}

// After the core: the output written into an aligned copy goes back into the
// caller-visible array.
inline void write_back(Vector& v) {
    if (v.original != nullptr) std::memcpy(v.original, v.data, static_cast<size_t>(v.size) * sizeof(double));
}

inline bool is_double_format(const char* fmt) {
    if (fmt == nullptr) return false;  // PyBUF_FORMAT was requested; NULL means "B"
    if (fmt[0] == '@' || fmt[0] == '=' || fmt[0] == '<') ++fmt;
    return fmt[0] == 'd' && fmt[1] == '\0';
}

// A plain float64 ndarray that the conversion would hand back unchanged.
inline bool is_plain_vector(PyObject* obj) {
    if (!PyArray_CheckExact(obj)) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    return PyArray_NDIM(a) == 1 && PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(a) &&
           PyArray_ISALIGNED(a) && PyArray_IS_C_CONTIGUOUS(a);
}

// Take `obj` (a new reference) as a one-dimensional C-contiguous double vector.
inline int take_vector(PyObject* obj, Vector& v, bool writable) {
    v.obj = obj;
    if (is_plain_vector(obj) && (!writable || PyArray_ISWRITEABLE(reinterpret_cast<PyArrayObject*>(obj)))) {
        auto* a = reinterpret_cast<PyArrayObject*>(obj);
        v.data = static_cast<double*>(PyArray_DATA(a));
        v.size = PyArray_DIM(a, 0);
        return 0;
    }
    int flags = PyBUF_FORMAT | PyBUF_STRIDES;
    if (writable) flags |= PyBUF_WRITABLE;
    if (PyObject_GetBuffer(obj, &v.view, flags) < 0) return -1;
    v.has_view = true;
    if (v.view.ndim != 1) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", 1,
                     v.view.ndim);
        return -1;
    }
    if (!is_double_format(v.view.format) || v.view.itemsize != 8) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected 'double' but got '%s'",
                     v.view.format ? v.view.format : "B");
        return -1;
    }
    if (v.view.shape[0] > 1 && v.view.strides[0] != 8) {
        PyErr_SetString(PyExc_ValueError, "ndarray is not C-contiguous");
        return -1;
    }
    v.data = static_cast<double*>(v.view.buf);
    v.size = v.view.shape[0];
    return 0;
}

template <const ModelSpec& S>
struct Module {
    // The module object, once its exec step has completed.
    static inline PyObject* module = nullptr;
    static inline int64_t interpreter_id = -1;

    // Internal widths: only these are used by run, whatever the attributes say.
    static inline Py_ssize_t input_width = 0;
    static inline Py_ssize_t param_width = 0;
    static inline Py_ssize_t output_width = 0;

    // numpy objects as bound at import, to recognise the unchanged case.
    static inline PyObject* numpy = nullptr;
    static inline PyObject* numpy_ascontiguousarray = nullptr;
    static inline PyObject* numpy_zeros = nullptr;
    static inline PyObject* numpy_float64 = nullptr;

    static inline PyObject* str_np = nullptr;
    static inline PyObject* str_ascontiguousarray = nullptr;
    static inline PyObject* str_zeros = nullptr;
    static inline PyObject* str_float64 = nullptr;
    static inline PyObject* str_copy = nullptr;
    static inline PyObject* str_default_input = nullptr;
    static inline PyObject* str_default_params = nullptr;
    static inline PyObject* dtype_kwnames = nullptr;  // ("dtype",)

    static inline char qualified_name[64];  // "hydrokit.<model>"
    static inline char source_file[64];     // "hydrokit/<model>"
    static inline char run_name[80];
    static inline char default_input_name[80];
    static inline char default_params_name[80];
    static inline char init_name[80];
    static inline char doc[256];

    static PyObject* init() {
        std::snprintf(qualified_name, sizeof qualified_name, "hydrokit.%s", S.name);
        std::snprintf(source_file, sizeof source_file, "hydrokit/%s", S.name);
        std::snprintf(run_name, sizeof run_name, "%s.run", qualified_name);
        std::snprintf(default_input_name, sizeof default_input_name, "%s.default_input", qualified_name);
        std::snprintf(default_params_name, sizeof default_params_name, "%s.default_params", qualified_name);
        std::snprintf(init_name, sizeof init_name, "init %s", qualified_name);
        std::snprintf(doc, sizeof doc, "%s model.", S.description);
        return PyModuleDef_Init(&definition);
    }

    // ---- import ---------------------------------------------------------

    static int copy_spec_attr(PyObject* spec, PyObject* dict, const char* from, const char* to, bool allow_none) {
        PyObject* value = PyObject_GetAttrString(spec, from);
        if (value == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            return 0;
        }
        int rc = 0;
        if (allow_none || value != Py_None) rc = PyDict_SetItemString(dict, to, value);
        Py_DECREF(value);
        return rc;
    }

    static PyObject* create(PyObject* spec, PyModuleDef*) {
        const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (interpreter_id == -1) {
            interpreter_id = current;
            if (current == -1) return nullptr;
        } else if (interpreter_id != current) {
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can only be loaded into one "
                            "interpreter per process.");
            return nullptr;
        }
        if (module != nullptr) return Py_NewRef(module);

        PyObject* name = PyObject_GetAttrString(spec, "name");
        if (name == nullptr) return nullptr;
        PyObject* m = PyModule_NewObject(name);
        Py_DECREF(name);
        if (m == nullptr) return nullptr;
        PyObject* dict = PyModule_GetDict(m);
        if (copy_spec_attr(spec, dict, "loader", "__loader__", true) < 0 ||
            copy_spec_attr(spec, dict, "origin", "__file__", true) < 0 ||
            copy_spec_attr(spec, dict, "parent", "__package__", true) < 0 ||
            copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
            Py_DECREF(m);
            return nullptr;
        }
        return m;
    }

    static int check_python_version() {
        const int major = static_cast<int>((Py_Version >> 24) & 0xff);
        const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
        if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
        return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                                PY_MAJOR_VERSION, PY_MINOR_VERSION, qualified_name, "does not match", major,
                                minor);
    }

    // NumPy's type objects must be at least as large as the structures this
    // module was compiled against.
    static int check_numpy_layouts(PyObject* np) {
        struct Expected {
            const char* name;
            Py_ssize_t size;
        };
        static const Expected expected[] = {
            {"dtype", static_cast<Py_ssize_t>(sizeof(PyArray_Descr))},
            {"flatiter", static_cast<Py_ssize_t>(sizeof(PyArrayIterObject))},
            {"broadcast", static_cast<Py_ssize_t>(sizeof(PyArrayMultiIterObject))},
            {"ndarray", static_cast<Py_ssize_t>(sizeof(PyArrayObject_fields))},
            {"generic", static_cast<Py_ssize_t>(sizeof(PyObject))},
            {"number", static_cast<Py_ssize_t>(sizeof(PyObject))},
            {"integer", static_cast<Py_ssize_t>(sizeof(PyObject))},
            {"signedinteger", static_cast<Py_ssize_t>(sizeof(PyObject))},
            {"unsignedinteger", static_cast<Py_ssize_t>(sizeof(PyObject))},
            {"inexact", static_cast<Py_ssize_t>(sizeof(PyObject))},
            {"floating", static_cast<Py_ssize_t>(sizeof(PyObject))},
            {"complexfloating", static_cast<Py_ssize_t>(sizeof(PyObject))},
            {"flexible", static_cast<Py_ssize_t>(sizeof(PyObject))},
            {"character", static_cast<Py_ssize_t>(sizeof(PyObject))},
            {"ufunc", static_cast<Py_ssize_t>(sizeof(PyUFuncObject))},
        };
        for (const Expected& e : expected) {
            PyObject* t = PyObject_GetAttrString(np, e.name);
            if (t == nullptr) return -1;
            if (!PyType_Check(t)) {
                PyErr_Format(PyExc_TypeError, "numpy.%s is not a type object", e.name);
                Py_DECREF(t);
                return -1;
            }
            const Py_ssize_t size = reinterpret_cast<PyTypeObject*>(t)->tp_basicsize;
            Py_DECREF(t);
            if (size < e.size) {
                PyErr_Format(PyExc_ValueError,
                             "numpy.%s size changed, may indicate binary incompatibility. Expected %zd from "
                             "C header, got %zd from PyObject",
                             e.name, e.size, size);
                return -1;
            }
        }
        return 0;
    }

    // Any failure here becomes ImportError "numpy.core.multiarray failed to
    // import", with the underlying error as its cause.
    static int import_numpy_interface() {
        if (_import_array() == 0) {
            PyObject* np = PyImport_ImportModule("numpy");
            if (np != nullptr) {
                const int rc = check_numpy_layouts(np);
                Py_DECREF(np);
                if (rc == 0) return 0;
            }
        }
        PyObject* cause = PyErr_GetRaisedException();
        PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
        if (cause != nullptr) {
            PyObject* err = PyErr_GetRaisedException();
            PyException_SetCause(err, Py_NewRef(cause));
            PyException_SetContext(err, cause);
            PyErr_SetRaisedException(err);
        }
        return -1;
    }

    static PyObject* float_list(const double* values, int32_t n) {
        PyObject* list = PyList_New(n);
        if (list == nullptr) return nullptr;
        for (int32_t i = 0; i < n; ++i) {
            PyObject* f = PyFloat_FromDouble(values[i]);
            if (f == nullptr) {
                Py_DECREF(list);
                return nullptr;
            }
            PyList_SET_ITEM(list, i, f);
        }
        return list;
    }

    // np.array([...], dtype=np.float64)
    static PyObject* default_array(PyObject* np, const double* values, int32_t n) {
        PyObject* list = float_list(values, n);
        if (list == nullptr) return nullptr;
        PyObject* array_fn = PyObject_GetAttrString(np, "array");
        PyObject* dtype = array_fn ? PyObject_GetAttr(np, str_float64) : nullptr;
        PyObject* result = nullptr;
        if (dtype != nullptr) {
            PyObject* args[] = {list, dtype};
            result = PyObject_Vectorcall(array_fn, args, 1, dtype_kwnames);
        }
        Py_XDECREF(dtype);
        Py_XDECREF(array_fn);
        Py_DECREF(list);
        return result;
    }

    // Bind a new reference under `name`, releasing it either way.
    static int add_owned(PyObject* m, const char* name, PyObject* value) {
        if (value == nullptr) return -1;
        const int rc = PyModule_AddObjectRef(m, name, value);
        Py_DECREF(value);
        return rc;
    }

    static int intern_strings() {
        struct Entry {
            PyObject** slot;
            const char* text;
        };
        const Entry entries[] = {
            {&str_np, "np"},
            {&str_ascontiguousarray, "ascontiguousarray"},
            {&str_zeros, "zeros"},
            {&str_float64, "float64"},
            {&str_copy, "copy"},
            {&str_default_input, "_DEFAULT_INPUT"},
            {&str_default_params, "_DEFAULT_PARAMS"},
        };
        for (const Entry& e : entries) {
            if (*e.slot == nullptr && (*e.slot = PyUnicode_InternFromString(e.text)) == nullptr) return -1;
        }
        if (dtype_kwnames == nullptr && (dtype_kwnames = Py_BuildValue("(s)", "dtype")) == nullptr) return -1;
        return 0;
    }

    static int exec_steps(PyObject* m) {
        if (check_python_version() < 0) return -1;
        if (import_numpy_interface() < 0) return -1;
        if (intern_strings() < 0) return -1;

        PyObject* np = PyImport_ImportModule("numpy");
        if (np == nullptr) return -1;
        if (PyObject_SetAttr(m, str_np, np) < 0) {
            Py_DECREF(np);
            return -1;
        }
        Py_XSETREF(numpy, np);
        Py_XSETREF(numpy_ascontiguousarray, PyObject_GetAttr(np, str_ascontiguousarray));
        Py_XSETREF(numpy_zeros, PyObject_GetAttr(np, str_zeros));
        Py_XSETREF(numpy_float64, PyObject_GetAttr(np, str_float64));
        if (!numpy_ascontiguousarray || !numpy_zeros || !numpy_float64) return -1;

        input_width = S.input_width;
        param_width = S.param_width;
        output_width = S.output_width;
        if (PyModule_AddIntConstant(m, "INPUT_WIDTH", S.input_width) < 0 ||
            PyModule_AddIntConstant(m, "PARAM_WIDTH", S.param_width) < 0 ||
            PyModule_AddIntConstant(m, "OUTPUT_WIDTH", S.output_width) < 0 ||
            PyModule_AddStringConstant(m, "DESCRIPTION", S.description) < 0) {
            return -1;
        }

        if (add_owned(m, "_DEFAULT_INPUT", default_array(np, S.default_input, S.input_width)) < 0 ||
            add_owned(m, "_DEFAULT_PARAMS", default_array(np, S.default_params, S.param_width)) < 0) {
            return -1;
        }

        PyObject* module_name = PyUnicode_FromString(qualified_name);
        if (module_name == nullptr) return -1;
        for (PyMethodDef* def = method_defs; def->ml_name != nullptr; ++def) {
            if (add_owned(m, def->ml_name, PyCFunction_NewEx(def, m, module_name)) < 0) {
                Py_DECREF(module_name);
                return -1;
            }
        }
        Py_DECREF(module_name);
        return 0;
    }

    static int exec(PyObject* m) {
        if (module != nullptr) {
            if (module == m) return 0;
            PyErr_Format(PyExc_RuntimeError,
                         "Module '%s' has already been imported. Re-initialisation is not supported.", S.name);
            return -1;
        }
        if (exec_steps(m) < 0) {
            _PyTraceback_Add(init_name, source_file, 1);
            return -1;
        }
        module = Py_NewRef(m);
        return 0;
    }

    // ---- calls ------------------------------------------------------------

    // A name in the module namespace, then in builtins, as global lookup does.
    static PyObject* lookup_global(PyObject* self, PyObject* name) {
        PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(self), name);
        if (value != nullptr) return Py_NewRef(value);
        if (PyErr_Occurred()) return nullptr;
        value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
        if (value != nullptr) return Py_NewRef(value);
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return nullptr;
    }

    // True when `np` is numpy as bound at import and the numpy functions used
    // by run are unchanged, so the C API may stand in for them.
    static bool numpy_unchanged(PyObject* np) {
        if (np != numpy) return false;
        PyObject* d = PyModule_GetDict(np);
        return PyDict_GetItem(d, str_ascontiguousarray) == numpy_ascontiguousarray &&
               PyDict_GetItem(d, str_zeros) == numpy_zeros && PyDict_GetItem(d, str_float64) == numpy_float64;
    }

    // u_arr / p_arr: a copy of the stored default for None, otherwise
    // np.ascontiguousarray(value, dtype=np.float64).
    static int convert(PyObject* self, PyObject* value, PyObject* default_name, PyObject* np, bool np_plain,
                       Vector& out) {
        PyObject* arr;
        if (value == Py_None) {
            PyObject* stored = lookup_global(self, default_name);
            if (stored == nullptr) return -1;
            if (is_plain_vector(stored)) {
                // The core never writes its inputs, so the stored array itself
                // serves as the fresh copy.
                arr = stored;
            } else {
                arr = PyObject_CallMethodNoArgs(stored, str_copy);
                Py_DECREF(stored);
            }
        } else if (np_plain && is_plain_vector(value)) {
            arr = Py_NewRef(value);
        } else {
            PyObject* fn = PyObject_GetAttr(np, str_ascontiguousarray);
            if (fn == nullptr) return -1;
            PyObject* dtype = PyObject_GetAttr(np, str_float64);
            if (dtype == nullptr) {
                Py_DECREF(fn);
                return -1;
            }
            PyObject* args[] = {value, dtype};
            arr = PyObject_Vectorcall(fn, args, 1, dtype_kwnames);
            Py_DECREF(dtype);
            Py_DECREF(fn);
        }
        if (arr == nullptr) return -1;
        return take_vector(arr, out, false);
    }

    // np.zeros(OUTPUT_WIDTH, dtype=np.float64)
    static int allocate_output(PyObject* np, bool np_plain, Vector& out) {
        PyObject* arr;
        if (np_plain) {
            npy_intp n = output_width;
            arr = PyArray_ZEROS(1, &n, NPY_DOUBLE, 0);
        } else {
            PyObject* fn = PyObject_GetAttr(np, str_zeros);
            if (fn == nullptr) return -1;
            PyObject* dtype = PyObject_GetAttr(np, str_float64);
            PyObject* width = dtype ? PyLong_FromSsize_t(output_width) : nullptr;
            arr = nullptr;
            if (width != nullptr) {
                PyObject* args[] = {width, dtype};
                arr = PyObject_Vectorcall(fn, args, 1, dtype_kwnames);
            }
            Py_XDECREF(width);
            Py_XDECREF(dtype);
            Py_DECREF(fn);
        }
        if (arr == nullptr) return -1;
        return take_vector(arr, out, true);
    }

    static PyObject* fail(const char* function_name) {
        _PyTraceback_Add(function_name, source_file, 1);
        return nullptr;
    }

    static PyObject* run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        if (nargs > 2) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", "run",
                         "at most", static_cast<Py_ssize_t>(2), "s", nargs);
            return fail(run_name);
        }
        PyObject* u = nargs > 0 ? args[0] : Py_None;
        PyObject* p = nargs > 1 ? args[1] : Py_None;
        if (kwnames != nullptr) {
            const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
            for (Py_ssize_t i = 0; i < nkw; ++i) {
                PyObject* key = PyTuple_GET_ITEM(kwnames, i);
                const int position = PyUnicode_CompareWithASCIIString(key, "u") == 0   ? 0
                                     : PyUnicode_CompareWithASCIIString(key, "p") == 0 ? 1
                                                                                       : -1;
                if (position < 0) {
                    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", "run", key);
                    return fail(run_name);
                }
                bool seen = nargs > position;
                for (Py_ssize_t j = 0; j < i && !seen; ++j) {
                    seen = PyUnicode_Compare(PyTuple_GET_ITEM(kwnames, j), key) == 0;
                }
                if (seen) {
                    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", "run", key);
                    return fail(run_name);
                }
                (position == 0 ? u : p) = args[nargs + i];
            }
        }

        PyObject* np = lookup_global(self, str_np);
        if (np == nullptr) return fail(run_name);
        const bool np_plain = numpy_unchanged(np);

        Vector u_arr, p_arr, y_arr;
        int rc = convert(self, u, str_default_input, np, np_plain, u_arr);
        if (rc == 0) rc = convert(self, p, str_default_params, np, np_plain, p_arr);
        if (rc == 0 && u_arr.size != input_width) {
            PyErr_Format(PyExc_ValueError, "%s: input vector length must be %zd, got %zd", S.name, input_width,
                         u_arr.size);
            rc = -1;
        }
        if (rc == 0 && p_arr.size != param_width) {
            PyErr_Format(PyExc_ValueError, "%s: parameter vector length must be %zd, got %zd", S.name,
                         param_width, p_arr.size);
            rc = -1;
        }
        if (rc == 0) rc = allocate_output(np, np_plain, y_arr);
        Py_DECREF(np);
        if (rc == 0) rc = align_for_core(u_arr);
        if (rc == 0) rc = align_for_core(p_arr);
        if (rc == 0) rc = align_for_core(y_arr);
        if (rc < 0) return fail(run_name);

        // The capacity handed to the guard is what the output really holds,
        // so an output array of the wrong size is refused, never overrun.
        const int32_t capacity = y_arr.size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(y_arr.size);
        const int32_t status = guarded_call(S, u_arr.data, static_cast<int32_t>(input_width), p_arr.data,
                                            static_cast<int32_t>(param_width), y_arr.data, capacity);
        write_back(y_arr);
        if (status != 0) {
            PyErr_Format(PyExc_RuntimeError, "%s: C core returned status %d", S.name, static_cast<int>(status));
            return fail(run_name);
        }
        return Py_NewRef(y_arr.obj);
    }

    static PyObject* default_copy(PyObject* self, Py_ssize_t nargs, PyObject* kwnames, const char* bare_name,
                                  const char* traceback_name, PyObject* stored_name) {
        const Py_ssize_t given = nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
        if (given != 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", bare_name, "takes no arguments", given);
            return fail(traceback_name);
        }
        PyObject* stored = lookup_global(self, stored_name);
        if (stored == nullptr) return fail(traceback_name);
        PyObject* copy = PyObject_CallMethodNoArgs(stored, str_copy);
        Py_DECREF(stored);
        return copy != nullptr ? copy : fail(traceback_name);
    }

    static PyObject* default_input(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
        return default_copy(self, nargs, kwnames, "default_input", default_input_name, str_default_input);
    }

    static PyObject* default_params(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
        return default_copy(self, nargs, kwnames, "default_params", default_params_name, str_default_params);
    }

    // ---- tables (after the functions they name) -----------------------------

    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(&create)},
        {Py_mod_exec, reinterpret_cast<void*>(&exec)},
        {0, nullptr},
    };

    static inline PyModuleDef definition = {
        PyModuleDef_HEAD_INIT,
        S.name,   // m_name: the bare module name
        doc,      // m_doc
        0,        // m_size: no per-module state
        nullptr,  // m_methods
        slots,
        nullptr,
        nullptr,
        nullptr,
    };

    static inline PyMethodDef method_defs[] = {
        {"default_input", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&default_input)),
         METH_FASTCALL | METH_KEYWORDS,
         "default_input()\n--\n\nReturn the default input vector as a new float64 NumPy array."},
        {"default_params", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&default_params)),
         METH_FASTCALL | METH_KEYWORDS,
         "default_params()\n--\n\nReturn the default parameter vector as a new float64 NumPy array."},
        {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&run)),
         METH_FASTCALL | METH_KEYWORDS,
         "run(u=None, p=None)\n--\n\nRun the compiled C core and return the output vector."},
        {nullptr, nullptr, 0, nullptr},
    };
};

}  // namespace hydrokit::frame
