import math

import numpy as np
import pytest

from conftest import guarded_run, load, same_bits
from hydrokit.layout import layout

m = load("ultramech")
lay = layout("ultramech")


def run(**overrides):
    u, p = lay.vectors(**overrides)
    return lay.outputs(guarded_run(m, u, p))


def test_defaults():
    y = run()
    assert y["permeate_flow"] == 0.00025 and y["flux"] == 2.5e-5 and y["membrane_area"] == 10.0
    assert y["concentrate_flow"] == pytest.approx(2.7778e-5, rel=1e-4)
    assert y["pump_power_kw"] == pytest.approx(0.198413, rel=5e-6)
    assert y["daily_energy_kwh"] == pytest.approx(4.761905, rel=5e-6)
    rejection = [y[f"class{i}_rejection"] for i in range(1, 5)]
    assert rejection[:2] == [1.0, 1.0]
    assert rejection[2:] == pytest.approx([0.0768837, 0.00064779], rel=5e-6)
    permeate = [y[f"class{i}_permeate_conc"] for i in range(1, 5)]
    assert permeate[:2] == [0.0, 0.0]
    assert permeate[2:] == pytest.approx([461.558, 1998.704], rel=5e-6)
    concentrate = [y[f"class{i}_concentrate_conc"] for i in range(1, 5)]
    assert concentrate == pytest.approx([50000, 10000, 845.976, 2011.660], rel=5e-6)
    # Class 1 is eleven pore sizes large: fully held back, all its mass in the concentrate.
    assert concentrate[0] == 5000.0 * m.default_input()[0] / y["concentrate_flow"]


@pytest.mark.parametrize("overrides", [
    dict(feed_flow=-1e-12),
    dict(feed_flow=-1e-12, transmembrane_pressure_bar=-1.0),
    dict(transmembrane_pressure_bar=-1e-300),
    dict(feed_flow=-math.inf, recovery=math.nan),
])
def test_negative_flow_or_pressure_leaves_zeros(overrides):
    u, p = lay.vectors(**overrides)
    y = m.run(u, p)  # no exception
    assert same_bits(y, np.zeros(18)) and same_bits(guarded_run(m, u, p), y)


def test_nan_flow_or_pressure_is_not_rejected():
    assert math.isnan(run(feed_flow=math.nan)["permeate_flow"])
    assert math.isnan(run(transmembrane_pressure_bar=math.nan)["flux"])


def test_zero_feed_flow():
    y, base = run(feed_flow=0.0), run()
    for name in ("permeate_flow", "concentrate_flow", "membrane_area", "pump_power_kw", "daily_energy_kwh"):
        assert y[name] == 0.0
    for i in range(1, 5):
        assert y[f"class{i}_concentrate_conc"] == 0.0
        assert y[f"class{i}_permeate_conc"] == base[f"class{i}_permeate_conc"]


@pytest.mark.parametrize("recovery", [1.0, 1.5, math.inf])
def test_full_recovery_has_no_concentrate(recovery):
    y = run(recovery=recovery)
    assert y["concentrate_flow"] == 0.0 and y["permeate_flow"] == 1 / 3600
    assert all(y[f"class{i}_concentrate_conc"] == 0.0 for i in range(1, 5))


@pytest.mark.parametrize("recovery", [0.0, -0.5])
def test_no_recovery_passes_the_feed(recovery):
    y = run(recovery=recovery)
    assert y["permeate_flow"] == 0.0 and y["membrane_area"] == 0.0
    feed = m.default_input()[3:]
    assert [y[f"class{i}_concentrate_conc"] for i in range(1, 5)] == list(feed)


def test_zero_pressure():
    y, base = run(transmembrane_pressure_bar=0.0), run()
    assert y["flux"] == 0.0 and y["membrane_area"] == 0.0 and y["pump_power_kw"] == 0.0
    assert all(y[f"class{i}_rejection"] == base[f"class{i}_rejection"] for i in range(1, 5))


@pytest.mark.parametrize("name, bad, default", [
    ("permeability", 0.0, 5e-11), ("permeability", -1.0, 5e-11), ("permeability", math.nan, 5e-11),
    ("pore_size_m", 0.0, 5e-9), ("pore_size_m", math.nan, 5e-9),
    ("pump_efficiency", 0.0, 0.01), ("pump_efficiency", -3.0, 0.01), ("pump_efficiency", 2.0, 1.0),
    ("temperature_c", math.nan, 20.0), ("temperature_c", 95.0, 20.0),
])
def test_substitutes(name, bad, default):
    u, p = lay.vectors(**{name: bad})
    u2, p2 = lay.vectors(**{name: default})
    assert same_bits(m.run(u, p), m.run(u2, p2))


def test_class_of_size_zero_passes():
    y = run(class3_size_m=0.0, class4_size_m=-1.0)
    for i, cf in ((3, 500.0), (4, 2000.0)):
        assert y[f"class{i}_rejection"] == 0.0
        assert y[f"class{i}_permeate_conc"] == cf
        assert y[f"class{i}_concentrate_conc"] == pytest.approx(cf, rel=1e-12)
