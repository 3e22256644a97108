DESCRIPTION = "Zero-order microfiltration"

SOLUTES = range(1, 5)

INPUT = (
    ("feed_flow", "m³/d"),
    ("temperature_c", "°C"),
    ("feed_pressure", "caller's unit"),
    *((f"solute{i}_feed_conc", "mg/L") for i in SOLUTES),
)

PARAMS = (
    ("recovery", "fraction"),
    *((f"solute{i}_removal", "fraction") for i in SOLUTES),
    ("energy_intensity", "kWh/m³"),
    ("pressure_drop", "caller's unit"),
    ("density_kg_m3", "kg/m³"),
    ("mass_factor", "(kg/m³) per concentration unit"),
    ("hours_factor", "h per flow time unit"),
)

# Defaults of u and p by slot name, each the exact double written (C++ gets them
# through float.hex).
DEFAULT_INPUT = {
    "feed_flow": 1000.0,
    "temperature_c": 20.0,
    "feed_pressure": 1.0,
    "solute1_feed_conc": 100.0,
    "solute2_feed_conc": 50.0,
    "solute3_feed_conc": 10.0,
    "solute4_feed_conc": 500.0,
}

DEFAULT_PARAMS = {
    "recovery": 0.95,
    "solute1_removal": 0.9,
    "solute2_removal": 0.1,
    "solute3_removal": 0.0,
    "solute4_removal": 0.0,
    "energy_intensity": 0.05,
    "pressure_drop": 0.1,
    "density_kg_m3": 1000.0,
    "mass_factor": 0.001,
    "hours_factor": 0.041666666666666664,
}

# Sizes of the repeated blocks of slots, as the C++ core names them.
BLOCKS = {"solutes": len(SOLUTES)}

# How the costing prices a unit of this model (see hydrokit.costing.CLASSES).
COST_CLASS = "mf"

OUTPUT = (
    ("permeate_flow", "m³/d"),
    ("permeate_temperature_c", "°C"),
    ("permeate_pressure", "caller's unit"),
    *((f"solute{i}_permeate_conc", "mg/L") for i in SOLUTES),
    ("concentrate_flow", "m³/d"),
    ("concentrate_temperature_c", "°C"),
    ("concentrate_pressure", "caller's unit"),
    *((f"solute{i}_concentrate_conc", "mg/L") for i in SOLUTES),
    ("electric_power_kw", "kW"),
    ("daily_energy_kwh", "kWh/d"),
    ("removed_solute_mass", "kg per flow time unit"),
    ("input_warning", "code"),
)

# Ports. As the zero-order ultrafiltration model: m³/d, mg/L, pressures in
# bar (pressure_drop too); the model passes temperatures and pressures
# itself; the mass and hours factors define the units and stay at their
# defaults; the energy intensity is counted always.
from ..ports import Inlet, Outlet, Slot  # noqa: E402

INLETS = {
    "feed": Inlet(Slot("feed_flow", "m³/d"), Slot("temperature_c", "°C"), Slot("feed_pressure", "bar"),
                  tuple(Slot(f"solute{i}_feed_conc", "mg/L") for i in SOLUTES), doc="the feed"),
}
OUTLETS = {
    "permeate": Outlet(Slot("permeate_flow", "m³/d"), Slot("permeate_temperature_c", "°C"),
                       Slot("permeate_pressure", "bar"),
                       tuple(Slot(f"solute{i}_permeate_conc", "mg/L") for i in SOLUTES),
                       doc="filtrate, after the pressure drop"),
    "concentrate": Outlet(Slot("concentrate_flow", "m³/d"), Slot("concentrate_temperature_c", "°C"),
                          Slot("concentrate_pressure", "bar"),
                          tuple(Slot(f"solute{i}_concentrate_conc", "mg/L") for i in SOLUTES),
                          doc="the retentate, after the pressure drop"),
}
HELD = ("mass_factor", "hours_factor")
POWER = (("electric_power_kw", "drive"),)
# Component kinds: as the zero-order ultrafiltration model.
KINDS = {"feed": (("suspended", "organic"),) * len(SOLUTES)}
PASSES = {"dissolved": "through"}
DIAGNOSTICS = {"input_warning": "0: inputs used as given; 1: the feed flow, 2: a feed concentration replaced "
                                "(non-finite or negative) by 0"}
FLAGS = ("input_warning",)
