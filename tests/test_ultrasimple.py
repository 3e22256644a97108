import ctypes
import math

import numpy as np
import pytest

from conftest import guarded_run, load, same_bits
from hydrokit.layout import layout

m = load("ultrasimple")
lay = layout("ultrasimple")
DBL = ctypes.POINTER(ctypes.c_double)


class Config(ctypes.Structure):
    _fields_ = [("solute_count", ctypes.c_int32), ("water_recovery", ctypes.c_double), ("removals", DBL),
                *((f, ctypes.c_double) for f in ("energy_intensity", "pressure_drop", "water_density",
                                                 "mass_factor", "hours_factor", "flow_floor"))]


class Result(ctypes.Structure):
    _fields_ = [*((f, ctypes.c_double) for f in ("permeate_flow", "concentrate_flow", "electric_power",
                                                 "daily_energy", "removed_solute_load")),
                ("status", ctypes.c_int32)]


split_fn = ctypes.CDLL(m.__file__).ultrasimple_split
split_fn.argtypes = [ctypes.c_double] * 3 + [DBL, ctypes.POINTER(Config)] + [DBL] * 6 + [ctypes.POINTER(Result)]
split_fn.restype = ctypes.c_int32
SENTINEL = 7.0e77


def ptr(a):
    return a.ctypes.data_as(DBL)


def split(q, conc, n=None, removals=(0.97, 0.3, 0.0, 0.0), recovery=0.95, null=None):
    """Run the split with sentinel-filled outputs, two slots longer than n."""
    conc = np.asarray(conc, dtype=float)
    n = len(conc) if n is None else n
    rem = np.asarray(removals, dtype=float)
    cfg = Config(n, recovery, ptr(rem) if removals is not None else None,
                 0.231344952, 0.0, 1000.0, 0.001, 1 / 24, 1e-12)
    out = {k: np.full(len(conc) + 2, SENTINEL) for k in ("pt", "pp", "cp", "ct", "cpr", "cc")}
    res = Result(*[SENTINEL] * 5, -7)
    args = [q, 20.0, 1.0, ptr(conc), ctypes.byref(cfg), *(ptr(out[k]) for k in out), ctypes.byref(res)]
    if null is not None:
        args[null] = None
    return split_fn(*args), out, res


def test_defaults():
    y = lay.outputs(m.run(), m.default_params())
    assert y["permeate_flow"] == 949.921 and y["concentrate_flow"] == 50.079
    assert [y[f"solute{j}_permeate_conc"] for j in range(1, 5)] == pytest.approx(
        [3.1582, 36.845, 10.527, 526.36], rel=5e-5)
    assert [y[f"solute{j}_concentrate_conc"] for j in range(1, 5)] == pytest.approx(
        [1936.94, 299.527, 0, 0], rel=5e-6)
    assert y["permeate_pressure"] == y["concentrate_pressure"] == 1.0
    assert y["permeate_temperature_c"] == y["concentrate_temperature_c"] == 20.0
    assert y["electric_power_kw"] == pytest.approx(9.639373, rel=1e-12)
    assert y["daily_energy_kwh"] == pytest.approx(231.344952, rel=1e-12)
    assert y["removed_solute_load"] == 112000.0
    assert split(1000.0, [100, 50, 10, 500])[0] == 0


@pytest.mark.parametrize("count", [0.4, 0.0, -3.0, math.nan, math.inf, 1e12, 2147483647.5])
def test_no_solutes_leaves_zeros(count):
    u, p = lay.vectors(solute_count=count)
    assert same_bits(guarded_run(m, u, p), np.zeros(17))


@pytest.mark.parametrize("count", [4.4, 3.5, 5.0, 6.7, 1e9, 2147483647.0])
def test_counts_of_four_and_above_read_as_four(count):
    u, p = lay.vectors(solute_count=count)
    assert same_bits(guarded_run(m, u, p), m.run())  # sentinels check index 16 is the last written


def test_fewer_solutes_shift_the_blocks():
    u = np.array([1000.0, 20.0, 1.0, 100.0, 50.0, np.nan, np.nan])  # solutes 3 and 4 are not read
    p = np.array([2.0, 0.95, 0.97, 0.3, 0.231344952, 0.0, 1000.0, 0.001, 1 / 24, np.nan, np.nan])
    y = guarded_run(m, u, p)
    _, out, res = split(1000.0, [100.0, 50.0], removals=(0.97, 0.3))
    expect = [res.permeate_flow, 20.0, 1.0, *out["cp"][:2], res.concentrate_flow, 20.0, 1.0, *out["cc"][:2],
              res.electric_power, res.daily_energy, res.removed_solute_load, 0, 0, 0, 0]
    assert same_bits(y, expect)
    assert lay.outputs(y, p)["removed_solute_load"] == 97000.0 + 15000.0


def test_full_recovery_with_full_removal():
    # Solute 1's whole mass goes to a concentrate that holds no water.
    u, p = lay.vectors(water_recovery=1.0, solute1_removal=1.0, solute2_removal=0.0)
    y = lay.outputs(m.run(u, p), p)
    mass = (100.0 * 1000.0) * 0.001
    assert y["concentrate_flow"] == mass / 1000.0
    assert y["solute1_concentrate_conc"] == mass / y["concentrate_flow"] / 0.001
    assert y["solute2_concentrate_conc"] == 0.0


@pytest.mark.parametrize("q, conc, status", [
    (-1.0, [100, 50, 10, 500], 1),
    (math.nan, [100, 50, 10, 500], 1),
    (1000.0, [100, -5, 10, 500], 2),
    (-1.0, [100, math.inf, 10, 500], 2),
    (1000.0, [2e6, 50, 10, 500], 3),          # dissolved mass above density × flow
    (1000.0, [2e6, math.nan, 10, 500], 3),
])
def test_split_warnings(q, conc, status):
    got, out, res = split(q, conc)
    assert got == status == res.status
    assert all(v == v and v != SENTINEL for v in (res.permeate_flow, res.concentrate_flow))
    assert all((out[k][4:] == SENTINEL).all() for k in ("cp", "cc"))


def test_split_bad_concentration_counts_as_zero():
    _, bad, rb = split(1000.0, [100, 50, 10, -5])
    _, zero, rz = split(1000.0, [100, 50, 10, 0])
    assert same_bits(bad["cp"], zero["cp"]) and same_bits(bad["cc"], zero["cc"])
    assert bytes(rb)[:40] == bytes(rz)[:40]


@pytest.mark.parametrize("n, null, status", [(0, None, 101), (-5, None, 101)] +
                         [(4, i, 100) for i in (3, 4, *range(5, 12))])
def test_split_refusals_write_nothing(n, null, status):
    got, out, res = split(1000.0, [100, 50, 10, 500], n=n, null=null)
    assert got == status
    assert all((a == SENTINEL).all() for a in out.values()) and res.status == -7


def test_split_takes_any_count_and_null_removals():
    conc = [100.0, 50.0, 10.0, 500.0, 20.0, 30.0]
    status, out, res = split(1000.0, conc, removals=None)
    assert status == 0 and res.removed_solute_load == 0.0
    assert (out["cc"][:6] == 0.0).all() and (out["cc"][6:] == SENTINEL).all()
    assert out["cp"][:6] == pytest.approx(np.array(conc) / 0.95, rel=1e-3)
