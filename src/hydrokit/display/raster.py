"""PNG and PDF of a diagram (see :mod:`hydrokit.present.raster`, where it lives)."""

from ..present.raster import NS, Point, render

__all__ = ["NS", "Point", "render"]
