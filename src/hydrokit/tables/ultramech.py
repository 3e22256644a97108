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
# 0 bar and the concentrate at the feed pressure, both at the feed
# temperature. The classes' concentrations are in the flowsheet's g/m³.
from ..ports import Fixed, Inlet, Outlet, Same, Slot  # noqa: E402

INLETS = {
    "feed": Inlet(Slot("feed_flow", "m³/s"), Slot("temperature_c", "°C"), Slot("transmembrane_pressure_bar", "bar"),
                  tuple(Slot(f"class{i}_feed_conc", "g/m³") for i in CLASSES), doc="the feed"),
}
OUTLETS = {
    "permeate": Outlet(Slot("permeate_flow", "m³/s"), Same("feed", "temperature_c"), Fixed(0.0),
                       tuple(Slot(f"class{i}_permeate_conc", "g/m³") for i in CLASSES),
                       doc="filtrate, at 0 bar"),
    "concentrate": Outlet(Slot("concentrate_flow", "m³/s"), Same("feed", "temperature_c"),
                          Same("feed", "pressure_bar"),
                          tuple(Slot(f"class{i}_concentrate_conc", "g/m³") for i in CLASSES),
                          doc="the retentate, at the feed pressure"),
}
POWER = (("pump_power_kw", "feed_pump"),)
DIAGNOSTICS = {}
FLAGS = ()

# Design checks (hydrokit.checks): the flux a designer of pressurised
# hollow-fibre ultrafiltration uses.
from .. import checks as _c  # noqa: E402

UF_SOURCE = ("ultrafiltration design practice (pressurised hollow fibre): 40-100 L/(m²·h) on surface water "
             "and as seawater pretreatment, 40-60 on wastewater effluent")
CHECKS = (_c.flux_check("flux", 3.6e6, limit=100.0, source=UF_SOURCE),)
