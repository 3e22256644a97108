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
