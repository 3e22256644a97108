"""Plant economics: the capital recovery factor, LCOW by hand, and which parameter moves which line."""

import numpy as np
import pytest

from hydrokit.layout import layout
from hydrokit.costing import CostModel, CostParameters, PlantView, crf


@pytest.mark.parametrize("rate, years, expected", [
    (0.0930734, 30, 0.1),       # the default assumptions: CRF of 0.100 to five places
    (0.05, 1, 1.05),            # one year: the capital and a year's interest
    (0.0, 20, 0.05),            # no interest: straight line
])
def test_capital_recovery_factor(rate, years, expected):
    assert crf(rate, years) == pytest.approx(expected, abs=1e-6)


def small_plant(rise_bar=(60.0,), design_bar=60.0):
    """A pump (built for ``design_bar``), a reverse-osmosis stage and an energy-recovery device, as
    columns of a result table."""
    pump = layout("pump")
    u, p = pump.module.default_input(), pump.module.default_params()
    p[pump.resolve("pressure_rise_bar")[1]] = design_bar
    view = PlantView({"hp": "pump", "ro": "osmolumped", "erd": "recoupsimple"}, {"hp": (u, p)},
                     {"hp": {"inlet": "sea"}, "ro": {"feed": "hp.outlet"}, "erd": {"inlet": "ro.concentrate"}})
    n = len(rise_bar)
    col = lambda v: np.full(n, float(v))  # noqa: E731
    table = {
        "hp.pump_power_kw": col(10.0), "y.hp.pressure_rise_bar": np.array(rise_bar), "hp.outlet.flow": col(1e-3),
        "hp.outlet.pressure_bar": col(61.0), "ro.membrane_area": col(100.0), "ro.concentrate.flow": col(6e-4),
        "kpi.electric_power_kw": col(8.0), "kpi.product_flow": col(4e-4),
        "kpi.specific_energy_kwh_m3": col(8.0 / 1.44), "power.ro": col(0.0),
    }
    return view, table


def test_lcow_of_a_small_plant_by_hand():
    view, table = small_plant()
    c = CostModel(view).columns(table)
    # Pump: 1.908 $/W of shaft power, 10 kW electric through a 0.95 motor (the pump default).
    assert c["cost.capital.hp"][0] == pytest.approx(1.908 * 9500.0)
    assert c["cost.capital.ro"][0] == pytest.approx(100 * 30 * 2.0)        # 100 m², 30 $/m², installed × 2
    assert c["cost.capital.erd"][0] == pytest.approx(535 * 2.16)           # 0.6 L/s = 2.16 m³/h
    capital = 18126.0 + 6000.0 + 1155.6
    assert c["cost.capital_total"][0] == pytest.approx(capital)
    assert c["cost.electricity"][0] == pytest.approx(0.07 * 8.0 * 8760 * 0.9)
    assert c["cost.membrane_replacement"][0] == pytest.approx(0.2 * 3000.0)
    assert c["cost.maintenance"][0] == pytest.approx(0.03 * capital)
    product = 1.44 * 8760 * 0.9                                            # m³/year
    operating = 4415.04 + 600.0 + 758.448
    assert c["cost.lcow"][0] == pytest.approx((0.1 * capital + operating) / product, rel=1e-5)
    assert c["cost.sec"][0] == pytest.approx(8.0 / 1.44)


OPERATING = {"cost.operating_total", "cost.lcow"}
CAPITAL = {"cost.capital_total", "cost.maintenance"} | OPERATING


@pytest.mark.parametrize("name, moved", [
    ("electricity_price", {"cost.electricity"} | OPERATING),
    ("membrane_replacement_fraction", {"cost.membrane_replacement"} | OPERATING),
    ("maintenance_fraction", {"cost.maintenance"} | OPERATING),
    ("wacc", {"cost.lcow"}),
    ("utilisation", {"cost.electricity", "cost.annual_product"} | OPERATING),
    ("high_pressure_pump_cost", {"cost.capital.hp"} | CAPITAL),
    ("erd_cost", {"cost.capital.erd"} | CAPITAL),
    ("ro_membrane_cost", {"cost.capital.ro", "cost.membrane_capital", "cost.membrane_replacement"} | CAPITAL),
    ("nf_membrane_cost", set()),
    ("low_pressure_pump_cost", set()),
])
def test_each_line_moves_only_with_its_parameter(name, moved):
    view, table = small_plant()
    base = CostModel(view).columns(table)
    default = getattr(CostParameters(), name)
    changed = CostModel(view, CostParameters(**{name: default * (0.5 if name == "utilisation" else 2.0)}))
    after = changed.columns(table)
    assert {k for k in base if not np.array_equal(base[k], after[k])} == moved
    if name == "electricity_price":
        assert after["cost.electricity"][0] == 2 * base["cost.electricity"][0]


@pytest.mark.parametrize("design_bar, high", [(60.0, True), (45.0, False), (30.0, False)])
def test_pump_class_fixed_by_the_design_point_not_by_a_varied_rise(design_bar, high):
    view, table = small_plant(rise_bar=(30.0, 45.0, 60.0), design_bar=design_bar)
    hp = CostModel(view).columns(table)["cost.capital.hp"]
    # 10 kW through a 0.95 motor priced high-pressure, or 1 L/s low-pressure, in every row alike.
    assert list(hp) == pytest.approx([1.908 * 9500.0 if high else 889.0] * 3)


def test_pump_class_by_override():
    view, table = small_plant(rise_bar=(30.0, 45.0, 60.0))
    forced = CostModel(view, CostParameters(unit_classes={"hp": "low_pressure_pump"})).columns(table)
    assert list(forced["cost.capital.hp"]) == pytest.approx([889.0] * 3)
    with pytest.raises(ValueError, match="'ro'.*pump"):
        CostModel(view, CostParameters(unit_classes={"ro": "high_pressure_pump"}))
    with pytest.raises(ValueError, match="choose from"):
        CostParameters(unit_classes={"hp": "turbine"})


@pytest.mark.parametrize("model, cls, flow_m3h, expected_2014", [
    ("ultrasimple", "uf", 4731.764235, 15.0e6),
    ("microsimple", "mf", 2 * 157.725491, 2 * 2.5e6),
    ("biosimple", "mbr", 4 * 4731.764235, 5.5e6 * 4 ** 0.5862),
])
def test_capacity_priced_units(model, cls, flow_m3h, expected_2014):
    view = PlantView({"pre": model}, {}, {"pre": {"feed": "raw"}})
    table = {"raw.flow": np.array([flow_m3h / 3600.0]), "kpi.electric_power_kw": np.array([0.0]),
             "kpi.product_flow": np.array([1.0]), "kpi.specific_energy_kwh_m3": np.array([0.0])}
    c = CostModel(view).columns(table)
    assert c["cost.capital.pre"][0] == pytest.approx(expected_2014 * 603.1 / 576.1)
    assert c["cost.membrane_replacement"][0] == 0.0


def test_parameters_are_checked():
    for bad in ({"electricity_price": -1.0}, {"utilisation": 0.0}, {"plant_lifetime": float("nan")}):
        with pytest.raises(ValueError, match=next(iter(bad))):
            CostParameters(**bad)


def seawater(**ro):
    import hydrokit

    fs = hydrokit.Flowsheet(components=["salt"])
    fs.feed("sea", flow=1e-3, salt=35000)
    fs.unit("ro", "osmolumped", membrane_area=54.3, mass_transfer_coeff=1e-4, **ro)
    return fs


def test_sweep_cost_columns_equal_each_solved_point():
    fs = seawater()
    fs.unit("hp", "pump", pressure_rise_bar=59, pump_efficiency=0.8)
    fs.unit("erd", "recoupsimple", recovery_efficiency=0.95)
    fs.connect("sea", "hp.inlet"); fs.connect("hp.outlet", "ro.feed"); fs.connect("ro.concentrate", "erd.inlet")
    fs.product("water", "ro.permeate")
    rises = [40.0, 50.0, 60.0]
    table = fs.evaluate(["hp.pressure_rise_bar", "hp.motor_efficiency"], np.array([[r, 0.9] for r in rises]))
    columns = CostModel(fs).columns(table)
    for i, rise in enumerate(rises):
        one = fs.solve(**{"hp.pressure_rise_bar": rise, "hp.motor_efficiency": 0.9}).costs()
        assert one.lcow == columns["cost.lcow"][i] and one.capital["hp"] == columns["cost.capital.hp"][i]
    # The varied motor efficiency is the one that prices the shaft power (above 45 bar).
    assert columns["cost.capital.hp"][2] == pytest.approx(1.908 * 1000 * table["hp.pump_power_kw"][2] * 0.9)


@pytest.mark.parametrize("feed_bar", [60.0, 30.0])
def test_a_membrane_models_own_feed_pump_is_neither_counted_nor_priced(feed_bar):
    fs = seawater()
    fs.connect("sea", "ro.feed")
    fs.product("water", "ro.permeate")
    res = fs.solve(**{"sea.pressure_bar": feed_bar})
    assert res.outputs("ro")["pump_power_kw"] > 0                # shown as the unit's information
    assert res.power["ro"] == 0 and res.kpis["electric_power_kw"] == 0   # the feed arrives pressurised
    assert res.costs().capital["ro"] == pytest.approx(54.3 * 30 * 2)     # the membrane only
