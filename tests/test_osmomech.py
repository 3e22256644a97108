"""osmomech: the physical single-stage reverse-osmosis model."""

import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from conftest import same_bits
from hydrokit import osmomech
from hydrokit.layout import layout

LAY = layout("osmomech")
R = 8.31446261815324


def mx(a, b):
    return a if a > b else b


def clamp(x, lo, hi):
    return lo if lo > x else (hi if hi < x else x)


def density(t):
    n = 16.945176 * t + 999.83952
    for c, k, sign in ((0.0079870401, 2, -1), (4.6170461e-5, 3, -1), (1.0556302e-7, 4, 1), (2.8054253e-10, 5, -1)):
        term = c * t
        for _ in range(k - 1):
            term = term * t
        n = n - term if sign < 0 else n + term
    return n / (1 + 0.01687985 * t)


def film(q, d, rho, mu, diff):
    d = 0.001 if d <= 0 else d
    mu = 0.001 if mu <= 0 else mu
    rho = 1000.0 if rho <= 0 else rho
    diff = 1e-9 if diff <= 0 else diff
    re = ((4 * q) * rho) / ((d * math.pi) * mu)
    sc = mu / (rho * diff)
    if re < 2300:
        sh = 1.62 * ((sc * re) * d) ** 0.3333333333333333
    else:
        f8 = (0.79 * math.log(re) - 1.64) ** -2.0 * 0.125
        sh = (((re - 1000) * f8) * sc) / ((sc ** 0.6666666666666666 - 1) * (12.7 * math.sqrt(f8)) + 1)
    k = mx(0.0, sh) * diff / d
    return 1e-12 if k <= 1e-12 else k


def reference(u, p):
    """The model written out step by step in Python doubles (finite inputs)."""
    qf, t, pbar = mx(0.0, u[0]), u[1], mx(0.0, u[2])
    cf = [mx(0.0, v) for v in u[3:8]]
    r = clamp(p[0], 0.0, 0.999999)
    a = p[1]
    d = 0.0007 if p[3] <= 0 else p[3]
    eta = 1.0 if p[5] <= 0 else p[5]
    cap = max(1, int(p[6] + 0.5))
    tol = p[7]
    mw = [1.0 if m <= 0 else m for m in p[8:13]]
    rho, mu = density(t), 10.0 ** (247.8 / (t + 133.15)) * 0.02939 * 0.001
    cb = [cf[i] / mw[i] for i in range(5)]
    k = [film(qf, d, rho, mu, p[13 + i]) for i in range(5)]
    tk = t + 273.15
    ppa = pbar * 100000
    j = mx(0.0, (a * pbar) * 100000)
    cp = [0.0] * 5
    n, flag = 1, 1
    while True:
        cm = [math.exp(clamp(j / k[i], -50.0, 50.0)) * cb[i] for i in range(5)]
        cpn = []
        for i in range(5):
            c = ((cm[i] - cp[i]) * p[18 + i]) / j if j > 1e-15 else 0.0
            c = 0.0 if c < 0 else c
            cpn.append(cm[i] if c > cm[i] else c)
        sw = sp = 0.0
        for i in range(5):
            sw = sw + cm[i]
        for i in range(5):
            sp = sp + cpn[i]
        dpi = (mx(0.0, sw) * R) * tk - (mx(0.0, sp) * R) * tk
        jn = mx(0.0, (ppa - dpi) * a)
        dj = abs(jn - j) / (abs(j) + 1e-12)
        dc = 0.0
        for i in range(5):
            dc = mx(abs(cpn[i] - cp[i]) / (abs(cp[i]) + 1e-12), dc)
        cp = [0.5 * cpn[i] + 0.5 * cp[i] for i in range(5)]
        j = 0.5 * jn + 0.5 * j
        if dj < tol and dc < tol:
            flag = 0
            break
        n += 1
        if n > cap:
            break
    qp = r * qf
    qc = qf - qp
    y = [qp, qc, j, qp / j if j > 1e-15 else 0.0]
    cpm = [cp[i] * mw[i] for i in range(5)]
    y += cpm
    y += [mx(0.0, (cf[i] * qf - cpm[i] * qp) / qc) if qc > 1e-15 else 0.0 for i in range(5)]
    y += [clamp(1 - cpm[i] / cf[i], 0.0, 1.0) if cf[i] > 0 else 0.0 for i in range(5)]
    power = ((pbar * qf) * 100000) / (eta * 1000)
    sw = sp = 0.0
    for i in range(5):
        sw = sw + cm[i]
    for i in range(5):
        sp = sp + cp[i]
    y += [power, power * 24, ((mx(0.0, sw) * R) * tk) / 100000, ((mx(0.0, sp) * R) * tk) / 100000, n, flag]
    return y


def named(**overrides):
    u, p = LAY.vectors(**overrides)
    return LAY.outputs(osmomech.run(u, p))


def test_default_case():
    y = named()
    assert y["iterations"] == 27 and y["not_converged"] == 0
    assert y["flux"] == pytest.approx(1.8912e-5, rel=1e-4)
    assert y["membrane_area"] == pytest.approx(12.338, abs=1e-3)
    assert y["permeate_flow"] == 0.84 * 0.0002777777777777778
    assert y["pump_power_kw"] == 1.1904761904761905
    assert y["daily_energy_kwh"] == 28.57142857142857
    assert y["wall_osmotic_pressure_bar"] == pytest.approx(20.55, abs=5e-3)
    assert y["concentrate_flow"] == 0.0002777777777777778 - y["permeate_flow"]


def test_default_case_matches_stepwise_reference_bitwise():
    assert osmomech.run().tolist() == reference(osmomech.default_input(), osmomech.default_params())


finite = st.floats(allow_nan=False, allow_infinity=False)


@settings(max_examples=150, deadline=None)
@given(st.data())
def test_matches_stepwise_reference_on_varied_inputs(data):
    u, p = osmomech.default_input(), osmomech.default_params()
    for vec in (u, p):
        for i in range(vec.size):
            if data.draw(st.booleans()):
                scale = data.draw(st.sampled_from([0.0, -1.0, 0.1, 0.5, 2.0, 10.0]))
                vec[i] = vec[i] * scale
    p[6] = min(p[6], 300.0)  # keep the Python reference quick
    assert osmomech.run(u, p).tolist() == reference(u, p)


@pytest.mark.parametrize("cap", [1, 0, 0.4, -7, math.nan, 1e300])
def test_single_pass_caps(cap):
    y = named(max_iterations=cap)
    assert y["iterations"] == 2 and y["not_converged"] == 1


def test_zero_pressure():
    y = named(feed_pressure_bar=0)
    assert y["flux"] == 0 and y["membrane_area"] == 0
    assert y["iterations"] == 1 and y["not_converged"] == 0
    for i in range(1, 6):
        assert y[f"solute{i}_permeate_conc"] == 0 and y[f"solute{i}_rejection"] == 1
    assert named(feed_pressure_bar=-3) == y


def test_zero_feed_flow():
    y = named(feed_flow=0)
    assert y["permeate_flow"] == 0 and y["concentrate_flow"] == 0 and y["pump_power_kw"] == 0
    assert all(y[f"solute{i}_concentrate_conc"] == 0 for i in range(1, 6))
    assert y["iterations"] == 101 and y["not_converged"] == 1


@pytest.mark.parametrize("recovery", [1.0, 5.0, math.inf])
def test_recovery_capped_below_one(recovery):
    y = named(recovery=recovery)
    assert y == named(recovery=0.999999)
    assert y["concentrate_flow"] > 0
    assert all(math.isfinite(y[f"solute{i}_concentrate_conc"]) for i in range(1, 6))


def test_solute_without_feed():
    y = named(solute4_feed_conc=0)
    assert y["solute4_rejection"] == 0 and y["solute4_permeate_conc"] == 0 and y["solute4_concentrate_conc"] == 0


@pytest.mark.parametrize("tol", [0.0, -1.0])
def test_non_positive_tolerance_runs_to_cap(tol):
    y = named(tolerance=tol, max_iterations=40)
    assert y["iterations"] == 41 and y["not_converged"] == 1


@pytest.mark.parametrize("name, bad, good", [
    ("hydraulic_diameter", 0.0, 0.0007), ("hydraulic_diameter", -1.0, 0.0007),
    ("pump_efficiency", 0.0, 1.0), ("pump_efficiency", -0.5, 1.0),
    ("solute2_molar_mass", 0.0, 1.0), ("solute5_molar_mass", -3.0, 1.0),
])
def test_substitutes(name, bad, good):
    assert same_bits(osmomech.run(*LAY.vectors(**{name: bad})), osmomech.run(*LAY.vectors(**{name: good})))


@pytest.mark.parametrize("name", ["reserved_2", "reserved_4"])
@pytest.mark.parametrize("value", [math.nan, -1e300, 0.0])
def test_reserved_slots_are_ignored(name, value):
    assert same_bits(osmomech.run(*LAY.vectors(**{name: value})), osmomech.run())


def test_cap_at_int32_max_counts_in_64_bits():
    # Converges on the first pass, so a huge cap costs nothing; the counter
    # must not wrap when the cap is the largest int32.
    y = named(feed_pressure_bar=0, max_iterations=2147483647.0)
    assert y["iterations"] == 1
    # One past the int32 range is out of range, so the cap falls back to 1.
    assert named(max_iterations=2147483648.0)["iterations"] == 2


def test_nan_temperature_travels():
    y = osmomech.run(LAY.input_vector(temperature_c=math.nan))
    assert math.isnan(y[2]) and y[0] == osmomech.run()[0]
