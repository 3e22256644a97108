"""What the plant's cost lines and their shares over the units both read from a result table.

Kept apart so that the shares (:mod:`hydrokit.costshare`) and the cost model
(:mod:`hydrokit.costing`) each import it instead of each other.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np

from .batch.program import column as _column

HOURS_PER_YEAR = 8760.0
# Cost classes priced by their membrane area.
AREA_PRICED = ("ro", "nf", "md")


def membrane_area(view: Any, table: Mapping[str, Any], unit: str) -> Any:
    """A unit's membrane area column in m², from its output where it has one, else its slot."""
    model = view.units[unit]
    if model == "osmocascade":
        # Two stages of element_count elements of element_area_m2 each, with
        # the model's own substitute (1) for a value that is not positive.
        area = view.slot(table, unit, "element_area_m2")
        count = view.slot(table, unit, "element_count")
        area = np.where(np.isfinite(area) & (area > 0), area, 1.0)
        count = np.where(np.isfinite(count) & (count > 0), count, 1.0)
        return 2.0 * (area * count)
    area = output_column(table, unit, "membrane_area")
    return view.slot(table, unit, "membrane_area") if area is None else area


def output_column(table: Mapping[str, Any], unit: str, name: str) -> Any:
    """A unit's output column; "y.unit.name" where a varied slot took the plain name. None if absent."""
    for key in (f"y.{unit}.{name}", f"{unit}.{name}"):
        if key in table:
            return _column(table[key])
    return None
