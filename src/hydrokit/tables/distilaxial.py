from . import distillumped as _lumped

DESCRIPTION = "Segmented 1D direct-contact membrane distillation"

# Same streams and outputs as the lumped cell, plus the number of segments.
INPUT = _lumped.INPUT

PARAMS = _lumped.PARAMS + (("segment_count", "count"),)

OUTPUT = _lumped.OUTPUT

# Ports: those of the lumped cell (hot feed, cold loop; the outlets after the
# last segment run).
INLETS = _lumped.INLETS
OUTLETS = _lumped.OUTLETS
POWER = _lumped.POWER
DIAGNOSTICS = {"status_code": "0; 1: a segment's permeate was cut to the max_recovery allowance; 2: a "
                              "segment's outgoing flow fell below 1e-15 m³/s (floored)"}
FLAGS = ("status_code",)

# Design checks (hydrokit.checks): as the lumped model's.
CHECKS = _lumped.CHECKS  # noqa: E305
