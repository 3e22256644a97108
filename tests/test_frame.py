"""The Python surface every model module shares."""

import ctypes
import importlib
import inspect
import math
import sys
import traceback

import numpy as np
import pytest

from conftest import MODELS, as_ptr, core_guard, guarded_run, load, same_bits
from hydrokit.layout import layout

BARE = lambda m: m.__name__.rpartition(".")[2]  # noqa: E731


def test_every_model_is_built():
    assert len(MODELS) == len(set(MODELS)) and MODELS
    for name in MODELS:
        lay = layout(name)
        m = load(name)
        assert m.DESCRIPTION == lay.description
        assert (m.INPUT_WIDTH, m.PARAM_WIDTH, m.OUTPUT_WIDTH) == (
            len(lay.inputs), len(lay.params), len(lay.output_slots_default))


def test_attributes_in_binding_order(model):
    names = list(vars(model))
    bound = ["np", "INPUT_WIDTH", "PARAM_WIDTH", "OUTPUT_WIDTH", "DESCRIPTION",
             "_DEFAULT_INPUT", "_DEFAULT_PARAMS", "default_input", "default_params", "run"]
    assert [n for n in names if n in bound] == bound
    assert names.index("__file__") < names.index("np")
    assert model.np is np
    assert model.__doc__ and "\n" not in model.__doc__ and model.DESCRIPTION in model.__doc__
    assert model._DEFAULT_INPUT.dtype == np.float64 and model._DEFAULT_INPUT.shape == (model.INPUT_WIDTH,)
    assert model._DEFAULT_PARAMS.dtype == np.float64 and model._DEFAULT_PARAMS.shape == (model.PARAM_WIDTH,)


@pytest.mark.parametrize("fname, doc", [
    ("default_input", "Return the default input vector as a new float64 NumPy array."),
    ("default_params", "Return the default parameter vector as a new float64 NumPy array."),
    ("run", "Run the compiled C core and return the output vector."),
])
def test_function_identity(model, fname, doc):
    fn = getattr(model, fname)
    assert fn.__name__ == fname and fn.__qualname__ == fname
    assert fn.__module__ == model.__name__ == "hydrokit." + BARE(model)
    assert fn.__doc__ == doc
    if fname == "run":
        assert str(inspect.signature(fn)) == "(u=None, p=None)"


def test_defaults_are_independent_copies(model):
    a = model.default_input()
    b = model.default_input()
    assert a is not b and a is not model._DEFAULT_INPUT
    a[:] = -123.0
    assert same_bits(model.default_input(), model._DEFAULT_INPUT)
    assert not np.shares_memory(model.default_params(), model._DEFAULT_PARAMS)


def test_run_forms_agree(model):
    u, p = model.default_input(), model.default_params()
    y = model.run()
    assert y.dtype == np.float64 and y.shape == (model.OUTPUT_WIDTH,) and y.flags.c_contiguous
    for other in (model.run(u), model.run(u, p), model.run(None, p), model.run(u=None, p=p),
                  model.run(p=p, u=u), model.run(list(u), tuple(p))):
        assert same_bits(other, y)
    again = model.run()
    assert again is not y and same_bits(again, y)


def test_caller_arrays_untouched(model):
    u, p = model.default_input(), model.default_params()
    uc, pc = u.copy(), p.copy()
    y = model.run(u, p)
    assert not np.shares_memory(y, u) and not np.shares_memory(y, p)
    assert same_bits(u, uc) and same_bits(p, pc)
    model.run()
    assert same_bits(model._DEFAULT_INPUT, model.default_input())


def test_integer_and_strided_inputs_convert(model):
    u, p = model.default_input(), model.default_params()
    y = model.run(u, p)
    strided = np.empty(2 * model.INPUT_WIDTH)
    strided[::2] = u
    assert same_bits(model.run(strided[::2], p), y)
    big_endian = u.astype(">f8")
    assert same_bits(model.run(big_endian, p), y)
    ints = [int(v) for v in np.ones(model.INPUT_WIDTH)]
    assert same_bits(model.run(ints, p), model.run(np.ones(model.INPUT_WIDTH), p))


@pytest.mark.parametrize("args, kwargs, message", [
    ((1, 2, 3), {}, "run() takes at most 2 positional arguments (3 given)"),
    ((None, None, None, None), {}, "run() takes at most 2 positional arguments (4 given)"),
    ((), {"x": 1}, "run() got an unexpected keyword argument 'x'"),
    ((None,), {"u": None}, "run() got multiple values for keyword argument 'u'"),
    ((None, None), {"p": None}, "run() got multiple values for keyword argument 'p'"),
])
def test_run_binding_errors(model, args, kwargs, message):
    with pytest.raises(TypeError) as err:
        model.run(*args, **kwargs)
    assert str(err.value) == message


@pytest.mark.parametrize("fname", ["default_input", "default_params"])
@pytest.mark.parametrize("args, kwargs, count", [((1,), {}, 1), ((1, 2), {}, 2), ((), {"x": 1}, 1)])
def test_default_functions_take_no_arguments(model, fname, args, kwargs, count):
    with pytest.raises(TypeError) as err:
        getattr(model, fname)(*args, **kwargs)
    assert str(err.value) == f"{fname}() takes no arguments ({count} given)"


def test_length_and_dimension_errors(model):
    name, ni, npar = BARE(model), model.INPUT_WIDTH, model.PARAM_WIDTH
    p = model.default_params()

    def message(**kw):
        with pytest.raises(ValueError) as err:
            model.run(**kw)
        return str(err.value)

    assert message(u=[1.0, 2.0, 3.0]) == f"{name}: input vector length must be {ni}, got 3"
    assert message(u=5.0) == f"{name}: input vector length must be {ni}, got 1"
    assert message(u=[]) == f"{name}: input vector length must be {ni}, got 0"
    assert message(p=[1.0]) == f"{name}: parameter vector length must be {npar}, got 1"
    # Both wrong: only the input is reported.
    assert message(u=[1.0], p=[1.0]) == f"{name}: input vector length must be {ni}, got 1"
    # The dimension check comes with the conversion, before any length check.
    dims = "Buffer has wrong number of dimensions (expected 1, got 2)"
    assert message(u=np.zeros((2, ni))) == dims
    assert message(u=[1.0], p=np.zeros((1, npar))) == dims
    assert message(u=np.zeros((1, 1, 1)), p=p) == "Buffer has wrong number of dimensions (expected 1, got 3)"


def test_conversion_errors_are_numpys(model):
    with pytest.raises(ValueError, match="could not convert"):
        model.run(["a"] * model.INPUT_WIDTH)
    with pytest.raises(TypeError):
        model.run(u={"a": 1})


def test_traceback_entry_names_module_function(model):
    name = BARE(model)
    for call, fname in ((lambda: model.run([1.0]), "run"), (lambda: model.default_input(1), "default_input"),
                        (lambda: model.default_params(1), "default_params")):
        with pytest.raises((ValueError, TypeError)) as err:
            call()
        last = traceback.extract_tb(err.value.__traceback__)[-1]
        assert last.name == f"hydrokit.{name}.{fname}"
        assert last.filename == f"hydrokit/{name}"


def test_rebinding_widths_changes_nothing(model, monkeypatch):
    monkeypatch.setattr(model, "INPUT_WIDTH", 3)
    monkeypatch.setattr(model, "OUTPUT_WIDTH", 2)
    assert model.run().shape[0] == len(layout(BARE(model)).output_slots_default)
    with pytest.raises(ValueError, match="input vector length must be"):
        model.run([1.0, 2.0, 3.0])


def test_rebinding_defaults_is_honoured(model, monkeypatch):
    u = model.default_input() * 0.5
    expected = model.run(u)
    monkeypatch.setattr(model, "_DEFAULT_INPUT", u)
    assert same_bits(model.default_input(), u)
    assert same_bits(model.run(), expected)
    monkeypatch.setattr(model, "_DEFAULT_PARAMS", np.zeros(3))
    with pytest.raises(ValueError, match="parameter vector length must be"):
        model.run()
    monkeypatch.delattr(model, "_DEFAULT_PARAMS")
    with pytest.raises(NameError, match="_DEFAULT_PARAMS"):
        model.default_params()


class CountingNumpy:
    """Stands in for numpy and records what run asks of it."""

    def __init__(self):
        self.calls = []
        self.float64 = np.float64

    def ascontiguousarray(self, value, dtype):
        self.calls.append("ascontiguousarray")
        return np.ascontiguousarray(value, dtype=dtype)

    def zeros(self, n, dtype):
        self.calls.append(("zeros", n))
        return np.zeros(n, dtype=dtype)


def test_rebinding_np_is_honoured(model, monkeypatch):
    fake = CountingNumpy()
    monkeypatch.setattr(model, "np", fake)
    y = model.run(model.default_input(), model.default_params())
    assert fake.calls == ["ascontiguousarray", "ascontiguousarray", ("zeros", model.OUTPUT_WIDTH)]
    monkeypatch.undo()
    assert same_bits(y, model.run())


def test_short_output_from_rebound_zeros_is_refused(model, monkeypatch):
    class ShortZeros(CountingNumpy):
        def zeros(self, n, dtype):
            return np.zeros(n - 1, dtype=dtype)

    monkeypatch.setattr(model, "np", ShortZeros())
    with pytest.raises(RuntimeError) as err:
        model.run()
    assert str(err.value) == f"{BARE(model)}: C core returned status -4"


def test_patched_numpy_function_is_honoured(model, monkeypatch):
    seen = []
    real = np.ascontiguousarray

    def spy(value, dtype=None):
        seen.append(value)
        return real(value, dtype=dtype)

    monkeypatch.setattr(np, "ascontiguousarray", spy)
    u = model.default_input()
    model.run(u)
    assert seen and seen[0] is u


def test_reimport_returns_same_module(model):
    name = model.__name__
    saved = sys.modules.pop(name)
    try:
        again = importlib.import_module(name)
        assert again is saved
    finally:
        sys.modules[name] = saved


def test_exec_on_another_module_object_is_refused(model):
    lib = ctypes.PyDLL(model.__file__)
    init = getattr(lib, f"PyInit_{BARE(model)}")
    init.restype = ctypes.c_void_p
    definition = init()
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
    exec_def.restype = ctypes.c_int
    import types
    with pytest.raises(RuntimeError) as err:
        exec_def(types.ModuleType("intruder"), definition)
    assert str(err.value) == (f"Module '{BARE(model)}' has already been imported. "
                              "Re-initialisation is not supported.")
    assert exec_def(model, definition) == 0  # the same object again: nothing to do


def test_import_in_subinterpreter_fails():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    for name in MODELS:
        load(name)
    interp = interpreters.create(isolated=False)
    try:
        for name in MODELS:
            code = (f"try:\n    import hydrokit.{name}\nexcept ImportError as e:\n"
                    f"    assert str(e) == ('Interpreter change detected - this module can only be loaded '\n"
                    f"                      'into one interpreter per process.'), str(e)\n"
                    f"else:\n    raise AssertionError('imported')\n")
            interpreters.run_string(interp, code)
    finally:
        interpreters.destroy(interp)


# ---- the core guard -----------------------------------------------------------


def test_guard_statuses(model):
    guard = core_guard(model)
    ni, npar, no = model.INPUT_WIDTH, model.PARAM_WIDTH, model.OUTPUT_WIDTH
    u, p = model.default_input(), model.default_params()
    y = np.zeros(no + 1)
    null = ctypes.POINTER(ctypes.c_double)()
    assert guard(null, ni, as_ptr(p), npar, as_ptr(y), no) == -1
    assert guard(as_ptr(u), ni, null, npar, as_ptr(y), no) == -1
    assert guard(as_ptr(u), ni, as_ptr(p), npar, null, no) == -1
    assert guard(as_ptr(u), ni + 1, as_ptr(p), npar, as_ptr(y), no) == -2
    assert guard(as_ptr(u), ni, as_ptr(p), npar - 1, as_ptr(y), no) == -3
    assert guard(as_ptr(u), ni, as_ptr(p), npar, as_ptr(y), no - 1) == -4
    assert not y.any(), "a refused call must not reach the core"
    # Order: the null pointer is reported before any width.
    assert guard(null, ni + 1, as_ptr(p), npar - 1, as_ptr(y), 0) == -1
    assert guard(as_ptr(u), ni + 1, as_ptr(p), npar - 1, as_ptr(y), 0) == -2
    # A larger capacity is accepted and the extra slot is left alone.
    assert guard(as_ptr(u), ni, as_ptr(p), npar, as_ptr(y), no + 1) == 0
    assert same_bits(y[:no], model.run(u, p)) and y[no] == 0.0


# ---- hostile values in every slot ---------------------------------------------

HOSTILE = [math.nan, math.inf, -math.inf, -1.0, 0.0, -0.0, 1e300, -1e300, 5e-324, 2.0**31, 0.4]


@pytest.mark.parametrize("vector", ["u", "p"])
def test_any_slot_any_value_stays_in_bounds(model, vector):
    u0, p0 = model.default_input(), model.default_params()
    base = u0 if vector == "u" else p0
    for index in range(base.size):
        for value in HOSTILE:
            u, p = u0.copy(), p0.copy()
            (u if vector == "u" else p)[index] = value
            y = guarded_run(model, u, p)
            assert same_bits(y, model.run(u, p)), (index, value)


def test_all_slots_nan_or_inf(model):
    for value in (math.nan, math.inf, -math.inf, 0.0, -1.0):
        u = np.full(model.INPUT_WIDTH, value)
        p = np.full(model.PARAM_WIDTH, value)
        guarded_run(model, u, p)


def test_unwritten_outputs_are_zero(model):
    # A zero-filled output is handed to the core; what it leaves stays 0.
    y = model.run()
    slots = layout(BARE(model)).output_slots(model.default_params())
    for s in slots:
        if not s.name:
            assert y[s.index] == 0.0
