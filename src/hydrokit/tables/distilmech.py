DESCRIPTION = "Physical membrane distillation"

SOLUTES = range(1, 6)

INPUT = (
    ("feed_flow", "m³/s"),
    ("feed_temperature_c", "°C"),
    ("cold_side_temperature_c", "°C"),
    *((f"solute{i}_feed_conc", "g/m³") for i in SOLUTES),
)

PARAMS = (
    ("recovery", "fraction"),
    ("membrane_thickness", "m"),
    ("pore_diameter", "m"),
    ("porosity", "fraction"),
    ("tortuosity", "—"),
    ("pump_pressure_bar", "bar"),
    ("pump_efficiency", "fraction"),
    ("latent_heat", "J/m³"),
    ("supply_temperature_c", "°C"),
    ("solute_passage", "fraction"),
)

OUTPUT = (
    ("permeate_flow", "m³/s"),
    ("concentrate_flow", "m³/s"),
    ("flux", "m/s"),
    ("flux_lmh", "L/(m²·h)"),
    ("membrane_area", "m²"),
    ("heat_duty_w", "W"),
    ("daily_heat_kwh", "kWh per day"),
    ("pump_power_kw", "kW"),
    ("daily_energy_kwh", "kWh per day"),
    ("feed_vapour_pressure_pa", "Pa"),
    ("cold_side_vapour_pressure_pa", "Pa"),
    ("knudsen_diffusivity", "m²/s"),
    *((f"solute{i}_permeate_conc", "g/m³") for i in SOLUTES),
    *((f"solute{i}_concentrate_conc", "g/m³") for i in SOLUTES),
    ("status_code", "code"),
)
