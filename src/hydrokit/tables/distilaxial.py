from . import distillumped as _lumped

DESCRIPTION = "Segmented 1D direct-contact membrane distillation"

# Same streams and outputs as the lumped cell, plus the number of segments.
INPUT = _lumped.INPUT

PARAMS = _lumped.PARAMS + (("segment_count", "count"),)

OUTPUT = _lumped.OUTPUT
