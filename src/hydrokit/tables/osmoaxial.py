from .osmolumped import INPUT  # the same inlet stream

DESCRIPTION = "Segmented 1D reverse osmosis"

PARAMS = (
    ("permeability", "m/(s·Pa)"),
    ("salt_permeability", "m/s"),
    ("membrane_area", "m²"),
    ("mass_transfer_coeff", "m/s"),
    ("pump_efficiency", "fraction"),
    ("max_recovery", "fraction"),
    ("solute_molar_mass", "g/mol"),
    ("vant_hoff_factor", "—"),
    ("segment_count", "count"),
    ("channel_pressure_drop_bar", "bar"),
    ("max_iterations", "count"),
    ("tolerance", "relative"),
    ("reserved_12", "—"),
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
    ("concentrate_pressure_bar", "bar"),
    ("channel_pressure_drop_bar", "bar"),
    ("mean_net_driving_pressure_bar", "bar"),
    ("pump_power_kw", "kW"),
    ("daily_energy_kwh", "kWh per day"),
    ("segment_count", "count"),
    ("not_converged", "flag"),
)
