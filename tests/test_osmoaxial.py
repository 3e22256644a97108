"""Segmented reverse osmosis: a chain of lumped elements along the feed channel."""

import math

import numpy as np
import pytest

from conftest import guarded_run, load, same_bits
from hydrokit.layout import layout

m = load("osmoaxial")
lumped = load("osmolumped")
lay = layout("osmoaxial")
QF = 1 / 3600


def run(**kw):
    u, p = lay.vectors(**kw)
    return lay.outputs(guarded_run(m, u, p))


def pmax(a, b):
    return a if a > b else b


def pmin(a, b):
    return a if a < b else b


def chain(u, p, n):
    """The segment chain in Python, each segment solved by the lumped model.

    The lumped model with an unbounded recovery reports the element solve
    unchanged (flux, permeate concentration, net pressure, flag), so this
    follows the chain step by step with the very same solve.
    """
    qf, t, pf, pp, cf = pmax(0.0, u[0]), u[1], u[2], u[3], pmax(0.0, u[4])
    area = p[2] if p[2] > 0 else 1.0
    allowance = p[5] * qf
    drop = pmax(0.0, p[9])
    area_seg = area / n
    q, cb = qf, cf
    sum_qp = sum_qp_cp = sum_j = sum_net = 0.0
    segments = []
    for i in range(n):
        if q <= 1e-15:
            break
        remaining = allowance - sum_qp
        if remaining <= 0:
            break
        p_i = pmax(pp, pf - (i / n) * drop)
        y = lumped.run([q, t, p_i, pp, cb],
                       [p[0], p[1], 1.0, p[3], 1.0, math.inf, p[6], p[7], p[10], p[11], 0, 0])
        j, cp, net = y[2], y[4], y[10]
        qp = pmax(0.0, pmin(remaining, pmin(0.9 * q, j * area_seg)))
        q_next = q - qp
        cb = pmax(0.0, (cb * q - qp * cp) / q_next) if q_next > 1e-15 else 0.0
        sum_net += net
        sum_qp += qp
        sum_j += j
        sum_qp_cp += qp * cp
        segments.append({"inflow": q, "permeate": qp, "iterations": y[13], "not_converged": y[14]})
        q = q_next
    return {
        "permeate_flow": sum_qp, "concentrate_flow": qf - sum_qp, "flux": sum_j / n,
        "permeate_salinity": sum_qp_cp / sum_qp if sum_qp > 1e-15 else 0.0,
        "concentrate_salinity": cb, "mean_net_driving_pressure_bar": sum_net / n,
        "not_converged": float(any(s["not_converged"] for s in segments)),
    }, segments


CASES = {
    "defaults": {},
    "allowance stops the chain early": {"max_recovery": 0.05},
    "90 % of every inflow": {"membrane_area": 4000.0, "max_recovery": 1.0, "feed_pressure_bar": 200.0},
    "drop beyond the driving pressure": {"channel_pressure_drop_bar": 80.0, "feed_flow": 0.01},
    "three segments, converging": {"segment_count": 3, "feed_salinity": 1.0, "feed_flow": 0.01},
    "two hundred segments": {"segment_count": 200, "feed_flow": 0.01, "max_recovery": 0.9},
}


@pytest.mark.parametrize("case", CASES, ids=list(CASES))
def test_chain_of_lumped_elements(case):
    u, p = lay.vectors(**CASES[case])
    y = lay.outputs(guarded_run(m, u, p))
    expected, segments = chain(u, p, int(y["segment_count"]))
    for name, value in expected.items():
        assert same_bits(y[name], value), name
    if case == "defaults":
        assert len(segments) == 10 and all(s["iterations"] == 101 for s in segments)
    if case == "three segments, converging":
        assert y["not_converged"] == 0 and [s["iterations"] for s in segments] == [35, 36, 37]
    if case == "allowance stops the chain early":
        assert len(segments) == 1 and y["permeate_flow"] == 0.05 * QF
    if case == "90 % of every inflow":
        assert len(segments) == 10 and all(s["permeate"] == 0.9 * s["inflow"] for s in segments)
    if case == "drop beyond the driving pressure":
        # From segment 7 on the local pressure is at or below the permeate side.
        assert len(segments) == 10
        assert all(s["permeate"] == 0 for s in segments[7:]) and segments[0]["permeate"] > 0


def test_default_case():
    y = run()
    assert y["segment_count"] == 10 and y["membrane_area"] == 40
    assert y["not_converged"] == 1.0
    assert y["concentrate_pressure_bar"] == 53.0 and y["channel_pressure_drop_bar"] == 2.0
    assert y["pump_power_kw"] == 2.0 and y["daily_energy_kwh"] == 48.0
    assert 0 < y["permeate_flow"] <= 0.75 * QF
    assert y["concentrate_flow"] == QF - y["permeate_flow"]
    assert y["recovery_achieved"] == y["permeate_flow"] / QF
    assert y["salt_rejection"] == 1 - y["permeate_salinity"] / 35


@pytest.mark.parametrize("kw", [{"feed_flow": 0.0}, {"feed_flow": -1.0}, {"max_recovery": 0.0},
                                {"max_recovery": -0.5}], ids=str)
def test_no_segment_runs(kw):
    y = run(**kw)
    qf = QF if "max_recovery" in kw else 0.0
    assert y["permeate_flow"] == 0 and y["concentrate_flow"] == qf
    assert y["flux"] == 0 and y["mean_net_driving_pressure_bar"] == 0 and y["permeate_salinity"] == 0
    assert y["concentrate_salinity"] == 35.0 and y["salt_rejection"] == 1.0
    assert y["recovery_achieved"] == 0 and y["not_converged"] == 0
    assert y["pump_power_kw"] == (2.0 if qf else 0.0)


def test_drop_beyond_the_driving_pressure_floors_the_outlet():
    y = run(channel_pressure_drop_bar=80.0)
    assert y["concentrate_pressure_bar"] == 1.0 and y["channel_pressure_drop_bar"] == 80.0
    assert y["pump_power_kw"] == 2.0  # from the inlet pressures only
    assert run(channel_pressure_drop_bar=-3.0)["channel_pressure_drop_bar"] == 0.0


@pytest.mark.parametrize("count, used", [
    (0, 1), (-3, 1), (0.4, 1), (math.nan, 1), (math.inf, 1), (-math.inf, 1), (2.0**31, 1),
    (1.5, 2), (199.4, 199), (199.5, 200), (1000, 200), (1e300, 1),
])
def test_segment_count(count, used):
    y = m.run(*lay.vectors(segment_count=count))
    assert y[13] == used
    assert same_bits(y, m.run(*lay.vectors(segment_count=used)))


@pytest.mark.parametrize("cap", [0, math.nan, 2.0**31])
def test_pass_cap_of_one(cap):
    assert same_bits(m.run(*lay.vectors(max_iterations=cap)), m.run(*lay.vectors(max_iterations=1)))


# One segment against the lumped model: the same element solve on the same area.
ONE = {"segment_count": 1}


def lumped_params(p):
    """The lumped model's parameters: without segment count and channel drop."""
    return np.append(np.delete(p, [8, 9]), 0.0)
SAME = ("permeate_flow", "concentrate_flow", "concentrate_salinity", "recovery_achieved",
        "pump_power_kw", "daily_energy_kwh", "not_converged", "membrane_area")


@pytest.mark.parametrize("kw", [
    {"feed_flow": 0.01},
    {"feed_flow": 0.01, "feed_salinity": 5.0, "temperature_c": 35.0},
    {"feed_flow": 0.01, "solute_molar_mass": 0.0, "membrane_area": 10.0},
    {"feed_flow": 0.01, "permeate_pressure_bar": 60.0},
], ids=str)
def test_one_segment_agrees_with_the_lumped_model(kw):
    u, p = lay.vectors(**kw, **ONE)
    y = lay.outputs(m.run(u, p))
    lp = lumped_params(p)
    z = layout("osmolumped").outputs(lumped.run(u, lp))
    for name in SAME:
        assert same_bits(y[name], z[name]), name
    assert same_bits(y["flux"], z["flux"])
    assert same_bits(y["mean_net_driving_pressure_bar"], z["net_driving_pressure_bar"])
    # Mixed permeate (q·Cp)/q may differ from Cp in the last bit.
    assert y["permeate_salinity"] == pytest.approx(z["permeate_salinity"], rel=2e-16, abs=0)
    assert y["salt_rejection"] == pytest.approx(z["salt_rejection"], rel=1e-15, abs=0)


def test_one_segment_under_the_recovery_limit():
    # Both hold the permeate to the allowance; the lumped model also lowers its
    # reported flux to match, while the segment reports its solve's flux.
    u, p = lay.vectors(**ONE)
    lp = lumped_params(p)
    y, z = m.run(u, p), lumped.run(u, lp)
    assert y[0] == z[0] == 0.75 * QF
    free = lp.copy()
    free[5] = math.inf
    assert y[2] == lumped.run(u, free)[2] > z[2]
