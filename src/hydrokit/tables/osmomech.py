DESCRIPTION = "Physical reverse osmosis"

SOLUTES = range(1, 6)

INPUT = (
    ("feed_flow", "m³/s"),
    ("temperature_c", "°C"),
    ("feed_pressure_bar", "bar"),
    *((f"solute{i}_feed_conc", "g/m³") for i in SOLUTES),
)

PARAMS = (
    ("recovery", "fraction"),
    ("permeability", "m/(s·Pa)"),
    ("reserved_2", "—"),
    ("hydraulic_diameter", "m"),
    ("reserved_4", "—"),
    ("pump_efficiency", "fraction"),
    ("max_iterations", "count"),
    ("tolerance", "relative"),
    *((f"solute{i}_molar_mass", "g/mol") for i in SOLUTES),
    *((f"solute{i}_diffusivity", "m²/s") for i in SOLUTES),
    *((f"solute{i}_solute_permeability", "m/s") for i in SOLUTES),
)

# Defaults of u and p by slot name, each the exact double written (C++ gets them
# through float.hex).
DEFAULT_INPUT = {
    "feed_flow": 0.0002777777777777778,
    "temperature_c": 25.0,
    "feed_pressure_bar": 30.0,
    "solute1_feed_conc": 23235.600000000002,
    "solute2_feed_conc": 1000.0,
    "solute3_feed_conc": 1500.0,
    "solute4_feed_conc": 12.9,
    "solute5_feed_conc": 40800.00000000001,
}

DEFAULT_PARAMS = {
    "recovery": 0.84,
    "permeability": 2e-11,
    "reserved_2": 1e-07,
    "hydraulic_diameter": 0.0007,
    "reserved_4": 0.5,
    "pump_efficiency": 0.7,
    "max_iterations": 100.0,
    "tolerance": 1e-06,
    "solute1_molar_mass": 86.13,
    "solute2_molar_mass": 150.13,
    "solute3_molar_mass": 10000.0,
    "solute4_molar_mass": 23.0,
    "solute5_molar_mass": 74.04,
    "solute1_diffusivity": 1e-09,
    "solute2_diffusivity": 6.7e-10,
    "solute3_diffusivity": 1e-11,
    "solute4_diffusivity": 1.33e-09,
    "solute5_diffusivity": 9e-10,
    "solute1_solute_permeability": 1e-08,
    "solute2_solute_permeability": 5e-09,
    "solute3_solute_permeability": 1e-09,
    "solute4_solute_permeability": 2e-08,
    "solute5_solute_permeability": 3e-09,
}

# Sizes of the repeated blocks of slots, as the C++ core names them.
BLOCKS = {"solutes": len(SOLUTES)}

# How the costing prices a unit of this model (see hydrokit.costing.CLASSES).
COST_CLASS = "ro"

OUTPUT = (
    ("permeate_flow", "m³/s"),
    ("concentrate_flow", "m³/s"),
    ("flux", "m/s"),
    ("membrane_area", "m²"),
    *((f"solute{i}_permeate_conc", "g/m³") for i in SOLUTES),
    *((f"solute{i}_concentrate_conc", "g/m³") for i in SOLUTES),
    *((f"solute{i}_rejection", "fraction") for i in SOLUTES),
    ("pump_power_kw", "kW"),
    ("daily_energy_kwh", "kWh per day"),
    ("wall_osmotic_pressure_bar", "bar"),
    ("permeate_osmotic_pressure_bar", "bar"),
    ("iterations", "count"),
    ("not_converged", "flag"),
)

# Ports. The model reads the feed pressure as the whole pressure across the
# membrane (its flux law and its feed pump both start from 0 bar), so the
# permeate leaves at the flowsheet's ambient pressure; it computes no temperature change and no
# feed-side pressure drop: both outlets leave at the feed temperature and the
# concentrate at the feed pressure.
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
                          doc="the brine, at the feed pressure"),
}
POWER = (("pump_power_kw", "feed_pump"),)
# Component kinds: a solute slot takes dissolved salts, organics and
# nutrients; suspended solids never pass the membrane and leave wholly in
# the concentrate.
_SOLUTE_KINDS = ("dissolved", "organic", "nutrient")
KINDS = {"feed": (_SOLUTE_KINDS,) * len(SOLUTES)}
PASSES = {"suspended": "concentrate"}
DIAGNOSTICS = {
    "iterations": "the pass at which the flux iteration stopped; max_iterations + 1 when the cap was hit",
    "not_converged": "1 when the iteration hit its cap before meeting the tolerance, else 0",
}
FLAGS = ("not_converged",)

# Design checks (hydrokit.checks): the guidelines of reverse osmosis
# elements.
import numpy as np  # noqa: E402

from .. import checks as _c  # noqa: E402



def _osmotic(v: _c.CheckView) -> _c.Column:
    # Van 't Hoff over the solutes as the model sums them (each molar mass counts its ions):
    # concentrate minus permeate, where water passes.
    molar = 0.0
    for i in SOLUTES:
        m = v.slot(f"solute{i}_molar_mass")
        molar = molar + (v.out(f"solute{i}_concentrate_conc") - v.out(f"solute{i}_permeate_conc")) / m
    difference = ((molar * _c.GAS_CONSTANT) * (v.slot("temperature_c") + 273.15)) / 100000.0
    return np.where(v.out("permeate_flow") > 0.0, difference, 0.0)


CHECKS = (
    _c.flux_check("flux", 3.6e6),
    _c.pressure_check("feed_pressure_bar"),
    _c.temperature_check("temperature_c"),
    # The permeate leaves at the plant's ambient pressure: that much of the feed pressure is not across.
    _c.Check("osmotic_limit", "concentrate osmotic pressure",
             ("solute<i>_concentrate_conc", "solute<i>_permeate_conc", "solute<i>_molar_mass", "temperature_c",
              "feed_pressure_bar"),
             _osmotic, lambda v: np.maximum(v.slot("feed_pressure_bar") - v.fs.ambient_pressure_bar, 0.0),
             "bar", "error", _c.OSMOTIC_SOURCE, message=_c.OSMOTIC_MESSAGE, scale=10.0,
             limit_doc="< feed minus ambient (permeate) pressure"),
)
