DESCRIPTION = "Zero-order dynamic/reactive membrane bioreactor"

COMPONENTS = range(1, 6)

FLOW = "caller's flow unit"
LOAD = "concentration × flow / 1000"

INPUT = (
    ("feed_flow", FLOW),
    *((f"component{i}_feed_conc", "g/m³") for i in COMPONENTS),
)

PARAMS = (
    ("component_count", "count"),
    ("recovery", "fraction"),
    ("specific_energy", "energy per volume"),
    ("conversion_fraction", "fraction"),
    ("degradation_fraction", "fraction"),
    *((f"component{i}_removal", "fraction") for i in COMPONENTS),
)

# Defaults of u and p by slot name, each the exact double written (C++ gets them
# through float.hex).
DEFAULT_INPUT = {
    "feed_flow": 100.0,
    "component1_feed_conc": 200.0,
    "component2_feed_conc": 80.0,
    "component3_feed_conc": 20.0,
    "component4_feed_conc": 30.0,
    "component5_feed_conc": 5.0,
}

DEFAULT_PARAMS = {
    "component_count": 5.0,
    "recovery": 0.95,
    "specific_energy": 0.1,
    "conversion_fraction": 0.95,
    "degradation_fraction": 0.9,
    "component1_removal": 0.0,
    "component2_removal": 0.8,
    "component3_removal": 0.0,
    "component4_removal": 0.0,
    "component5_removal": 0.0,
}

# Sizes of the repeated blocks of slots, as the C++ core names them.
BLOCKS = {"components": len(COMPONENTS)}

# How the costing prices a unit of this model (see hydrokit.costing.CLASSES).
COST_CLASS = "mbr"

OUTPUT = (
    ("feed_flow", FLOW),
    ("permeate_flow", FLOW),
    ("concentrate_flow", FLOW),
    ("specific_energy", "energy per volume"),
    ("energy_rate", "energy per volume × flow"),
    ("converted_load", LOAD),
    ("degraded_load", LOAD),
    *((f"component{i}_permeate_conc", "g/m³") for i in COMPONENTS),
    *((f"component{i}_concentrate_conc", "g/m³") for i in COMPONENTS),
    ("removed_load", LOAD),
    ("component1_reacted_conc", "g/m³"),
    ("component4_reacted_conc", "g/m³"),
)

# Ports. As the plain bioreactor: flow in m³/h, so with specific_energy in
# kWh/m³ energy_rate is in kW; outlets at the feed's temperature and
# pressure. Component 1 is degraded, component 4 converted into component 5.
from ..ports import Inlet, Outlet, Same, Slot  # noqa: E402

INLETS = {
    "feed": Inlet(Slot("feed_flow", "m³/h"), None, None,
                  tuple(Slot(f"component{i}_feed_conc", "g/m³") for i in COMPONENTS), doc="the raw wastewater"),
}
OUTLETS = {
    "permeate": Outlet(Slot("permeate_flow", "m³/h"), Same("feed", "temperature_c"), Same("feed", "pressure_bar"),
                       tuple(Slot(f"component{i}_permeate_conc", "g/m³") for i in COMPONENTS),
                       doc="the treated water"),
    "concentrate": Outlet(Slot("concentrate_flow", "m³/h"), Same("feed", "temperature_c"),
                          Same("feed", "pressure_bar"),
                          tuple(Slot(f"component{i}_concentrate_conc", "g/m³") for i in COMPONENTS),
                          doc="the reject stream carrying the retained mass"),
}
POWER = (("energy_rate", "drive"),)
# Component kinds: 1 the degradable organic, 2 suspended solids, 3 another
# organic, 4 the convertible nutrient (e.g. ammonium), 5 its product (e.g.
# nitrate); dissolved salts pass at their feed concentration into both outlets.
KINDS = {"feed": (("organic",), ("suspended",), ("organic",), ("nutrient",), ("nutrient",))}
PASSES = {"dissolved": "through"}
DIAGNOSTICS: dict[str, str] = {}
FLAGS = ()
