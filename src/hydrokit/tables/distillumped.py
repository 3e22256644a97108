DESCRIPTION = "Corvane-style 0D direct-contact membrane distillation"

INPUT = (
    ("feed_flow", "m³/s"),
    ("cold_side_flow", "m³/s"),
    ("feed_temperature_c", "°C"),
    ("cold_side_temperature_c", "°C"),
    ("feed_salinity", "kg/m³"),
)

PARAMS = (
    ("membrane_area", "m²"),
    ("membrane_thickness", "m"),
    ("vapour_permeability", "kg/(m·s·Pa)"),
    ("membrane_conductivity", "W/(m·K)"),
    ("fallback_density", "kg/m³"),
    ("fallback_heat_capacity", "J/(kg·K)"),
    ("latent_heat", "J/kg"),
    ("pump_pressure_bar", "bar"),
    ("pump_efficiency", "fraction"),
    ("max_recovery", "fraction"),
    ("salt_passage", "fraction"),
)

OUTPUT = (
    ("permeate_flow", "m³/s"),
    ("concentrate_flow", "m³/s"),
    ("recovery_achieved", "fraction"),
    ("mass_flux", "kg/(m²·s)"),
    ("flux_lmh", "L/(m²·h)"),
    ("feed_outlet_temperature_c", "°C"),
    ("cold_side_outlet_temperature_c", "°C"),
    ("feed_vapour_pressure_pa", "Pa"),
    ("cold_side_vapour_pressure_pa", "Pa"),
    ("latent_heat_flow_w", "W"),
    ("conduction_heat_flow_w", "W"),
    ("total_heat_flow_w", "W"),
    ("thermal_efficiency", "fraction"),
    ("concentrate_salinity", "kg/m³"),
    ("permeate_salinity", "kg/m³"),
    ("pump_power_kw", "kW"),
    ("daily_energy_kwh", "kWh per day"),
    ("status_code", "code"),
)
