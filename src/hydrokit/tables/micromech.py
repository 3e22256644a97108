from . import ultramech as _ultramech

DESCRIPTION = "Physical microfiltration"

INPUT = _ultramech.INPUT

PARAMS = (
    ("recovery", "fraction"),
    ("membrane_resistance", "1/m"),
    ("pore_size_m", "m"),
    ("pump_efficiency", "fraction"),
    *((f"class{i}_size_m", "m") for i in _ultramech.CLASSES),
)

OUTPUT = _ultramech.OUTPUT

# Ports: the layout and the conventions of the physical ultrafiltration model
# (permeate at ambient pressure, concentrate at the feed pressure, feed temperature);
# here the temperature sets the water viscosity.
INLETS = _ultramech.INLETS
OUTLETS = _ultramech.OUTLETS
POWER = _ultramech.POWER
# Component kinds: as the physical ultrafiltration model.
KINDS = _ultramech.KINDS
PASSES = _ultramech.PASSES
DIAGNOSTICS = {}
FLAGS = ()
