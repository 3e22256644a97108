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
DIAGNOSTICS = {}
FLAGS = ()
