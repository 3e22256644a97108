"""Physical membrane distillation (distilmech)."""
import math

import pytest
from pytest import approx

from conftest import given

from hydrokit.layout import layout

LAY = layout("distilmech")
RUN = LAY.module.run


def outputs(**overrides):
    u, p = LAY.vectors(**overrides)
    return LAY.outputs(RUN(u, p)), u, p


def test_default_case():
    y, u, p = outputs()
    assert y["status_code"] == 0
    assert y["permeate_flow"] == 0.72 * u[0]
    assert y["concentrate_flow"] == given("7.7778e-5")
    assert y["feed_vapour_pressure_pa"] == given("47267.0")
    assert y["cold_side_vapour_pressure_pa"] == given("12305.6")
    # 2.14791e-8 with the 273 K offset; 273.15 would give 2.14837e-8.
    assert y["knudsen_diffusivity"] == given("2.14791e-8")
    assert y["flux"] == given("0.0045455")
    assert y["flux_lmh"] == given("16363.7")
    assert y["membrane_area"] == given("0.044000")
    # Warming at ρ ≈ 971.80 kg/m³ and cp ≈ 4322.35 J/(kg·K) plus Qp·latent_heat.
    assert y["heat_duty_w"] == given("64625.5")
    assert y["daily_heat_kwh"] == given("1551.01")
    assert y["pump_power_kw"] == given("0.079365")
    assert y["daily_energy_kwh"] == 24 * y["pump_power_kw"]
    assert y["solute1_concentrate_conc"] == given("82386.8")
    for i in range(1, 6):
        cf = u[LAY.input_index(f"solute{i}_feed_conc")]
        assert y[f"solute{i}_permeate_conc"] == 0.01 * cf
        # Solute mass balance over the stage.
        assert cf * u[0] == approx(y[f"solute{i}_permeate_conc"] * y["permeate_flow"]
                                   + y[f"solute{i}_concentrate_conc"] * y["concentrate_flow"], rel=1e-12)


@pytest.mark.parametrize("recovery, permeate_share", [(2.0, 0.999999), (0.999999, 0.999999), (-0.5, 0.0), (0.0, 0.0)])
def test_recovery_is_clamped(recovery, permeate_share):
    y, u, _ = outputs(recovery=recovery)
    assert y["permeate_flow"] == permeate_share * u[0]
    assert y["concentrate_flow"] == approx((1 - permeate_share) * u[0], rel=1e-9)
    assert y["status_code"] == 0


def test_zero_feed_flow():
    y, _, _ = outputs(feed_flow=0.0)
    assert y["status_code"] == 2
    assert y["concentrate_flow"] == 1e-15
    assert y["membrane_area"] == 0
    assert all(y[f"solute{i}_concentrate_conc"] == 0 for i in range(1, 6))


@pytest.mark.parametrize("overrides, status", [
    ({"cold_side_temperature_c": 80.0}, 0),    # no driving difference
    ({"cold_side_temperature_c": 95.0}, 0),
    ({"pore_diameter": 0.0}, 0),               # no Knudsen diffusion
    ({"tortuosity": -1.0}, 0),                 # no permeance
    ({"membrane_thickness": 0.0}, 0),
    ({"porosity": -0.6}, 1),                   # negative flux is reported
    ({"cold_side_temperature_c": math.nan}, 1),  # NaN pressure difference is reported
    ({"porosity": -0.6, "feed_flow": 0.0}, 2),   # a floored concentrate overrides 1
])
def test_no_flux(overrides, status):
    y, _, _ = outputs(**overrides)
    assert y["flux"] == 0 and y["flux_lmh"] == 0 and y["membrane_area"] == 0
    assert y["status_code"] == status


@pytest.mark.parametrize("efficiency", [0.0, -0.7, math.nan])
def test_pump_without_efficiency(efficiency):
    y, _, _ = outputs(pump_efficiency=efficiency)
    assert y["pump_power_kw"] == 0 and y["daily_energy_kwh"] == 0 and y["status_code"] == 0


def test_heat_duty_is_floored():
    # Feed supplied hotter than it leaves and nothing evaporated: no duty.
    y, _, _ = outputs(supply_temperature_c=200.0, recovery=0.0)
    assert y["heat_duty_w"] == 0.0 and y["daily_heat_kwh"] == 0.0
