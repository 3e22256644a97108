"""Presentation primitives that read no plant: display units and values written for people,
HTML tables and styles, progress of long work, and PNG/PDF drawing of an SVG diagram.

The lowest layer of the package besides the models: every layer above draws its own objects
with these, and nothing here imports another part of hydrokit.
"""
