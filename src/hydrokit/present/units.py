"""Display units: the units an engineer reads a plant in, and values written for people.

Every quantity is computed and stored in the units of the models and the
flowsheet (m³/s, bar, g/m³, kW, ...). For display each unit maps to one
engineering unit through a single exact operation: a product or a quotient
by a power of ten or a whole number, or an offset (K → °C). A product by an
exactly representable factor is correctly rounded, so a shown flow in m³/h is
``value * 3600.0`` bit for bit; a conversion by a factor that is not
representable (Pa → bar is ÷ 100 000, not × 1e-5) is written as the
quotient. A units library would bring a dependency and its own factor
representation for nine conversions that fit in this table.
"""

from __future__ import annotations

import math
from typing import TypeVar

import numpy as np
from numpy.typing import NDArray

# A shown value: a float or a NumPy column of them, converted alike.
Value = TypeVar("Value", float, NDArray[np.float64])
Rule = tuple[str, str, float]

# source unit -> (display unit, operation, operand); value ⊙ operand
ENGINEERING: dict[str, Rule] = {
    "m³/s": ("m³/h", "mul", 3600.0),
    "m³/h": ("m³/h", "mul", 1.0),
    "m³/d": ("m³/h", "div", 24.0),
    "m/s": ("L/(m²·h)", "mul", 3600000.0),         # flux: 1 m³/(m²·s) = 3.6·10⁶ L/(m²·h)
    "g/m³": ("mg/L", "mul", 1.0),                   # the same quantity under its usual name
    "kg/m³": ("mg/L", "mul", 1000.0),
    "mg/L": ("mg/L", "mul", 1.0),
    "Pa": ("bar", "div", 100000.0),
    "kPa": ("bar", "div", 100.0),
    "bar": ("bar", "mul", 1.0),
    "K": ("°C", "sub", 273.15),
    "°C": ("°C", "mul", 1.0),
    "W": ("kW", "div", 1000.0),
    "kW": ("kW", "mul", 1.0),
    "kWh/m³": ("kWh/m³", "mul", 1.0),
    "$/m³": ("$/m³", "mul", 1.0),
    "fraction": ("%", "mul", 100.0),
}

# Large plants are read per day: from this flow on (m³/h) a plant's flows are shown in m³/d.
DAILY_FROM_M3H = 1000.0
_DAILY: dict[str, Rule] = {"m³/s": ("m³/d", "mul", 86400.0), "m³/h": ("m³/d", "mul", 24.0),
                           "m³/d": ("m³/d", "mul", 1.0)}

SYSTEMS = ("engineering", "si")


def check_system(units: str) -> str:
    if units not in SYSTEMS:
        raise ValueError(f"units must be one of {', '.join(SYSTEMS)}, got {units!r}")
    return units


def _apply(value: Value, op: str, operand: float) -> Value:
    if op == "mul":
        return value * operand
    if op == "div":
        return value / operand
    return value - operand


def rule(unit: str, daily: bool = False) -> Rule:
    """(display unit, operation, operand) for a unit; the unit itself when it has no display unit."""
    if daily and unit in _DAILY:
        return _DAILY[unit]
    return ENGINEERING.get(unit, (unit, "mul", 1.0))


def convert(value: Value, unit: str, units: str = "engineering", daily: bool = False) -> tuple[Value, str]:
    """(value, unit) in the display system ``units``: ``"engineering"`` or ``"si"`` (unchanged).

    Works on floats and NumPy arrays alike; a unit without a display unit is returned as it is.

    >>> convert(0.001, "m³/s")
    (3.6, 'm³/h')
    >>> convert(35000.0, "g/m³")
    (35000.0, 'mg/L')
    """
    if check_system(units) == "si":
        return value, unit
    shown, op, operand = rule(unit, daily)
    if op == "mul" and operand == 1.0:
        return value, shown
    return _apply(value, op, operand), shown


def wants_daily(flow_m3s: float) -> bool:
    """True when a plant of this largest flow (m³/s) is read in m³/d rather than m³/h."""
    return bool(math.isfinite(flow_m3s) and flow_m3s * 3600.0 >= DAILY_FROM_M3H)


def human(value: float, digits: int = 4) -> str:
    """A value for people: ``digits`` significant digits, fixed-point from 0.001 to 10⁷.

    >>> human(0.0005250245086845006 * 3600), human(35000.0), human(2.358436), human(float("nan"))
    ('1.890', '35000', '2.358', 'nan')
    """
    value = float(value)
    if not math.isfinite(value):
        return str(value)
    if value == 0.0:
        return "0"
    magnitude = math.floor(math.log10(abs(value)))
    if -3 <= magnitude < 7:
        rounded = float(f"{value:.{digits}g}")  # the rounding may carry into the next power of ten
        magnitude = math.floor(math.log10(abs(rounded))) if rounded else magnitude
        return f"{rounded:.{max(0, digits - 1 - magnitude)}f}"
    return f"{value:.{digits - 1}e}"
