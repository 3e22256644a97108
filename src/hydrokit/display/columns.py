"""The unit of every column of a flowsheet's result table (see :mod:`hydrokit.flowsheet.columns`)."""

from ..flowsheet.columns import (ELEMENT_COLUMN, KPI_UNITS, STATUS_UNITS, array_output_unit, column_units, cost_unit,
                                 select)

__all__ = ["ELEMENT_COLUMN", "KPI_UNITS", "STATUS_UNITS", "array_output_unit", "column_units", "cost_unit", "select"]
