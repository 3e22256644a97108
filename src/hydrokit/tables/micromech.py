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
# (permeate at 0 bar, concentrate at the feed pressure, feed temperature);
# here the temperature sets the water viscosity.
INLETS = _ultramech.INLETS
OUTLETS = _ultramech.OUTLETS
POWER = _ultramech.POWER
DIAGNOSTICS = {}
FLAGS = ()

# Design checks (hydrokit.checks): the flux a designer of pressurised
# microfiltration uses.
from .. import checks as _c  # noqa: E402

MF_SOURCE = ("microfiltration design practice (pressurised hollow fibre): 50-120 L/(m²·h) on surface water, "
             "30-70 on wastewater effluent")
CHECKS = (_c.flux_check("flux", 3.6e6, limit=120.0, source=MF_SOURCE),)
