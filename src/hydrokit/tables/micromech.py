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

# Defaults of u and p by slot name, each the exact double written (C++ gets them
# through float.hex).
DEFAULT_INPUT = {
    "feed_flow": 0.011111111111111112,
    "temperature_c": 20.0,
    "transmembrane_pressure_bar": 1.0,
    "class1_feed_conc": 5000.0,
    "class2_feed_conc": 1000.0,
    "class3_feed_conc": 500.0,
    "class4_feed_conc": 2000.0,
}

DEFAULT_PARAMS = {
    "recovery": 0.9,
    "membrane_resistance": 100000000000.0,
    "pore_size_m": 1e-07,
    "pump_efficiency": 0.65,
    "class1_size_m": 5.5e-08,
    "class2_size_m": 5e-06,
    "class3_size_m": 2e-09,
    "class4_size_m": 1.8e-10,
}

# Sizes of the repeated blocks of slots, as the C++ core names them.
BLOCKS = {"classes": len(_ultramech.CLASSES)}

# How the costing prices a unit of this model (see hydrokit.costing.CLASSES).
COST_CLASS = "mf"

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
DIAGNOSTICS: dict[str, str] = {}
FLAGS = ()

# Design checks (hydrokit.checks): the flux a designer of pressurised
# microfiltration uses.
from .. import checks as _c  # noqa: E402

MF_SOURCE = ("microfiltration design practice (pressurised hollow fibre): 50-120 L/(m²·h) on surface water, "
             "30-70 on wastewater effluent")
CHECKS = (_c.flux_check("flux", 3.6e6, limit=120.0, source=MF_SOURCE),)
