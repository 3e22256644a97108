"""HTML and one-line text views of flowsheets, results, costs, optimisations and layouts.

Each object's ``_repr_html_`` and ``__repr__`` is drawn by its own layer (the flowsheet's and
result's in :mod:`hydrokit.flowsheet.views`, the costs' in :mod:`hydrokit.costing`, an
optimisation's in :mod:`hydrokit.optimize`, a layout's in :mod:`hydrokit.layout`) from the
building blocks of :mod:`hydrokit.present.html`; they are all reached here too, as the report and
the command line read them.
"""

from ..costing import COST_HEADERS, cost_rows, costs_html, costs_repr
from ..flowsheet.views import (counts, daily_of, findings, findings_html, flowsheet_html, flowsheet_repr, kpi_rows,
                               output_rows, plant_units, projection_rows, result_html, result_repr, status_html,
                               stream_rows)
from ..layout import layout_html
from ..optimize import optimize_html
from ..present.html import STYLE, Row, framed, table, wrap

__all__ = ["COST_HEADERS", "STYLE", "Row", "cost_rows", "costs_html", "costs_repr", "counts", "daily_of", "findings",
           "findings_html", "flowsheet_html", "flowsheet_repr", "framed", "kpi_rows", "layout_html", "optimize_html",
           "output_rows", "plant_units", "projection_rows", "result_html", "result_repr", "status_html",
           "stream_rows", "table", "wrap"]
