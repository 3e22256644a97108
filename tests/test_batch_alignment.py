"""Batch sweeps over float64 memory at an odd address (as a chunk unpickled on
a cluster worker can be): the same rows as over aligned memory, and the
evaluator itself refuses a misaligned matrix instead of handing it to a core."""

import numpy as np
import pytest

from conftest import MODELS, load
from harness import unaligned
from hydrokit import _sweep
from hydrokit.batch import _evaluate


def unaligned_matrix(m):
    return unaligned(m.reshape(-1)).reshape(m.shape)


@pytest.mark.parametrize("name", MODELS)
def test_unaligned_rows_give_the_aligned_result(name):
    mod = load(name)
    u = np.vstack([mod.default_input(), mod.default_input() * 2.0, np.full(mod.INPUT_WIDTH, np.nan)])
    p = mod.default_params().reshape(1, -1)
    expected = _evaluate(name, u, p, 3, 1)
    got = _evaluate(name, unaligned_matrix(u), unaligned_matrix(p), 3, 1)
    assert got.tobytes() == expected.tobytes()


def test_the_evaluator_refuses_misaligned_memory():
    name = MODELS[0]
    mod = load(name)
    u = unaligned_matrix(mod.default_input().reshape(1, -1))
    p = mod.default_params().reshape(1, -1)
    y = np.empty((1, mod.OUTPUT_WIDTH))
    with pytest.raises(ValueError, match="inputs must be aligned to 8 bytes"):
        _sweep.evaluate(name, u, p, y, 1)
