"""Repeated calls of every kind leave memory and reference counts flat.

The quick run here makes 10**4 calls per model and kind; `make leaks-long`
makes 10**6 with the same checks and prints the figures.
"""

import functools

import pytest

from conftest import MODELS
from harness import LEAK_KINDS, ModelCase, asan_loaded, measure_leaks

CALLS = 10_000

# A leak of the smallest object, one float (24 bytes), on every call of the
# quick run comes to 240 kB; the allowances sit well below that.
TRACED_ALLOWANCE = 32 * 1024
RSS_ALLOWANCE = 1024 * 1024


@functools.cache
def case(name):
    return ModelCase(name)


@pytest.mark.parametrize("kind", LEAK_KINDS)
@pytest.mark.parametrize("name", MODELS)
def test_calls_leave_memory_and_references_flat(name, kind):
    figures = measure_leaks(case(name), kind, CALLS)
    assert figures["refcount_changes"] == []
    assert figures["stored_unchanged"]
    assert figures["traced_growth"] < TRACED_ALLOWANCE, figures
    if not asan_loaded():
        assert figures["rss_growth"] < RSS_ALLOWANCE, figures


def test_measure_sees_a_small_leak_and_a_kept_reference():
    import numpy as np

    from harness import measure

    kept, u = [], np.zeros(3)
    figures = measure(lambda: kept.append(0.5 + len(kept)), [u], CALLS, warmup=0)
    assert figures["traced_growth"] > TRACED_ALLOWANCE and figures["refcount_changes"] == []
    figures = measure(lambda: kept.append(u), [u], 10, warmup=0)
    [(text, before, after)] = figures["refcount_changes"]
    assert text == repr(u) and after - before == 10
