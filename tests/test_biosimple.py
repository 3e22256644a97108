import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from conftest import same_bits
from hydrokit import biosimple
from hydrokit.layout import layout

LAY = layout("biosimple")
U = 2.0**-53  # unit roundoff of a double
COMPONENTS = range(1, 8)


def run(**overrides):
    u, p = LAY.vectors(**overrides)
    return LAY.outputs(biosimple.run(u, p))


def column(y, kind):
    return [y[f"component{i}_{kind}_conc"] for i in COMPONENTS]


def test_defaults():
    y = run()
    assert y["feed_flow"] == 100.0 and y["permeate_flow"] == 99.99
    assert y["concentrate_flow"] == 0.010000000000005116  # 100 − 99.99 in doubles
    assert y["specific_energy"] == pytest.approx(2.38629, rel=2e-6)
    assert y["energy_rate"] == pytest.approx(238.629, rel=2e-6)
    assert column(y, "permeate") == pytest.approx(
        [15.0015, 6.0006, 7.28723, 0.120012, 0.010001, 0.00120212, 0.00010001], rel=5e-6)
    assert column(y, "concentrate") == pytest.approx(
        [150000, 90000, 177135, 8800, 9900, 9987.98, 9999], rel=5e-6)
    assert y["removed_load"] == pytest.approx(4.5582198, rel=1e-8)


@pytest.mark.parametrize("flow", [0.0, -0.0, -1.0, math.nan, math.inf, -math.inf])
def test_no_feed_gives_nothing(flow):
    assert all(v == 0 for v in run(feed_flow=flow).values())


def test_full_recovery_empties_the_reject_but_counts_the_removal():
    y, base = run(recovery=1.0), run()
    assert y["permeate_flow"] == 100.0 and y["concentrate_flow"] == 0.0
    assert column(y, "concentrate") == [0.0] * 7
    u, p = biosimple.default_input(), biosimple.default_params()
    assert column(y, "permeate") == pytest.approx((1 - p[4:]) * u[1:], rel=8 * U)
    assert y["removed_load"] == base["removed_load"]


def test_zero_recovery_sends_only_the_removed_part_to_the_reject():
    y, base = run(recovery=0.0), run()
    assert y["permeate_flow"] == 0.0 and y["concentrate_flow"] == 100.0
    assert column(y, "permeate") == [0.0] * 7
    u, p = biosimple.default_input(), biosimple.default_params()
    assert column(y, "concentrate") == pytest.approx(u[1:] * p[4:], rel=8 * U)
    assert y["removed_load"] == base["removed_load"]


@pytest.mark.parametrize("value, acts_as", [
    (math.nan, 0.0), (math.inf, 0.0), (-math.inf, 0.0), (-0.2, 0.0), (1.5, 1.0), (2.0**31, 1.0)])
def test_recovery_replacement(value, acts_as):
    assert run(recovery=value) == run(recovery=acts_as)


@pytest.mark.parametrize("value, acts_as", [(1.5, 1.0), (-0.2, 0.0), (math.nan, 0.0), (math.inf, 0.0)])
@pytest.mark.parametrize("i", [1, 4, 7])
def test_removal_replacement(i, value, acts_as):
    y = run(**{f"component{i}_removal": value})
    assert y == run(**{f"component{i}_removal": acts_as})
    c = biosimple.default_input()[i]
    if acts_as == 1.0:
        assert y[f"component{i}_permeate_conc"] == 0.0
        assert y[f"component{i}_concentrate_conc"] == pytest.approx(c * 100 / y["concentrate_flow"], rel=8 * U)
    else:
        assert y[f"component{i}_concentrate_conc"] == 0.0
        assert y[f"component{i}_permeate_conc"] == pytest.approx(c * 100 / 99.99, rel=8 * U)


@pytest.mark.parametrize("c", [-1.0, math.nan, math.inf])
def test_bad_feed_concentration_is_none(c):
    y = run(component3_feed_conc=c)
    assert y["component3_permeate_conc"] == y["component3_concentrate_conc"] == 0.0
    assert y["removed_load"] == run(component3_feed_conc=0.0)["removed_load"]


@pytest.mark.parametrize("overrides, e", [
    ({"energy_coefficient": -9.5}, 0.0),  # a negative energy is no energy
    ({"energy_exponent": 0.0}, 9.5),
    ({"energy_exponent": 0.0, "energy_coefficient": 2.0}, 2.0),
    ({"energy_exponent": 300.0}, 0.0),  # 100^300 overflows: no energy
])
def test_specific_energy(overrides, e):
    y = run(**overrides)
    assert y["specific_energy"] == e and y["energy_rate"] == e * 100


@pytest.mark.parametrize("name", ["energy_coefficient", "energy_exponent"])
@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf])
def test_non_finite_energy_law_falls_back_to_the_default(name, value):
    assert run(**{name: value}) == run()


@pytest.mark.parametrize("count", [0.0, 3.0, -1.0, math.nan, 1e300])
def test_component_count_is_not_read(count):
    assert same_bits(biosimple.run(p=LAY.param_vector(component_count=count)), biosimple.run())


positive = st.floats(1e-3, 1e6)
conc = st.one_of(st.just(0.0), positive)
fraction = st.one_of(st.just(0.0), st.floats(1e-9, 1.0))


@settings(deadline=None)
@given(q=st.floats(1e-6, 1e9), r=st.floats(1e-6, 1.0), c=st.lists(conc, min_size=7, max_size=7),
       removal=st.lists(fraction, min_size=7, max_size=7))
def test_mass_balance(q, r, c, removal):
    u = np.array([q, *c])
    p = biosimple.default_params()
    p[1], p[4:] = r, removal
    y = biosimple.run(u, p)
    qp, qc = y[1], y[2]
    if not qc > 0:
        return  # empty reject stream: the balance does not hold by design
    # Every term is non-negative and a chain of at most five roundings of its
    # exact value (no cancellation), so the two sides agree to about 10 ulp.
    for i in range(7):
        lhs = y[5 + i] * qp + y[12 + i] * qc
        assert abs(lhs - c[i] * q) <= 16 * U * c[i] * q
