"""hydrokit.grid: named axes, their Cartesian product, a table of results."""

import sys

import numpy as np
import pytest

import hydrokit
from conftest import load, same_bits
from hydrokit.layout import LayoutError, layout


@pytest.fixture
def no_pandas(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)  # import pandas now raises ImportError


def test_columns_order_and_values(no_pandas):
    pressures, flows = [20.0, 40.0, 60.0], [2e-4, 3e-4]
    t = hydrokit.grid("osmomech", feed_pressure_bar=pressures, feed_flow=flows, recovery=0.5)
    assert isinstance(t, dict)
    outputs = [s.name for s in layout("osmomech").output_slots_default]
    assert list(t) == ["feed_pressure_bar", "feed_flow", "recovery", *outputs]
    # The first axis varies slowest.
    assert t["feed_pressure_bar"].tolist() == [20.0, 20.0, 40.0, 40.0, 60.0, 60.0]
    assert t["feed_flow"].tolist() == flows * 3
    assert t["recovery"].tolist() == [0.5] * 6
    m = load("osmomech")
    for i in range(6):
        u, p = layout("osmomech").vectors(feed_pressure_bar=t["feed_pressure_bar"][i],
                                          feed_flow=t["feed_flow"][i], recovery=0.5)
        y = m.run(u, p)
        assert same_bits([t[name][i] for name in outputs], y)


def test_dataframe_when_pandas_is_installed():
    pd = pytest.importorskip("pandas")
    t = hydrokit.grid("pump", feed_flow=[1e-3, 2e-3], pressure_rise_bar=5)
    assert isinstance(t, pd.DataFrame)
    assert list(t.columns[:3]) == ["feed_flow", "pressure_rise_bar", "flow"]
    assert t["pump_power_kw"].iloc[1] == pytest.approx(2 * t["pump_power_kw"].iloc[0])


@pytest.mark.parametrize("axes, rows", [({}, 1), ({"feed_flow": 1e-3, "head_m": 3}, 1),
                                        ({"feed_flow": [], "head_m": [1, 2]}, 0),
                                        ({"feed_flow": np.linspace(0, 1, 4), "head_m": (1, 2, 3)}, 12)])
def test_row_counts(no_pandas, axes, rows):
    t = hydrokit.grid("pump", **axes)
    assert {len(c) for c in t.values()} == {rows}
    assert list(t)[:len(axes)] == list(axes)


def test_output_names_that_are_also_axes(no_pandas):
    # recoupsimple has a parameter and an output both called outlet_pressure_bar.
    t = hydrokit.grid("recoupsimple", outlet_pressure_bar=[10.0, 20.0])
    assert t["outlet_pressure_bar"].tolist() == [10.0, 20.0]
    assert "y.outlet_pressure_bar" in t


def test_prefixed_names(no_pandas):
    t = hydrokit.grid("pump", **{"u.temperature_c": [10.0, 30.0]})
    assert t["u.temperature_c"].tolist() == [10.0, 30.0]
    assert t["temperature_c"].tolist() == [10.0, 30.0]  # the output passes the temperature through


def test_outputs_that_move_with_the_parameters(no_pandas):
    # The pump's result block follows the last carried component.
    t = hydrokit.grid("pump", component_count=[0, 2, 4], feed_flow=1e-3)
    m = load("pump")
    lay = layout("pump")
    for i, count in enumerate(t["component_count"]):
        u, p = lay.vectors(component_count=count, feed_flow=1e-3)
        named = lay.outputs(m.run(u, p), p)
        for name in {s.name for s in lay.output_slots_default}:
            value = t[name][i]
            assert same_bits(value, named[name]) if name in named else np.isnan(value)
    assert np.isnan(t["component1_conc"][0]) and not np.isnan(t["component2_conc"][1])


@pytest.mark.parametrize("axes, error", [
    ({"no_such_slot": 1.0}, LayoutError),
    ({"feed_flow": [1.0], "u.feed_flow": [2.0]}, ValueError),
    ({"feed_flow": [[1.0, 2.0]]}, ValueError),
    ({"feed_flow": ["a"]}, ValueError),
])
def test_axis_errors(axes, error):
    with pytest.raises(error):
        hydrokit.grid("pump", **axes)
