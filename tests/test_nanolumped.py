import math

import numpy as np
import pytest

from conftest import SENTINEL, as_ptr, core_guard, guarded_run, same_bits
from hydrokit import nanolumped
from hydrokit.layout import layout

LAY = layout("nanolumped")
OUT = {s.name: s.index for s in LAY.output_slots_default}
IONS = ("na", "cl", "k", "mg", "ca", "so4")
CHARGE = np.array([1.0, -1.0, 1.0, 2.0, 2.0, -2.0])


def block(y, suffix):
    start = OUT[f"na_{suffix}"]
    return y[start:start + 6]


def run(**named):
    u, p = LAY.vectors(**named)
    return nanolumped.run(u, p)


def test_defaults_with_charge_balance():
    y = nanolumped.run()
    assert y[OUT["status_code"]] == 0
    assert (y[OUT["permeate_flow_m3h"]], y[OUT["concentrate_flow_m3h"]]) == (87.5, 37.5)
    np.testing.assert_allclose(block(y, "permeate_conc"),
                               [10.3572, 16.3667, 0.3555, 0.0278, 0.0225, 0.0656], rtol=0, atol=5e-5)
    assert y[OUT["cl_observed_rejection"]] == pytest.approx(0.24473, abs=5e-6)  # not the set 0.29
    assert y[OUT["cl_concentrate_conc"]] == pytest.approx(34.0443, abs=5e-5)
    assert y[OUT["membrane_area"]] == pytest.approx(14554.2, abs=0.05)
    assert y[OUT["power_kw"]] == pytest.approx(61.25, rel=1e-14)
    assert y[OUT["daily_energy_kwh"]] == pytest.approx(1470, rel=1e-14)
    assert abs(y[OUT["permeate_charge_balance"]]) < 1e-16
    # Pass-throughs.
    assert y[OUT["concentrate_port_pressure_bar"]] == 13.0
    assert y[OUT["permeate_port_pressure_bar"]] == 1.0
    assert y[OUT["permeate_port_temperature_c"]] == y[OUT["concentrate_port_temperature_c"]] == 20.0
    assert y[OUT["flux"]] == 1.67e-6 and y[OUT["specific_energy_kwh_m3"]] == 0.7


def test_defaults_without_charge_balance():
    y = run(charge_balance_switch=0)
    assert y[OUT["status_code"]] == 0
    assert y[OUT["cl_permeate_conc"]] == 15.3857
    assert y[OUT["cl_concentrate_conc"]] == pytest.approx(36.3334, abs=5e-5)
    assert y[OUT["permeate_charge_balance"]] == pytest.approx(0.027671, abs=5e-7)
    assert y[OUT["cl_observed_rejection"]] == pytest.approx(0.29, rel=1e-14)


@pytest.mark.parametrize("switch", [1.0, 0.0])
def test_mass_balance_and_totals(switch):
    u, p = LAY.vectors(charge_balance_switch=switch)
    y = nanolumped.run(u, p)
    cf = u[3:9]
    cp, cc = block(y, "permeate_conc"), block(y, "concentrate_conc")
    np.testing.assert_allclose(cp * y[0] + cc * y[1], cf * u[0], rtol=1e-13)
    np.testing.assert_allclose(block(y, "observed_rejection"), 1 - cp / cf, rtol=1e-15)
    assert y[OUT["feed_total_conc"]] == pytest.approx(cf.sum(), rel=1e-15)
    assert y[OUT["permeate_total_conc"]] == pytest.approx(cp.sum(), rel=1e-15)
    assert y[OUT["concentrate_total_conc"]] == pytest.approx(cc.sum(), rel=1e-15)
    m = p[12:18]
    assert y[OUT["permeate_charge_balance"]] == pytest.approx((CHARGE * cp / m).sum(), abs=1e-15)


def test_set_chloride_rejection_ignored_under_charge_balance():
    assert same_bits(run(cl_rejection=0.9), nanolumped.run())
    assert not same_bits(run(cl_rejection=0.9, charge_balance_switch=0.5),
                         run(charge_balance_switch=0.5))  # 0.5 is not above 0.5: switch off


def test_sulfate_dominated_permeate_gets_no_chloride():
    y = run(so4_feed_conc=2000)
    assert y[OUT["cl_permeate_conc"]] == 0
    assert y[OUT["permeate_charge_balance"]] == pytest.approx(-0.369801, abs=5e-7)
    assert y[OUT["status_code"]] == 0


def test_chloride_free_feed_gives_negative_concentrate():
    y = run(cl_feed_conc=0)
    assert y[OUT["cl_permeate_conc"]] > 0
    assert y[OUT["cl_concentrate_conc"]] < -1e-9  # reported as computed
    assert y[OUT["cl_observed_rejection"]] == 0
    assert y[OUT["status_code"]] == -6


@pytest.mark.parametrize("named, status", [
    (dict(recovery=0.0), -2),
    (dict(recovery=-1.0), -2),
    (dict(design_flux=0.0), -3),
    (dict(design_flux=0.0, recovery=0.0), -3),
    (dict(mg_feed_conc=-1.0), -4),
    (dict(mg_feed_conc=-1.0, design_flux=-1.0), -4),
    (dict(recovery=1.0), -5),
    (dict(feed_flow_m3h=-125.0), -5),  # −1, and a negative concentrate flow: −5
    (dict(recovery=1.0, cl_feed_conc=0.0), -5),  # no concentrate, nothing negative left
    (dict(cl_feed_conc=0.0, design_flux=0.0, na_feed_conc=-1.0), -6),
])
def test_later_status_overwrites_earlier(named, status):
    assert run(**named)[OUT["status_code"]] == status


@pytest.mark.parametrize("named, check", [
    (dict(recovery=1.0), lambda y: y[OUT["concentrate_flow_m3h"]] == 0
     and not block(y, "concentrate_conc").any() and y[OUT["concentrate_total_conc"]] == 0),
    (dict(design_flux=0.0), lambda y: y[OUT["membrane_area"]] == 0 and y[OUT["flux"]] == 0),
])
def test_failed_check_still_computes(named, check):
    assert check(run(**named))


def test_negative_feed_concentration_is_taken_as_zero():
    y = run(mg_feed_conc=-1.0)
    base = run(mg_feed_conc=0.0)
    assert same_bits(y[:-1], base[:-1])
    assert y[OUT["mg_observed_rejection"]] == 0


@pytest.mark.parametrize("name, value, clamped", [
    ("na_rejection", -0.5, 0.0), ("na_rejection", 1.5, 1.0), ("recovery", 1.5, 1.0),
])
def test_fractions_are_clamped(name, value, clamped):
    assert same_bits(run(**{name: value}), run(**{name: clamped}))


@pytest.mark.parametrize("slot", ["feed_flow_m3h", "cl_feed_conc", "recovery", "so4_rejection",
                                  "design_flux", "charge_balance_switch", "cl_molar_mass", "so4_molar_mass"])
@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf, 0.0])
def test_every_slot_written_whatever_the_input(slot, value):
    u, p = LAY.vectors(**{slot: value})
    y = np.full(nanolumped.OUTPUT_WIDTH, SENTINEL)
    status = core_guard(nanolumped)(as_ptr(u), u.size, as_ptr(p), p.size, as_ptr(y), y.size)
    assert status == 0 and not np.any(y == SENTINEL)
    assert y[OUT["status_code"]] in range(-6, 1)
    assert same_bits(guarded_run(nanolumped, u, p), y)
