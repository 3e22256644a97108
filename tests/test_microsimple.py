import math

import pytest

from conftest import guarded_run, load, same_bits
from hydrokit.layout import layout

m = load("microsimple")
lay = layout("microsimple")
SOLUTES = range(1, 5)


def run(**overrides):
    u, p = lay.vectors(**overrides)
    return lay.outputs(guarded_run(m, u, p))


def test_defaults():
    y = run()
    assert (y["permeate_flow"], y["concentrate_flow"]) == (950.0, 50.0)
    assert y["permeate_pressure"] == y["concentrate_pressure"] == 0.9
    assert y["permeate_temperature_c"] == y["concentrate_temperature_c"] == 20.0
    assert [y[f"solute{j}_permeate_conc"] for j in SOLUTES] == [9.999999999999998, 45.0, 10.0, 500.0]
    assert [y[f"solute{j}_concentrate_conc"] for j in SOLUTES] == [1810.0, 145.0, 10.0, 500.0]
    assert y["electric_power_kw"] == pytest.approx(2.0833333, rel=5e-8)
    assert y["daily_energy_kwh"] == pytest.approx(50.0, rel=1e-14)
    assert y["removed_solute_mass"] == 95.0 and y["input_warning"] == 0.0


@pytest.mark.parametrize("overrides, warning", [
    (dict(feed_flow=-5.0), 1.0),
    (dict(feed_flow=math.inf), 1.0),
    (dict(solute2_feed_conc=math.nan), 2.0),
    (dict(solute4_feed_conc=-1.0), 2.0),
    (dict(feed_flow=-5.0, solute2_feed_conc=math.nan), 2.0),
    (dict(feed_flow=-0.0, solute1_feed_conc=0.0), 0.0),
])
def test_input_warning(overrides, warning):
    assert run(**overrides)["input_warning"] == warning


def test_bad_feed_flow_counts_as_zero():
    y = run(feed_flow=-5.0)
    for name in ("permeate_flow", "concentrate_flow", "electric_power_kw", "daily_energy_kwh", "removed_solute_mass"):
        assert y[name] == 0.0
    assert [y[f"solute{j}_concentrate_conc"] for j in SOLUTES] == [0.0] * 4
    assert [y[f"solute{j}_permeate_conc"] for j in SOLUTES] == [9.999999999999998, 45.0, 10.0, 500.0]


def test_bad_concentration_counts_as_zero():
    y, base = run(solute2_feed_conc=math.nan), run()
    assert y["solute2_permeate_conc"] == 0.0 and y["solute2_concentrate_conc"] == 0.0
    assert y["solute1_concentrate_conc"] == base["solute1_concentrate_conc"]
    assert y["removed_solute_mass"] == pytest.approx(90.0)


def test_full_and_no_recovery():
    y = run(recovery=1.0)
    assert y["concentrate_flow"] == 0.0
    assert [y[f"solute{j}_concentrate_conc"] for j in SOLUTES] == [0.0] * 4
    y = run(recovery=0.0)
    assert y["permeate_flow"] == 0.0
    assert [y[f"solute{j}_concentrate_conc"] for j in SOLUTES] == [100.0, 50.0, 10.0, 500.0]


def test_full_removal():
    y = run(solute3_removal=1.0)
    assert y["solute3_permeate_conc"] == 0.0
    assert y["solute3_concentrate_conc"] == 10.0 * 1000.0 / 50.0


@pytest.mark.parametrize("name, bad, default", [
    ("pressure_drop", -2.0, 0.0), ("pressure_drop", math.nan, 0.0),
    ("energy_intensity", -1.0, 0.0), ("energy_intensity", math.nan, 0.0),
    ("recovery", math.nan, 0.0), ("recovery", 3.0, 1.0),
    ("solute1_removal", -math.inf, 0.0), ("solute1_removal", 1.5, 1.0),
    ("mass_factor", 0.0, 0.001), ("hours_factor", -1.0, 0.041666666666666664),
    ("density_kg_m3", 0.0, 1000.0), ("density_kg_m3", math.nan, 1000.0),
])
def test_substitutes(name, bad, default):
    u, p = lay.vectors(**{name: bad})
    u2, p2 = lay.vectors(**{name: default})
    assert same_bits(m.run(u, p), m.run(u2, p2))


def test_outlet_pressure_floored():
    assert run(pressure_drop=-2.0)["permeate_pressure"] == 1.0
    y = run(pressure_drop=3.0)
    assert y["permeate_pressure"] == y["concentrate_pressure"] == 0.0
