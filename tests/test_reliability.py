"""Bounded work, refused non-finite values, no stale state, and how commands end."""

import itertools
import math
import os
import subprocess
import sys
from decimal import Decimal, localcontext
from pathlib import Path

import numpy as np
import pytest

import hydrokit
from hydrokit.costing import CostParameters, crf
from hydrokit.flowsheet import FlowsheetError
from hydrokit.flowsheet.build import MAX_PORTS, PLAN_CACHE
from hydrokit.flowsheet.plantfile import PlantFileError, load, loads

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
SEAWATER = EXAMPLES / "seawater_ro.toml"


def one_line_error(kind, fn, *args, **kwargs):
    with pytest.raises(kind) as info:
        fn(*args, **kwargs)
    text = str(info.value)
    assert "\n" not in text and len(text) < 600, text[:200]
    return text


@pytest.mark.parametrize("entry, limit", [
    ("[mixers.m]\ninlets = 100000000000", f"{MAX_PORTS:_}"),
    ("[splitters.s]\nfractions = [" + "0.0, " * MAX_PORTS + "1.0]", f"{MAX_PORTS:_}"),
    ("components = [" + ", ".join(f'"c{i}"' for i in range(5000)) + "]", "1_000"),
    ("max_iterations = 99999999999999999999", "1_000_000"),
    ("[feeds.a]\nflow = 1" + "0" * 400, "finite"),
    ("[feeds.a]\nflow = nan", "finite"),
    ("tolerance = inf", "finite"),
    ("x = " + "[" * 5000 + "]" * 5000, "nested deeper than 16"),
    ('[units."hp\\n"]\nmodel = "pump"', "identifier"),
    ('[arrays.ro]\nmodel = "osmolumped"\nstages = [[4, 100000000000]]\nelement_area = 37', "at most 50"),
    ('[arrays.ro]\nmodel = "osmolumped"\nstages = [[4, 6], [2, 6]]\nelement_area = 37\n[arrays.ro.stage2]\n'
     'booster_bar = inf', "finite"),
    ("[heaters.h]\noutlet_temperature_c = nan", "finite"),
    ("[coolers.c]\nduty_kw = 1" + "0" * 400, "finite"),
    ("".join(f"[heaters.h{i}]\nduty_kw = 1\n" for i in range(20_001)), "20_000"),
])
def test_plant_file_beyond_a_limit_is_one_line(entry, limit):
    text = entry if entry.startswith(("components", "max_", "tol", "x =")) else 'components = ["salt"]\n' + entry
    assert limit in one_line_error(PlantFileError, loads, text, "plant.toml")


def test_plant_file_without_end_is_refused(tmp_path):
    big = tmp_path / "big.toml"
    big.write_bytes(b"#" * (16 * 1024 * 1024 + 1))
    for path in (big, "/dev/zero"):
        assert "at most that long" in one_line_error(PlantFileError, load, path)


def chain(n, loop=False):
    """n pumps in a row, each adding 1 mbar; with ``loop`` a fifth of the last outlet returns to the first."""
    fs = hydrokit.Flowsheet(components=["salt"])
    fs.feed("w", flow=1e-3, salt=500.0)
    if loop:
        fs.mixer("mix")
        fs.splitter("split", [0.2, 0.8])
        fs.connect("w", "mix.inlet1")
    for i in range(n):
        fs.unit(f"p{i}", "pump", pressure_rise_bar=1e-3)
        fs.connect(("mix" if loop else "w") if i == 0 else f"p{i - 1}", f"p{i}")
    if loop:
        fs.connect(f"p{n - 1}", "split")
        fs.connect("split.outlet1", "mix.inlet2")
        fs.product("out", "split.outlet2")
    else:
        fs.product("out", f"p{n - 1}")
    return fs


@pytest.mark.parametrize("n, loop", [(10_000, False), (2_000, True)])
def test_large_plants_build_and_solve(n, loop):
    res = chain(n, loop).solve()
    out = res.stream("out")
    assert res.converged and res.flagged == 0
    # Each pump adds 1 mbar to the lowest inlet pressure (1 bar); in the loop the mixer takes the
    # lower of feed and recycle, the feed's 1 bar. Mass: what leaves is what came in.
    assert out["pressure_bar"] == pytest.approx(1.0 + n * 1e-3, rel=1e-9)
    assert out["flow"] == pytest.approx(1e-3, rel=1e-9) and out["salt"] == pytest.approx(500.0, rel=1e-9)


def test_plan_cache_is_bounded_and_order_free():
    fs = load(EXAMPLES / "two_pass_ro.toml")
    point = {"sea.salt": 30000.0, "hp1.pressure_rise_bar": 60.0, "sea.flow": 1e-3, "hp1.pump_efficiency": 0.8}
    first = None
    for names in itertools.permutations(point):
        res = fs.solve(**{n: point[n] for n in names})
        assert list(res.row)[:4] == list(names)  # the row as a sweep over that order has it
        first = first or res.row
        assert all(np.float64(res.row[c]).tobytes() == np.float64(first[c]).tobytes() for c in first)
    assert len(fs._plans) == 1
    names = list(point) + ["sea.temperature_c", "erd.recovery_efficiency"]
    for k in range(1, len(names) + 1):
        for subset in itertools.combinations(names, k):  # 63 distinct sets of names
            fs.evaluate(subset, [[fs.solve().row.get(n, 0.9) for n in subset]])
    assert len(fs._plans) <= PLAN_CACHE


@pytest.mark.parametrize("plant, name", [("seawater_ro", "hp.pressure_rise_bar"), ("ro_md_brine", "md.pump_pressure_bar"),
                                         ("two_pass_ro", "sea.pressure_bar"), ("mbr_ro_reuse", "sewage.flow"),
                                         ("ro_md_brine", "heat.outlet_temperature_c"),
                                         ("brackish_array", "ro.stage1.vessels"), ("brackish_array", "ro.stage2.booster_bar")])
@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf])
def test_non_finite_values_flag_the_row_and_are_refused_by_solve(plant, name, value):
    fs = load(EXAMPLES / f"{plant}.toml")
    table = fs.evaluate([name], [[value], [fs.solve().row.get(name, 1.0)]])
    assert table["flagged"][0] >= 1 and table["checks.errors"][0] >= 1
    assert "finite" in one_line_error(FlowsheetError, fs.solve, **{name: value})


@pytest.mark.parametrize("value", [None, "60", 10**400, [60]])
def test_solve_refuses_what_is_not_a_finite_number(value):
    fs = load(SEAWATER)
    one_line_error(FlowsheetError, fs.solve, **{"hp.pressure_rise_bar": value})


@pytest.mark.parametrize("make", [
    lambda fs: fs.feed("x\n", flow=1e-3),
    lambda fs: fs.unit("hp2", "pump", pressure_rise_bar=math.inf),
    lambda fs: fs.feed("y", flow=10**400),
    lambda fs: fs.product("hp", "ro.concentrate"),
    lambda fs: fs.mixer("m", 10**11),
    lambda fs: hydrokit.Flowsheet(tolerance=math.inf),
    lambda fs: hydrokit.Flowsheet(max_iterations=10**20),
    lambda fs: fs.array("a", "osmolumped", stages=[(4, 10**11)], element_area=37),
    lambda fs: fs.array("a", "osmolumped", stages=[(10**400, 6)], element_area=37),
    lambda fs: fs.array("a", "osmolumped", stages=[(4, 6)] * 21, element_area=37),
    lambda fs: fs.array("a", "osmolumped", stages=[(4, 6)], element_area=37, datasheet={"permeate_flow": math.nan}),
    lambda fs: [fs.array(f"a{i}", "osmolumped", stages=[(1, 50)] * 4, element_area=37) for i in range(101)],
    lambda fs: fs.heater("h", outlet_temperature_c=math.inf),
    lambda fs: fs.cooler("c", duty_kw=10**400),
])
def test_building_refuses_in_one_line(make):
    one_line_error(FlowsheetError, make, load(SEAWATER))


def test_no_stale_state():
    fs = load(SEAWATER)
    res = fs.solve()
    with pytest.raises(TypeError):
        fs.feeds["sea"].values["flow"] = 2e-3
    with pytest.raises(TypeError):
        fs.units["hp"].settings["pressure_rise_bar"] = 10.0
    with pytest.raises(ValueError):
        fs.units["hp"].p0[0] = 1.0
    arrayed = load(EXAMPLES / "brackish_array.toml")
    with pytest.raises((AttributeError, TypeError)):
        arrayed.arrays["ro"].vessels[0] = 9
    with pytest.raises(AttributeError):
        load(EXAMPLES / "ro_md_brine.toml").thermal["heat"].value = 90.0
    fs.unit("hp2", "pump")
    for read in (res.costs, lambda: res.stream("hp"), lambda: res.outputs("hp"), lambda: res.elements("ro")):
        assert "changed since this result" in one_line_error(FlowsheetError, read)
    fs.connect("erd", "hp2")  # the changed flowsheet solves, with a new plan
    assert fs.solve().stream("hp2")["flow"] == res.row["ro.concentrate.flow"]
    loop = load(EXAMPLES / "two_pass_ro.toml")
    assert loop.solve().converged
    loop.max_iterations = 1  # takes effect at the next solve
    assert not loop.solve().converged and loop.solve().iterations == 1


def reference_crf(rate, years):
    with localcontext() as ctx:
        ctx.prec = 700  # enough that 1 + rate keeps the smallest rates below
        w = Decimal(rate)
        return float(w / (1 - (1 + w) ** -Decimal(years)))


@pytest.mark.parametrize("rate", [1e-300, 3e-16, 1.1e-16, 1e-15, 1e-8, 0.0930734, 2.0])
@pytest.mark.parametrize("years", [1e-3, 30.0, 2000.0])
def test_crf_accurate_near_zero_rate_and_beyond(rate, years):
    assert crf(rate, years) == pytest.approx(reference_crf(rate, years), rel=4e-16)


@pytest.mark.parametrize("rate, years", [(math.nan, 30), (math.inf, 30), (-1.0, 30), (0.09, 0.0), (0.09, 1e-320),
                                         (10**400, 30), (None, 30)])
def test_crf_refuses_what_has_no_meaning(rate, years):
    one_line_error(ValueError, crf, rate, years)
    assert crf(1e308, 30) == 1e308 and crf(2.0, 2000) == 2.0  # no overflow: the limit w


@pytest.mark.parametrize("options", [{"popsize": 0}, {"popsize": -1}, {"seed": -1}, {"seed": 1.5},
                                     {"threads": 0}, {"rtol": math.nan}])
def test_optimiser_options_checked(options):
    fs = load(SEAWATER)
    one_line_error(ValueError, fs.optimize, "sec", {"hp.pressure_rise_bar": (40, 70)}, **options)
    assert "span" in one_line_error(ValueError, fs.optimize, "sec", {"hp.pressure_rise_bar": (-1e308, 1e308)})


def test_unhonourable_splitter_fractions_are_infeasible_points():
    with pytest.raises(ValueError, match="unit_classes"):
        CostParameters(unit_classes=5)
    fs = hydrokit.Flowsheet(components=["salt"])
    fs.feed("sea", flow=1e-3, salt=35000)
    fs.splitter("s", [0.4, 0.3, 0.3])
    fs.unit("hp", "pump", pressure_rise_bar=5)
    fs.connect("sea", "s")
    fs.connect("s.outlet1", "hp")
    fs.product("water", "hp")
    best = fs.optimize("kpi.product_flow", {"s.fraction1": (0, 1), "s.fraction2": (0, 1)}, maximize=True,
                       maxiter=5, seed=1)
    assert best.feasible and best.x["s.fraction1"] + best.x["s.fraction2"] <= 1.0 + 1e-9


def command(argv, cwd, closed=False, env=None):
    read, write = os.pipe()
    if closed:
        os.close(read)
    proc = subprocess.Popen([sys.executable, "-m", "hydrokit", *argv], cwd=cwd, stdout=write,
                            stderr=subprocess.PIPE, env={**os.environ, **(env or {})})
    os.close(write)
    if not closed:
        with os.fdopen(read, "rb") as out:
            out.read()
    return proc.wait(timeout=120), proc.stderr.read().decode()


@pytest.mark.parametrize("argv", [["costs", str(SEAWATER)], ["costs", str(SEAWATER), "--json"],
                                  ["optimize", str(SEAWATER), "--vary", "hp.pressure_rise_bar=40:70"]])
def test_closed_pipe_ends_with_141(argv, tmp_path):
    status, err = command(argv, tmp_path, closed=True)
    assert (status, err) == (141, "")


@pytest.mark.parametrize("out", ["noext", "outdir", "x.nope", "missing/x.png"])
def test_map_checks_its_picture_before_any_work(out, tmp_path):
    (tmp_path / "outdir").mkdir()
    status, err = command(["map", str(SEAWATER), "--vary", "hp.pressure_rise_bar=40:70:3",
                           "--vary", "sea.salt=30000:40000:3", "--out", out], tmp_path)
    assert status == 2 and len(err.splitlines()) == 1 and "--out" in err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["outdir"] and not any((tmp_path / "outdir").iterdir())


def test_ascii_output_replaces_what_it_cannot_hold(tmp_path):
    status, err = command(["costs", str(SEAWATER)], tmp_path, env={"PYTHONIOENCODING": "ascii"})
    assert (status, err) == (0, "")
