import ctypes
import importlib

import numpy as np
import pytest

from hydrokit.layout import models

MODELS = models()


def load(name):
    return importlib.import_module(f"hydrokit.{name}")


@pytest.fixture(params=MODELS)
def model(request):
    """Each built model module in turn."""
    return load(request.param)


GUARD_ARGS = [
    ctypes.POINTER(ctypes.c_double), ctypes.c_int32,
    ctypes.POINTER(ctypes.c_double), ctypes.c_int32,
    ctypes.POINTER(ctypes.c_double), ctypes.c_int32,
]


def core_guard(module):
    """The exported `<model>_core_guard` of a module, through ctypes."""
    name = module.__name__.rpartition(".")[2]
    fn = getattr(ctypes.CDLL(module.__file__), f"{name}_core_guard")
    fn.argtypes = GUARD_ARGS
    fn.restype = ctypes.c_int32
    return fn


def as_ptr(a):
    return a.ctypes.data_as(ctypes.POINTER(ctypes.c_double))


SENTINEL = 7.0e77
PAD = 16


def guarded_run(module, u, p):
    """Call the core through its guard with every vector surrounded by sentinels.

    Returns the output vector; fails the test if the core wrote outside it or
    wrote its inputs.
    """
    guard = core_guard(module)
    ni, npar, no = module.INPUT_WIDTH, module.PARAM_WIDTH, module.OUTPUT_WIDTH
    ubuf = np.full(ni + 2 * PAD, SENTINEL)
    pbuf = np.full(npar + 2 * PAD, SENTINEL)
    ybuf = np.full(no + 2 * PAD, SENTINEL)
    ubuf[PAD:PAD + ni] = u
    pbuf[PAD:PAD + npar] = p
    ybuf[PAD:PAD + no] = 0.0
    ucopy, pcopy = ubuf.copy(), pbuf.copy()
    status = guard(as_ptr(ubuf[PAD:]), ni, as_ptr(pbuf[PAD:]), npar, as_ptr(ybuf[PAD:]), no)
    assert status == 0
    assert ubuf.tobytes() == ucopy.tobytes(), "core changed its input vector"
    assert pbuf.tobytes() == pcopy.tobytes(), "core changed its parameter vector"
    assert np.all(ybuf[:PAD] == SENTINEL), "core wrote before its output vector"
    assert np.all(ybuf[PAD + no:] == SENTINEL), "core wrote past its output vector"
    return ybuf[PAD:PAD + no].copy()


def same_bits(a, b):
    return np.asarray(a, dtype=np.float64).tobytes() == np.asarray(b, dtype=np.float64).tobytes()


def given(text):
    """A value quoted to a number of digits: equal within half a unit of its last digit."""
    from decimal import Decimal

    exponent = Decimal(text).as_tuple().exponent
    return pytest.approx(float(text), abs=0.5 * 10.0**exponent * (1 + 1e-9), rel=0)
