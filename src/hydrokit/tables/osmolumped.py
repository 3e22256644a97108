DESCRIPTION = "Corvane-style 0D reverse osmosis"

INPUT = (
    ("feed_flow", "m³/s"),
    ("temperature_c", "°C"),
    ("feed_pressure_bar", "bar"),
    ("permeate_pressure_bar", "bar"),
    ("feed_salinity", "kg/m³"),
)

PARAMS = (
    ("permeability", "m/(s·Pa)"),
    ("salt_permeability", "m/s"),
    ("membrane_area", "m²"),
    ("mass_transfer_coeff", "m/s"),
    ("pump_efficiency", "fraction"),
    ("max_recovery", "fraction"),
    ("solute_molar_mass", "g/mol"),
    ("vant_hoff_factor", "—"),
    ("max_iterations", "count"),
    ("tolerance", "relative"),
    ("reserved_10", "—"),
    ("reserved_11", "—"),
)

OUTPUT = (
    ("permeate_flow", "m³/s"),
    ("concentrate_flow", "m³/s"),
    ("flux", "m/s"),
    ("membrane_area", "m²"),
    ("permeate_salinity", "kg/m³"),
    ("concentrate_salinity", "kg/m³"),
    ("salt_rejection", "fraction"),
    ("recovery_achieved", "fraction"),
    ("wall_osmotic_pressure_bar", "bar"),
    ("permeate_osmotic_pressure_bar", "bar"),
    ("net_driving_pressure_bar", "bar"),
    ("pump_power_kw", "kW"),
    ("daily_energy_kwh", "kWh per day"),
    ("iterations", "count"),
    ("not_converged", "flag"),
)
