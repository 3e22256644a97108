DESCRIPTION = "Zero-order membrane bioreactor"

COMPONENTS = range(1, 8)

# Flows are in the caller's unit; the energy law a·Q^b refers to the same unit.
FLOW = "caller's flow unit"
LOAD = "concentration × flow / 1000"

INPUT = (
    ("feed_flow", FLOW),
    *((f"component{i}_feed_conc", "g/m³") for i in COMPONENTS),
)

PARAMS = (
    ("component_count", "count"),
    ("recovery", "fraction"),
    ("energy_coefficient", "energy per volume"),
    ("energy_exponent", "—"),
    *((f"component{i}_removal", "fraction") for i in COMPONENTS),
)

# Defaults of u and p by slot name, each the exact double written (C++ gets them
# through float.hex).
DEFAULT_INPUT = {
    "feed_flow": 100.0,
    "component1_feed_conc": 30.0,
    "component2_feed_conc": 15.0,
    "component3_feed_conc": 25.0,
    "component4_feed_conc": 1.0,
    "component5_feed_conc": 1.0,
    "component6_feed_conc": 1.0,
    "component7_feed_conc": 1.0,
}

DEFAULT_PARAMS = {
    "component_count": 7.0,
    "recovery": 0.9999,
    "energy_coefficient": 9.5,
    "energy_exponent": -0.3,
    "component1_removal": 0.5,
    "component2_removal": 0.6,
    "component3_removal": 0.70854,
    "component4_removal": 0.88,
    "component5_removal": 0.99,
    "component6_removal": 0.998798,
    "component7_removal": 0.9999,
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
    *((f"component{i}_permeate_conc", "g/m³") for i in COMPONENTS),
    *((f"component{i}_concentrate_conc", "g/m³") for i in COMPONENTS),
    ("removed_load", LOAD),
)

# Ports. The flowsheet's flow unit for this model is m³/h, so the energy law
# a·Q^b takes Q in m³/h and, with a in kWh/m³, energy_rate is in kW and the
# loads in kg/h. The model reads no temperature or pressure: both outlets
# leave at the feed's. component_count is not read and stays as it is.
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
                          doc="the reject stream carrying the removed mass"),
}
POWER = (("energy_rate", "drive"),)
# Component kinds: organics, nutrients and suspended solids fill the
# components; dissolved salts pass the membrane at their feed concentration
# into both outlets.
KINDS = {"feed": (("organic", "nutrient", "suspended"),) * len(COMPONENTS)}
PASSES = {"dissolved": "through"}
DIAGNOSTICS: dict[str, str] = {}
FLAGS = ()
