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


# ---- sentinel checks that report instead of failing (fuzzing, long runs) ------

_GUARDS = {}


def cached_core_guard(module):
    """`core_guard`, looked up once per module."""
    guard = _GUARDS.get(module.__name__)
    if guard is None:
        guard = _GUARDS[module.__name__] = core_guard(module)
    return guard


def sentinel_run(module, u, p, sentinel=SENTINEL):
    """The guarded call of `guarded_run`, with any sentinel value.

    Returns (status, y, breaches): `breaches` names every region found changed
    (the padding around each vector, or the input vectors themselves). The
    comparisons are bitwise, so a NaN sentinel works as well as a number; a
    second call with another sentinel shows whether the output depends on
    memory next to the vectors.
    """
    guard = cached_core_guard(module)
    ni, npar, no = module.INPUT_WIDTH, module.PARAM_WIDTH, module.OUTPUT_WIDTH
    ubuf = np.full(ni + 2 * PAD, sentinel)
    pbuf = np.full(npar + 2 * PAD, sentinel)
    ybuf = np.full(no + 2 * PAD, sentinel)
    ubuf[PAD:PAD + ni] = u
    pbuf[PAD:PAD + npar] = p
    ybuf[PAD:PAD + no] = 0.0
    ubefore, pbefore, yfill = ubuf.tobytes(), pbuf.tobytes(), ybuf.tobytes()
    status = guard(as_ptr(ubuf[PAD:]), ni, as_ptr(pbuf[PAD:]), npar, as_ptr(ybuf[PAD:]), no)
    breaches = []
    for label, buf, before, width in (("input", ubuf, ubefore, ni), ("parameter", pbuf, pbefore, npar)):
        after = buf.tobytes()
        if after[:8 * PAD] != before[:8 * PAD] or after[8 * (PAD + width):] != before[8 * (PAD + width):]:
            breaches.append(f"write next to the {label} vector")
        if after[8 * PAD:8 * (PAD + width)] != before[8 * PAD:8 * (PAD + width)]:
            breaches.append(f"write into the {label} vector")
    yafter = ybuf.tobytes()
    if yafter[:8 * PAD] != yfill[:8 * PAD]:
        breaches.append("write before the output vector")
    if yafter[8 * (PAD + no):] != yfill[8 * (PAD + no):]:
        breaches.append("write past the output vector")
    return status, ybuf[PAD:PAD + no].copy(), breaches


@pytest.fixture
def doctest_plant(doctest_namespace):
    """What the docstring examples take as given: ``hydrokit``, and ``fs``, the seawater example plant,
    with ``res = fs.solve()`` (a fresh plant for each test)."""
    import pathlib

    import hydrokit
    from hydrokit.flowsheet import load_plant

    fs = load_plant(pathlib.Path(__file__).resolve().parents[1] / "examples" / "seawater_ro.toml")
    doctest_namespace.update(hydrokit=hydrokit, fs=fs, res=fs.solve())
    return doctest_namespace
