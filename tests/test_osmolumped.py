"""Lumped reverse osmosis: one element, one salt, recovery limit."""

import math

import numpy as np
import pytest

from conftest import guarded_run, load, same_bits
from hydrokit.layout import layout

m = load("osmolumped")
lay = layout("osmolumped")
R = 8.31446261815324
QF = 1 / 3600


def run(**kw):
    u, p = lay.vectors(**kw)
    return lay.outputs(guarded_run(m, u, p))


def osmotic_bar(c, molar_mass=58.44, i=2.0, t=25.0):
    return ((((c / (molar_mass / 1000)) * i) * R) * (t + 273.15)) / 100000


def test_default_case_runs_to_the_cap_then_the_recovery_limit_binds():
    y = run()
    assert (y["iterations"], y["not_converged"]) == (101.0, 1.0)
    q_max = 0.75 * QF
    assert y["permeate_flow"] == q_max
    assert y["flux"] == q_max / 40 and y["flux"] == pytest.approx(5.2083333e-6, rel=1e-7)
    assert y["concentrate_flow"] == QF - q_max
    assert y["recovery_achieved"] == pytest.approx(0.75, rel=1e-15)
    assert y["membrane_area"] == 40.0
    assert y["pump_power_kw"] == 2.0 and y["daily_energy_kwh"] == 48.0
    # Concentrations come from the solve, not from the lowered flux; the salt balances.
    assert y["concentrate_flow"] * y["concentrate_salinity"] + y["permeate_flow"] * y["permeate_salinity"] == \
        pytest.approx(QF * 35, rel=1e-13)
    assert y["salt_rejection"] == 1 - y["permeate_salinity"] / 35
    # The wall osmotic pressure exceeds the applied 54 bar in the last pass.
    assert y["net_driving_pressure_bar"] < 0 < y["wall_osmotic_pressure_bar"] - 54


@pytest.mark.parametrize("cap", [1, 2, 3, 4])
def test_first_passes_halve_the_flux(cap):
    # The wall osmotic pressure exceeds ΔP, so the new flux is 0 and damping halves J.
    y = run(feed_flow=1.0, max_iterations=cap)  # a feed so large the limit never binds
    assert y["flux"] == 1.08e-4 / 2**cap
    assert (y["iterations"], y["not_converged"]) == (cap + 1, 1.0)


def test_damped_flux_alternates_instead_of_settling():
    fluxes = [run(feed_flow=1.0, max_iterations=n)["flux"] for n in (97, 98, 99, 100)]
    assert fluxes[0] == pytest.approx(1.48e-5, rel=1e-3) and fluxes[2] == pytest.approx(1.48e-5, rel=1e-3)
    assert fluxes[1] == pytest.approx(7.40e-6, rel=1e-3) and fluxes[3] == pytest.approx(7.40e-6, rel=1e-3)


@pytest.mark.parametrize("permeate_bar, t", [(55.0, 25.0), (80.0, 25.0), (55.0, 40.0)])
def test_no_pressure_difference(permeate_bar, t):
    y = run(permeate_pressure_bar=permeate_bar, temperature_c=t)
    assert (y["iterations"], y["not_converged"]) == (1.0, 0.0)
    assert y["flux"] == 0 and y["permeate_flow"] == 0 and y["permeate_salinity"] == 0
    assert y["concentrate_flow"] == QF and y["concentrate_salinity"] == pytest.approx(35, rel=1e-15)
    assert y["salt_rejection"] == 1.0 and y["recovery_achieved"] == 0.0
    assert y["pump_power_kw"] == 0.0 and y["daily_energy_kwh"] == 0.0
    # The wall stays at the bulk concentration: the lumped van 't Hoff pressure of 35 kg/m³.
    assert y["wall_osmotic_pressure_bar"] == osmotic_bar(35.0, t=t)
    assert y["net_driving_pressure_bar"] == -y["wall_osmotic_pressure_bar"]


@pytest.mark.parametrize("feed_flow, limited", [(1.0, False), (QF, True)])
def test_zero_salinity_converges_at_once(feed_flow, limited):
    y = run(feed_salinity=0.0, feed_flow=feed_flow)
    assert (y["iterations"], y["not_converged"]) == (1.0, 0.0)
    assert y["flux"] == (0.75 * QF / 40 if limited else 5.4e6 * 2e-11)
    assert y["permeate_salinity"] == y["concentrate_salinity"] == y["salt_rejection"] == 0.0
    assert y["wall_osmotic_pressure_bar"] == y["permeate_osmotic_pressure_bar"] == 0.0
    assert y["net_driving_pressure_bar"] == 54.0


# 5e-324 g/mol underflows to 0 kg/mol.
@pytest.mark.parametrize("molar_mass", [0.0, -0.0, -58.44, 5e-324])
def test_molar_mass_not_above_zero_switches_osmosis_off(molar_mass):
    y = run(solute_molar_mass=molar_mass, feed_flow=1.0)
    assert y["wall_osmotic_pressure_bar"] == y["permeate_osmotic_pressure_bar"] == 0.0
    assert y["flux"] == 2e-11 * 5.4e6 and y["net_driving_pressure_bar"] == 54.0
    assert y["not_converged"] == 0.0 and 0 < y["permeate_salinity"] < 35


def test_lowered_flux_leaves_the_solve_results_alone():
    free = run(max_recovery=math.inf)
    limited = run()
    assert free["flux"] > limited["flux"]
    for name in ("permeate_salinity", "wall_osmotic_pressure_bar", "permeate_osmotic_pressure_bar",
                 "net_driving_pressure_bar", "iterations"):
        assert free[name] == limited[name]


@pytest.mark.parametrize("max_recovery", [1.0, 3.0])
def test_recovery_at_or_above_one_takes_the_whole_feed(max_recovery):
    y = run(max_recovery=max_recovery, membrane_area=1e4)
    assert y["permeate_flow"] == QF and y["recovery_achieved"] == 1.0
    assert y["concentrate_flow"] == 0.0 and y["concentrate_salinity"] == 0.0


@pytest.mark.parametrize("slot, bad, standin", [
    ("membrane_area", 0.0, 1.0), ("membrane_area", -5.0, 1.0),
    ("pump_efficiency", 0.0, 1.0), ("pump_efficiency", -0.2, 1.0),
    ("mass_transfer_coeff", 0.0, 1e-12), ("mass_transfer_coeff", -1.0, 1e-12),
])
def test_substitutes(slot, bad, standin):
    assert same_bits(m.run(*lay.vectors(**{slot: bad})), m.run(*lay.vectors(**{slot: standin})))


@pytest.mark.parametrize("tolerance", [0.0, -1.0, math.nan])
@pytest.mark.parametrize("max_iterations, cap", [
    (0, 1), (0.4, 1), (-3, 1), (math.nan, 1), (math.inf, 1), (2.0**31, 1), (6.5, 7), (12, 12),
])
def test_unmeetable_tolerance_runs_to_the_cap(tolerance, max_iterations, cap):
    y = run(tolerance=tolerance, max_iterations=max_iterations, feed_salinity=0.0)
    assert (y["iterations"], y["not_converged"]) == (cap + 1, 1.0)


def test_reserved_slots_are_not_read():
    u, p = m.default_input(), m.default_params()
    q = p.copy()
    q[10], q[11] = math.nan, -1e300
    assert same_bits(m.run(u, p), m.run(u, q))

