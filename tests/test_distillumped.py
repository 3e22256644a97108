"""Lumped direct-contact membrane distillation (distillumped)."""
import math

import pytest

from conftest import given
from hydrokit.layout import layout

LAY = layout("distillumped")
RUN = LAY.module.run


def outputs(**overrides):
    u, p = LAY.vectors(**overrides)
    return LAY.outputs(RUN(u, p)), u, p


def test_default_case():
    y, u, _ = outputs()
    assert y["status_code"] == 0
    assert y["feed_vapour_pressure_pa"] == given("47267.0")
    assert y["cold_side_vapour_pressure_pa"] == given("12305.6")
    assert y["mass_flux"] == given("0.0349613")
    assert y["permeate_flow"] == given("3.59759e-5")
    assert y["concentrate_flow"] == given("2.41802e-4")
    assert y["recovery_achieved"] == given("0.129513")
    assert y["flux_lmh"] == given("129.513")
    assert y["latent_heat_flow_w"] == given("79012.6")
    assert y["conduction_heat_flow_w"] == 60000.0
    assert y["total_heat_flow_w"] == given("139012.6")
    assert y["thermal_efficiency"] == given("0.568385")
    # The flux at the inlet temperatures carries more heat than the small
    # streams hold; the outlets are not bounded.
    assert y["feed_outlet_temperature_c"] == given("-39.141")
    assert y["cold_side_outlet_temperature_c"] == given("171.068")
    assert y["concentrate_salinity"] == given("40.1553")
    assert y["permeate_salinity"] == 0.01 * 35
    assert y["pump_power_kw"] == given("0.079365")


def test_recovery_limit_recomputes_flux_and_heat():
    y, u, p = outputs(membrane_area=10.0)
    assert y["status_code"] == 1
    assert y["permeate_flow"] == 0.95 * u[0]
    assert y["recovery_achieved"] == 0.95
    assert y["mass_flux"] == given("0.0256447")
    assert y["latent_heat_flow_w"] == y["mass_flux"] * 10.0 * p[LAY.param_index("latent_heat")]


def test_zero_feed_flow():
    y, u, _ = outputs(feed_flow=0.0)
    assert y["status_code"] == 2
    assert y["permeate_flow"] == 0 and y["mass_flux"] == 0 and y["latent_heat_flow_w"] == 0
    assert y["concentrate_flow"] == 1e-15
    assert y["conduction_heat_flow_w"] == 60000.0
    assert y["feed_outlet_temperature_c"] == u[LAY.input_index("feed_temperature_c")]
    assert y["recovery_achieved"] == 0


@pytest.mark.parametrize("overrides", [
    {"cold_side_temperature_c": 80.0},
    {"cold_side_temperature_c": 90.0},
    {"membrane_thickness": 0.0},
    {"membrane_thickness": -1e-4},
])
def test_nothing_crosses(overrides):
    y, u, _ = outputs(**overrides)
    assert y["mass_flux"] == y["permeate_flow"] == y["latent_heat_flow_w"] == 0
    assert y["conduction_heat_flow_w"] == 0 and y["thermal_efficiency"] == 0
    assert y["feed_outlet_temperature_c"] == u[2] and y["cold_side_outlet_temperature_c"] == u[3]
    assert y["status_code"] == 0


@pytest.mark.parametrize("fallback", [900.0, 1200.0])
def test_fallback_density_for_non_positive_kell_value(fallback):
    # The density correlation is negative at 500 °C; the substitute takes its place.
    y, _, _ = outputs(feed_temperature_c=500.0, fallback_density=fallback)
    assert y["status_code"] == 1
    assert y["flux_lmh"] == ((y["mass_flux"] / fallback) * 1000.0) * 3600.0


def test_non_positive_fallback_density_gives_no_permeate():
    y, u, _ = outputs(feed_temperature_c=500.0, fallback_density=-1.0)
    assert y["permeate_flow"] == 0 and y["status_code"] == 0
    assert y["feed_outlet_temperature_c"] == 500.0


def _kell(t, fourth, fifth):
    num = 16.945176 * t + 999.83952
    num = num - 0.0079870401 * t * t
    num = num - 4.6170461e-5 * t * t * t
    num = num + fourth(t)
    num = num - fifth(t)
    return num / (1.0 + 0.01687985 * t)


def test_density_powers_come_from_pow():
    # At 66.7 °C the power-function and the repeated-product forms of the
    # density differ in the last bit, and so does the permeate flow.
    t = 66.7
    y, _, _ = outputs(feed_temperature_c=t)
    with_pow = _kell(t, lambda x: 1.0556302e-7 * math.pow(x, 4), lambda x: 2.8054253e-10 * math.pow(x, 5))
    with_product = _kell(t, lambda x: 1.0556302e-7 * x * x * x * x, lambda x: 2.8054253e-10 * x * x * x * x * x)
    assert with_pow != with_product
    assert y["permeate_flow"] == y["mass_flux"] / with_pow
    assert y["permeate_flow"] != y["mass_flux"] / with_product
