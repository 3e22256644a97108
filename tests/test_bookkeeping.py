"""Plant bookkeeping: pressure paid for once, components by kind, ambient pressure, heat counted."""

import importlib
import pathlib

import pytest

import hydrokit
from hydrokit.flowsheet import FlowsheetError, load_plant
from hydrokit.layout import models


def _pump_kw(flow_m3s, rise_bar, pump_eff=0.8, motor_eff=0.95):
    return flow_m3s * rise_bar * 1e5 / (pump_eff * motor_eff) / 1000.0


def _elements(layout):
    """Brackish water raised 14 bar by one pump, then two axial elements in series or in parallel."""
    fs = hydrokit.Flowsheet(components=["salt"])
    fs.feed("raw", flow=2e-3, salt=2000)
    fs.unit("hp", "pump", pressure_rise_bar=14, pump_efficiency=0.8)
    fs.unit("e1", "osmoaxial", membrane_area=37)
    fs.unit("e2", "osmoaxial", membrane_area=37)
    fs.connect("raw", "hp")
    fs.mixer("mix")
    if layout == "series":
        fs.connect("hp", "e1.feed")
        fs.connect("e1.concentrate", "e2.feed")
    else:
        fs.splitter("split", [0.5, 0.5])
        fs.connect("hp", "split")
        fs.connect("split.outlet1", "e1.feed")
        fs.connect("split.outlet2", "e2.feed")
    fs.connect("e1.permeate", "mix.inlet1")
    fs.connect("e2.permeate", "mix.inlet2")
    fs.product("water", "mix")
    return fs


@pytest.mark.parametrize("layout", ["series", "splitter"])
def test_only_the_pump_pays_for_the_pressure(layout):
    res = _elements(layout).solve()
    assert res.outputs("e2")["pump_power_kw"] > 0        # each element still reports its own feed pump
    assert res.power["e1"] == res.power["e2"] == 0
    assert res.kpis["electric_power_kw"] == pytest.approx(_pump_kw(2e-3, 14.0), rel=1e-12)


def _kell_density(t):
    return (999.83952 + 16.945176 * t - 7.9870401e-3 * t**2 - 46.170461e-6 * t**3 + 105.56302e-9 * t**4
            - 280.54253e-12 * t**5) / (1 + 16.87985e-3 * t)


def _specific_heat(t):  # J/(kg·K)
    return 4217.4 - 3.720283 * t + 0.1412855 * t**2 - 2.654387e-3 * t**3 + 2.093236e-5 * t**4


def _thermal(kind, **setting):
    fs = hydrokit.Flowsheet(components=["salt"])
    fs.feed("brine", flow=5e-4, temperature_c=35, salt=70000)
    getattr(fs, kind)("hx", **setting)
    fs.connect("brine", "hx")
    fs.product("out", "hx")
    return fs


@pytest.mark.parametrize("kind, setting, t_out", [
    ("heater", {"outlet_temperature_c": 60.0}, 60.0),
    ("cooler", {"outlet_temperature_c": 20.0}, 20.0),
    ("heater", {"outlet_temperature_c": 30.0}, 35.0),     # a heater never cools
    ("cooler", {"outlet_temperature_c": 50.0}, 35.0),     # a cooler never heats
    ("heater", {"duty_kw": 40.0}, None),
    ("cooler", {"duty_kw": 40.0}, None),
])
def test_duty_is_rho_cp_q_dt(kind, setting, t_out):
    res = _thermal(kind, **setting).solve()
    out = res.stream("hx")
    rate = _kell_density(35.0) * _specific_heat(35.0) * 5e-4 / 1000.0        # kW/K
    if t_out is None:
        sign = 1.0 if kind == "heater" else -1.0
        t_out = 35.0 + sign * setting["duty_kw"] / rate
    assert out["temperature_c"] == pytest.approx(t_out, rel=1e-12)
    duty = rate * abs(t_out - 35.0)
    assert res.row["hx.duty_kw"] == pytest.approx(duty, rel=1e-9, abs=1e-12)
    heat, cooling = (duty, 0.0) if kind == "heater" else (0.0, duty)
    assert res.kpis["heat_kw"] == pytest.approx(heat, abs=1e-12)
    assert res.kpis["cooling_kw"] == pytest.approx(cooling, abs=1e-12)
    assert res.kpis["specific_heat_kwh_m3"] == pytest.approx(heat / (5e-4 * 3600.0), abs=1e-12)
    assert (out["flow"], out["pressure_bar"], out["salt"]) == (5e-4, 1.0, 70000.0)


def test_a_nan_set_point_is_flagged_not_passed_on_as_clean():
    row = _thermal("heater", outlet_temperature_c=60.0).sweep(**{"hx.outlet_temperature_c": [float("nan")]})
    assert row["flagged"][0] == 1 and row["hx.duty_kw"][0] != row["hx.duty_kw"][0]


@pytest.mark.parametrize("kwargs", [{}, {"outlet_temperature_c": 60, "duty_kw": 5}, {"duty_kw": -1.0}])
def test_heater_needs_one_sound_setting(kwargs):
    with pytest.raises(FlowsheetError, match="heater 'hx'"):
        _thermal("heater", **kwargs)


@pytest.mark.parametrize("price", ["heat_price", "cooling_price"])
def test_a_heat_price_raises_lcow(price):
    from hydrokit.costing import CostParameters
    kind = "heater" if price == "heat_price" else "cooler"
    res = _thermal(kind, duty_kw=40.0).solve()
    base = res.costs(CostParameters(**{price: 0.0}))
    priced = res.costs(CostParameters(**{price: 0.02}))
    line = "heat" if kind == "heater" else "cooling"
    assert priced.operating[line] == pytest.approx(0.02 * 40.0 * 8760 * 0.9)
    assert priced.lcow > base.lcow
    # The exchanger: 40 kW over 2000 W/(m²·K) and 10 K is 2 m²; a + b·A^n, escalated, installed × 2.
    assert priced.capital["hx"] == pytest.approx((1600 + 210 * 2.0**0.95) * 603.1 / 532.9 * 2.0)


EXAMPLES = sorted((pathlib.Path(__file__).parent.parent / "examples").glob("*.toml"))


@pytest.mark.parametrize("path", EXAMPLES, ids=lambda p: p.stem)
def test_no_example_stream_below_ambient(path):
    fs = load_plant(path)
    res = fs.solve()
    low = {s: res.stream(s)["pressure_bar"] for s in fs.streams() if res.stream(s)["pressure_bar"] < 1.0}
    assert fs.ambient_pressure_bar == 1.0 and not low


@pytest.mark.parametrize("ambient", [1.0, 1.2])
def test_whole_pressure_permeate_leaves_at_ambient_and_settings_stay_above(ambient):
    fs = hydrokit.Flowsheet(components=["salt"], ambient_pressure_bar=ambient)
    fs.feed("raw", flow=1e-3, salt=2000)
    fs.unit("hp", "pump", pressure_rise_bar=14)
    fs.unit("ro", "osmomech")
    fs.connect("raw", "hp")
    fs.connect("hp", "ro.feed")
    res = fs.solve()
    assert res.stream("raw")["pressure_bar"] == ambient         # a feed's default pressure
    assert res.stream("ro.permeate")["pressure_bar"] == ambient
    low = hydrokit.Flowsheet(components=["salt"], ambient_pressure_bar=ambient)
    low.feed("raw", flow=1e-3, pressure_bar=15, salt=2000)
    low.unit("ro", "osmolumped", permeate_pressure_bar=0.5)
    low.connect("raw", "ro.feed")
    with pytest.raises(FlowsheetError, match="below the ambient pressure"):
        low.solve()
    # The same setting varied: checked per row.
    assert low.solve(**{"ro.permeate_pressure_bar": ambient}).stream("ro.permeate")["pressure_bar"] == ambient
    with pytest.raises(FlowsheetError, match="row 1: .* below the ambient pressure"):
        low.sweep(**{"ro.permeate_pressure_bar": [ambient, ambient - 0.1]})


@pytest.mark.parametrize("model", models())
def test_component_kinds_of_every_model_are_well_formed(model):
    from hydrokit.ports import COMPONENT_KINDS, PASS_RULES
    table = importlib.import_module(f"hydrokit.tables.{model}")
    for port, kinds in table.KINDS.items():
        assert len(kinds) == len(table.INLETS[port].components), (model, port)
        assert all(k and set(k) <= set(COMPONENT_KINDS) for k in kinds), (model, port)
    assert set(table.PASSES) <= set(COMPONENT_KINDS) and set(table.PASSES.values()) <= set(PASS_RULES)


def _pretreated(model, **settings):
    """Salt and suspended solids through a low-pressure unit, its permeate pumped into an RO element."""
    fs = hydrokit.Flowsheet(components={"salt": "dissolved", "tss": "suspended"})
    fs.feed("raw", flow=1e-3, salt=2000, tss=50)
    fs.unit("pre", model, **settings)
    fs.unit("hp", "pump", pressure_rise_bar=14)
    fs.unit("ro", "osmolumped", membrane_area=40)
    fs.connect("raw", "pre.feed")
    fs.connect("pre.permeate", "hp")
    fs.connect("hp", "ro.feed")
    return fs


@pytest.mark.parametrize("model, settings", [
    ("ultrasimple", {"water_recovery": 0.9, "solute1_removal": 0.97}),
    ("microsimple", {}),
    ("ultramech", {}),
    ("micromech", {}),
    ("biosimple", {"component1_removal": 0.99}),
])
def test_salt_passes_pretreatment_and_suspended_solids_do_not_reach_ro(model, settings):
    res = _pretreated(model, **settings).solve()
    raw, permeate, concentrate = (res.stream(s) for s in ("raw", "pre.permeate", "pre.concentrate"))
    assert permeate["salt"] == concentrate["salt"] == 2000.0        # dissolved: both outlets at the feed's
    assert permeate["tss"] < raw["tss"]                               # the unit's own removal acts on the solids
    tss_in, tss_out = raw["flow"] * raw["tss"], permeate["flow"] * permeate["tss"] + \
        concentrate["flow"] * concentrate["tss"]
    assert tss_out == pytest.approx(tss_in, rel=1e-9)
    ro_in, ro_out = res.stream("hp.outlet"), res.stream("ro.concentrate")
    assert res.stream("ro.permeate")["tss"] == 0.0                    # wholly retained by the RO
    assert ro_out["flow"] * ro_out["tss"] == pytest.approx(ro_in["flow"] * ro_in["tss"], rel=1e-12)


@pytest.mark.parametrize("components, unit, match", [
    ({"salt": "dissolved", "tss": "suspended"}, ("md", "distillumped", {}), "neither carry nor pass component 'tss'"),
    ({"salt": "dissolved", "cod": "organic"}, ("ro", "osmolumped", {}), "neither carry nor pass component 'cod'"),
    ({"salt": "dissolved"}, ("uf", "ultrasimple", {"components": {"solute1": "salt"}}), "not component 'salt'"),
    ({"salt": "mud"}, None, "unknown kind 'mud'"),
])
def test_a_component_a_unit_cannot_take_is_a_build_error(components, unit, match):
    with pytest.raises(FlowsheetError, match=match):
        fs = hydrokit.Flowsheet(components=components)
        name, model, options = unit
        fs.unit(name, model, **options)


@pytest.mark.parametrize("word, value", [
    (1, -1),        # inlet before the state
    (2, 10**9),     # outlet past the state
    (2, None),      # outlet over the inlet
    (4, None),      # duty inside the outlet block
    (5, 2),         # no such mode
    (6, 0),         # neither heater nor cooler
])
def test_a_hostile_heat_step_is_refused_at_load(word, value):
    from hydrokit import _sweep
    plan = _thermal("heater", duty_kw=5.0).plan()
    at = 0                                        # the one step: HEAT inlet outlet setting duty mode sign
    assert plan.code[at] == 8 and len(plan.code) == 7
    code = plan.code.copy()
    code[at + word] = {1: code[at + 2], 2: code[at + 1] + 1, 4: code[at + 2] + 1}[word] if value is None else value
    _sweep.plan_load(plan.code, plan.state, plan.inputs, plan.outputs, plan.cores, plan.width, plan.status, 1e-10, 2)
    with pytest.raises(ValueError, match="flowsheet plan"):
        _sweep.plan_load(code, plan.state, plan.inputs, plan.outputs, plan.cores, plan.width, plan.status, 1e-10, 2)
