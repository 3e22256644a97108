DESCRIPTION = "Physical ultrafiltration"

CLASSES = range(1, 5)

INPUT = (
    ("feed_flow", "m³/s"),
    ("temperature_c", "°C"),
    ("transmembrane_pressure_bar", "bar"),
    *((f"class{i}_feed_conc", "caller's unit") for i in CLASSES),
)

PARAMS = (
    ("recovery", "fraction"),
    ("permeability", "m/(s·Pa)"),
    ("pore_size_m", "m"),
    ("pump_efficiency", "fraction"),
    *((f"class{i}_size_m", "m") for i in CLASSES),
)

# Defaults of u and p by slot name, each the exact double written (C++ gets them
# through float.hex).
DEFAULT_INPUT = {
    "feed_flow": 0.0002777777777777778,
    "temperature_c": 20.0,
    "transmembrane_pressure_bar": 5.0,
    "class1_feed_conc": 5000.0,
    "class2_feed_conc": 1000.0,
    "class3_feed_conc": 500.0,
    "class4_feed_conc": 2000.0,
}

DEFAULT_PARAMS = {
    "recovery": 0.9,
    "permeability": 5e-11,
    "pore_size_m": 5e-09,
    "pump_efficiency": 0.7,
    "class1_size_m": 5.5e-08,
    "class2_size_m": 5e-06,
    "class3_size_m": 2e-09,
    "class4_size_m": 1.8e-10,
}

# Sizes of the repeated blocks of slots, as the C++ core names them.
BLOCKS = {"classes": len(CLASSES)}

# How the costing prices a unit of this model (see hydrokit.costing.CLASSES).
COST_CLASS = "uf"

OUTPUT = (
    ("permeate_flow", "m³/s"),
    ("concentrate_flow", "m³/s"),
    ("flux", "m/s"),
    ("membrane_area", "m²"),
    ("pump_power_kw", "kW"),
    ("daily_energy_kwh", "kWh per day"),
    *((f"class{i}_rejection", "fraction") for i in CLASSES),
    *((f"class{i}_permeate_conc", "caller's unit") for i in CLASSES),
    *((f"class{i}_concentrate_conc", "caller's unit") for i in CLASSES),
)

# Ports. The stream's pressure is the transmembrane pressure (the model's
# flux law and feed pump both start from 0 bar), so the permeate leaves at
# the flowsheet's ambient pressure and the concentrate at the feed pressure, both at the feed
# temperature. The classes' concentrations are in the flowsheet's g/m³.
from ..ports import Ambient, Inlet, Outlet, Same, Slot  # noqa: E402

INLETS = {
    "feed": Inlet(Slot("feed_flow", "m³/s"), Slot("temperature_c", "°C"), Slot("transmembrane_pressure_bar", "bar"),
                  tuple(Slot(f"class{i}_feed_conc", "g/m³") for i in CLASSES), doc="the feed"),
}
OUTLETS = {
    "permeate": Outlet(Slot("permeate_flow", "m³/s"), Same("feed", "temperature_c"), Ambient(),
                       tuple(Slot(f"class{i}_permeate_conc", "g/m³") for i in CLASSES),
                       doc="filtrate, at ambient pressure"),
    "concentrate": Outlet(Slot("concentrate_flow", "m³/s"), Same("feed", "temperature_c"),
                          Same("feed", "pressure_bar"),
                          tuple(Slot(f"class{i}_concentrate_conc", "g/m³") for i in CLASSES),
                          doc="the retentate, at the feed pressure"),
}
POWER = (("pump_power_kw", "feed_pump"),)
# Component kinds: the classes are suspended solids or organics (sieved by
# size); dissolved salts pass at their feed concentration into both outlets.
KINDS = {"feed": (("suspended", "organic"),) * len(CLASSES)}
PASSES = {"dissolved": "through"}
DIAGNOSTICS: dict[str, str] = {}
FLAGS = ()

# Design checks (hydrokit.checks): the flux a designer of pressurised
# hollow-fibre ultrafiltration uses.
from .. import checks as _c  # noqa: E402

UF_SOURCE = ("ultrafiltration design practice (pressurised hollow fibre): 40-100 L/(m²·h) on surface water "
             "and as seawater pretreatment, 40-60 on wastewater effluent")
CHECKS = (_c.flux_check("flux", 3.6e6, limit=100.0, source=UF_SOURCE),)
