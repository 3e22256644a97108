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
