"""Segmented co-current direct-contact membrane distillation (distilaxial)."""
import math

import pytest
from pytest import approx

from conftest import given, same_bits
from hydrokit.layout import layout

LAY = layout("distilaxial")
LUMPED = layout("distillumped")
RUN = LAY.module.run
N = LAY.param_index("segment_count")


def outputs(**overrides):
    u, p = LAY.vectors(**overrides)
    return LAY.outputs(RUN(u, p)), u, p


def test_default_case():
    y, u, _ = outputs()
    assert y["status_code"] == 0
    assert y["permeate_flow"] == given("4.40940e-6")
    assert y["recovery_achieved"] == given("0.0158739")
    assert y["mass_flux"] == given("0.00429955")
    assert y["flux_lmh"] == given("15.4784")
    assert y["feed_outlet_temperature_c"] == given("65.0254")
    assert y["cold_side_outlet_temperature_c"] == given("65.0242")
    assert y["latent_heat_flow_w"] == given("9716.99")
    assert y["conduction_heat_flow_w"] == given("7527.32")
    assert y["total_heat_flow_w"] == y["conduction_heat_flow_w"] + y["latent_heat_flow_w"]
    assert y["thermal_efficiency"] == given("0.563490")
    assert y["concentrate_salinity"] == given("35.5589")
    assert y["permeate_salinity"] == 0.01 * 35
    assert y["permeate_flow"] + y["concentrate_flow"] == approx(u[0], rel=1e-12)


# Slots the single segment shares with the lumped cell: all but flux_lmh.
SHARED = [i for i in range(18) if i != 4]


@pytest.mark.parametrize("overrides", [
    {},
    {"membrane_area": 10.0},                                      # recovery limit
    {"feed_flow": 0.0},                                           # floored concentrate
    {"cold_side_temperature_c": 85.0},
    {"membrane_thickness": 0.0},
    {"feed_temperature_c": 60.0, "cold_side_flow": 1e-3, "feed_salinity": 70.0},
    {"feed_temperature_c": 500.0, "fallback_density": 900.0},     # density substitute
    {"max_recovery": -1.0},
])
def test_one_segment_is_the_lumped_cell(overrides):
    u, p = LAY.vectors(segment_count=1, **overrides)
    y = RUN(u, p)
    y_lumped = LUMPED.module.run(u, p[:N])
    assert same_bits(y[SHARED], y_lumped[SHARED])
    assert y[4] == ((y[3] / p[LAY.param_index("fallback_density")]) * 1000.0) * 3600.0


@pytest.mark.parametrize("value, count", [
    (0.4, 1), (0.49999, 1), (-3.0, 1), (0.0, 1), (2.5, 3), (2.49, 2), (200.4, 200), (1000.0, 200),
    (2.0**31, 1), (math.nan, 1), (math.inf, 1), (-math.inf, 1), (1e300, 1),
])
def test_segment_count(value, count):
    u, p = LAY.vectors(segment_count=value)
    _, p_count = LAY.vectors(segment_count=count)
    assert same_bits(RUN(u, p), RUN(u, p_count))


def test_segment_counts_are_distinguishable():
    results = [RUN(*LAY.vectors(segment_count=n)) for n in (1, 2, 3, 199, 200)]
    assert len({r.tobytes() for r in results}) == len(results)


def test_march_stops_at_recovery_cap():
    y, u, p = outputs(max_recovery=0.01)
    assert y["status_code"] == 1
    assert y["permeate_flow"] == 0.01 * u[0]
    assert y["recovery_achieved"] == 0.01
    # Two segments' flux, averaged over all twenty.
    assert y["mass_flux"] == given("0.00270298")
    ph_inlet = LUMPED.outputs(LUMPED.module.run(u, p[:N]))["feed_vapour_pressure_pa"]
    assert 1 < y["feed_vapour_pressure_pa"] * 20 / ph_inlet < 2


def test_zero_feed_flow_runs_one_segment():
    y, u, p = outputs(feed_flow=0.0)
    assert y["status_code"] == 2
    assert y["concentrate_flow"] == 1e-15 and y["permeate_flow"] == 0
    assert y["conduction_heat_flow_w"] == 3000.0
    assert y["feed_outlet_temperature_c"] == 80.0
    ph = LUMPED.outputs(LUMPED.module.run(u, p[:N]))["feed_vapour_pressure_pa"]
    assert y["feed_vapour_pressure_pa"] == ph / 20
    assert y["feed_vapour_pressure_pa"] == given("2363.35")


@pytest.mark.parametrize("thickness", [0.0, -1e-4, math.nan])
def test_no_membrane_transport(thickness):
    y, u, _ = outputs(membrane_thickness=thickness)
    assert y["mass_flux"] == y["permeate_flow"] == 0
    assert y["latent_heat_flow_w"] == y["conduction_heat_flow_w"] == 0
    assert (y["feed_outlet_temperature_c"], y["cold_side_outlet_temperature_c"]) == (u[2], u[3])
    assert y["status_code"] == 0

