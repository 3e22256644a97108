"""Every model's ports name real slots with a known conversion, and carry water through."""

import importlib

import pytest

from hydrokit.layout import layout, models
from hydrokit.ports import CONVERSIONS, Ambient, Fixed, Same, Setting, Slot

QUANTITIES = ("flow", "temperature_c", "pressure_bar", "component")
KINDS = ("drive", "feed_pump", "recovered")


def table(model):
    return importlib.import_module(f"hydrokit.tables.{model}")


def table_units(model):
    t = table(model)
    return dict(t.INPUT) | dict(t.PARAMS), dict(t.OUTPUT)


def check_unit(port_unit, slot_unit, where):
    # A slot whose unit is a fixed one must be filled in that unit; a slot in
    # the caller's unit takes the unit the port documents.
    if slot_unit in CONVERSIONS:
        assert port_unit == slot_unit, where


@pytest.mark.parametrize("model", models())
def test_ports_name_existing_slots_and_align(model):
    t, lay = table(model), layout(model)
    settings, outputs = table_units(model)
    assert t.INLETS and t.OUTLETS
    for name, inlet in t.INLETS.items():
        slots = [inlet.flow, inlet.temperature_c, inlet.pressure_bar, *(inlet.components or ())]
        for slot in filter(None, slots):
            lay.resolve(slot.name)
            check_unit(slot.unit, settings[slot.name], (model, name, slot))
    for name, outlet in t.OUTLETS.items():
        inlet = t.INLETS[outlet.of]
        comps = outlet.components
        if isinstance(comps, Same):
            assert comps.port == outlet.of and comps.quantity == "component"
            comps = ()
        else:
            # Position i of the outlet holds the component of position i of its inlet.
            assert inlet.components is not None and len(comps) == len(inlet.components), (model, name)
        for source in (outlet.flow, outlet.temperature_c, outlet.pressure_bar, *comps):
            if isinstance(source, Slot):
                check_unit(source.unit, outputs[source.name], (model, name, source))
            elif isinstance(source, Setting):
                lay.resolve(source.name)
                check_unit(source.unit, settings[source.name], (model, name, source))
            elif isinstance(source, Same):
                assert source.port in t.INLETS and source.quantity in QUANTITIES, (model, name)
            elif isinstance(source, Ambient):
                assert source is outlet.pressure_bar, (model, name)   # a pressure only
            else:
                assert isinstance(source, Fixed), (model, name, source)
    for output, kind in t.POWER:
        # kW, or the bioreactors' energy rate, in kW with the flow in m³/h and kWh/m³.
        assert outputs[output] in ("kW", "energy per volume × flow"), (model, output)
        assert kind in KINDS
    assert set(t.FLAGS) <= set(t.DIAGNOSTICS) <= set(outputs)
    for name in (getattr(t, "COUNT_SLOT", None), *getattr(t, "HELD", ())):
        if name:
            assert lay.resolve(name)[0] == "p"
    for group in getattr(t, "EXCLUSIVE", ()):
        assert set(group) <= set(t.OUTLETS)


def into(value, unit):
    op = CONVERSIONS[unit]
    return value if op is None else value * op[1] if op[0] == "mul" else value / op[1]


def back(value, unit):
    op = CONVERSIONS[unit]
    return value if op is None else value / op[1] if op[0] == "mul" else value * op[1]


def run_by_hand(model, streams):
    """Fill every inlet's slots from a stream, run, and read every outlet's flow back."""
    t, lay = table(model), layout(model)
    u, p = lay.vectors()
    if getattr(t, "COUNT_SLOT", None):
        p[lay.param_index(t.COUNT_SLOT)] = 1
    for name, inlet in t.INLETS.items():
        stream = streams[name]
        fills = [(inlet.flow, stream["flow"]), (inlet.temperature_c, stream["temperature_c"]),
                 (inlet.pressure_bar, stream["pressure_bar"])]
        fills += list(zip(inlet.components or (), [stream["salt"]]))
        for slot, value in fills:
            if slot is not None:
                vector, index = lay.resolve(slot.name)
                (u if vector == "u" else p)[index] = into(value, slot.unit)
    y = lay.outputs(lay.module.run(u, p), p)
    flows = {}
    for name, outlet in t.OUTLETS.items():
        if isinstance(outlet.flow, Same):
            flows[name] = streams[outlet.flow.port]["flow"]
        else:
            flows[name] = back(y[outlet.flow.name], outlet.flow.unit)
    return flows


@pytest.mark.parametrize("model", models())
def test_outlet_flows_add_up_to_the_inlets(model):
    # An outlet read back in another unit than its inlet was filled in, or
    # from the wrong slot (a stage instead of the block), breaks the balance.
    streams = {name: {"flow": 2e-3, "temperature_c": 30.0, "pressure_bar": 20.0, "salt": 1000.0}
               for name in table(model).INLETS}
    flows = run_by_hand(model, streams)
    exclusive = getattr(table(model), "EXCLUSIVE", ())
    for group in exclusive[1:]:
        for name in group:
            flows.pop(name)
    assert sum(flows.values()) == pytest.approx(sum(s["flow"] for s in streams.values()), rel=1e-9)


def test_readme_ports_table_names_every_port():
    import pathlib
    import re

    text = (pathlib.Path(__file__).resolve().parents[1] / "README.md").read_text(encoding="utf-8")
    section = text.split("### Ports", 1)[1].split("\n### ", 1)[0]
    rows = {m.group(1): m.group(0) for m in re.finditer(r"^\| `(\w+)` \|.*$", section, flags=re.M)}
    assert list(rows) == list(models())
    for model in models():
        t = table(model)
        row = rows[model]
        # A row may describe its ports "as `other`": read that row as well.
        for other in re.findall(r"as `(\w+)`", row):
            row += rows[other]
        for port in [*t.INLETS, *t.OUTLETS]:
            assert f"`{port}`" in row, (model, port)
