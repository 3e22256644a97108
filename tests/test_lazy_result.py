"""A solve builds its table columns on first use: every accessor gives what the sweep row gives, bit for bit."""

import pathlib

import numpy as np
import pytest

from hydrokit.checks import findings
from hydrokit.costing import costs_from_row
from hydrokit.flowsheet import FlowsheetError
from hydrokit.flowsheet.plantfile import load

EXAMPLES = sorted((pathlib.Path(__file__).resolve().parents[1] / "examples").glob("*.toml"))


def same(a, b):
    """Bitwise equal values (NaN equal to NaN), through dicts, lists and dataclasses."""
    if isinstance(a, float) or isinstance(b, float):
        return isinstance(a, float) and isinstance(b, float) and a.hex() == b.hex()
    if isinstance(a, dict):
        return isinstance(b, dict) and list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if hasattr(a, "__dataclass_fields__"):
        return type(a) is type(b) and same(vars(a), vars(b))
    return a == b


def accessors(res, fs):
    """Every public value of a result, the lazily built ones read before the whole row."""
    plan = res._plan
    got = {"status": (res.converged, res.iterations, res.residual)}
    got["outputs"] = {u: res.outputs(u) for u in plan.unit_outputs}
    got["streams"] = {s: res.stream(s) for s in (*plan.streams, *fs.products)}
    got["elements"] = {a: res.elements(a) for a in fs.arrays}
    got["flagged"], got["kpis"], got["power"] = res.flagged, res.kpis, res.power
    got["checks"], got["valid"] = res.checks, res.valid
    got["costs"] = res.costs()
    got["row"] = res.row
    return got


@pytest.mark.parametrize("case", ["default", "varied", "changed"])
@pytest.mark.parametrize("path", EXAMPLES, ids=lambda p: p.stem)
def test_every_accessor_equals_the_sweep_row(path, case):
    fs = load(path)
    feed = next(iter(fs.feeds))
    # A varied feed quantity: its column is the row matrix's, not the plan's output.
    values = {f"{feed}.flow": fs.feeds[feed].values["flow"] * 1.07} if case == "varied" else {}
    names = tuple(values)
    table = fs.evaluate(names, np.array([list(values.values())]).reshape(1, len(names)), threads=1)
    row = {k: float(v[0]) for k, v in table.items()}
    plan = fs.plan(names)
    expected_checks, expected_costs = findings(fs, plan, row), costs_from_row(fs, row, None)
    eager = fs.solve(**values)
    eager.row  # the row first: every other accessor then reads it
    eager = accessors(eager, fs)
    lazy = fs.solve(**values)
    if case == "changed":
        # Values first read after the flowsheet changed are still those of the point solved.
        fs.unit("extra", "pump")
        assert same(lazy.row, row) and same(lazy.checks, expected_checks) and lazy.flagged == int(row["flagged"])
        assert same(lazy.kpis, eager["kpis"]) and same(lazy.power, eager["power"]) and lazy.valid == eager["valid"]
        with pytest.raises(FlowsheetError, match="changed since"):
            lazy.stream(feed)
        return
    lazy = accessors(lazy, fs)
    assert same(lazy["row"], row) and same(eager, lazy)
    assert same(lazy["checks"], expected_checks) and same(lazy["costs"], expected_costs)
    assert same(lazy["kpis"], {k[4:]: v for k, v in row.items() if k.startswith("kpi.")})
    assert lazy["flagged"] == int(row["flagged"])
