"""Design checks: impossible points are found, possible ones pass, in solve, sweep, programs and the optimiser."""

import math
import pathlib

import numpy as np
import pytest

import hydrokit
from hydrokit.flowsheet import FlowsheetError
from hydrokit.cli.flowsheet import main as flowsheet_main
from hydrokit.flowsheet.plantfile import loads
from hydrokit.flowsheet.results import compiled_evaluator

ROOT = pathlib.Path(__file__).resolve().parents[1]
EXAMPLES = sorted((ROOT / "examples").glob("*.toml"))
R = 8.31446261815324  # J/(mol·K)


def lumped_seawater():
    # 75 % recovery of 35 g/L seawater at 60 bar: the lumped element's cap, not the membrane, sets it.
    fs = hydrokit.Flowsheet(components=["salt"])
    fs.feed("sea", flow=1e-3, salt=35000)
    fs.unit("hp", "pump", pressure_rise_bar=59, pump_efficiency=0.8)
    fs.unit("ro", "osmolumped", membrane_area=54.3, mass_transfer_coeff=1e-4)
    fs.unit("erd", "recoupsimple", recovery_efficiency=0.95)
    fs.connect("sea", "hp"); fs.connect("hp", "ro.feed"); fs.connect("ro.concentrate", "erd")
    fs.product("water", "ro.permeate")
    return fs


def vant_hoff_bar(c_g_per_l, t_c=25.0):
    """Osmotic pressure of sodium chloride (i = 2, 58.44 g/mol), bar."""
    return 2 * (c_g_per_l / 58.44) * 1000 * R * (t_c + 273.15) / 1e5


def test_the_impossible_seawater_point_has_an_osmotic_error_and_the_example_none():
    res = lumped_seawater().solve()
    concentrate = res.outputs("ro")["concentrate_salinity"]
    assert concentrate > 130 and vant_hoff_bar(concentrate) > 2 * 59     # about 119 bar against 59
    first = res.checks[0]
    assert not res.valid and (first.unit, first.check, first.severity) == ("ro", "osmotic_limit", "error")
    assert first.limit == pytest.approx(59.0) and first.value == pytest.approx(
        vant_hoff_bar(concentrate) - vant_hoff_bar(res.outputs("ro")["permeate_salinity"]))
    assert first.message.startswith("ro: concentrate osmotic pressure 119 bar exceeds the 59 bar across the "
                                    "membrane: recovery 0.75 is impossible")
    assert [f.severity for f in res.checks] == sorted((f.severity for f in res.checks), key=["error", "warning"].index)
    credible = hydrokit.flowsheet.load_plant(ROOT / "examples" / "seawater_ro.toml").solve()
    assert credible.valid and credible.checks == []
    ro = credible.outputs("ro")
    # Possible by first principles: the brine's osmotic pressure below what is left at the vessel's end.
    assert vant_hoff_bar(ro["concentrate_salinity"]) < ro["concentrate_pressure_bar"] - 1.0
    assert 0.42 <= credible.kpis["recovery"] <= 0.48 and 12 <= ro["flux"] * 3.6e6 <= 17


@pytest.fixture(scope="module")
def lumped_sweep():
    fs = lumped_seawater()
    pressures, areas = np.linspace(10, 80, 15), np.linspace(1, 400, 12)
    mesh = np.meshgrid(pressures, areas, indexing="ij")
    matrix = np.column_stack([m.ravel() for m in mesh])
    return fs, matrix, fs.evaluate(["hp.pressure_rise_bar", "ro.membrane_area"], matrix)


def test_sweep_error_counts_agree_with_van_t_hoff_on_every_row(lumped_sweep):
    fs, matrix, t = lumped_sweep
    for k in range(len(matrix)):
        pi = vant_hoff_bar(t["ro.concentrate_salinity"][k]) - vant_hoff_bar(t["ro.permeate_salinity"][k])
        across = t["ro.concentrate.pressure_bar"][k] - t["ro.permeate.pressure_bar"][k]
        flows = t["ro.permeate.flow"][k] > 0                 # no water passing: nothing to overcome
        expected = int(flows and not pi <= across) + int(t["ro.not_converged"][k] != 0)
        assert t["checks.errors"][k] == expected, k
    assert 0 < np.count_nonzero(t["checks.errors"]) < len(matrix)
    # A row solved alone gives the same findings as its sweep row.
    k = int(np.argmax(t["checks.errors"]))
    res = fs.solve(**{"hp.pressure_rise_bar": matrix[k, 0], "ro.membrane_area": matrix[k, 1]})
    assert sum(f.severity == "error" for f in res.checks) == t["checks.errors"][k]


def test_check_columns_of_a_column_program_are_bitwise_the_tables(lumped_sweep):
    fs, matrix, t = lumped_sweep
    names = [c for c in t if c.startswith("check")]
    run = compiled_evaluator(fs, ["hp.pressure_rise_bar", "ro.membrane_area"], lambda table: [table[c] for c in names])
    got = run(matrix)
    for row, name in zip(got, names):
        assert row.tobytes() == np.asarray(t[name]).tobytes(), name


def test_the_lumped_seawater_optimum_is_physically_possible():
    fs = lumped_seawater()
    best = fs.optimize("lcow", {"hp.pressure_rise_bar": (10, 80), "ro.membrane_area": (1, 1500)},
                       ["kpi.recovery>=0.5"], seed=0)
    ro = best.result.outputs("ro")
    assert best.feasible and best.result.valid and not [f for f in best.checks if f.severity == "error"]
    pi = vant_hoff_bar(ro["concentrate_salinity"]) - vant_hoff_bar(ro["permeate_salinity"])
    assert pi < best.x["hp.pressure_rise_bar"] and best.row["kpi.recovery"] >= 0.5
    unchecked = fs.optimize("lcow", {"hp.pressure_rise_bar": (10, 80), "ro.membrane_area": (1, 1500)},
                            ["kpi.recovery>=0.5"], seed=0, checks="none")
    assert not unchecked.result.valid and unchecked.objective < best.objective


@pytest.mark.parametrize("path", EXAMPLES, ids=lambda p: p.stem)
def test_every_example_is_free_of_findings(path):
    res = hydrokit.flowsheet.load_plant(path).solve()
    assert res.valid and not res.checks, [str(f) for f in res.checks]


@pytest.mark.parametrize("words, status", [
    ([], 0),
    (["hp.pressure_rise_bar=30", "ro.membrane_area=400"], 3),     # beyond the osmotic limit
    (["--json"], 0),
])
def test_flowsheet_check_exit_status(words, status, capsys):
    assert flowsheet_main([str(ROOT / "examples" / "seawater_ro.toml"), *words, "--check"]) == status
    text = capsys.readouterr().out
    assert ('"checks"' in text) if "--json" in words else ("design checks" in text)
    assert flowsheet_main([str(ROOT / "examples" / "seawater_ro.toml"), *words]) == 0


@pytest.mark.parametrize("salt, water, expected", [
    (35000, None, "seawater"), (2000, None, "brackish_well"), (300, None, "surface"),
    (35000, "seawater_well", "seawater_well"),
])
def test_water_class_given_or_inferred_sets_the_flux_guideline(salt, water, expected):
    fs = hydrokit.Flowsheet(components=["salt"])
    fs.feed("w", flow=1e-3, salt=salt, water=water, pressure_bar=60)
    fs.unit("ro", "osmoaxial", permeability=1e-10, membrane_area=200)    # far above every guideline
    fs.connect("w", "ro.feed")
    assert fs.water_classes() == {"w": (expected, water is None)}
    flux = next(f for f in fs.solve().checks if f.check == "average_flux")
    assert flux.limit == hydrokit.checks.WATER_CLASSES[expected].flux


def test_a_second_pass_is_judged_as_permeate_feed():
    fs = hydrokit.flowsheet.load_plant(ROOT / "examples" / "two_pass_ro.toml")
    from hydrokit.checks import water_class_of

    assert (water_class_of(fs, "ro1"), water_class_of(fs, "ro2")) == ("seawater", "permeate")


def test_limits_set_per_unit_in_python_and_plant_files():
    fs = lumped_seawater()
    fs.check_limit("ro", "average_flux", 60.0)
    fs.check_limit("ro", "max_recovery", "off")
    res = fs.solve()
    assert "check.ro.max_recovery" not in res.row and "max_recovery" not in [f.check for f in res.checks]
    assert not [f for f in res.checks if f.check == "average_flux"]       # 49.7 < 60
    assert hydrokit.checks.changed_limits(fs) == ["ro.average_flux: limit 60 L/(m²·h) (default by water class "
                                                  "(flux))", "ro.max_recovery: switched off (default below the "
                                                  "unit's max_recovery)"]
    fs.check_limit("ro", "average_flux", 20.0)
    flux = next(f for f in fs.solve().checks if f.check == "average_flux")
    assert flux.limit == 20.0 and flux.message.endswith("(limit set for this plant)")
    for args, words in [(("ro", "osmotic_limit", 100.0), "only be switched off"), (("ro", "nope", 1.0), "no check"),
                        (("sea", "average_flux", 1.0), "not a model unit")]:
        with pytest.raises(FlowsheetError, match=words):
            fs.check_limit(*args)
    text = (ROOT / "examples" / "seawater_ro.toml").read_text().replace(
        "[units.erd]", "checks = { average_flux = 12, feed_pressure = \"off\" }\n\n[units.erd]")
    planted = loads(text, "plant.toml")
    assert [f.check for f in planted.solve().checks] == ["average_flux"]
    assert "check.ro.feed_pressure" not in planted.solve().row


@pytest.mark.parametrize("feed, check", [
    ({"temperature_c": -5.0}, "frozen"),
    ({"temperature_c": 120.0}, "boiling"),                  # 1 bar: boils at 100 °C
    ({"temperature_c": 120.0, "pressure_bar": 3.0}, None),  # 3 bar: boils at about 134 °C
    ({"salt": 400000.0}, "solubility"),                     # beyond sodium chloride's 360 g/L
    ({"flow": math.nan}, "non_finite"),                     # the pump takes it as 0: the feed is the error
])
def test_streams_that_cannot_exist_are_errors(feed, check):
    fs = hydrokit.Flowsheet(components=["salt"])
    fs.feed("w", **{"flow": 1e-3, **{k: v for k, v in feed.items() if math.isfinite(v)}})
    fs.unit("pu", "pump", pressure_rise_bar=0.0)
    fs.connect("w", "pu")
    if check == "non_finite":  # a building or solve refuses it; a sweep row carries it
        table = fs.sweep(**{f"w.{k}": [v] for k, v in feed.items()})
        assert table["checks.errors"][0] == 1 and table["check.w.non_finite"][0] != 0
        return
    found = {(f.unit, f.check) for f in fs.solve().checks if f.severity == "error"}
    assert found == ({("pu", check)} if check else set())


@pytest.mark.parametrize("hot, cold, error", [(60.0, 20.0, False), (20.0, 30.0, True)])
def test_distillation_needs_a_warmer_hot_side(hot, cold, error):
    fs = hydrokit.Flowsheet(components=["salt"])
    fs.feed("brine", flow=1e-4, temperature_c=hot, salt=70000)
    fs.feed("cool", flow=1e-4, temperature_c=cold, utility=True)
    fs.unit("md", "distillumped")
    fs.connect("brine", "md.feed"); fs.connect("cool", "md.cold")
    assert ("hot_side_warmer" in {f.check for f in fs.solve().checks if f.severity == "error"}) == error


@pytest.mark.parametrize("fractions, stages", [((0.5, 0.5), {1, 2}), ((0.8, 0.5), {2}), ((0.8, 0.8), set())])
def test_a_two_stage_block_is_checked_stage_by_stage(fractions, stages):
    # 35 g/L at 60 bar: a stage whose concentrate passes about 60 g/L (π ≈ 50 bar) is beyond the
    # pressure left at its end (55 and 50 bar after the default stage drops).
    fs = hydrokit.Flowsheet(components=["salt"])
    fs.feed("sea", flow=1e-3, salt=35000, pressure_bar=60)
    fs.unit("blk", "osmocascade", stage1_concentrate_fraction=fractions[0],
            stage2_concentrate_fraction=fractions[1])
    fs.connect("sea", "blk.feed")
    found = {f.check for f in fs.solve().checks if f.severity == "error"}
    assert found == {f"osmotic_limit_stage{n}" for n in stages}


def test_the_optimiser_keeps_every_guideline_when_asked():
    fs = hydrokit.flowsheet.load_plant(ROOT / "examples" / "seawater_ro.toml")
    vary = {"hp.pressure_rise_bar": (10, 80), "ro.membrane_area": (1, 1500)}
    loose = fs.optimize("lcow", vary, ["kpi.recovery>=0.5"], seed=0)
    strict = fs.optimize("lcow", vary, ["kpi.recovery>=0.5"], seed=0, checks="warnings")
    assert [f.check for f in loose.checks] == ["average_flux"]           # the cheapest runs above 17 L/(m²·h)
    assert strict.feasible and strict.checks == [] and strict.objective >= loose.objective
    assert strict.result.outputs("ro")["flux"] * 3.6e6 <= 17.0
    with pytest.raises(hydrokit.optimize.OptimizeError, match="checks must be"):
        fs.optimize("lcow", vary, checks="all")


@pytest.mark.parametrize("words, status", [
    (["--checks", "none"], 0), (["--checks", "warnings", "--json"], 0), (["--checks", "some"], 2),
])
def test_optimize_command_takes_the_checks_that_bind(words, status, capsys):
    from hydrokit.__main__ import main

    args = ["optimize", str(ROOT / "examples" / "seawater_ro.toml"), "--vary", "hp.pressure_rise_bar=40:80",
            "--vary", "ro.membrane_area=50:300", *words]
    assert main(args) == status
    out, err = capsys.readouterr()
    if status == 0:
        assert ('"checks_binding"' in out) if "--json" in words else ("design checks at the optimum" in out)
    else:
        assert "errors, warnings, none" in err


def test_a_plant_file_names_a_known_water_class():
    text = (ROOT / "examples" / "seawater_ro.toml").read_text().replace('water = "seawater"', 'water = "ocean"')
    with pytest.raises(Exception, match="unknown water class 'ocean'"):
        loads(text, "plant.toml")


def test_a_unit_may_be_named_plant_beside_a_recycle():
    fs = hydrokit.flowsheet.load_plant(ROOT / "examples" / "two_pass_ro.toml")
    text = (ROOT / "examples" / "two_pass_ro.toml").read_text().replace("ro2", "plant")
    named = loads(text, "plant.toml").solve()
    assert named.valid and "check.plant.recycle_converged" in named.row and "check.plant.osmotic_limit" in named.row
    assert named.kpis == fs.solve().kpis


def test_an_array_is_checked_element_by_element():
    # Seawater array driven hard: the lead elements break the element guidelines, and the osmotic
    # margin of every element agrees with van 't Hoff on its own concentrate and feed pressure.
    path = ROOT / "examples" / "seawater_array.toml"
    text = path.read_text() + '\n[arrays.ro.checks]\nelement_flux = 60\n'
    fs = loads(text, str(path))
    table = fs.sweep(**{"hp.pressure_rise_bar": [53.0, 75.0, 95.0]})
    for j in range(1, 8):
        head = f"ro.stage1.element{j}"
        # the array's salt: 1.86 times its molar amount (the plant file's dissociation factor)
        osmotic = (vant_hoff_bar(table[f"{head}.concentrate_salinity"], 20.0)
                   - vant_hoff_bar(table[f"{head}.permeate_salinity"], 20.0)) * 1.86 / 2
        margin = (table[f"{head}.feed_pressure_bar"] - 1.0) - osmotic
        assert np.allclose(table[f"check.{head}.osmotic_limit"], margin, atol=1e-9)
    res = fs.solve(**{"hp.pressure_rise_bar": 75.0})
    named = {(f.check, f.message.split(":")[0]) for f in res.checks}
    assert ("stage1.element1.element_recovery", "ro stage 1 element 1") in named
    assert ("average_flux", "ro") in named
    assert not any(f.check.endswith("element_flux") for f in res.checks)      # its limit raised to 60
    assert res.valid and table["checks.errors"][0] == 0
    best = fs.optimize("lcow", {"hp.pressure_rise_bar": (75, 75.000001)}, checks="none", polish=False, maxiter=1)
    assert [f.check for f in best.checks] == [f.check for f in res.checks]


@pytest.mark.parametrize("kind, target, check", [("heater", 120.0, "boiling"), ("cooler", -5.0, "frozen")])
def test_a_heater_or_cooler_sends_on_liquid_water(kind, target, check):
    fs = hydrokit.Flowsheet(components=["salt"])
    fs.feed("sea", flow=1e-3, salt=35000)
    getattr(fs, kind)("heat", outlet_temperature_c=target)
    fs.connect("sea", "heat")
    fs.product("water", "heat.outlet")
    res = fs.solve()
    assert [(f.unit, f.check, f.severity) for f in res.checks] == [("heat", check, "error")]
    fs.check_limit("heat", check, "off")
    assert fs.solve().valid


def test_the_reuse_ro_keeps_its_osmotic_limit_until_its_recovery_is_impossible():
    # osmomech takes its recovery: van 't Hoff on its own concentrate (molar masses as given, ions
    # counted in them) against the 5.5 bar between the pump's 6.5 bar feed and the 1 bar permeate.
    fs = hydrokit.flowsheet.load_plant(ROOT / "examples" / "mbr_ro_reuse.toml")
    table = fs.sweep(**{"ro.recovery": [0.5, 0.8, 0.95]})
    molar = sum((table[f"ro.solute{i}_concentrate_conc"] - table[f"ro.solute{i}_permeate_conc"]) / m
                for i, m in ((1, 29.22), (2, 300.0), (3, 18.04)))
    osmotic = molar * R * (20.0 + 273.15) / 1e5
    assert np.allclose(table["check.ro.osmotic_limit"], 5.5 - osmotic, atol=1e-9)
    assert list(table["checks.errors"]) == [0.0, 0.0, 1.0]




# Nanofiltration: van 't Hoff over each model's dissolved species, g/mol per particle (nanomech's five
# solutes as its core states them, nanolumped's six ions) and g/m³ in the plant's streams.
NF_SPECIES = {"nanomech": {f"solute{i}": m for i, m in enumerate((86.13, 150.13, 10000.0, 23.0, 74.04), 1)},
              "nanolumped": {"na": 22.99, "cl": 35.453, "k": 39.0983, "mg": 24.305, "ca": 40.078, "so4": 96.06}}


@pytest.mark.parametrize("i", range(1, 6))
def test_nanomech_declared_molar_masses_are_the_compiled_cores(i):
    from hydrokit import nanomech
    from hydrokit.tables import nanomech as table
    u = nanomech.default_input()
    u[3:8] = 0.0
    u[2 + i] = 5000.0                   # g/m³ of solute i alone, at the default 20 °C
    y = nanomech.run(u, nanomech.default_params())
    assert y[[n for n, _ in table.OUTPUT].index("feed_osmotic_pressure_bar")] == pytest.approx(
        hydrokit.checks.osmotic_bar(5.0, table.SOLUTE_MOLAR_MASS[i - 1], 1.0, 20.0), rel=1e-12)


@pytest.mark.parametrize("model, axis, heads", [
    ("nanomech", {"nf.recovery": [0.5, 0.9]}, ["nf"]),
    ("nanolumped", {"nf.recovery": [0.5, 0.9]}, ["nf"]),
    # two elements in a vessel on a loose membrane: a low feed flow drives the element recovery up
    ("nanomech", {"w.flow": [20 / 3600, 10 / 3600]}, ["nf.stage1.element1", "nf.stage1.element2"]),
])
def test_nanofiltration_osmotic_margin_is_van_t_hoff_at_the_concentrate_end(model, axis, heads):
    fs = hydrokit.Flowsheet(components=["a", "b", "c"], ambient_pressure_bar=1.2)
    fs.feed("w", flow=60 / 3600, temperature_c=15.0, pressure_bar=8.0, a=3000.0, b=1500.0, c=400.0)
    # brackish water: a sugar (solute 2), a salt (solute 4) and an organic acid (solute 5); or chloride,
    # sodium and calcium (85 meq/L of each sign)
    fills = {"nanomech": ("solute2", "solute4", "solute5"), "nanolumped": ("cl", "na", "ca")}[model]
    species = dict(zip(fills, "abc"))
    if len(heads) > 1:
        fs.array("nf", model, stages=[(1, 2)], element_area=37.0, components=species, permeability=1e-10)
    else:
        fs.unit("nf", model, components=species, **({"permeability": 2e-12} if model == "nanomech" else {}))
    fs.connect("w", "nf.feed")
    fs.product("water", "nf.permeate")
    table = {name: np.asarray(column) for name, column in fs.sweep(**axis).items()}
    scale = 1000.0 if model == "nanolumped" else 1.0            # its streams in kg/m³
    for head in heads:
        osmotic = sum((table[f"{head}.{s}_concentrate_conc"] - table[f"{head}.{s}_permeate_conc"]) * scale / m
                      for s, m in NF_SPECIES[model].items()) * R * (15.0 + 273.15) / 1e5
        # nanolumped: its default 2 bar drop and 1 bar permeate; nanomech: the plant's ambient permeate
        across = 8.0 - 2.0 - 1.0 if model == "nanolumped" else table.get(f"{head}.feed_pressure_bar", 8.0) - 1.2
        assert np.allclose(table[f"check.{head}.osmotic_limit"], across - osmotic, atol=1e-9)
    # a normal nanofiltration point passes; pushed to high recovery it cannot exist
    osmotic_checks = [c for c in table if c.startswith("check.") and c.endswith("osmotic_limit")]
    assert [any(table[c][r] < 0 for c in osmotic_checks) for r in (0, 1)] == [False, True]
    assert table["checks.errors"][0] == 0
