import math

import numpy as np
import pytest

from conftest import SENTINEL, as_ptr, core_guard, guarded_run, same_bits
from hydrokit import nanomech
from hydrokit.layout import layout

LAY = layout("nanomech")
OUT = {s.name: s.index for s in LAY.output_slots_default}
PERMEATE = slice(OUT["solute1_permeate_conc"], OUT["solute1_permeate_conc"] + 5)
CONCENTRATE = slice(OUT["solute1_concentrate_conc"], OUT["solute1_concentrate_conc"] + 5)
REJECTION = slice(OUT["solute1_rejection"], OUT["solute1_rejection"] + 5)

# Water at 20 °C (Kell density, Vogel viscosity), for reference values below.
RHO_20 = 998.2041322005837
MU_20 = 1.2196104407220009e-3


def run(**named):
    u, p = LAY.vectors(**named)
    return nanomech.run(u, p)


def film_coefficient(y):
    """k recovered from the outputs: CP = exp(Jv / k)."""
    return y[OUT["raw_flux"]] / math.log(y[OUT["polarisation_factor"]])


def test_defaults_osmotic_pressure_exceeds_feed_pressure():
    y = nanomech.run()
    assert y[OUT["status_code"]] == -8
    assert y[OUT["raw_flux"]] == 0 and y[OUT["flux"]] == 0
    assert y[OUT["polarisation_factor"]] == 1 and y[OUT["membrane_area"]] == 0
    # Everything else is still computed.
    assert y[OUT["feed_osmotic_pressure_bar"]] == pytest.approx(20.186, abs=5e-4)
    assert y[OUT["permeate_flow"]] == pytest.approx(0.000225, rel=1e-14)
    rej = y[REJECTION]
    assert rej[0] == pytest.approx(0.936, rel=1e-14)
    assert rej[1] == 0.99732
    assert rej[2] == 1.0  # solute larger than the pore
    assert rej[3] == pytest.approx(0.5904, abs=5e-5)
    assert rej[4] == pytest.approx(0.9100, abs=5e-5)
    assert y[OUT["pump_power_kw"]] == pytest.approx(0.79365, abs=5e-6)
    assert y[OUT["daily_energy_kwh"]] == pytest.approx(19.048, abs=5e-4)


def test_thirty_bar_turbulent_channel():
    y = run(feed_pressure_bar=30)
    assert y[OUT["status_code"]] == 0
    # Re = 4·Qf·ρ/(π·d·μ) ≈ 2.89e5 puts the channel in the turbulent branch.
    re = 4 * (1 / 3600) * RHO_20 / (math.pi * 0.001 * MU_20)
    assert re == pytest.approx(2.89e5, rel=5e-3)
    assert film_coefficient(y) == pytest.approx(0.01027, rel=5e-4)
    assert y[OUT["raw_flux"]] == pytest.approx(9.814e-5, rel=5e-4)
    assert y[OUT["polarisation_factor"]] == pytest.approx(1.0096, abs=5e-5)
    assert y[OUT["flux"]] == pytest.approx(9.720e-5, rel=5e-4)
    assert y[OUT["membrane_area"]] == pytest.approx(2.315, abs=5e-4)
    assert y[OUT["pump_power_kw"]] == 1.1904761904761905


def test_solute_mass_balance_closes():
    y = run(feed_pressure_bar=30)
    qf = nanomech.default_input()[0]
    cf = nanomech.default_input()[3:8]
    closed = y[PERMEATE] * y[OUT["permeate_flow"]] + y[CONCENTRATE] * y[OUT["concentrate_flow"]]
    np.testing.assert_allclose(closed, cf * qf, rtol=1e-12)
    np.testing.assert_allclose(y[PERMEATE], (1 - y[REJECTION]) * cf, rtol=1e-15)


def test_laminar_channel():
    # A flow of Re = 1000: Sh = 1.62·(Sc·Re·d)^(1/3).
    d = 0.001
    qf = 1000 * math.pi * d * MU_20 / (4 * RHO_20)
    y = run(feed_flow=qf, feed_pressure_bar=30)
    sc = MU_20 / (RHO_20 * 1e-9)
    k = (sc * 1000 * d) ** (1 / 3) * 1.62 * 1e-9 / d
    assert film_coefficient(y) == pytest.approx(k, rel=1e-9)
    assert y[OUT["status_code"]] == 0


def test_polarisation_exponent_is_capped_at_60():
    # A flow so small that Jv/k is far above 60.
    y = run(feed_flow=1e-11, feed_pressure_bar=30)
    assert y[OUT["polarisation_factor"]] == math.exp(60)
    assert y[OUT["flux"]] == y[OUT["raw_flux"]] / math.exp(60)


BAD_EVERYTHING = dict(feed_flow=-1.0, recovery=1.0, feed_pressure_bar=-5.0, pore_radius=0.0,
                      pump_efficiency=0.0, solute1_feed_conc=-3.0)


@pytest.mark.parametrize("named, status", [
    (dict(recovery=0.0), -2),
    (dict(recovery=-0.5), -2),
    (dict(feed_pressure_bar=0.0, **{f"solute{i}_feed_conc": 0.0 for i in range(1, 6)}), -3),
    (dict(tortuosity=0.0), -4),
    (dict(active_layer_thickness=-1e-6), -4),
    (dict(pump_efficiency=0.0), -5),
    (dict(solute4_feed_conc=-12.9), -6),
    (dict(recovery=1.0), -7),
    (dict(recovery=2.0, solute4_feed_conc=-1.0), -7),
    (dict(feed_pressure_bar=0.0), -8),  # −3, then no driving pressure: −8
    (dict(hydraulic_diameter=0.0), -9),
    (dict(hydraulic_diameter=math.nan), -9),  # a NaN coefficient is reported too
    (dict(hydraulic_diameter=0.0, **BAD_EVERYTHING), -9),
])
def test_later_status_overwrites_earlier(named, status):
    y = run(**{"feed_pressure_bar": 30, **named})
    assert y[OUT["status_code"]] == status


@pytest.mark.parametrize("named, check", [
    (dict(recovery=1.0), lambda y: y[OUT["concentrate_flow"]] == 0 and not y[CONCENTRATE].any()),
    (dict(recovery=0.0), lambda y: y[OUT["permeate_flow"]] == 0 and y[OUT["membrane_area"]] == 0),
    (dict(hydraulic_diameter=0.0),
     lambda y: y[OUT["polarisation_factor"]] == 1 and y[OUT["flux"]] == y[OUT["raw_flux"]] > 0),
])
def test_failed_check_still_computes(named, check):
    assert check(run(feed_pressure_bar=30, **named))


def test_negative_concentration_is_taken_as_zero():
    y = run(feed_pressure_bar=30, solute4_feed_conc=-12.9)
    base = run(feed_pressure_bar=30, solute4_feed_conc=0.0)
    assert y[OUT["status_code"]] == -6
    assert same_bits(y[:-1], base[:-1])


@pytest.mark.parametrize("energy", [0.1, 0.0, -1e4, 1e4])
def test_solute_larger_than_pore_is_fully_rejected(energy):
    # All five radii exceed a 1.5e-10 m pore, charged or not.
    y = run(feed_pressure_bar=30, pore_radius=1.5e-10, charge_exclusion_energy=energy)
    assert np.all(y[REJECTION] == 1.0)
    assert not y[PERMEATE].any()


def test_charge_exclusion_acts_by_sign_of_charge():
    weak = run(feed_pressure_bar=30, charge_exclusion_energy=0.0)
    strong = run(feed_pressure_bar=30, charge_exclusion_energy=1000.0)
    # Cation (solute 4) is held back more, anion (solute 5) less; neutral solutes untouched.
    assert strong[REJECTION][3] > weak[REJECTION][3]
    assert strong[REJECTION][4] < weak[REJECTION][4]
    assert same_bits(strong[REJECTION][:2], weak[REJECTION][:2])


@pytest.mark.parametrize("value", [0.0, -1.0, 1e300, math.nan, math.inf])
def test_reserved_parameter_is_not_read(value):
    u, p = LAY.vectors(feed_pressure_bar=30)
    y = nanomech.run(u, p)
    p[LAY.param_index("reserved_6")] = value
    assert same_bits(nanomech.run(u, p), y)


@pytest.mark.parametrize("slot", ["feed_flow", "temperature_c", "feed_pressure_bar", "solute3_feed_conc",
                                  "recovery", "pore_radius", "permeability", "hydraulic_diameter",
                                  "charge_exclusion_energy"])
@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf, 0.0])
def test_every_slot_written_whatever_the_input(slot, value):
    u, p = LAY.vectors(**{slot: value})
    y = np.full(nanomech.OUTPUT_WIDTH, SENTINEL)
    status = core_guard(nanomech)(as_ptr(u), u.size, as_ptr(p), p.size, as_ptr(y), y.size)
    assert status == 0 and not np.any(y == SENTINEL)
    assert y[OUT["status_code"]] in range(-9, 1)
    assert same_bits(guarded_run(nanomech, u, p), y)
