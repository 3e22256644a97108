from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

DESCRIPTION = "Zero-order ultrafiltration"

# Room for solutes in the vectors; the solute_count parameter may use fewer.
SOLUTES = 4

INPUT = (
    ("feed_flow", "m³/d"),
    ("temperature_c", "°C"),
    ("feed_pressure", "caller's unit"),
    *((f"solute{i}_feed_conc", "mg/L") for i in range(1, SOLUTES + 1)),
)

PARAMS = (
    ("solute_count", "count"),
    ("water_recovery", "fraction"),
    *((f"solute{i}_removal", "fraction") for i in range(1, SOLUTES + 1)),
    ("energy_intensity", "kWh/m³"),
    ("pressure_drop", "caller's unit"),
    ("density_kg_m3", "kg/m³"),
    ("mass_factor", "(kg/m³) per concentration unit"),
    ("hours_factor", "h per flow time unit"),
)

# Defaults of u and p by slot name, each the exact double written (C++ gets them
# through float.hex).
DEFAULT_INPUT = {
    "feed_flow": 1000.0,
    "temperature_c": 20.0,
    "feed_pressure": 1.0,
    "solute1_feed_conc": 100.0,
    "solute2_feed_conc": 50.0,
    "solute3_feed_conc": 10.0,
    "solute4_feed_conc": 500.0,
}

DEFAULT_PARAMS = {
    "solute_count": 4.0,
    "water_recovery": 0.95,
    "solute1_removal": 0.97,
    "solute2_removal": 0.3,
    "solute3_removal": 0.0,
    "solute4_removal": 0.0,
    "energy_intensity": 0.231344952,
    "pressure_drop": 0.0,
    "density_kg_m3": 1000.0,
    "mass_factor": 0.001,
    "hours_factor": 0.041666666666666664,
}

# Sizes of the repeated blocks of slots, as the C++ core names them.
BLOCKS = {"solutes": SOLUTES}

# How the costing prices a unit of this model (see hydrokit.costing.CLASSES).
COST_CLASS = "uf"


def _output(n: int) -> tuple[tuple[str, str], ...]:
    solutes = range(1, n + 1)
    return (
        ("permeate_flow", "m³/d"),
        ("permeate_temperature_c", "°C"),
        ("permeate_pressure", "caller's unit"),
        *((f"solute{i}_permeate_conc", "mg/L") for i in solutes),
        ("concentrate_flow", "m³/d"),
        ("concentrate_temperature_c", "°C"),
        ("concentrate_pressure", "caller's unit"),
        *((f"solute{i}_concentrate_conc", "mg/L") for i in solutes),
        ("electric_power_kw", "kW"),
        ("daily_energy_kwh", "kWh/d"),
        ("removed_solute_load", "flow unit × concentration unit"),
    )


OUTPUT = _output(SOLUTES)


def solute_count(count: float) -> int:
    """Solutes split for a solute_count value: (count + 0.5) truncated, at most 4.

    Below 1 (also for NaN and counts outside the int32 range) nothing is split.
    """
    shifted = count + 0.5
    if not (-2147483649.0 < shifted < 2147483648.0):
        return 0
    return min(SOLUTES, int(shifted))


def output_slots(p: Sequence[float] | NDArray[np.float64]) -> tuple[tuple[str, str], ...]:
    """Output names for the solute count in ``p``; slots past the results are unused."""
    n = solute_count(float(p[0]))
    slots = _output(n) if n >= 1 else ()
    return slots + (("", ""),) * (len(OUTPUT) - len(slots))

# Ports. Flow in m³/d, solutes in mg/L (g/m³ with the default mass factor),
# pressures in bar (the flowsheet's choice for the caller's unit, so
# pressure_drop is in bar too). The model passes temperatures and pressures
# itself. The solute count stays 4: the parameters after the removals move
# with it, and zero concentrations for solutes no component fills change no
# result. The mass and hours factors define the units and stay at their
# defaults. The power is a set energy intensity, counted always.
from ..ports import Inlet, Outlet, Slot  # noqa: E402

_SOLUTES = range(1, SOLUTES + 1)

INLETS = {
    "feed": Inlet(Slot("feed_flow", "m³/d"), Slot("temperature_c", "°C"), Slot("feed_pressure", "bar"),
                  tuple(Slot(f"solute{i}_feed_conc", "mg/L") for i in _SOLUTES), doc="the feed"),
}
OUTLETS = {
    "permeate": Outlet(Slot("permeate_flow", "m³/d"), Slot("permeate_temperature_c", "°C"),
                       Slot("permeate_pressure", "bar"),
                       tuple(Slot(f"solute{i}_permeate_conc", "mg/L") for i in _SOLUTES),
                       doc="filtrate, after the pressure drop"),
    "concentrate": Outlet(Slot("concentrate_flow", "m³/d"), Slot("concentrate_temperature_c", "°C"),
                          Slot("concentrate_pressure", "bar"),
                          tuple(Slot(f"solute{i}_concentrate_conc", "mg/L") for i in _SOLUTES),
                          doc="the retentate, after the pressure drop"),
}
HELD = ("solute_count", "mass_factor", "hours_factor")
POWER = (("electric_power_kw", "drive"),)
# Component kinds: the removals act on suspended solids and organics;
# dissolved salts pass the membrane at their feed concentration into both
# outlets.
KINDS = {"feed": (("suspended", "organic"),) * SOLUTES}
PASSES = {"dissolved": "through"}
DIAGNOSTICS: dict[str, str] = {}
FLAGS = ()
