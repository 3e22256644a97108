DESCRIPTION = "Physical nanofiltration"

SOLUTES = range(1, 6)
# Molar masses of the five solutes, g/mol, fixed in the core (each counts its particles: the core's
# osmotic sum is c/M over the solutes).
SOLUTE_MOLAR_MASS = (86.13, 150.13, 10000.0, 23.0, 74.04)

INPUT = (
    ("feed_flow", "m³/s"),
    ("temperature_c", "°C"),
    ("feed_pressure_bar", "bar"),
    *((f"solute{i}_feed_conc", "g/m³") for i in SOLUTES),
)

PARAMS = (
    ("recovery", "fraction"),
    ("active_layer_thickness", "m"),
    ("pore_radius", "m"),
    ("porosity", "fraction"),
    ("tortuosity", "–"),
    ("permeability", "m/(s·Pa)"),
    ("reserved_6", "–"),
    ("hydraulic_diameter", "m"),
    ("pump_efficiency", "fraction"),
    ("charge_exclusion_energy", "J/mol"),
)

# Defaults of u and p by slot name, each the exact double written (C++ gets them
# through float.hex).
DEFAULT_INPUT = {
    "feed_flow": 0.0002777777777777778,
    "temperature_c": 20.0,
    "feed_pressure_bar": 20.0,
    "solute1_feed_conc": 23235.600000000002,
    "solute2_feed_conc": 1000.0,
    "solute3_feed_conc": 1500.0,
    "solute4_feed_conc": 12.9,
    "solute5_feed_conc": 40800.0,
}

DEFAULT_PARAMS = {
    "recovery": 0.81,
    "active_layer_thickness": 1e-06,
    "pore_radius": 5e-10,
    "porosity": 0.2,
    "tortuosity": 2.5,
    "permeability": 1e-10,
    "reserved_6": 0.5,
    "hydraulic_diameter": 0.001,
    "pump_efficiency": 0.7,
    "charge_exclusion_energy": 0.1,
}

# Sizes of the repeated blocks of slots, as the C++ core names them.
BLOCKS = {"solutes": len(SOLUTES)}

# How the costing prices a unit of this model (see hydrokit.costing.CLASSES).
COST_CLASS = "nf"

OUTPUT = (
    ("permeate_flow", "m³/s"),
    ("concentrate_flow", "m³/s"),
    ("raw_flux", "m/s"),
    ("flux", "m/s"),
    ("polarisation_factor", "–"),
    ("membrane_area", "m²"),
    *((f"solute{i}_permeate_conc", "g/m³") for i in SOLUTES),
    *((f"solute{i}_concentrate_conc", "g/m³") for i in SOLUTES),
    *((f"solute{i}_rejection", "fraction") for i in SOLUTES),
    ("pump_power_kw", "kW"),
    ("daily_energy_kwh", "kWh/d"),
    ("feed_osmotic_pressure_bar", "bar"),
    ("status_code", "–"),
)

# Ports. As the physical reverse-osmosis model: the feed pressure is the
# whole pressure across the membrane and computes no permeate pressure, so
# the permeate leaves at the flowsheet's ambient pressure; both
# outlets at the feed temperature, the concentrate at the feed pressure.
from ..ports import Ambient, Inlet, Outlet, Same, Slot  # noqa: E402

INLETS = {
    "feed": Inlet(Slot("feed_flow", "m³/s"), Slot("temperature_c", "°C"), Slot("feed_pressure_bar", "bar"),
                  tuple(Slot(f"solute{i}_feed_conc", "g/m³") for i in SOLUTES), doc="the pressurised feed"),
}
OUTLETS = {
    "permeate": Outlet(Slot("permeate_flow", "m³/s"), Same("feed", "temperature_c"), Ambient(),
                       tuple(Slot(f"solute{i}_permeate_conc", "g/m³") for i in SOLUTES),
                       doc="product water, at ambient pressure"),
    "concentrate": Outlet(Slot("concentrate_flow", "m³/s"), Same("feed", "temperature_c"),
                          Same("feed", "pressure_bar"),
                          tuple(Slot(f"solute{i}_concentrate_conc", "g/m³") for i in SOLUTES),
                          doc="the retentate, at the feed pressure"),
}
POWER = (("pump_power_kw", "feed_pump"),)
# Component kinds: as the physical reverse-osmosis model.
_SOLUTE_KINDS = ("dissolved", "organic", "nutrient")
KINDS = {"feed": (_SOLUTE_KINDS,) * len(SOLUTES)}
PASSES = {"suspended": "concentrate"}
DIAGNOSTICS = {
    "status_code": "0, or the last problem found: -1 negative flow, -2 recovery at 0 or 1, -3 no feed pressure, "
                   "-4 a membrane parameter <= 0, -5 pump efficiency <= 0, -6 a negative concentration taken as 0, "
                   "-7 no concentrate, -8 osmotic pressure above the feed pressure (no flux), "
                   "-9 no mass-transfer coefficient",
}
FLAGS = ("status_code",)

# Design checks (hydrokit.checks): the guidelines of spiral-wound
# nanofiltration elements (their fluxes and ratings are those of brackish
# reverse osmosis elements).
import numpy as np  # noqa: E402

from .. import checks as _c  # noqa: E402



def _osmotic(v: _c.CheckView) -> _c.Column:
    # Van 't Hoff over the five solutes with the core's molar masses: concentrate minus permeate,
    # where water passes.
    molar = 0.0
    for i, m in zip(SOLUTES, SOLUTE_MOLAR_MASS):
        molar = molar + (v.out(f"solute{i}_concentrate_conc") - v.out(f"solute{i}_permeate_conc")) / m
    difference = ((molar * _c.GAS_CONSTANT) * (v.slot("temperature_c") + 273.15)) / 100000.0
    return np.where(v.out("permeate_flow") > 0.0, difference, 0.0)


CHECKS = (
    _c.flux_check("flux", 3.6e6),
    _c.polarisation_check(lambda v: v.out("polarisation_factor"), ("polarisation_factor",)),
    _c.pressure_check("feed_pressure_bar"),
    _c.temperature_check("temperature_c"),
    # The flux law takes the whole feed pressure; the permeate leaves at the plant's ambient pressure.
    _c.Check("osmotic_limit", "concentrate osmotic pressure",
             ("solute<i>_concentrate_conc", "solute<i>_permeate_conc", "temperature_c", "feed_pressure_bar"),
             _osmotic, lambda v: np.maximum(v.slot("feed_pressure_bar") - v.fs.ambient_pressure_bar, 0.0),
             "bar", "error", _c.OSMOTIC_SOURCE, message=_c.OSMOTIC_MESSAGE, scale=10.0,
             limit_doc="< feed minus ambient (permeate) pressure"),
)
