from . import pump as _pump

DESCRIPTION = "Zero-order pressure energy recovery"

INPUT = _pump.INPUT

PARAMS = (
    ("component_count", "count"),
    ("outlet_pressure_bar", "bar"),
    ("recovery_efficiency", "fraction"),
    ("pressure_loss_bar", "bar"),
    ("fluid_density", "kg/m³"),
)

RESULTS = (
    ("reclaimed_power_kw", "kW"),
    ("power_demand_kw", "kW"),
    ("daily_energy_kwh", "kWh per day"),
    ("specific_energy_kwh_m3", "kWh/m³"),
    ("pressure_drop_bar", "bar"),
    ("input_flag", "code"),
)

OUTPUT = _pump.STREAM + _pump.COMPONENTS + RESULTS


def output_slots(p):
    return _pump.output_slots(p, RESULTS)
