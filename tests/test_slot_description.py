"""The slot tables are the one description of every model: the compiled layouts and defaults follow them.

The committed stubs (src/hydrokit/<model>.pyi) list every vector slot with its
index, unit and default: they are the published record of the module surface,
against which a change of order in a table shows.
"""

import dataclasses
import importlib.util
import math
import pathlib
import re

import numpy as np
import pytest

from conftest import MODELS, load
from hydrokit import ports

ROOT = pathlib.Path(__file__).resolve().parents[1]
SLOT_LINE = re.compile(r"^\s+(\d+)  (\S+) \[(.*)\](?: = (\S+))?$")
SECTIONS = {"Inputs u": "In", "Parameters p": "Par", "Outputs y": "Out"}


def gen_slots():
    spec = importlib.util.spec_from_file_location("gen_slots", ROOT / "tools" / "gen_slots.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def table(model):
    return importlib.import_module(f"hydrokit.tables.{model}")


def published(model):
    """{"In"/"Par"/"Out": [(name, default text or None)]} as the committed stub lists them."""
    doc = (ROOT / "src" / "hydrokit" / f"{model}.pyi").read_text(encoding="utf-8").split('"""')[1]
    out, section = {}, None
    for line in doc.splitlines():
        section = next((v for k, v in SECTIONS.items() if line.startswith(k)), section)
        m = SLOT_LINE.match(line)
        if m and section:
            assert int(m[1]) == len(out.setdefault(section, []))
            out[section].append((m[2], m[4]))
    return out


def generated(header):
    """{"In"/"Par"/"Out": [(name, default or None)]} from a generated header's enums and arrays."""
    enums = {title: [line.split(",")[0].strip() for line in body.splitlines()]
             for title, body in re.findall(r"namespace (\w+) \{\nenum : int32_t \{\n(.*?)\n    width", header, re.S)}
    arrays = {name: [float.fromhex(v) for v in re.findall(r"^\s+(-?0x[0-9a-fp.+-]+),", body, re.M)]
              for name, body in re.findall(r"double (\w+)\[\] = \{\n(.*?)\n\};", header, re.S)}
    return {"In": list(zip(enums["In"], arrays["default_input"])),
            "Par": list(zip(enums["Par"], arrays["default_params"])),
            "Out": [(name, None) for name in enums["Out"]]}


def differences(model, header):
    """Where a generated header departs from the published layout of the model."""
    from hydrokit.layout import format_value

    found = []
    pub, gen = published(model), generated(header)
    for section in ("In", "Par", "Out"):
        if len(pub[section]) != len(gen[section]):
            found.append(f"{section}: {len(gen[section])} slots, published {len(pub[section])}")
        for i, ((name, text), (gname, value)) in enumerate(zip(pub[section], gen[section])):
            if name != gname:
                found.append(f"{section}[{i}] is {gname}, published {name}")
            elif text is not None and format_value(value) != text:
                found.append(f"{section}[{i}] {name} defaults to {value!r}, published {text}")
    return found


@pytest.mark.parametrize("model", MODELS)
def test_compiled_widths_and_defaults_are_those_of_the_table(model):
    m, t = load(model), table(model)
    assert (m.INPUT_WIDTH, m.PARAM_WIDTH, m.OUTPUT_WIDTH) == (len(t.INPUT), len(t.PARAMS), len(t.OUTPUT))
    for vector, given, slots in ((m._DEFAULT_INPUT, t.DEFAULT_INPUT, t.INPUT),
                                 (m._DEFAULT_PARAMS, t.DEFAULT_PARAMS, t.PARAMS)):
        expected = np.array([given[name] for name, _ in slots])
        assert np.array_equal(vector.view(np.uint64), expected.view(np.uint64))


@pytest.mark.parametrize("model", MODELS)
def test_generated_layout_is_the_published_one(model):
    assert differences(model, gen_slots().model_header(model)) == []


@pytest.mark.parametrize("model, group, a, b", [
    ("pump", "PARAMS", "pump_efficiency", "motor_efficiency"),   # the same product: results cannot tell
    ("osmolumped", "PARAMS", "reserved_10", "reserved_11"),      # neither read by the core
    ("osmomech", "INPUT", "temperature_c", "feed_pressure_bar"),
    ("osmolumped", "OUTPUT", "permeate_flow", "concentrate_flow"),
])
def test_two_names_swapped_in_a_table_are_seen(monkeypatch, model, group, a, b):
    t = table(model)
    swap = {a: b, b: a}
    monkeypatch.setattr(t, group, tuple((swap.get(name, name), unit) for name, unit in getattr(t, group)))
    found = differences(model, gen_slots().model_header(model))
    assert any(a in line and b in line for line in found), found


@pytest.mark.parametrize("change, message", [
    (lambda t: t.DEFAULT_PARAMS.pop("head_m"), r"no default for \['head_m'\]"),
    (lambda t: t.DEFAULT_PARAMS.update(head_height=1.0), r"no slot for \['head_height'\]"),
    (lambda t: t.DEFAULT_PARAMS.update(head_m=0), "must be a finite float"),
    (lambda t: t.DEFAULT_INPUT.update(feed_flow=math.nan), "must be a finite float"),
    (lambda t: setattr(t, "PARAMS", t.PARAMS + (("head_m", "m"),)), "appears twice"),
    (lambda t: setattr(t, "PARAMS", t.PARAMS + (("head-m", "m"),)), "not a C\\+\\+ name"),
])
def test_the_generator_refuses_a_broken_table(monkeypatch, change, message):
    t = table("pump")
    monkeypatch.setattr(t, "DEFAULT_INPUT", dict(t.DEFAULT_INPUT))
    monkeypatch.setattr(t, "DEFAULT_PARAMS", dict(t.DEFAULT_PARAMS))
    monkeypatch.setattr(t, "PARAMS", t.PARAMS)
    change(t)
    with pytest.raises(ValueError, match=message):
        gen_slots().model_header("pump")


@pytest.mark.parametrize("model, group, moved", [
    ("osmomech", "OUTPUT", "solute3_rejection"),     # a member out of its block: the core reads first + i
    ("ultramech", "INPUT", "class4_feed_conc"),
    ("biosimple", "PARAMS", "component7_removal"),
])
def test_the_generator_refuses_a_broken_block(monkeypatch, model, group, moved):
    t = table(model)
    # the member moved to the front of the vector
    slots = [s for s in getattr(t, group) if s[0] == moved] + [s for s in getattr(t, group) if s[0] != moved]
    monkeypatch.setattr(t, group, tuple(slots))
    with pytest.raises(ValueError, match="not in consecutive slots"):
        gen_slots().model_header(model)


def _port_slots(x):
    if isinstance(x, (ports.Slot, ports.Setting)):
        yield x
    elif dataclasses.is_dataclass(x) and not isinstance(x, type):
        for f in dataclasses.fields(x):
            yield from _port_slots(getattr(x, f.name))
    elif isinstance(x, (tuple, list)):
        for item in x:
            yield from _port_slots(item)


@pytest.mark.parametrize("model", MODELS)
def test_port_slots_name_table_slots_in_their_units(model):
    """A port's unit is the table's wherever the table's is a stream unit; it chooses one only
    for slots in a caller's unit (the flowsheet's choice)."""
    t = table(model)
    units = {}
    for group in (t.INPUT, t.PARAMS, t.OUTPUT):
        for name, unit in group:
            units.setdefault(name, set()).add(unit)
    for port in (*t.INLETS.values(), *t.OUTLETS.values()):
        for s in _port_slots(port):
            assert s.name in units, f"{model}: port slot {s.name} is in no table"
            fixed = units[s.name] & set(ports.CONVERSIONS)
            assert not fixed or s.unit in fixed, f"{model}: {s.name} in {s.unit}, table {units[s.name]}"
