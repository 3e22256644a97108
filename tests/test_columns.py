"""Column programs: derived table columns computed in one compiled call, bitwise those of NumPy."""

import pathlib

import numpy as np
import pytest

from hydrokit import _sweep
from hydrokit.batch.program import Program, TraceError
from hydrokit.costing import CostModel, CostParameters
from hydrokit.flowsheet.plantfile import load
from hydrokit.flowsheet.results import compiled_evaluator

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"


def same_bits(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and bool(np.all((a.view(np.uint64) == b.view(np.uint64)) | (np.isnan(a) & np.isnan(b))))


# Every derived column (power, KPIs, flagged, every cost line; a bioreactor's capacity cost takes
# a power, run by NumPy between compiled stretches) on rows with hostile values among them.
@pytest.mark.parametrize("plant, names, params", [
    ("seawater_ro", ["hp.pressure_rise_bar", "ro.membrane_area", "sea.flow"], None),
    ("seawater_ro", ["hp.pressure_rise_bar", "ro.membrane_area"], CostParameters(unit_classes={"hp": "low_pressure_pump"})),
    ("mbr_ro_reuse", ["hp.pressure_rise_bar", "ro.recovery", "sewage.flow"], None),
    ("ro_md_brine", ["hp.pressure_rise_bar", "ro.membrane_area", "md.membrane_area"], None),
    ("two_pass_ro", ["hp1.pressure_rise_bar", "ro2.membrane_area", "hp2.pressure_rise_bar"], None),
])
def test_compiled_columns_are_bitwise_those_of_the_table(plant, names, params):
    fs = load(EXAMPLES / f"{plant}.toml")
    model = CostModel(fs, params)
    derived = ("power.", "kpi.", "cost.", "flagged")

    def derive(table):
        full = dict(table)
        full.update(model.columns(full))
        return {k: v for k, v in full.items() if k.startswith(derived)}

    run = compiled_evaluator(fs, names, derive)
    base = fs.solve().row
    rng = np.random.default_rng(3)
    matrix = np.column_stack([base.get(n, base.get(f"y.{n}", 0.5)) * rng.uniform(0.0, 2.0, 400) for n in names])
    hostile = rng.random(matrix.shape) < 0.02
    matrix[hostile] = rng.choice([np.nan, np.inf, -np.inf, -1.0, 0.0, 1e300], hostile.sum())
    got = run(matrix)
    table = fs.evaluate(names, matrix)
    table.update(model.columns(table))
    assert run.labels == [k for k in table if k.startswith(derived)]
    for k, label in enumerate(run.labels):
        assert same_bits(got[k], table[label]), label
    # A table with the design checks counts the flagged units in their compiled pass; one without
    # counts them with NumPy.
    assert same_bits(fs.evaluate(names, matrix, columns=["flagged"])["flagged"], table["flagged"])


def test_operations_follow_numpy_on_nan_infinities_and_signed_zeros():
    special = np.array([np.nan, -np.nan, np.inf, -np.inf, 0.0, -0.0, 1.0, -2.5, 5e-324, 1e308])
    a, b = np.meshgrid(special, special)
    rows = np.column_stack([a.ravel(), b.ravel()])
    p = Program(rows_width=2, out_width=0)
    source = p.rows()
    x, y = source[:, 0], source[:, 1]
    with np.errstate(all="ignore"):
        cases = {
            "arithmetic": lambda x, y: (x + y) * (x - y) / y - -x,
            "maximum": np.maximum, "minimum": np.minimum,
            "clip": lambda x, y: np.clip(x, y, 1.0),
            "where": lambda x, y: np.where((x > y) | ~np.isfinite(y), x, y),
            "compare": lambda x, y: (x == y) * 1.0 + (x != y) * 2.0 + (x <= y) * 4.0 + (x >= y) * 8.0,
            "power": lambda x, y: x ** 0.5862 + 2.0 ** y,
        }
        run = p.compile([f(x, y) for f in cases.values()])
        got = run(rows, np.empty((len(rows), 0)))
        for k, (name, f) in enumerate(cases.items()):
            assert same_bits(got[k], f(rows[:, 0], rows[:, 1])), name


def test_a_branch_on_a_traced_column_is_refused():
    p = Program(rows_width=1, out_width=0)
    x = p.rows()[:, 0]
    with pytest.raises(TraceError):
        if x > 0:
            pass
    with pytest.raises(TraceError):
        p.compile([x + np.arange(3.0)])


# A program is checked once, when loaded: no instruction may reach outside its arrays.
@pytest.mark.parametrize("code, consts, table, message", [
    ([0, 5, 0, 0, 0], [], [], "register"),            # destination beyond the registers
    ([3, 0, 0, 9, 0], [], [], "register"),            # operand beyond the registers
    ([0, 0, 2, 0, 0], [], [], "row column"),
    ([1, 0, -1, 0, 0], [], [], "output column"),
    ([2, 0, 1, 0, 0], [1.0], [], "constant"),
    ([22, 0, 0, 1, 0], [], [1, 0], "group table"),    # a group longer than the table
    ([22, 0, 0, 1, 0], [], [0, 1, 7], "group column"),
    ([99, 0, 0, 0, 0], [], [], "unknown operation"),
    ([0, 0, 0, 0], [], [], "five words"),
])
def test_malformed_programs_are_refused(code, consts, table, message):
    with pytest.raises(ValueError, match=message):
        _sweep.program_load(np.array(code, dtype=np.int64), np.array(consts, dtype=np.float64),
                            np.array(table, dtype=np.int64), 2, 2, 3)


def test_a_run_checks_its_shapes():
    program = _sweep.program_load(np.array([1, 0, 2, 0, 0], dtype=np.int64), np.zeros(0), np.zeros(0, dtype=np.int64),
                                  1, 2, 3)
    regs, rows, out = np.empty((1, 4)), np.zeros((4, 2)), np.arange(12.0).reshape(4, 3)
    _sweep.program_run(program, regs, rows, out)
    assert regs[0].tolist() == [2.0, 5.0, 8.0, 11.0]
    for bad in ((np.empty((1, 5)), rows, out), (regs, np.zeros((4, 3)), out), (regs, rows, out[:, :2].copy()),
                (np.empty((2, 4)), rows, out)):
        with pytest.raises(ValueError):
            _sweep.program_run(program, *bad)


def test_arithmetic_on_truth_values_is_refused():
    # NumPy adds booleans as booleans (True + True is True): a program would give 2.0.
    p = Program(rows_width=1, out_width=0)
    x = p.rows()[:, 0]
    with pytest.raises(TraceError):
        (x > 0) + (x < 1)
    assert not ((x > 0) * 1.0 + (x < 1)).boolean      # a truth value with a number is a number
