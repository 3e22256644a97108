from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

DESCRIPTION = "Hydraulic pump / pressure booster"

INPUT = (
    ("feed_flow", "m³/s"),
    ("temperature_c", "°C"),
    ("inlet_pressure_bar", "bar"),
    ("component1_conc", "caller's unit"),
    ("component2_conc", "caller's unit"),
    ("component3_conc", "caller's unit"),
    ("component4_conc", "caller's unit"),
)

PARAMS = (
    ("component_count", "count"),
    ("head_mode", "switch"),
    ("pressure_rise_bar", "bar"),
    ("head_m", "m"),
    ("pump_efficiency", "fraction"),
    ("motor_efficiency", "fraction"),
    ("fluid_density", "kg/m³"),
    ("outlet_pressure_loss_bar", "bar"),
)

# Defaults of u and p by slot name, each the exact double written (C++ gets them
# through float.hex).
DEFAULT_INPUT = {
    "feed_flow": 0.0002777777777777778,
    "temperature_c": 20.0,
    "inlet_pressure_bar": 1.0,
    "component1_conc": 100.0,
    "component2_conc": 20.0,
    "component3_conc": 5.0,
    "component4_conc": 500.0,
}

DEFAULT_PARAMS = {
    "component_count": 4.0,
    "head_mode": 0.0,
    "pressure_rise_bar": 10.0,
    "head_m": 0.0,
    "pump_efficiency": 0.75,
    "motor_efficiency": 0.95,
    "fluid_density": 1000.0,
    "outlet_pressure_loss_bar": 0.0,
}

# How the costing prices a unit of this model (see hydrokit.costing.CLASSES).
COST_CLASS = "pump"

RESULTS = (
    ("pump_power_kw", "kW"),
    ("daily_energy_kwh", "kWh per day"),
    ("specific_energy_kwh_m3", "kWh/m³"),
    ("pressure_rise_bar", "bar"),
    ("head_out_m", "m"),
    ("input_flag", "code"),
)

STREAM = (("flow", "m³/s"), ("temperature_c", "°C"), ("outlet_pressure_bar", "bar"))
COMPONENTS = tuple((f"component{i}_conc", "caller's unit") for i in range(1, 5))

OUTPUT = STREAM + COMPONENTS + RESULTS


def carried_components(count: float) -> int:
    """Components carried for a component_count value: (count + 0.5) truncated, within [0, 4]."""
    shifted = count + 0.5
    if not (-2147483649.0 < shifted < 2147483648.0):
        return 0
    return min(4, max(0, int(shifted)))


def output_slots(p: Sequence[float] | NDArray[np.float64],
                 results: tuple[tuple[str, str], ...] = RESULTS) -> tuple[tuple[str, str], ...]:
    """Output names for the component count in ``p``; slots past the results are unused."""
    n = carried_components(float(p[0]))
    slots = STREAM + COMPONENTS[:n] + results
    return slots + (("", ""),) * (len(OUTPUT) - len(slots))

# Ports: the stream passes through; the flowsheet sets component_count.
from ..ports import Inlet, Outlet, Slot  # noqa: E402

_COMPONENT_SLOTS = tuple(Slot(name, "g/m³") for name, _ in COMPONENTS)

INLETS = {
    "inlet": Inlet(Slot("feed_flow", "m³/s"), Slot("temperature_c", "°C"), Slot("inlet_pressure_bar", "bar"),
                   _COMPONENT_SLOTS, doc="the stream to be pressurised"),
}
OUTLETS = {
    "outlet": Outlet(Slot("flow", "m³/s"), Slot("temperature_c", "°C"), Slot("outlet_pressure_bar", "bar"),
                     _COMPONENT_SLOTS, of="inlet", doc="the stream at the outlet pressure"),
}
COUNT_SLOT = "component_count"
POWER = (("pump_power_kw", "drive"),)
# Component kinds: any; the stream passes through.
KINDS = {"inlet": (("dissolved", "suspended", "organic", "nutrient"),) * len(COMPONENTS)}
PASSES: dict[str, str] = {}
DIAGNOSTICS = {"input_flag": "0: inputs used as given; 1: flow, 2: inlet pressure, 3: a concentration replaced "
                             "(non-finite or negative) by 0"}
FLAGS = ("input_flag",)
