from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

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

# Defaults of u and p by slot name, each the exact double written (C++ gets them
# through float.hex).
DEFAULT_INPUT = {
    "feed_flow": 0.00011111111111111112,
    "temperature_c": 20.0,
    "inlet_pressure_bar": 60.0,
    "component1_conc": 10.0,
    "component2_conc": 5.0,
    "component3_conc": 1.0,
    "component4_conc": 35000.0,
}

DEFAULT_PARAMS = {
    "component_count": 4.0,
    "outlet_pressure_bar": 1.0,
    "recovery_efficiency": 0.85,
    "pressure_loss_bar": 0.2,
    "fluid_density": 1000.0,
}

# How the costing prices a unit of this model (see hydrokit.costing.CLASSES).
COST_CLASS = "erd"

RESULTS = (
    ("reclaimed_power_kw", "kW"),
    ("power_demand_kw", "kW"),
    ("daily_energy_kwh", "kWh per day"),
    ("specific_energy_kwh_m3", "kWh/m³"),
    ("pressure_drop_bar", "bar"),
    ("input_flag", "code"),
)

OUTPUT = _pump.STREAM + _pump.COMPONENTS + RESULTS


def output_slots(p: Sequence[float] | NDArray[np.float64]) -> tuple[tuple[str, str], ...]:
    return _pump.output_slots(p, RESULTS)

# Ports: the pressurised stream is let down to the outlet pressure.
from ..ports import Inlet, Outlet, Slot  # noqa: E402

INLETS = {
    "inlet": Inlet(Slot("feed_flow", "m³/s"), Slot("temperature_c", "°C"), Slot("inlet_pressure_bar", "bar"),
                   _pump._COMPONENT_SLOTS, doc="the pressurised stream, e.g. a concentrate"),
}
OUTLETS = {
    "outlet": Outlet(Slot("flow", "m³/s"), Slot("temperature_c", "°C"), Slot("outlet_pressure_bar", "bar"),
                     _pump._COMPONENT_SLOTS, of="inlet", doc="the stream after the let-down"),
}
COUNT_SLOT = "component_count"
POWER = (("reclaimed_power_kw", "recovered"),)
# Component kinds: as the pump.
KINDS = _pump.KINDS
PASSES = _pump.PASSES
DIAGNOSTICS = {"input_flag": "0: inputs used as given; 1: flow, 2: inlet pressure, 3: a concentration replaced "
                             "(non-finite or negative) by 0"}
FLAGS = ("input_flag",)
