"""Presentation of plants: the design report, and every view reached by one import.

The views themselves are drawn by the layer of what they show (hydrokit.flowsheet.views and
.diagram, hydrokit.costing, hydrokit.optimize, hydrokit.layout) from the primitives of
hydrokit.present; ``hydrokit.display.html``, ``.units``, ``.diagram``, ``.columns``, ``.progress``
and ``.raster`` reach them here. Nothing here computes a plant figure: values come from results
and cost models and are converted for display only.
"""
