"""Display units: the units an engineer reads a plant in, and values written for people.

The conversions and the writing of values are :mod:`hydrokit.present.units` (the lowest layer,
which every view uses); a result's stream table in display units is
:func:`hydrokit.flowsheet.views.engineering_table`. Both are reached here as well.
"""

from __future__ import annotations

from ..flowsheet.views import engineering_table
from ..layout import format_value
from ..present.units import (DAILY_FROM_M3H, ENGINEERING, SYSTEMS, Rule, Value, check_system, convert, human, rule,
                             wants_daily)

__all__ = ["DAILY_FROM_M3H", "ENGINEERING", "SYSTEMS", "Rule", "Value", "check_system", "convert",
           "engineering_table", "human", "rule", "shown", "wants_daily"]


def shown(value: float, unit: str, units: str = "engineering", daily: bool = False,
          digits: int = 4) -> tuple[str, str]:
    """(text, display unit) of a value: converted and written for people (engineering), or exact (si)."""
    v, u = convert(value, unit, units, daily)
    return (human(v, digits) if units == "engineering" else format_value(v)), u
