from . import distillumped as _lumped

DESCRIPTION = "Segmented 1D direct-contact membrane distillation"

# Same streams and outputs as the lumped cell, plus the number of segments.
INPUT = _lumped.INPUT

PARAMS = _lumped.PARAMS + (("segment_count", "count"),)

# Defaults of u and p by slot name, each the exact double written (C++ gets them
# through float.hex).
DEFAULT_INPUT = {
    "feed_flow": 0.0002777777777777778,
    "cold_side_flow": 0.0002777777777777778,
    "feed_temperature_c": 80.0,
    "cold_side_temperature_c": 50.0,
    "feed_salinity": 35.0,
}

DEFAULT_PARAMS = {
    "membrane_area": 1.0,
    "membrane_thickness": 0.0001,
    "vapour_permeability": 1e-10,
    "membrane_conductivity": 0.2,
    "fallback_density": 1000.0,
    "fallback_heat_capacity": 4180.0,
    "latent_heat": 2260000.0,
    "pump_pressure_bar": 2.0,
    "pump_efficiency": 0.7,
    "max_recovery": 0.95,
    "salt_passage": 0.01,
    "segment_count": 20.0,
}

# How the costing prices a unit of this model (see hydrokit.costing.CLASSES).
COST_CLASS = "md"

OUTPUT = _lumped.OUTPUT

# Ports: those of the lumped cell (hot feed, cold loop; the outlets after the
# last segment run).
INLETS = _lumped.INLETS
OUTLETS = _lumped.OUTLETS
POWER = _lumped.POWER
# Component kinds: as the lumped cell.
KINDS = _lumped.KINDS
PASSES = _lumped.PASSES
DIAGNOSTICS = {"status_code": "0; 1: a segment's permeate was cut to the max_recovery allowance; 2: a "
                              "segment's outgoing flow fell below 1e-15 m³/s (floored)"}
FLAGS = ("status_code",)

# Design checks (hydrokit.checks): as the lumped model's.
CHECKS = _lumped.CHECKS  # noqa: E305
