"""Two-stage reverse osmosis block: set splits, derived pressures."""

import math
from decimal import Decimal

import pytest

from conftest import guarded_run, load, same_bits
from hydrokit.layout import layout

m = load("osmocascade")
lay = layout("osmocascade")
RT = 2 * 8.314  # dissociation factor × the block's own gas constant


def run(**kw):
    u, p = lay.vectors(**kw)
    return lay.outputs(guarded_run(m, u, p))


def test_default_case():
    y = run()
    # Reference values of the default case, each checked to the digits it is given with.
    expected = {
        "feed_flow_used": "0.05", "feed_molar_conc": "0.94815", "feed_conc_reported": "49.9513",
        "stage1_concentrate_flow": "0.0355", "stage1_permeate_flow": "0.0145",
        "stage1_permeate_molar_conc": "0.0474075", "stage1_concentrate_molar_conc": "1.316059",
        "stage1_outlet_pressure": "10.9", "stage1_pressure_index": "321.4971",
        "stage1_osmotic_pressure_pa": "6.732513e6", "stage1_permeability_at_t": "9.313216e-13",
        "stage1_required_pressure_pa": "7.844603e6",
        "stage2_concentrate_flow": "0.01775", "stage2_permeate_flow": "0.01775",
        "stage2_permeate_molar_conc": "0.0263212", "stage2_concentrate_molar_conc": "2.605797",
        "stage2_outlet_pressure": "5.9", "stage2_pressure_index": "210",
        "stage2_osmotic_pressure_pa": "1.368883e7", "stage2_required_pressure_pa": "1.505018e7",
        "total_permeate_flow": "0.03225", "total_permeate_flow_scaled": "32.25",
        "blend_permeate_molar_conc": "0.0358019", "blend_permeate_conc_reported": "1.886146",
        "pressure_index_total": "0.5314971", "overall_recovery": "0.645",
    }
    for name, text in expected.items():
        half_unit = 0.5 * 10.0 ** Decimal(text).as_tuple().exponent * (1 + 1e-9)
        assert abs(y[name] - float(text)) <= half_unit, name
    # Exact relations between slots.
    report = 52.68292682926829
    for stage in ("stage1", "stage2"):
        assert y[f"{stage}_permeate_conc_reported"] == y[f"{stage}_permeate_molar_conc"] * report
        assert y[f"{stage}_concentrate_conc_reported"] == y[f"{stage}_concentrate_molar_conc"] * report
    assert y["stage2_pressure_index"] == 210.0 and y["stage2_permeability_at_t"] == y["stage1_permeability_at_t"]
    assert y["total_permeate_flow_scaled"] == 1000 * y["total_permeate_flow"]
    assert y["final_concentrate_flow"] == y["stage2_concentrate_flow"]
    assert y["final_concentrate_conc_reported"] == y["stage2_concentrate_conc_reported"]
    assert y["final_concentrate_pressure"] == y["stage2_outlet_pressure"]
    assert y["stage2_concentrate_flow"] == y["stage1_concentrate_flow"] * 0.5


@pytest.mark.parametrize("value, kelvin", [
    (46, 319.15), (25, 298.15), (0, 273.15), (199.5, 472.65), (200, 200), (350, 350),
    (-300, 298.15), (-273.15, 298.15), (math.nan, 298.15), (math.inf, 298.15), (-math.inf, 298.15),
])
def test_temperature(value, kelvin):
    y = run(temperature=value)
    assert y["stage1_permeability_at_t"] == math.exp(6.433 - 1885 / kelvin) * 5.5e-13
    cc, cp = y["stage1_concentrate_molar_conc"], y["stage1_permeate_molar_conc"]
    assert y["stage1_osmotic_pressure_pa"] == ((cc - cp) * 1000) * (RT * kelvin)


@pytest.mark.parametrize("value, used", [
    (0.0, 1e-9), (-1.0, 1e-9), (math.nan, 1e-9), (math.inf, 1e-9), (5e-10, 1e-9),
    (1.0, 0.999999999), (2.0, 0.999999999), (0.3, 0.3),
])
def test_concentrate_fraction(value, used):
    y = run(stage1_concentrate_fraction=value)
    assert y["stage1_concentrate_flow"] == 0.05 * used
    assert y["stage1_pressure_index"] == (((10.9 + 15.9) * 0.5) * 100) / (used * 0.8 + 3.6)


def test_tiny_concentrate_fraction_concentrates_stage_two_feed():
    y = run(stage1_concentrate_fraction=0.0)
    c = 50 * 0.018963
    assert y["stage1_concentrate_molar_conc"] == pytest.approx(0.95 * c / 1e-9, rel=1e-6)
    assert y["stage2_permeate_flow"] == pytest.approx(0.5 * 0.05e-9, rel=1e-6)


@pytest.mark.parametrize("value, used", [
    (1.0, 0.999999999), (5.0, 0.999999999), (-0.5, 0.0), (math.nan, 0.0), (math.inf, 0.0), (0.5, 0.5),
])
def test_rejection(value, used):
    y = run(stage1_rejection=value)
    assert y["stage1_permeate_molar_conc"] == (1 - used) * (50 * 0.018963)


@pytest.mark.parametrize("value", [0.0, -1.0, math.nan, math.inf, -math.inf])
def test_feed_flow_not_positive_and_finite(value):
    y = run(feed_flow=value)
    cf = 50 * 0.018963
    for name in ("feed_flow_used", "stage1_concentrate_flow", "stage1_permeate_flow", "stage2_concentrate_flow",
                 "stage2_permeate_flow", "total_permeate_flow", "blend_permeate_molar_conc", "overall_recovery"):
        assert y[name] == 0.0, name
    for stage, s in (("stage1", 0.95), ("stage2", 0.98)):
        assert y[f"{stage}_concentrate_molar_conc"] == cf
        osmotic = y[f"{stage}_osmotic_pressure_pa"]
        assert y[f"{stage}_required_pressure_pa"] == osmotic
        assert osmotic == pytest.approx(((s * cf) * 1000) * (RT * 319.15), rel=1e-14)


def test_drop_beyond_the_feed_pressure_goes_negative():
    y = run(stage_pressure_drop=20.0)
    assert y["stage1_outlet_pressure"] == 15.9 - 20.0
    assert y["stage2_outlet_pressure"] == (15.9 - 20.0) - 20.0 == y["final_concentrate_pressure"]


@pytest.mark.parametrize("slot", ["feed_to_molar_factor", "molar_to_report_factor", "flow_scale",
                                  "vant_hoff_factor"])
@pytest.mark.parametrize("bad", [0.0, -0.0, -1.0, math.nan, math.inf, -math.inf])
def test_parameter_substitutes(slot, bad):
    assert same_bits(m.run(*lay.vectors(**{slot: bad})), m.run())


@pytest.mark.parametrize("kw, slots", [
    # A salinity near the top of the range overflows the osmotic term.
    ({"feed_salinity": 1e306}, ["stage1_osmotic_pressure_pa", "stage2_osmotic_pressure_pa"]),
    # An area that underflows to 0 makes the required pressure infinite.
    ({"element_area_m2": 1e-200, "element_count": 1e-200},
     ["stage1_required_pressure_pa", "stage2_required_pressure_pa"]),
    # An infinite inlet pressure gives an infinite (or NaN) pressure index.
    ({"stage1_feed_pressure": math.inf}, ["stage1_pressure_index", "stage2_pressure_index"]),
    ({"stage_pressure_drop": math.nan}, ["stage1_pressure_index", "stage2_pressure_index",
                                         "pressure_index_total"]),
], ids=str)
def test_non_finite_derived_values_become_zero(kw, slots):
    y = run(**kw)
    for name in slots:
        assert y[name] == 0.0, name


def test_non_finite_temperature_corrected_permeability_falls_back():
    y = run(water_permeability=1.7e308)  # the correction factor exceeds 1 at 319.15 K
    assert y["stage1_permeability_at_t"] == 1.7e308
    assert run(water_permeability=-1.0)["stage1_permeability_at_t"] == run()["stage1_permeability_at_t"]


@pytest.mark.parametrize("kw", [{"feed_salinity": -3.0}, {"feed_salinity": math.nan},
                                {"feed_salinity": -math.inf}], ids=str)
def test_salinity_not_finite_or_negative_is_zero(kw):
    y = run(**kw)
    assert y["feed_molar_conc"] == 0.0 and y["blend_permeate_molar_conc"] == 0.0
    assert y["stage2_required_pressure_pa"] == y["stage2_permeate_flow"] / ((35 * 400) * y["stage2_permeability_at_t"])
