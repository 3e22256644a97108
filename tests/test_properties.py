"""The shared water and transport correlations, evaluated in C++ as the cores do."""

import math
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
RHO25 = 997.0448954179155
MU25 = 1.0840928612118757e-3


@pytest.fixture(scope="module")
def probe(tmp_path_factory):
    cxx = shutil.which("g++") or shutil.which("c++")
    if cxx is None:
        pytest.skip("no C++ compiler")
    exe = tmp_path_factory.mktemp("probe") / "properties_probe"
    # The flags the extension modules are built with.
    subprocess.run([cxx, "-std=c++17", "-O3", "-ffp-contract=off", "-fno-fast-math",
                    f"-I{ROOT / 'src' / 'hydrokit'}", str(ROOT / "tests" / "cpp" / "properties_probe.cpp"),
                    "-o", str(exe)], check=True)

    def evaluate(*calls):
        text = "\n".join(" ".join([name, *map(repr, map(float, args))]) for name, *args in calls)
        out = subprocess.run([str(exe)], input=text, capture_output=True, text=True, check=True).stdout
        return [float.fromhex(v) for v in out.split()]

    return evaluate


@pytest.mark.parametrize("t, rho", [(0, 999.83952), (20, 998.2041322005837), (25, RHO25),
                                    (40, 992.2157673153846)])
def test_water_density(probe, t, rho):
    assert probe(("density", t)) == [rho]


@pytest.mark.parametrize("t, mu", [(20, 1.2196104407220009e-3), (25, MU25), (40, 7.931013057716985e-4)])
def test_water_viscosity(probe, t, mu):
    assert probe(("viscosity", t)) == [mu]


def reference_k(q, d, rho, mu, diff):
    """The film coefficient written out step by step, in Python doubles."""
    re = ((4 * q) * rho) / ((d * math.pi) * mu)
    sc = mu / (rho * diff)
    if re < 2300:
        sh = 1.62 * ((sc * re) * d) ** 0.3333333333333333
    else:
        f8 = (0.79 * math.log(re) - 1.64) ** -2.0 * 0.125
        sh = (((re - 1000) * f8) * sc) / ((sc ** 0.6666666666666666 - 1) * (12.7 * math.sqrt(f8)) + 1)
    k = (sh if sh > 0 else 0.0) * diff / d
    return 1e-12 if k <= 1e-12 else k


def test_mass_transfer_worked_value(probe):
    (k,) = probe(("mass_transfer", 1 / 3600, 7e-4, RHO25, MU25, 1e-9))
    assert k == pytest.approx(0.0216834, abs=1e-7)
    assert k == reference_k(1 / 3600, 7e-4, RHO25, MU25, 1e-9)


SWITCH = (0.01, 1000.0, 0.001)  # d, rho, mu


def reynolds(q, d, rho, mu):
    return ((4 * q) * rho) / ((d * math.pi) * mu)


def flow_at_switch():
    """The smallest flow whose Reynolds number is 2300 or more, and the flow just below it."""
    q = 2300 * (SWITCH[0] * math.pi) * SWITCH[2] / (4 * SWITCH[1])
    while reynolds(q, *SWITCH) >= 2300:
        q = math.nextafter(q, 0)
    while reynolds(q, *SWITCH) < 2300:
        q = math.nextafter(q, 1)
    return q, math.nextafter(q, 0)


def test_mass_transfer_branch_switch_at_2300(probe):
    q, below = flow_at_switch()
    assert reynolds(below, *SWITCH) < 2300 <= reynolds(q, *SWITCH)
    k_at, k_below = probe(("mass_transfer", q, *SWITCH, 1e-9), ("mass_transfer", below, *SWITCH, 1e-9))
    assert k_at == reference_k(q, *SWITCH, 1e-9)
    assert k_below == reference_k(below, *SWITCH, 1e-9)
    # Turbulent Sherwood at the switch (about 81) is well above the laminar one (about 46).
    assert k_at > 1.5 * k_below


@pytest.mark.parametrize("args, expected", [
    ((0.0, 7e-4, RHO25, MU25, 1e-9), 1e-12),               # no flow: Sh = 0, floor
    ((flow_at_switch()[0], *SWITCH, 1.0), 1e-12),          # Sc = 1e-6: negative Sherwood floored
    ((1 / 3600, 0.0, 0.0, 0.0, 0.0), reference_k(1 / 3600, 0.001, 1000.0, 0.001, 1e-9)),
    ((1 / 3600, -1.0, -5.0, -1.0, -1.0), reference_k(1 / 3600, 0.001, 1000.0, 0.001, 1e-9)),
])
def test_mass_transfer_guards_and_floor(probe, args, expected):
    assert probe(("mass_transfer", *args)) == [expected]


def test_mass_transfer_nan_reynolds_takes_turbulent_branch(probe):
    (k,) = probe(("mass_transfer", math.nan, 7e-4, RHO25, MU25, 1e-9))
    # NaN Sherwood: max(0, NaN) gives NaN, which the floor test does not catch.
    assert math.isnan(k)


@pytest.mark.parametrize("total, t, expected", [
    (1000.0, 25.0, (1000.0 * 8.31446261815324) * 298.15),
    (-5.0, 25.0, 0.0),
    (0.0, 25.0, 0.0),
])
def test_vant_hoff(probe, total, t, expected):
    assert probe(("osmotic", total, t)) == [expected]
    if total == 1000.0:
        assert expected / 1e5 == pytest.approx(24.78957, abs=1e-5)


def test_mass_transfer_of_the_five_default_solutes(probe):
    q, d = 1 / 3600, 7e-4
    diffusivities = (1e-9, 6.7e-10, 1e-11, 1.33e-9, 9e-10)
    ks = probe(*[("mass_transfer", q, d, RHO25, MU25, diff) for diff in diffusivities])
    assert reynolds(q, d, RHO25, MU25) == pytest.approx(464684, abs=1)
    for k, expected in zip(ks, (0.0216834, 0.0166367, 0.00101490, 0.0261760, 0.0202246)):
        assert k == pytest.approx(expected, rel=5e-6)
