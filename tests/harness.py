"""Hostile inputs for every model and the checks each call must pass.

Shared by the fuzz tests (a few hundred examples per model) and by
`tools/robustness` (the long runs). Everything here is generic over
`hydrokit.layout.models()`: a model is covered as soon as its table exists.

A check returns a list of `Finding(kind, detail)` instead of raising, so a
long run can count findings; the tests fail on the first one.
"""

from __future__ import annotations

import math
import struct
from dataclasses import dataclass

import numpy as np
from hypothesis import strategies as st

from conftest import load, sentinel_run
from hydrokit.layout import layout

# Kinds of finding, in the order the summary lists them.
CRASH = "crash"                    # an exception or a malformed result where an array is due
BREACH = "sentinel breach"         # a write outside the output vector, or a read of memory next to a vector
NONDETERMINISTIC = "nondeterministic"  # the same inputs gave different bits
CHANGED = "changed argument"       # the caller's arrays or the stored defaults were altered
KINDS = (CRASH, BREACH, NONDETERMINISTIC, CHANGED)


@dataclass(frozen=True)
class Finding:
    kind: str
    detail: str


# ---- values -----------------------------------------------------------------

NAN = math.nan
NEG_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000000))[0]
PAYLOAD_NAN = struct.unpack("<d", struct.pack("<Q", 0x7FF4000000000123))[0]  # signalling, with a payload
MAX = 1.7976931348623157e308
INT32_EDGE = 2147483647.5  # the least value whose (value + 0.5) no longer fits an int32
MIN_NORMAL = 2.2250738585072014e-308
TINY = 5e-324

# Values that sit on the rules of the cores: zero and its sign, the 1e-15 and
# 1e-12 flow thresholds, the 0.5 of a rounded count or a switch, the limits of
# a 32-bit count, subnormals and the ends of the double range.
SPECIAL = (
    NAN, NEG_NAN, PAYLOAD_NAN, math.inf, -math.inf,
    0.0, -0.0, TINY, -TINY, MIN_NORMAL, 1e-300, 1e-200,
    1e-15, 1e-12, -1e-12, 1e-6, 0.4, 0.49999999999999994, 0.5, 1.0, -1.0, 1.5, 2.5, 4.5, 5.0, 200.5,
    2.0**31, -(2.0**31) - 1.0, INT32_EDGE, 2.0**53, 1e15, 1e100, 1e300, -1e300, MAX, -MAX,
)

# Factors applied to a default vector (or a single slot).
SCALES = (-1.0, -1e-3, 0.0, 1e-300, 1e-12, 1e-3, 0.5, 0.999, 1.001, 2.0, 10.0, 1e3, 1e12, 1e300)

# A count slot (an iteration cap, a segment count) bounds the work of a call:
# a cap of 2**31 - 1 with a tolerance that is never met is a valid but
# minutes-long call. Counts are therefore kept within [-COUNT_LIMIT,
# COUNT_LIMIT] unless (value + 0.5) leaves the 32-bit range, where they read
# as "not a count"; everything else about them is as hostile as any slot.
COUNT_LIMIT = 1000.0


def tame_count(value):
    if math.isfinite(value) and COUNT_LIMIT < abs(value) < INT32_EDGE:
        return math.copysign(COUNT_LIMIT, value)
    return value


def is_count(slot):
    return slot.unit == "count" or "count" in slot.name or "iteration" in slot.name


def decode_vector(blob, defaults, counts):
    """A vector from a byte string: the defaults, with hostile values in some slots.

    Byte 0 chooses the mode: bit 7 set, most slots hostile, else a few (a
    slot is hostile when its selector byte is at least 96, or at least 224);
    bit 6 set, the defaults are first scaled by SCALES[byte 1]. Each slot then
    has a selector byte and eight value bytes; a hostile slot takes, by value
    byte 1, the default times SCALES[value byte 0], SPECIAL[value byte 0], the
    eight bytes as a double (any bit pattern: NaN payloads, subnormals, the
    ends of the range), or a value spread evenly over [-1000, 1000].

    All-zero bytes are the defaults themselves, so hypothesis shrinks a
    failure towards the defaults with as few hostile slots as it needs.
    """
    n = len(defaults)
    raw = np.frombuffer(blob, dtype=np.uint8)
    mode, scale_pick = int(raw[0]), int(raw[1])
    selector = raw[2:2 + n]
    value_bytes = raw[2 + n:2 + 9 * n].reshape(n, 8)
    bits = value_bytes.copy().view("<f8").reshape(n)
    spread = value_bytes.copy().view("<u8").reshape(n) / 2.0**64 * 2000.0 - 1000.0

    base = np.array(defaults, dtype=np.float64)
    if mode & 0x40:
        with np.errstate(all="ignore"):
            base = base * SCALES[scale_pick % len(SCALES)]
    hostile = selector >= (96 if mode & 0x80 else 224)
    pick = value_bytes[:, 0].astype(np.intp)
    with np.errstate(all="ignore"):  # scaling may overflow to inf, as intended
        choices = (
            np.asarray(defaults, dtype=np.float64) * np.asarray(SCALES)[pick % len(SCALES)],
            np.asarray(SPECIAL)[pick % len(SPECIAL)],
            bits,
            spread,
        )
    v = np.choose(value_bytes[:, 1] % 4, choices)
    out = np.where(hostile, v, base)
    for i in counts:
        out[i] = tame_count(float(out[i]))
    return out


def vector_bytes(width):
    return st.binary(min_size=2 + 9 * width, max_size=2 + 9 * width)


class ModelCase:
    """What the fuzzer needs to know about one model, and its checks."""

    def __init__(self, name):
        self.name = name
        self.module = load(name)
        lay = layout(name)
        self.ni = self.module.INPUT_WIDTH
        self.npar = self.module.PARAM_WIDTH
        self.no = self.module.OUTPUT_WIDTH
        self.u_default = self.module.default_input()
        self.p_default = self.module.default_params()
        self.u_counts = [s.index for s in lay.inputs if is_count(s)]
        self.p_counts = [s.index for s in lay.params if is_count(s)]
        # The stored defaults as they were at import, to compare against.
        self.stored = (self.module._DEFAULT_INPUT.tobytes(), self.module._DEFAULT_PARAMS.tobytes())

    # -- strategies --

    def _vector(self, defaults, counts):
        return vector_bytes(len(defaults)).map(lambda blob: decode_vector(blob, defaults, counts))

    def batches(self, size):
        """`size` examples (u, p, second-call form) from one byte string.

        One draw per hypothesis test case keeps the engine's cost per case
        from dominating the long runs; a failing batch still shrinks towards
        defaults like a single example.
        """
        nu, npb = 2 + 9 * self.ni, 2 + 9 * self.npar
        per = nu + npb + 1

        def split(blob):
            out = []
            for k in range(size):
                b = blob[k * per:(k + 1) * per]
                out.append((decode_vector(b[:nu], self.u_default, self.u_counts),
                            decode_vector(b[nu:nu + npb], self.p_default, self.p_counts),
                            self.FORMS[b[-1] % len(self.FORMS)]))
            return out

        return st.binary(min_size=per * size, max_size=per * size).map(split)

    def inputs(self):
        return self._vector(self.u_default, self.u_counts)

    def params(self):
        return self._vector(self.p_default, self.p_counts)

    # -- checks --

    def stored_unchanged(self):
        m = self.module
        if (m._DEFAULT_INPUT.tobytes(), m._DEFAULT_PARAMS.tobytes()) != self.stored:
            return [Finding(CHANGED, "the stored default vectors changed")]
        return []

    def check_values(self, u, p, form="array"):
        """Every check on float64 vectors `u`, `p` of the right lengths.

        `form` names a second way of passing the same values, whose result
        must carry the same bits: one of FORMS ("array" is the same arrays
        again).
        """
        m, found = self.module, []
        ubytes, pbytes = u.tobytes(), p.tobytes()
        try:
            y = m.run(u, p)
        except Exception as e:  # noqa: BLE001 - any exception here is the finding
            return [Finding(CRASH, f"run raised {type(e).__name__}: {e}")]
        if not (type(y) is np.ndarray and y.dtype == np.float64 and y.shape == (self.no,)
                and y.flags.c_contiguous and y.flags.writeable):
            return [Finding(CRASH, f"run returned {type(y).__name__} {getattr(y, 'dtype', '')} "
                                   f"{getattr(y, 'shape', '')}, not a writable float64 vector of {self.no}")]
        if np.shares_memory(y, u) or np.shares_memory(y, p):
            found.append(Finding(CHANGED, "the output shares memory with an argument"))
        bits = y.tobytes()

        again = self._call_form(u, p, form)
        if isinstance(again, Finding):
            found.append(again)
        elif again is y or again.tobytes() != bits:
            found.append(Finding(NONDETERMINISTIC, f"a second call ({form}) gave other bits"))
        if u.tobytes() != ubytes or p.tobytes() != pbytes:
            found.append(Finding(CHANGED, "run changed the caller's arrays"))
        found += self.stored_unchanged()

        # The core alone, between sentinels: once with a number around the
        # vectors, once with NaN, which any read next to a vector would carry
        # into the output.
        for sentinel in (7.0e77, NEG_NAN):
            status, yg, breaches = sentinel_run(m, u, p, sentinel)
            found += [Finding(BREACH, b) for b in breaches]
            if status != 0:
                found.append(Finding(CRASH, f"the guard returned {status} for valid widths"))
            elif yg.tobytes() != bits:
                kind = BREACH if sentinel != 7.0e77 else NONDETERMINISTIC
                found.append(Finding(kind, f"the guarded core with sentinel {sentinel!r} gave other bits"))
        return found

    def _call_form(self, u, p, form):
        m = self.module
        try:
            if form == "list":
                return m.run(u.tolist(), p.tolist())
            if form == "tuple":
                return m.run(tuple(u.tolist()), tuple(p.tolist()))
            if form == "strided":
                us, ps = np.empty(2 * u.size), np.empty(2 * p.size)
                us[::2], ps[::2] = u, p
                return m.run(us[::2], ps[::2])
            if form == "big-endian":
                return m.run(u.astype(">f8"), p.astype(">f8"))
            if form == "keywords":
                return m.run(p=p, u=u)
            if form == "read-only":
                ur, pr = u.copy(), p.copy()
                ur.flags.writeable = pr.flags.writeable = False
                return m.run(ur, pr)
            if form == "unaligned":
                return m.run(unaligned(u), unaligned(p))
            return m.run(u, p)
        except Exception as e:  # noqa: BLE001
            return Finding(CRASH, f"run ({form}) raised {type(e).__name__}: {e}")

    FORMS = ("array", "list", "tuple", "strided", "big-endian", "keywords", "read-only", "unaligned")

    # -- arguments of any shape: the frame's own checks --

    def arguments(self, which):
        """Arguments for `u` or `p` of every kind the frame must convert or refuse."""
        width = self.ni if which == "u" else self.npar
        good = self.inputs() if which == "u" else self.params()
        counts = self.u_counts if which == "u" else self.p_counts

        def tame(values):  # only a vector of the right length reaches the core
            if len(values) == width:
                for i in counts:
                    values[i] = type(values[i])(tame_count(values[i]))
            return values

        lengths = st.integers(0, 2 * width + 1)
        floats = st.one_of(st.sampled_from(SPECIAL), st.floats())
        return st.one_of(
            st.just(None),
            good,
            good.map(lambda a: a.tolist()),
            good.map(lambda a: tuple(a.tolist())),
            good.map(_as_float32),
            good.map(lambda a: a.astype(">f8")),
            good.map(lambda a: np.repeat(a, 2)[::2]),
            st.lists(st.integers(-(2**70), 2**70), min_size=width, max_size=width).map(tame),
            st.lists(floats, max_size=2 * width + 1).map(lambda v: np.array(tame(v), dtype=np.float64)),
            lengths.map(lambda n: [0.5] * n),
            st.tuples(st.integers(1, 3), st.integers(0, width + 1)).map(lambda s: np.zeros(s)),
            st.tuples(st.integers(1, 2), st.integers(1, 2), st.integers(1, width)).map(lambda s: np.ones(s)),
            floats,
            st.just(["x"] * width),
            st.just({"u": 1.0}),
            st.just([[1.0, 2.0], [3.0]]),
        )

    def expected(self, u, p):
        """What run(u, p) must do, from the written steps: ("ok", u_arr, p_arr) or ("raise", type, text)."""
        m = self.module
        arrays = []
        for value, stored in ((u, m._DEFAULT_INPUT), (p, m._DEFAULT_PARAMS)):
            if value is None:
                arr = stored.copy()
            else:
                try:
                    arr = np.ascontiguousarray(value, dtype=np.float64)
                except Exception as e:  # noqa: BLE001 - NumPy's own error is the expected one
                    return ("raise", type(e), str(e))
            if arr.ndim != 1:
                return ("raise", ValueError,
                        f"Buffer has wrong number of dimensions (expected 1, got {arr.ndim})")
            arrays.append(arr)
        ua, pa = arrays
        if ua.size != self.ni:
            return ("raise", ValueError, f"{self.name}: input vector length must be {self.ni}, got {ua.size}")
        if pa.size != self.npar:
            return ("raise", ValueError,
                    f"{self.name}: parameter vector length must be {self.npar}, got {pa.size}")
        return ("ok", ua, pa)

    def check_arguments(self, u, p):
        """run(u, p) on arguments of any kind: the documented exception or the right result."""
        snapshot = [_snapshot(u), _snapshot(p)]
        want = self.expected(u, p)
        found = []
        try:
            y = self.module.run(u, p)
        except Exception as e:  # noqa: BLE001
            if want[0] == "ok":
                found.append(Finding(CRASH, f"run raised {type(e).__name__}: {e}"))
            elif type(e) is not want[1] or str(e) != want[2]:
                found.append(Finding(CRASH, f"run raised {type(e).__name__}: {e!s}; "
                                            f"expected {want[1].__name__}: {want[2]}"))
        else:
            if want[0] != "ok":
                found.append(Finding(CRASH, f"run returned where {want[1].__name__}: {want[2]} is due"))
            else:
                if not (type(y) is np.ndarray and y.dtype == np.float64 and y.shape == (self.no,)):
                    found.append(Finding(CRASH, "run returned a malformed output"))
                elif y.tobytes() != self.module.run(want[1], want[2]).tobytes():
                    found.append(Finding(NONDETERMINISTIC, "the result differs from run on the converted arrays"))
        if [_snapshot(u), _snapshot(p)] != snapshot:
            found.append(Finding(CHANGED, "run changed the caller's arguments"))
        return found + self.stored_unchanged()


def unaligned(a):
    """The values of `a` in float64 memory that starts one byte into a buffer."""
    raw = np.zeros(a.size * 8 + 1, dtype=np.uint8)
    out = raw[1:].view(np.float64)
    out[:] = a
    assert not out.flags.aligned
    return out


def _as_float32(a):
    with np.errstate(over="ignore", invalid="ignore"):  # the overflow to inf is what is wanted
        return a.astype(np.float32)


def _snapshot(value):
    """Something equal for equal contents, bit for bit (NaN included)."""
    if isinstance(value, np.ndarray):
        return ("array", value.dtype.str, value.shape, value.tobytes())
    if isinstance(value, (list, tuple)):
        return (type(value), tuple(map(id, value)), len(value))
    return ("other", id(value))


def describe(u, p):
    """The example as code that reproduces it."""
    def text(v):
        if isinstance(v, np.ndarray) and v.dtype == np.float64 and v.ndim == 1:
            return "np.array([" + ", ".join(_float(x) for x in v.tolist()) + "])"
        return repr(v)
    return f"run({text(u)}, {text(p)})"


def _float(x):
    if math.isnan(x):
        return f"struct.unpack('<d', bytes.fromhex('{struct.pack('<d', x).hex()}'))[0]"
    return repr(x) if math.isfinite(x) else ("math.inf" if x > 0 else "-math.inf")


# ---- leaks --------------------------------------------------------------------

LEAK_KINDS = ("arrays", "lists", "none", "raises", "np rebound")


class _NumpyShim:
    """numpy rebound in the module namespace: run then goes through the
    Python-level calls of the written steps instead of the C fast path."""

    float64 = np.float64
    ascontiguousarray = staticmethod(np.ascontiguousarray)
    zeros = staticmethod(np.zeros)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * _PAGE


_PAGE = __import__("os").sysconf("SC_PAGE_SIZE")


def _calls(case, kind):
    """A call of the given kind, and the objects whose reference counts it must leave alone."""
    m = case.module
    run = m.run
    u, p = case.u_default.copy(), case.p_default.copy()
    ul, pl = u.tolist(), p.tolist()
    if kind == "arrays":
        return (lambda: run(u, p)), [u, p]
    if kind == "lists":
        return (lambda: run(ul, pl)), [ul, pl, *ul, *pl]
    if kind == "none":
        def call():
            run()
            run(None, p)
            run(u=u)
        return call, [u, p]
    if kind == "raises":
        short = u[:-1].copy()
        flat2d = np.zeros((2, case.npar))
        words = ["x"] * case.ni
        bad = [
            ((short, p), {}), ((u, flat2d), {}), ((words, p), {}), ((u, p, None), {}),
            ((), {"x": u}), ((u,), {"u": u}), ((short, flat2d), {}),
        ]

        def call():
            for args, kwargs in bad:
                try:
                    run(*args, **kwargs)
                except (TypeError, ValueError):
                    pass
                else:
                    raise AssertionError(f"run{args} did not raise")
        return call, [u, p, short, flat2d, words, *words]
    if kind == "np rebound":
        shim = _NumpyShim()

        def call():
            m.np = shim
            try:
                run(u, p)
                run(ul, None)
            finally:
                m.np = np
        return call, [u, p, ul, *ul, shim]
    raise ValueError(kind)


def measure(call, watched, rounds, warmup=2000):
    """Call `call` `rounds` times after a warm-up; return the growth of traced
    memory and of the resident size, and the reference counts of `watched`
    that changed, as (object, before, after)."""
    import gc
    import sys
    import time
    import tracemalloc

    for _ in range(warmup):  # free lists, caches and allocator arenas reach their steady state
        call()
    gc.collect()
    refs_before = [sys.getrefcount(o) for o in watched]
    tracemalloc.start()
    traced_before = tracemalloc.get_traced_memory()[0]
    rss_before = rss_bytes()
    start = time.perf_counter()
    for _ in range(rounds):
        call()
    seconds = time.perf_counter() - start
    gc.collect()
    traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    rss_growth = rss_bytes() - rss_before
    tracemalloc.stop()
    refs_after = [sys.getrefcount(o) for o in watched]
    changed = [(repr(o)[:60], b, a) for o, b, a in zip(watched, refs_before, refs_after) if a != b]
    return {"seconds": seconds, "traced_growth": traced_growth, "rss_growth": rss_growth,
            "refcount_changes": changed}


def measure_leaks(case, kind, calls, warmup=2000):
    """`calls` run calls of one kind on one model, with the figures of `measure`."""
    m = case.module
    call, args = _calls(case, kind)
    watched = [*args, m, m.run, m._DEFAULT_INPUT, m._DEFAULT_PARAMS, np, np.float64,
               np.ascontiguousarray, np.zeros]
    per_round = {"none": 3, "raises": 7, "np rebound": 2}.get(kind, 1)
    rounds = max(1, calls // per_round)
    figures = measure(call, watched, rounds, warmup)
    figures.update(model=case.name, kind=kind, calls=rounds * per_round,
                   stored_unchanged=not case.stored_unchanged())
    return figures


def asan_loaded():
    """True in the sanitizer build, whose allocator holds freed memory back (RSS is then no measure)."""
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()
