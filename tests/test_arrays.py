"""Membrane arrays: every element equals its model's run on its inputs, chained by hand;
flows and salt balance; vessel counts are whole numbers; datasheets are reproduced."""

import math

import numpy as np
import pytest

import hydrokit
from conftest import same_bits
from hydrokit.flowsheet import FlowsheetError
from hydrokit.layout import layout
from hydrokit.membranes import FitError, fit_element, tcf

STAGES = [(3, 3), (2, 2)]
AREA, DROP, BOOST, EFF = 37.0, 0.3, 2.5, 0.75
# Element model, its component slot, feed concentration (g/m³ in the stream), feed pressure, slots.
CASES = {
    "osmolumped": ("feed_salinity", 1e-3, 4000.0, 16.0,
                   dict(permeability=1.1e-11, salt_permeability=2e-8, mass_transfer_coeff=6e-5,
                        **{"stage2.permeate_pressure_bar": 1.5})),
    "osmomech": ("solute1_feed_conc", 1.0, 4000.0, 16.0, dict(permeability=1.1e-11)),
    "nanomech": ("solute1_feed_conc", 1.0, 1500.0, 8.0, dict(permeability=2e-12)),
}


def array_plant(model, flow=60 / 3600):
    _, _, conc, pressure, slots = CASES[model]
    fs = hydrokit.Flowsheet(components=["salt"])
    fs.feed("w", flow=flow, temperature_c=18.0, pressure_bar=pressure, salt=conc)
    fs.array("ro", model, stages=STAGES, element_area=AREA, element_pressure_drop_bar=DROP,
             **{"stage2.booster_bar": BOOST, "stage2.booster_efficiency": EFF}, **slots)
    fs.connect("w", "ro.feed")
    fs.product("water", "ro.permeate")
    return fs


def mix(streams):
    """Flows add, concentration flow-weighted, in the executor's order of operations."""
    total = 0.0
    for f, _ in streams:
        total += f
    acc = 0.0
    for f, c in streams:
        if f != 0.0:
            acc += f * c
    return total, acc / total


def by_hand(model):
    """The array through run, element by element, as a designer would project it."""
    conc_slot, scale, conc, pressure, slots = CASES[model]
    lay = layout(model)
    shared = {k: v for k, v in slots.items() if not k.startswith("stage")}
    q_stage, p_stage, c_stage = 60 / 3600, pressure, conc
    permeates, elements = [], []
    for k, (vessels, count) in enumerate(STAGES, 1):
        stage_slots = dict(shared, **{key.partition(".")[2]: v for key, v in slots.items()
                                      if key.startswith(f"stage{k}.")})
        q, p, c = q_stage / vessels, p_stage + (BOOST if k > 1 else 0.0), c_stage
        vessel_permeate = []
        for _ in range(count):
            u, par = lay.vectors(**stage_slots)
            for name, value in (("feed_flow", q), ("temperature_c", 18.0), ("feed_pressure_bar", p)):
                u[lay.resolve(name)[1]] = value
            for i in range(2, 6):
                if model != "osmolumped":
                    u[lay.resolve(f"solute{i}_feed_conc")[1]] = 0.0
            u[lay.resolve(conc_slot)[1]] = c * scale
            if model == "osmolumped":
                par[lay.resolve("membrane_area")[1]] = AREA
            else:
                par[lay.resolve("recovery")[1]] = 0.5
                flux = lay.outputs(lay.module.run(u, par), par)["flux"]
                par[lay.resolve("recovery")[1]] = flux * AREA / q
            y = lay.module.run(u, par)
            out = lay.outputs(y, par)
            elements.append((k, y))
            perm_conc = out["permeate_salinity"] / scale if model == "osmolumped" else out["solute1_permeate_conc"]
            conc_out = out["concentrate_salinity"] / scale if model == "osmolumped" else out["solute1_concentrate_conc"]
            vessel_permeate.append((out["permeate_flow"], perm_conc))
            q, p, c = out["concentrate_flow"], p - DROP, conc_out
        f, pc = mix(vessel_permeate) if count > 1 else vessel_permeate[0]
        permeates.append((f * vessels, pc))
        q_stage, p_stage, c_stage = q * vessels, p, c
    return elements, permeates, (q_stage, p_stage, c_stage)


@pytest.mark.parametrize("model", CASES)
def test_array_equals_elements_chained_by_hand(model):
    res = array_plant(model).solve()
    elements, permeates, concentrate = by_hand(model)
    lay = layout(model)
    rows = res.elements("ro")
    assert [(r["stage"], r["element"]) for r in rows] == [(1, 1), (1, 2), (1, 3), (2, 1), (2, 2)]
    for row, (stage, y) in zip(rows, elements):
        assert row["stage"] == stage
        assert same_bits(np.array([row[s.name] for s in lay.output_slots() if s.name]), y[:len(y)])
    for k, (flow, c) in enumerate(permeates, 1):
        stream = res.stream(f"ro.stage{k}_permeate")
        assert same_bits(np.array([stream["flow"], stream["salt"]]), np.array([flow, c]))
    stream = res.stream("ro.concentrate")
    assert same_bits(np.array([stream["flow"], stream["pressure_bar"], stream["salt"]]), np.array(concentrate))
    # The booster is the only power counted: (Q · Δp · 100) / η with the stage-1 concentrate flow.
    q1 = res.row["ro.stage1.concentrate_flow_per_vessel"] * STAGES[0][0]
    assert res.power["ro"] == q1 * BOOST * 100.0 / EFF


@pytest.mark.parametrize("model", CASES)
def test_flows_and_salt_balance(model):
    res = array_plant(model).solve()
    feed, perm, conc = res.stream("w"), res.stream("ro.permeate"), res.stream("ro.concentrate")
    assert perm["flow"] + conc["flow"] == pytest.approx(feed["flow"], rel=1e-12)
    salt_in = feed["flow"] * feed["salt"]
    assert perm["flow"] * perm["salt"] + conc["flow"] * conc["salt"] == pytest.approx(salt_in, rel=1e-9)
    stages = [res.stream(f"ro.stage{k}_permeate")["flow"] for k in (1, 2)]
    assert sum(stages) == pytest.approx(perm["flow"], rel=1e-14)
    for row in res.elements("ro"):
        assert row["recovery"] == pytest.approx(row["permeate_flow"] / row["feed_flow"], rel=1e-15)
        assert row["flux_lmh"] * AREA / 3.6e6 == pytest.approx(row["permeate_flow"], rel=1e-9)
        assert row["polarisation_factor"] >= 1.0
    assert res.row["ro.stage1.pressure_drop_bar"] == pytest.approx(DROP * STAGES[0][1], rel=1e-12)


def test_a_stage_setting_outranks_a_shared_variable():
    # Stage 2 fixes its permeate pressure; varying the shared slot moves stage 1 only.
    fs = array_plant("osmolumped")
    a = fs.solve(**{"ro.permeate_pressure_bar": 1.2})
    assert a.stream("ro.stage1_permeate")["pressure_bar"] == 1.2
    assert a.stream("ro.stage2_permeate")["pressure_bar"] == 1.5


def test_solve_equals_sweep_row_over_vessel_counts():
    fs = array_plant("osmolumped")
    table = fs.sweep(**{"ro.stage1.vessels": [2, 3, 4], "ro.stage2.vessels": [1, 2], "ro.permeability": [1e-11]})
    columns = [c for c in table if c.startswith(("ro.", "kpi.", "power."))]
    for i, (n1, n2) in enumerate(zip(table["ro.stage1.vessels"], table["ro.stage2.vessels"])):
        res = fs.solve(**{"ro.stage1.vessels": n1, "ro.stage2.vessels": n2, "ro.permeability": 1e-11})
        assert same_bits(np.array([res.row[c] for c in columns]), np.array([table[c][i] for c in columns]))


@pytest.mark.parametrize("bad", [0, 2.5, -1, float("nan")])
def test_vessel_counts_are_whole_numbers(bad):
    fs = array_plant("osmolumped")
    with pytest.raises(FlowsheetError, match="whole number|finite number"):  # solve refuses any NaN
        fs.solve(**{"ro.stage1.vessels": bad})
    with pytest.raises(FlowsheetError, match="whole number"):
        fs.array("r2", "osmolumped", stages=[(bad, 6)], element_area=37)


@pytest.mark.parametrize("kwargs, match", [
    (dict(model="pump"), "cannot stand for an element"),
    (dict(stages=[]), "pairs"),
    (dict(element_area=0), "positive"),
    (dict(membrane_area=40), "set by the array"),
    (dict(**{"stage3.permeability": 1e-11}), "no stage 3"),
    (dict(vessels=4), "per stage"),
    (dict(**{"stage1.booster_bar": 2}), "between stages"),
])
def test_array_mistakes_are_named(kwargs, match):
    fs = hydrokit.Flowsheet(components=["salt"])
    args = dict(model="osmolumped", stages=[(4, 6), (2, 6)], element_area=37) | kwargs
    with pytest.raises(FlowsheetError, match=match):
        fs.array("ro", args.pop("model"), **args)


# Typical published figures: seawater 37 m², 41-47 m³/d at 55 bar, 32 g/L, 8 %, 99.7-99.8 %;
# brackish 37 m², 40-45 m³/d at 15.5 bar, 2 g/L, 15 %, 99.5 %.
SHEETS = [
    ("osmolumped", 44.0, 0.9975, dict(pressure_bar=55, concentration=32000, recovery=0.08), {"mass_transfer_coeff": 6e-5}),
    ("osmolumped", 42.0, 0.995, dict(pressure_bar=15.5, concentration=2000, recovery=0.15), {"mass_transfer_coeff": 6e-5}),
    ("osmomech", 42.0, 0.995, dict(pressure_bar=15.5, concentration=2000, recovery=0.15, temperature_c=20),
     {"solute1_molar_mass": 58.44}),
]


@pytest.mark.parametrize("model, m3d, rejection, conditions, slots", SHEETS)
def test_fit_reproduces_its_datasheet(model, m3d, rejection, conditions, slots):
    fit = fit_element(model, 37.0, m3d / 86400, rejection, conditions, **slots)
    lay = layout(model)
    # Run the element at the test conditions by hand, with the fitted slots.
    u, p = lay.vectors(**slots, **fit)
    q = m3d / 86400 / conditions["recovery"]
    u[lay.resolve("feed_flow")[1]] = q
    u[lay.resolve("temperature_c")[1]] = conditions.get("temperature_c", 25.0)
    if model == "osmolumped":
        u[lay.resolve("feed_pressure_bar")[1]] = conditions["pressure_bar"] + 1.0  # over a 1 bar permeate
        u[lay.resolve("feed_salinity")[1]] = conditions["concentration"] / 1000
        p[lay.resolve("membrane_area")[1]] = 37.0
        out = lay.outputs(lay.module.run(u, p))
        flow, got = out["permeate_flow"], out["salt_rejection"]
    else:
        u[lay.resolve("feed_pressure_bar")[1]] = conditions["pressure_bar"]
        for i in range(1, 6):
            u[lay.resolve(f"solute{i}_feed_conc")[1]] = conditions["concentration"] if i == 1 else 0.0
        p[lay.resolve("recovery")[1]] = conditions["recovery"]
        out = lay.outputs(lay.module.run(u, p))
        flow, got = m3d / 86400 * 37.0 / out["membrane_area"], out["solute1_rejection"]
    assert out["not_converged"] == 0
    assert flow == pytest.approx(m3d / 86400, rel=1e-9)
    assert got == pytest.approx(rejection, abs=1e-8)


@pytest.mark.parametrize("sheet, match", [
    (dict(pressure_bar=20, concentration=32000, recovery=0.08), "osmotic"),  # below seawater's osmotic pressure
    (dict(pressure_bar=55, concentration=32000), "missing: recovery"),
    (dict(pressure_bar=55, concentration=32000, recovery=0.08, flow=1), "unknown: flow"),
])
def test_fit_refuses_what_cannot_be(sheet, match):
    with pytest.raises(FitError, match=match):
        fit_element("osmolumped", 37.0, 44 / 86400, 0.997, sheet)


def test_fouling_and_temperature_fill_the_permeability():
    fs = hydrokit.Flowsheet(components=["salt"])
    sheet = dict(permeate_flow_m3d=42, salt_rejection=0.995, pressure_bar=15.5, concentration=2000, recovery=0.15)
    fs.array("ro", "osmolumped", stages=[(2, 6)], element_area=37, datasheet=sheet, fouling_factor=0.85,
             design_temperature_c=15, mass_transfer_coeff=6e-5)
    report = fs.arrays["ro"].report
    assert report["tcf"] == tcf(15) and tcf(15) < 1 < tcf(30)
    assert report["permeability"] == report["permeability_fitted"] * (0.85 * tcf(15))
    assert fs.arrays["ro"].stage_units[0].settings["permeability"] == report["permeability"]
    assert math.isclose(tcf(25), 1.0) and math.isclose(tcf(24.999999), 1.0, rel_tol=1e-6)


def test_summaries_are_the_extremes_of_their_elements():
    res = array_plant("osmolumped").solve()
    rows = res.elements("ro")
    assert res.row["ro.max_element_recovery"] == max(r["recovery"] for r in rows)
    assert res.row["ro.max_flux_lmh"] == max(r["flux_lmh"] for r in rows)
    assert res.row["ro.max_polarisation_factor"] == max(r["polarisation_factor"] for r in rows)
    per_vessel = [res.row[f"ro.stage{k}.concentrate_flow_per_vessel"] for k in (1, 2)]
    assert res.row["ro.min_concentrate_flow_per_vessel"] == min(per_vessel)
    elements = sum(v * e for v, e in STAGES)
    average = res.stream("ro.permeate")["flow"] / (elements * AREA) * 3.6e6
    assert res.row["ro.average_flux_lmh"] == pytest.approx(average, rel=1e-14)


def test_a_nan_element_shows_in_the_summaries():
    # A NaN pressure drop reaches every element after the first: the summaries must not hide it.
    row = array_plant("osmolumped").sweep(**{"ro.element_pressure_drop_bar": [float("nan")]})
    assert math.isnan(row["ro.max_flux_lmh"][0]) and math.isnan(row["ro.max_pressure_drop_bar"][0])
    assert row["flagged"][0] == 1


def brackish(pressure_rise=12.0):
    fs = hydrokit.Flowsheet(components=["salt"])
    fs.feed("well", flow=0.01, temperature_c=20, salt=2000)
    fs.unit("hp", "pump", pressure_rise_bar=pressure_rise, pump_efficiency=0.8)
    fs.array("ro", "osmolumped", stages=[(4, 6), (2, 6)], element_area=37, permeability=7e-12,
             salt_permeability=5e-8, mass_transfer_coeff=1e-4, **{"stage2.booster_bar": 2})
    fs.connect("well", "hp"); fs.connect("hp", "ro.feed"); fs.product("water", "ro.permeate")
    return fs


def test_vessel_counts_optimise_to_the_enumerated_whole_numbers():
    from hydrokit.costing import CostModel

    fs = brackish()
    vary = {"ro.stage1.vessels": (2, 7), "ro.stage2.vessels": (1, 4)}
    limits = ["kpi.recovery>=0.7", "ro.min_concentrate_flow_per_vessel>=0.0008333333333333334"]
    best = fs.optimize("lcow", vary, limits, seed=3)
    grid = np.array([(a, b) for a in range(2, 8) for b in range(1, 5)], dtype=float)
    table = fs.evaluate(list(vary), grid)
    lcow = CostModel(fs).columns(table)["cost.lcow"]
    ok = (table["kpi.recovery"] >= 0.7) & (table["ro.min_concentrate_flow_per_vessel"] >= 3 / 3600)
    assert ok.any() and not ok.all()  # the constraints bind somewhere
    i = int(np.argmin(np.where(ok, lcow, np.inf)))
    assert best.feasible and best.x == {"ro.stage1.vessels": int(grid[i, 0]), "ro.stage2.vessels": int(grid[i, 1])}
    assert all(type(v) is int for v in best.x.values())
    assert best.objective == lcow[i]
    from hydrokit.optimize import OptimizeError

    with pytest.raises(OptimizeError, match="whole numbers from 1"):
        fs.optimize("lcow", {"ro.stage1.vessels": (0.2, 0.4)})


@pytest.mark.parametrize("threshold, boost", [(45.0, 2.0), (45.0, 60.0), (1.0, 2.0)])
def test_arrays_are_costed_by_element_area_vessel_and_booster(threshold, boost):
    # The booster is a pump whose class comes from the boost the plant is built
    # with (2 bar): a boost varied to 60 bar stays low-pressure.
    from hydrokit.costing import CostParameters

    fs = brackish()
    params = CostParameters(high_pressure_threshold_bar=threshold)
    res = fs.solve(**{"ro.stage1.vessels": 5, "ro.stage2.booster_bar": boost})
    costs = res.costs(params)
    elements = 5 * 6 + 2 * 6
    purchase = elements * 37 * params.ro_membrane_cost
    # The booster lifts stage 1's concentrate: the feed less stage 1's permeate.
    flow = 0.01 - res.stream("ro.stage1_permeate")["flow"]
    if threshold < 2.0:
        booster = params.high_pressure_pump_cost * (flow * boost * 1e5 / 0.8)
    else:
        booster = params.low_pressure_pump_cost * flow * 1000.0
    assert costs.capital["ro"] == pytest.approx((purchase + 7 * params.pressure_vessel_cost)
                                                * params.total_installed_cost_factor + booster, rel=1e-9)
    assert costs.operating["membrane_replacement"] == pytest.approx(params.membrane_replacement_fraction * purchase)


def test_plant_file_array_matches_the_flowsheet_it_describes():
    from hydrokit.flowsheet.plantfile import PlantFileError, loads

    text = """
components = ["salt"]
connect = ["well -> hp.inlet", "hp.outlet -> ro.feed"]
[feeds.well]
flow = 0.01
temperature_c = 20
salt = 2000
[units.hp]
model = "pump"
pressure_rise_bar = 12
pump_efficiency = 0.8
[arrays.ro]
model = "osmolumped"
stages = [[4, 6], [2, 6]]
element_area = 37
permeability = 7e-12
salt_permeability = 5e-8
mass_transfer_coeff = 1e-4
[arrays.ro.stage2]
booster_bar = 2
[products]
water = "ro.permeate"
"""
    a, b = loads(text).solve(), brackish().solve()
    assert same_bits(np.array(list(a.row.values())), np.array([b.row[k] for k in a.row]))
    with pytest.raises(PlantFileError, match=r"arrays\.ro\.stages"):
        loads(text.replace("[[4, 6], [2, 6]]", "[4, 2]"))
    with pytest.raises(PlantFileError, match="no stage 3"):
        loads(text.replace("[arrays.ro.stage2]", "[arrays.ro.stage3]"))


@pytest.mark.parametrize("model", ["osmomech", "nanomech"])
def test_suspended_solids_go_to_the_concentrate_and_permeates_leave_at_ambient(model):
    # The elements model the salt alone: the same elements as without the solids.
    _, _, conc, pressure, slots = CASES[model]
    plants = []
    for components in (["salt"], {"salt": "dissolved", "tss": "suspended"}):
        fs = hydrokit.Flowsheet(components=components, ambient_pressure_bar=1.2)
        fs.feed("w", flow=60 / 3600, temperature_c=18.0, pressure_bar=pressure, salt=conc,
                **({"tss": 25.0} if "tss" in components else {}))
        fs.array("ro", model, stages=STAGES, element_area=AREA, **{"stage2.booster_bar": BOOST}, **slots)
        fs.connect("w", "ro.feed")
        fs.product("water", "ro.permeate")
        plants.append(fs.solve())
    clean, dirty = plants
    for row_clean, row_dirty in zip(clean.elements("ro"), dirty.elements("ro")):
        assert row_clean["permeate_flow"] == row_dirty["permeate_flow"]
    feed, conc_out = dirty.stream("w"), dirty.stream("ro.concentrate")
    assert conc_out["flow"] * conc_out["tss"] == pytest.approx(feed["flow"] * feed["tss"], rel=1e-12)
    for port in ("permeate", "stage1_permeate", "stage2_permeate"):
        assert dirty.stream(f"ro.{port}")["tss"] == 0.0
        assert dirty.stream(f"ro.{port}")["pressure_bar"] == 1.2


def test_a_permeate_back_pressure_below_ambient_is_refused():
    fs = array_plant("osmolumped")
    with pytest.raises(FlowsheetError, match="below the ambient pressure"):
        fs.sweep(**{"ro.stage2.permeate_pressure_bar": [1.5, 0.5]})
    fs = hydrokit.Flowsheet(components=["salt"], ambient_pressure_bar=1.6)
    fs.feed("w", flow=0.01, pressure_bar=16.0, salt=4000.0)
    with pytest.raises(FlowsheetError, match="below the ambient pressure"):
        fs.array("ro", "osmolumped", stages=STAGES, element_area=AREA, **CASES["osmolumped"][4])
        fs.connect("w", "ro.feed")
        fs.product("water", "ro.permeate")
        fs.solve()


def test_heat_and_array_steps_share_one_plan():
    # A heater and an array's pressure arithmetic in one plan: each op does its own work,
    # and a word past the last op kind is refused at load.
    from hydrokit import _sweep

    fs = hydrokit.Flowsheet(components=["salt"])
    fs.feed("w", flow=60 / 3600, temperature_c=15.0, pressure_bar=16.0, salt=4000.0)
    fs.heater("h", outlet_temperature_c=25.0)
    fs.array("ro", "osmolumped", stages=STAGES, element_area=AREA, element_pressure_drop_bar=DROP,
             **{"stage2.booster_bar": BOOST}, **CASES["osmolumped"][4])
    fs.connect("w", "h"); fs.connect("h", "ro.feed"); fs.product("water", "ro.permeate")
    res = fs.solve()
    assert res.row["ro.stage2.element1.feed_temperature_c"] == 25.0
    assert res.row["ro.stage2.element1.feed_pressure_bar"] == pytest.approx(16.0 - 3 * DROP + BOOST, rel=1e-14)
    plan = fs.plan()
    code = plan.code.copy()
    assert code[0] == 8  # the heater's step comes first
    code[0] = 13
    with pytest.raises(ValueError, match="unknown op 13"):
        _sweep.plan_load(code, plan.state, plan.inputs, plan.outputs, plan.cores, plan.width, plan.status, 1e-10, 2)
