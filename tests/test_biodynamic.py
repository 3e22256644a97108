import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from conftest import same_bits
from hydrokit import biodynamic
from hydrokit.layout import layout

LAY = layout("biodynamic")
U = 2.0**-53  # unit roundoff of a double
COMPONENTS = range(1, 6)


def run(**overrides):
    u, p = LAY.vectors(**overrides)
    return LAY.outputs(biodynamic.run(u, p))


def column(y, kind):
    return [y[f"component{i}_{kind}_conc"] for i in COMPONENTS]


def test_defaults():
    y = run()
    assert (y["feed_flow"], y["permeate_flow"], y["concentrate_flow"]) == (100.0, 95.0, 5.0)
    assert (y["specific_energy"], y["energy_rate"]) == (0.1, 10.0)
    assert y["converted_load"] == 2.8499999999999996
    assert y["degraded_load"] == 18.0
    assert column(y, "permeate") == [21.052631578947366, 16.84210526315789, 21.052631578947366,
                                     1.5789473684210562, 35.263157894736835]
    assert column(y, "concentrate") == [0.0, 1280.0, 0.0, 0.0, 0.0]
    assert y["removed_load"] == 6.4
    assert y["component1_reacted_conc"] == 20.0
    assert y["component4_reacted_conc"] == 1.5000000000000036


def test_permeate_is_load_less_retained_load():
    # Load 0.1, retained 0.01: (L − R·L)/Qp·1000 gives ...315, while the
    # (1 − R)·L order would give 0.9473684210526316.
    y = run(component3_feed_conc=1.0, component3_removal=0.1)
    assert y["component3_permeate_conc"] == 0.9473684210526315


@pytest.mark.parametrize("flow", [0.0, -1.0, math.nan, math.inf])
def test_no_feed_keeps_only_the_specific_energy(flow):
    y = run(feed_flow=flow)
    assert y.pop("specific_energy") == 0.1
    assert all(v == 0 for v in y.values())


def test_full_recovery_empties_the_concentrate_but_counts_the_retained_load():
    y = run(recovery=1.0)
    assert y["concentrate_flow"] == 0.0 and column(y, "concentrate") == [0.0] * 5
    assert y["removed_load"] == 6.4
    assert y["component2_permeate_conc"] == pytest.approx(80 * 0.2, rel=8 * U)


def test_zero_recovery_empties_the_permeate():
    y = run(recovery=0.0)
    assert y["permeate_flow"] == 0.0 and column(y, "permeate") == [0.0] * 5
    assert y["component2_concentrate_conc"] == pytest.approx(80 * 0.8, rel=8 * U)


def test_full_conversion_and_degradation():
    y = run(conversion_fraction=1.0, degradation_fraction=1.0, component1_removal=0.5)
    assert y["component4_reacted_conc"] == 0.0 and y["component4_permeate_conc"] == 0.0
    assert y["component5_permeate_conc"] == pytest.approx((30 + 5) * 100 / 95, rel=8 * U)
    assert y["component1_reacted_conc"] == 0.0
    assert y["component1_permeate_conc"] == y["component1_concentrate_conc"] == 0.0
    assert y["degraded_load"] == 20.0


def test_full_removal_sends_the_whole_load_to_the_concentrate():
    y = run(component3_removal=1.0)
    assert y["component3_permeate_conc"] == 0.0
    assert y["component3_concentrate_conc"] == pytest.approx(2.0 / 5 * 1000, rel=8 * U)


FRACTIONS = ["recovery", "conversion_fraction", "degradation_fraction",
             "component1_removal", "component2_removal", "component5_removal"]


@pytest.mark.parametrize("name", FRACTIONS)
@pytest.mark.parametrize("value, acts_as", [
    (math.nan, 0.0), (math.inf, 0.0), (-math.inf, 0.0), (-0.2, 0.0), (1.5, 1.0)])
def test_fraction_replacement(name, value, acts_as):
    assert run(**{name: value}) == run(**{name: acts_as})


@pytest.mark.parametrize("e, expected", [(-0.5, -0.5), (0.0, 0.0), (math.nan, 0.1), (-math.inf, 0.1)])
def test_specific_energy_is_used_unchanged_when_finite(e, expected):
    y = run(specific_energy=e)
    assert y["specific_energy"] == expected and y["energy_rate"] == expected * 100


@pytest.mark.parametrize("count", [0.0, 7.0, -1.0, math.nan, 1e300])
def test_component_count_is_not_read(count):
    assert same_bits(biodynamic.run(p=LAY.param_vector(component_count=count)), biodynamic.run())


conc = st.one_of(st.just(0.0), st.floats(1e-3, 1e6))
# Zero or normal-sized fractions: a subnormal fraction makes subnormal loads,
# where a relative error bound means nothing.
fraction = st.one_of(st.just(0.0), st.floats(1e-9, 1.0))


@settings(deadline=None)
@given(q=st.floats(1e-6, 1e9), r=st.floats(1e-6, 1.0), c=st.lists(conc, min_size=5, max_size=5),
       fc=fraction, fd=fraction, removal=st.lists(fraction, min_size=5, max_size=5))
def test_mass_balance_with_reactions(q, r, c, fc, fd, removal):
    u = np.array([q, *c])
    p = np.array([5.0, r, 0.1, fc, fd, *removal])
    y = biodynamic.run(u, p)
    qp, qc, converted, degraded = y[1], y[2], y[5], y[6]
    if not qc > 0:
        return  # empty concentrate: retained loads leave with neither stream
    out = [y[7 + k] * qp + y[12 + k] * qc for k in range(5)]
    # What leaves each component's outlets against what enters it, net of the
    # reactions (mass × 1000, as concentration × flow).
    balances = [
        ([out[0], degraded * 1000], c[0] * q),
        ([out[1]], c[1] * q),
        ([out[2]], c[2] * q),
        ([out[3], converted * 1000], c[3] * q),
        ([out[4], -converted * 1000], c[4] * q),
        ([y[18] * q, degraded * 1000], c[0] * q),
        ([y[19] * q, converted * 1000], c[3] * q),
    ]
    # Each term carries at most about ten roundings of the magnitude of the
    # loads it is formed from; the subtractions L − D, L − C and L − R·L only
    # cancel within that magnitude. 32 ulp of the magnitudes involved is
    # therefore a safe bound that still catches any misplaced load.
    for terms, entering in balances:
        scale = math.fsum(abs(t) for t in terms) + entering
        assert abs(math.fsum(terms) - entering) <= 32 * U * scale
