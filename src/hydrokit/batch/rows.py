"""The compiled batch engine's widths and its one call on a block of rows.

Shared by the in-process sweep (:mod:`hydrokit.batch`) and the cluster chunks
(:mod:`hydrokit.batch.cluster`), which import it rather than each other.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

import hydrokit._sweep as _sweep

# {name: (input_width, param_width, output_width)} as compiled in.
WIDTHS: dict[str, tuple[int, int, int]] = _sweep.models()


def evaluate_rows(name: str, u: NDArray[np.float64], p: NDArray[np.float64], n: int,
                  threads: int) -> NDArray[np.float64]:
    """Rows 0..n-1 of the model on C-contiguous matrices of 1 or n rows."""
    # Arrays rebuilt from bytes (a chunk unpickled on a cluster worker) may
    # start at any byte offset, and a core must not read a double through a
    # misaligned pointer: such a matrix is copied to aligned memory.
    u = np.require(u, np.float64, ["C", "A"])
    p = np.require(p, np.float64, ["C", "A"])
    # Each row is zero-filled by the evaluator right before its core call.
    y = np.empty((n, WIDTHS[name][2]), dtype=np.float64)
    _sweep.evaluate(name, u, p, y, threads)
    return y
