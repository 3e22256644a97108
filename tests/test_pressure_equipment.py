"""pump and recoupsimple: the pressure-equipment models with a component pass-through."""

import math

import numpy as np
import pytest

from conftest import guarded_run, same_bits
from hydrokit import pump, recoupsimple
from hydrokit.layout import layout

PUMP = layout("pump")
RECOUP = layout("recoupsimple")


def run_named(lay, **overrides):
    u, p = lay.vectors(**overrides)
    return lay.outputs(lay.module.run(u, p), p)


def test_pump_defaults_exact():
    assert pump.run().tolist() == [0.0002777777777777778, 20, 11, 100, 20, 5, 500, 0.38986354775828463,
                                   9.356725146198832, 0.38986354775828463, 10, 101.97162129779282, 0]


def test_recoupsimple_defaults_exact():
    assert recoupsimple.run().tolist() == [0.00011111111111111112, 20, 1, 10, 5, 1, 35000, 0.5553333333333333,
                                           -0.5553333333333333, 13.328, 1.3883333333333332, 58.8, 0]


def test_pump_head_mode_round_trips_the_head():
    y = run_named(PUMP, head_mode=1, head_m=50, fluid_density=1000)
    assert y["pressure_rise_bar"] == 4.903325
    assert y["head_out_m"] == 50.0
    assert y["outlet_pressure_bar"] == 1 + 4.903325


@pytest.mark.parametrize("mode", [0.4999, math.nan, -1.0])
def test_pump_pressure_mode_ignores_head(mode):
    y = run_named(PUMP, head_mode=mode, head_m=500)
    assert y["pressure_rise_bar"] == 10.0


@pytest.mark.parametrize("lay, power", [(PUMP, "pump_power_kw"), (RECOUP, "reclaimed_power_kw")])
@pytest.mark.parametrize("flow", [-1.0, -1e-300, math.nan, math.inf, -math.inf])
def test_bad_flow_is_zero_with_flag_1(lay, power, flow):
    y = run_named(lay, feed_flow=flow)
    assert y["flow"] == 0.0 and y[power] == 0.0 and y["daily_energy_kwh"] == 0.0
    assert y["specific_energy_kwh_m3"] == 0.0 and y["input_flag"] == 1.0
    assert y["outlet_pressure_bar"] > 0


@pytest.mark.parametrize("lay", [PUMP, RECOUP])
def test_negative_zero_flow_is_not_replaced(lay):
    y = run_named(lay, feed_flow=-0.0)
    assert y["input_flag"] == 0.0 and math.copysign(1, y["flow"]) == -1


@pytest.mark.parametrize("lay, power", [(PUMP, "pump_power_kw"), (RECOUP, "reclaimed_power_kw")])
@pytest.mark.parametrize("flow, zero", [(1e-12, True), (5e-13, True), (1.0000001e-12, False)])
def test_specific_energy_threshold(lay, power, flow, zero):
    y = run_named(lay, feed_flow=flow)
    expected = 0.0 if zero else y[power] / (flow * 3600)
    assert y["specific_energy_kwh_m3"] == expected


@pytest.mark.parametrize("lay", [PUMP, RECOUP])
def test_flag_keeps_the_last_code(lay):
    assert run_named(lay, feed_flow=-1, inlet_pressure_bar=math.nan)["input_flag"] == 2.0
    y = run_named(lay, feed_flow=-1, component3_conc=-5)
    assert y["input_flag"] == 3.0 and y["component3_conc"] == 0.0
    assert run_named(lay, component1_conc=math.inf)["input_flag"] == 3.0


def test_pump_temperature_passes_unflagged():
    y = pump.run(PUMP.input_vector(temperature_c=math.nan))
    assert math.isnan(y[1]) and y[12] == 0.0


def test_pump_efficiency_clamps():
    base = run_named(PUMP)
    tiny = run_named(PUMP, pump_efficiency=0, motor_efficiency=-3)
    assert tiny["pump_power_kw"] == 1e6 * (1 / 3600) / (1e-6 * 1e-6) / 1000
    high = run_named(PUMP, pump_efficiency=1.5, motor_efficiency=math.inf)
    nonfinite = run_named(PUMP, motor_efficiency=math.nan)
    assert high["pump_power_kw"] == 1e6 * (1 / 3600) / (1e-6 * 1.0) / 1000
    assert nonfinite["pump_power_kw"] == 1e6 * (1 / 3600) / (1e-6 * 0.75) / 1000
    assert base["pump_power_kw"] < high["pump_power_kw"]


def test_pump_loss_never_makes_outlet_negative():
    assert run_named(PUMP, outlet_pressure_loss_bar=100)["outlet_pressure_bar"] == 0.0
    assert run_named(PUMP, outlet_pressure_loss_bar=-5)["outlet_pressure_bar"] == 11.0


@pytest.mark.parametrize("density", [0.0, -1.0, math.nan, math.inf])
def test_pump_bad_density_is_water(density):
    ref = run_named(PUMP, head_mode=1, head_m=50)
    assert run_named(PUMP, head_mode=1, head_m=50, fluid_density=density) == ref


@pytest.mark.parametrize("module, power_index", [(pump, 5), (recoupsimple, 5)])
def test_component_count_two_moves_results(module, power_index):
    p = module.default_params()
    p[0] = 2
    y = module.run(None, p)
    full = module.run()
    assert y[:5].tolist() == full[:5].tolist()
    assert y[power_index:power_index + 6].tolist() == full[7:13].tolist()
    assert y[11] == 0.0 and y[12] == 0.0


@pytest.mark.parametrize("module", [pump, recoupsimple])
@pytest.mark.parametrize("count, carried", [(4.4, 4), (3.5, 4), (3.49, 3), (0.0, 0), (-0.6, 0), (5, 4),
                                            (1e12, 0), (-1e12, 0), (math.nan, 0), (math.inf, 0),
                                            # the edge of the int32 range after the + 0.5, where the
                                            # Python copy of the rule (tables/pump.py) must agree
                                            (2147483647.0, 4), (2147483647.5, 0)])
def test_component_count_rule(module, count, carried):
    p = module.default_params()
    p[0] = count
    u = module.default_input()
    u[3:7] = [-1.0, -1.0, -1.0, -1.0]  # every carried component raises the flag
    y = guarded_run(module, u, p)
    assert y[3 + carried + 5] == (3.0 if carried else 0.0)  # the flag closes the result block
    assert np.all(y[3 + carried + 6:] == 0.0)
    assert same_bits(y, module.run(u, p))
    named = layout(module.__name__.rpartition(".")[2]).outputs(y, p)
    assert len([k for k in named if k.startswith("component")]) == carried


def test_recoupsimple_outlet_rules():
    low = run_named(RECOUP, inlet_pressure_bar=0.5)
    assert low["outlet_pressure_bar"] == 0.5 and low["pressure_drop_bar"] == 0.0
    assert low["reclaimed_power_kw"] == 0.0
    assert run_named(RECOUP, pressure_loss_bar=100)["pressure_drop_bar"] == 0.0
    assert run_named(RECOUP, outlet_pressure_bar=-2) == run_named(RECOUP, outlet_pressure_bar=1)
    assert run_named(RECOUP, outlet_pressure_bar=math.nan) == run_named(RECOUP)


@pytest.mark.parametrize("eff, acts_as", [(1.2, 1.0), (math.inf, 0.0), (math.nan, 0.0), (-0.1, 0.0)])
def test_recoupsimple_efficiency(eff, acts_as):
    y = run_named(RECOUP, recovery_efficiency=eff)
    assert y == run_named(RECOUP, recovery_efficiency=acts_as)
    assert y["input_flag"] == 0.0


@pytest.mark.parametrize("density", [0.0, -5.0, math.nan, 1e300])
def test_recoupsimple_ignores_density(density):
    assert same_bits(recoupsimple.run(None, RECOUP.param_vector(fluid_density=density)), recoupsimple.run())
