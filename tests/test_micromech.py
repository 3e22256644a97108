import math

import pytest

from conftest import guarded_run, load, same_bits
from hydrokit.layout import layout

m = load("micromech")
lay = layout("micromech")
CLASSES = range(1, 5)


def run(**overrides):
    u, p = lay.vectors(**overrides)
    return lay.outputs(guarded_run(m, u, p))


def flux_at(t_c, bar=1.0, resistance=1e11):
    """Darcy flux with the water viscosity at t_c, in the written order."""
    mu = 10.0 ** (247.8 / (t_c + 133.15)) * 0.02939 * 0.001
    return (bar * 100000.0) / (mu * resistance)


def test_defaults():
    y = run()
    assert y["flux"] == 100000.0 / (1.2196104407220009e-3 * 1e11)
    assert y["flux"] == pytest.approx(8.19934e-4, rel=5e-6)
    assert y["permeate_flow"] == 0.01
    assert y["concentrate_flow"] == pytest.approx(0.00111111, rel=5e-6)
    assert y["membrane_area"] == pytest.approx(12.1961, rel=5e-6)
    assert y["pump_power_kw"] == pytest.approx(1.709402, rel=5e-7)
    assert y["daily_energy_kwh"] == pytest.approx(41.02564, rel=5e-7)
    assert [y[f"class{i}_rejection"] for i in CLASSES] == pytest.approx([0.7975, 1, 0.0396, 0.00359676], rel=1e-12)
    assert y["class2_rejection"] == 1.0 and y["class2_permeate_conc"] == 0.0
    assert [y[f"class{i}_permeate_conc"] for i in CLASSES] == pytest.approx([1012.5, 0, 480.2, 1992.806], rel=5e-7)
    assert [y[f"class{i}_concentrate_conc"] for i in CLASSES] == pytest.approx(
        [40887.5, 10000, 678.2, 2064.742], rel=5e-7)


@pytest.mark.parametrize("given, used", [
    (150.0, 100.0), (-10.0, 0.0), (math.nan, 20.0), (math.inf, 20.0), (-math.inf, 20.0), (55.5, 55.5),
])
def test_viscosity_at_clamped_temperature(given, used):
    assert run(temperature_c=given)["flux"] == flux_at(used)


@pytest.mark.parametrize("size", [1e-7, 1.0000000000000002e-7, 1e-3, 1e300])
def test_class_at_or_above_pore_size_is_held_back(size):
    y = run(class1_size_m=size)
    q = m.default_input()[0]
    assert y["class1_rejection"] == 1.0 and y["class1_permeate_conc"] == 0.0
    assert y["class1_concentrate_conc"] == 5000.0 * q / y["concentrate_flow"]


# A size that is not a number or not finite counts as 0.
@pytest.mark.parametrize("size", [0.0, -1e-8, math.nan, math.inf, -math.inf])
def test_class_of_no_size_passes(size):
    y = run(class3_size_m=size)
    assert y["class3_rejection"] == 0.0 and y["class3_permeate_conc"] == 500.0
    assert y["class3_concentrate_conc"] == pytest.approx(500.0, rel=1e-12)


@pytest.mark.parametrize("name, bad, default", [
    ("pore_size_m", 0.0, 1e-7), ("pore_size_m", math.nan, 1e-7),
    ("membrane_resistance", -1.0, 1e11), ("membrane_resistance", math.nan, 1e11),
    ("pump_efficiency", 0.0, 1e-6), ("pump_efficiency", math.nan, 1e-6), ("pump_efficiency", 7.0, 1.0),
    ("recovery", math.nan, 0.0), ("recovery", -0.1, 0.0), ("recovery", math.inf, 0.0), ("recovery", 2.0, 1.0),
    ("feed_flow", -1.0, 0.0), ("feed_flow", math.inf, 0.0),
    ("transmembrane_pressure_bar", math.nan, 0.0), ("class4_feed_conc", -math.inf, 0.0),
])
def test_substitutes(name, bad, default):
    u, p = lay.vectors(**{name: bad})
    u2, p2 = lay.vectors(**{name: default})
    assert same_bits(guarded_run(m, u, p), m.run(u2, p2))


def test_full_recovery_has_no_concentrate():
    y = run(recovery=1.0)
    assert y["concentrate_flow"] == 0.0
    assert all(y[f"class{i}_concentrate_conc"] == 0.0 for i in CLASSES)


def test_negative_feed_flow_counts_as_zero():
    y, base = run(feed_flow=-1.0), run()
    for name in ("permeate_flow", "concentrate_flow", "membrane_area", "pump_power_kw", "daily_energy_kwh"):
        assert y[name] == 0.0
    for i in CLASSES:
        assert y[f"class{i}_concentrate_conc"] == 0.0
        assert y[f"class{i}_permeate_conc"] == base[f"class{i}_permeate_conc"]


@pytest.mark.parametrize("overrides", [
    dict(transmembrane_pressure_bar=0.0, pump_efficiency=0.0),
    dict(membrane_resistance=5e-324),  # flux overflows to inf and is taken as 0
])
def test_no_flux_means_no_area(overrides):
    y = run(**overrides)
    assert y["flux"] == 0.0 and y["membrane_area"] == 0.0
    assert y["permeate_flow"] == 0.01 and y["class1_rejection"] == run()["class1_rejection"]
