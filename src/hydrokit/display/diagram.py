"""A flowsheet drawn as SVG (see :mod:`hydrokit.flowsheet.diagram`, where it is drawn)."""

from ..flowsheet.diagram import (BAND, BAND_GAP, BOX_H, BOX_W, COLOURS, COLUMN, COLUMN_BARE, LANE, MARGIN, ROW, SMALL,
                                 STAGE_LINE, UNIT_KINDS, WRAP_FROM, Edge, Place, diagram, graph, layout, main_component,
                                 node_subtitle, save, stage_lines, stream_label)

__all__ = ["BAND", "BAND_GAP", "BOX_H", "BOX_W", "COLOURS", "COLUMN", "COLUMN_BARE", "LANE", "MARGIN", "ROW", "SMALL",
           "STAGE_LINE", "UNIT_KINDS", "WRAP_FROM", "Edge", "Place", "diagram", "graph", "layout", "main_component",
           "node_subtitle", "save", "stage_lines", "stream_label"]
