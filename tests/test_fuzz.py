"""Hostile vectors through every model: no crash, no write outside the vectors,
no read next to them, nothing changed that the caller gave, the same bits
for the same inputs.

This is the quick profile (a few hundred examples per model); `make fuzz-long`
runs the same checks with 10**5 examples per model and prints a summary.
"""

import ctypes
import functools
import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import conftest
from conftest import MODELS, sentinel_run
from harness import NEG_NAN, SCALES, SPECIAL, ModelCase, describe, unaligned

QUICK = settings(
    max_examples=250,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


@functools.cache
def case(name):
    return ModelCase(name)


@functools.cache
def strategies(name):
    c = case(name)
    return c.inputs(), c.params(), c.arguments("u"), c.arguments("p")


def fail_message(name, found, u, p):
    lines = [f"{name}: {f.kind}: {f.detail}" for f in found]
    return "\n".join(lines + [describe(u, p)])


@pytest.mark.parametrize("name", MODELS)
@QUICK
@given(data=st.data())
def test_hostile_values(name, data):
    u_strategy, p_strategy, _, _ = strategies(name)
    u = data.draw(u_strategy, label="u")
    p = data.draw(p_strategy, label="p")
    form = data.draw(st.sampled_from(ModelCase.FORMS), label="second call")
    found = case(name).check_values(u, p, form)
    assert not found, fail_message(name, found, u, p)


@pytest.mark.parametrize("name", MODELS)
@settings(QUICK, max_examples=60)
@given(data=st.data())
def test_any_argument_gives_result_or_documented_error(name, data):
    _, _, u_args, p_args = strategies(name)
    u = data.draw(u_args, label="u")
    p = data.draw(p_args, label="p")
    found = case(name).check_arguments(u, p)
    assert not found, fail_message(name, found, u, p)


@pytest.mark.parametrize("name", MODELS)
def test_every_slot_the_same_value(name):
    # One value in all slots at once, count slots included: every special
    # value, and the defaults under every scale.
    c = case(name)
    for value in SPECIAL:
        u, p = np.full(c.ni, value), np.full(c.npar, value)
        found = c.check_values(u, p)
        assert not found, fail_message(name, found, u, p)
    for k in SCALES:
        with np.errstate(over="ignore"):  # 1e300 times a large default is inf, as intended
            u, p = c.u_default * k, c.p_default * k
        found = c.check_values(u, p)
        assert not found, fail_message(name, found, u, p)


@pytest.mark.parametrize("name", MODELS)
@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf, -1.0, 0.0, 1e300])
def test_one_vector_hostile_the_other_default(name, value):
    c = case(name)
    for u, p in ((np.full(c.ni, value), c.p_default), (c.u_default, np.full(c.npar, value))):
        found = c.check_values(u.copy(), p.copy(), "list")
        assert not found, fail_message(name, found, u, p)


_DOUBLES = ctypes.POINTER(ctypes.c_double)
GUARD_TYPE = ctypes.CFUNCTYPE(ctypes.c_int32, _DOUBLES, ctypes.c_int32, _DOUBLES, ctypes.c_int32,
                              _DOUBLES, ctypes.c_int32)


class FakeModule:
    """Stands in for a model module whose core is a Python callback."""

    INPUT_WIDTH, PARAM_WIDTH, OUTPUT_WIDTH = 3, 2, 4

    def __init__(self, name, core):
        self.__name__ = f"hydrokit.{name}"

        @GUARD_TYPE
        def guard(u, n_u, p, n_p, y, capacity):
            core(u, p, y)
            return 0

        self._guard = guard  # kept alive as long as the stand-in
        conftest._GUARDS[self.__name__] = guard


@pytest.mark.parametrize("core, expected", [
    (lambda u, p, y: y.__setitem__(4, 1.0), ["write past the output vector"]),
    (lambda u, p, y: y.__setitem__(-1, 1.0), ["write before the output vector"]),
    (lambda u, p, y: u.__setitem__(0, 2.0), ["write into the input vector"]),
    (lambda u, p, y: p.__setitem__(2, 1.0), ["write next to the parameter vector"]),
    (lambda u, p, y: y.__setitem__(0, u[0] + p[1]), []),
])
def test_sentinel_run_reports_every_stray_write(core, expected):
    fake = FakeModule("stray", core)
    status, y, breaches = sentinel_run(fake, np.ones(3), np.ones(2))
    assert status == 0 and breaches == expected


def test_reads_next_to_a_vector_change_the_output():
    # A core that reads one slot past its input: the two sentinels of
    # check_values (a number, then NaN) give different outputs.
    fake = FakeModule("overread", lambda u, p, y: y.__setitem__(0, u[3]))
    outputs = {sentinel_run(fake, np.ones(3), np.ones(2), s)[1].tobytes() for s in (7.0e77, NEG_NAN)}
    assert len(outputs) == 2


def test_changed_defaults_are_reported():
    c = case(MODELS[0])
    saved = c.module._DEFAULT_INPUT[0]
    c.module._DEFAULT_INPUT[0] = saved + 1.0
    try:
        assert [f.kind for f in c.stored_unchanged()] == ["changed argument"]
    finally:
        c.module._DEFAULT_INPUT[0] = saved
    assert c.stored_unchanged() == []


class UnalignedZeros:
    """numpy rebound so that the output array starts one byte into its buffer."""

    float64 = np.float64
    ascontiguousarray = staticmethod(np.ascontiguousarray)

    @staticmethod
    def zeros(n, dtype):
        return unaligned(np.zeros(n, dtype=dtype))


@pytest.mark.parametrize("name", MODELS)
def test_unaligned_vectors_are_read_and_written_whole(name, monkeypatch):
    # np.ascontiguousarray hands back float64 memory at an odd address as it
    # is; the core must still see (and the caller get) exactly the same values.
    # Under the sanitizer build a misaligned access is an error of its own.
    c = case(name)
    for u, p in ((c.u_default, c.p_default), (np.full(c.ni, np.nan), c.p_default * 2.0)):
        assert not c.check_values(u, p, "unaligned")
    expected = c.module.run().tobytes()
    monkeypatch.setattr(c.module, "np", UnalignedZeros())
    y = c.module.run()
    assert not y.flags.aligned and y.tobytes() == expected
