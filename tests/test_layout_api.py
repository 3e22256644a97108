"""The Python layer around the slot tables: mislabelling guards, units, tables, package names."""

import math
import sys

import numpy as np
import pytest

import hydrokit
from conftest import MODELS
from hydrokit.layout import layout


@pytest.mark.parametrize("model", ["pump", "recoupsimple", "ultrasimple"])
def test_outputs_without_the_parameters_raise_where_positions_move(model):
    lay = layout(model)
    u, p = lay.vectors(**{lay.params[0].name: 2})
    y = lay.module.run(u, p)
    with pytest.raises(TypeError, match=f"{model}: the output positions depend on {lay.params[0].name}"):
        lay.outputs(y)
    named = lay.outputs(y, p)
    assert [k for k in named if k.endswith("_conc")] == [s.name for s in lay.output_slots(p) if s.name.endswith("_conc")]


def test_pump_outputs_follow_the_count():
    lay = layout("pump")
    u, p = lay.vectors(component_count=2)
    y = lay.module.run(u, p)
    assert lay.outputs(y, p)["pump_power_kw"] == y[5]  # not the specific energy at index 9


@pytest.mark.parametrize("model", MODELS)
def test_units_cover_every_vector_and_the_table_every_slot(model, monkeypatch):
    lay = layout(model)
    units = lay.units()
    p0 = lay.module.default_params()
    slots = [*lay.inputs, *lay.params, *(s for s in lay.output_slots(p0) if s.name)]
    assert all(units[s.name] == s.unit for s in slots)  # a shared name has one unit in every vector
    monkeypatch.setitem(sys.modules, "pandas", None)
    table = lay.table()
    assert table["name"] == [s.name for s in slots]
    assert table["default"][:len(lay.inputs) + len(lay.params)] == [*lay.module.default_input(), *p0]
    assert all(math.isnan(d) for d in table["default"][len(lay.inputs) + len(lay.params):])


def test_package_names_and_repr():
    assert set(hydrokit.__all__) <= set(dir(hydrokit))
    assert {"load", "models", "sweep", "grid", "layout", "Layout"} <= set(hydrokit.__all__)
    assert repr(layout("pump")) == ("<Layout pump: Hydraulic pump / pressure booster; "
                                    "7 inputs, 8 parameters, 13 outputs>")
    with pytest.raises(ValueError, match="did you mean 'pump'"):
        hydrokit.load("pmp")


def test_grid_frame_carries_units():
    pytest.importorskip("pandas")
    t = hydrokit.grid("recoupsimple", outlet_pressure_bar=[2.0, 3.0], feed_flow=np.array([1e-3]))
    assert list(t.attrs["units"]) == list(t.columns)
    assert t.attrs["units"]["outlet_pressure_bar"] == "bar" and t.attrs["units"]["y.outlet_pressure_bar"] == "bar"
    assert t.attrs["units"]["reclaimed_power_kw"] == "kW" and t.attrs["units"]["feed_flow"] == "m³/s"


@pytest.mark.parametrize("name", ["hydrokit", "hydrokit.layout", "hydrokit.batch", "hydrokit.flowsheet",
                                  "hydrokit.flowsheet.nodes", "hydrokit.flowsheet.build", "hydrokit.flowsheet.results",
                                  "hydrokit.flowsheet.plantfile"])
def test_docstring_examples_run(name, doctest_plant):
    import doctest
    import importlib

    result = doctest.testmod(importlib.import_module(name), extraglobs=dict(doctest_plant),
                             optionflags=doctest.ELLIPSIS)
    assert result.attempted > 0 and result.failed == 0


def test_ports_diagnostics_and_power_are_shown_when_a_table_has_them(monkeypatch, capsys):
    import dataclasses

    import hydrokit.cli.models as cli
    import hydrokit.tables.pump as table
    from test_generated import tool

    @dataclasses.dataclass(frozen=True)
    class Port:
        kind: str
        slots: tuple

    monkeypatch.setattr(table, "INLETS", {"feed": Port("stream", ("feed_flow", "temperature_c"))}, raising=False)
    monkeypatch.setattr(table, "OUTLETS", {"product": {"kind": "stream", "slots": ("flow",)}}, raising=False)
    monkeypatch.setattr(table, "DIAGNOSTICS", {"input_flag": "which input was replaced"}, raising=False)
    monkeypatch.setattr(table, "POWER", ("pump_power_kw",), raising=False)
    lay = hydrokit.layout.Layout("pump")
    monkeypatch.setattr(cli, "layout", lambda name: lay)
    assert cli.main(["pump", "--help"]) == 0
    text = capsys.readouterr().out
    assert "  feed  kind: stream; slots: feed_flow, temperature_c" in text
    assert "  product  kind: stream; slots: flow" in text
    assert "input_flag  which input was replaced" in text and "electric power: pump_power_kw" in text
    reference = tool("gen_reference")
    monkeypatch.setattr(reference, "layout", lambda name: lay)
    page = reference.model_page("pump")
    assert "| `feed` | kind: stream; slots: feed_flow, temperature_c |" in page
    assert "| `input_flag` | which input was replaced |" in page and "`pump_power_kw`" in page
