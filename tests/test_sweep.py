"""hydrokit.sweep: many rows in one call, each bitwise equal to run."""

import subprocess
import sys
import threading

import numpy as np
import pytest

import hydrokit
from conftest import MODELS, load, same_bits
from hydrokit import _sweep

# Values that have broken cores elsewhere: NaN, infinities, signed zeros,
# subnormals, huge magnitudes (which must not become loop counts) and negatives.
HOSTILE = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, -1.0, 5e-324, -5e-324, 1e-300,
                    1e300, -1e300, 2.0**31, -(2.0**31), 0.5, 3.7])


def hostile_rows(module, n, seed):
    """n rows around the defaults, most with a few slots set to hostile values."""
    rng = np.random.default_rng(seed)

    def rows(defaults):
        out = defaults * rng.uniform(0.5, 1.5, size=(n, defaults.size))
        for row in out[n // 4:]:
            slots = rng.choice(defaults.size, size=rng.integers(1, 4), replace=False)
            row[slots] = rng.choice(HOSTILE, size=slots.size)
        return out

    return rows(module.default_input()), rows(module.default_params())


def assert_rows_match_run(module, u, p, y):
    u, p = np.broadcast_to(np.atleast_2d(u), (len(y), module.INPUT_WIDTH)), np.atleast_2d(p)
    p = np.broadcast_to(p, (len(y), module.PARAM_WIDTH))
    assert y.dtype == np.float64 and y.shape == (len(y), module.OUTPUT_WIDTH) and y.flags.c_contiguous
    for i in range(len(y)):
        assert same_bits(y[i], module.run(u[i], p[i])), f"row {i} differs from run"


def test_every_model_is_compiled_in():
    # The batch extension is built from the same glob as the model modules.
    assert set(_sweep.models()) == set(MODELS)
    for name in MODELS:
        m = load(name)
        assert _sweep.models()[name] == (m.INPUT_WIDTH, m.PARAM_WIDTH, m.OUTPUT_WIDTH)


@pytest.mark.parametrize("threads", [1, 2, 5])
def test_hostile_rows_match_run(model, threads):
    u, p = hostile_rows(model, 160, seed=threads)
    uc, pc = u.copy(), p.copy()
    y = hydrokit.sweep(model, u, p, threads=threads)
    assert_rows_match_run(model, u, p, y)
    assert same_bits(u, uc) and same_bits(p, pc), "sweep changed its arguments"


def test_model_by_name_or_module(model):
    u, p = hostile_rows(model, 20, seed=7)
    name = model.__name__.rpartition(".")[2]
    assert same_bits(hydrokit.sweep(name, u, p), hydrokit.sweep(model, u, p))


def test_broadcasting(model):
    u, p = hostile_rows(model, 12, seed=3)
    ui, pi = model.default_input(), model.default_params()
    for inputs, params, n in [(u, pi, 12), (ui, p, 12), (u[:1], p, 12), (u, p[:1], 12),
                              (ui, pi, 1), (None, p, 12), (u, None, 12), (None, None, 1)]:
        y = hydrokit.sweep(model, inputs, params)
        assert y.shape == (n, model.OUTPUT_WIDTH)
        assert_rows_match_run(model, ui if inputs is None else inputs, pi if params is None else params, y)


@pytest.mark.parametrize("threads", [1, 2, 1000, 10**9])
@pytest.mark.parametrize("n", [0, 1, 3, 257])
def test_thread_counts_and_row_counts(threads, n):
    m = load("osmomech")
    u, p = hostile_rows(m, max(n, 1), seed=n)
    u, p = u[:n], p[:n]
    y = hydrokit.sweep(m, u, p, threads=threads)
    assert y.shape == (n, m.OUTPUT_WIDTH)
    assert_rows_match_run(m, u, p, y)


@pytest.mark.parametrize("threads, error", [(0, ValueError), (-2, ValueError), (1.5, TypeError), ("2", TypeError)])
def test_bad_thread_counts(threads, error):
    with pytest.raises(error):
        hydrokit.sweep("pump", None, None, threads=threads)


def test_conversions_as_run():
    m = load("pump")
    u, p = hostile_rows(m, 9, seed=11)
    expected = hydrokit.sweep(m, u, p)
    fortran = np.asfortranarray(u)
    strided = np.repeat(u, 2, axis=0)[::2]
    readonly = u.copy()
    readonly.flags.writeable = False
    for inputs in (u.tolist(), fortran, strided, readonly, u.astype(">f8")):
        assert same_bits(hydrokit.sweep(m, inputs, p), expected)
    ints = np.arange(9 * 7).reshape(9, 7)
    assert same_bits(hydrokit.sweep(m, ints, p), hydrokit.sweep(m, ints.astype(float), p))
    assert same_bits(hydrokit.sweep(m, u.astype(np.float32), p), hydrokit.sweep(m, u.astype(np.float32).astype(float), p))


@pytest.mark.parametrize("inputs, params, message", [
    (np.zeros((3, 6)), None, "pump: inputs must have shape (N, 7) or (7,), got (3, 6)"),
    (np.zeros(8), None, "pump: inputs must have shape (N, 7) or (7,), got (8,)"),
    (np.zeros((2, 3, 7)), None, "pump: inputs must have shape (N, 7) or (7,), got (2, 3, 7)"),
    (5.0, None, "pump: inputs must have shape (N, 7) or (7,), got (1,)"),
    ([], None, "pump: inputs must have shape (N, 7) or (7,), got (0,)"),
    (None, np.zeros((4, 7)), "pump: params must have shape (N, 8) or (8,), got (4, 7)"),
    (np.zeros((3, 7)), np.zeros((4, 8)), "pump: inputs have 3 rows but params have 4 rows"),
    (np.zeros((0, 7)), np.zeros((2, 8)), "pump: inputs have 0 rows but params have 2 rows"),
])
def test_shape_errors(inputs, params, message):
    with pytest.raises(ValueError) as err:
        hydrokit.sweep("pump", inputs, params)
    assert str(err.value) == message


@pytest.mark.parametrize("model, error", [("nosuchmodel", ValueError), (np, TypeError), (3, TypeError)])
def test_bad_models(model, error):
    with pytest.raises(error):
        hydrokit.sweep(model, None, None)


_shared = np.zeros(40)  # an output overlapping an input: rows written before others are read


@pytest.mark.parametrize("args", [
    ("pump", np.zeros((2, 7)), np.zeros((1, 8)), np.zeros((3, 13)), 1),   # rows disagree
    ("pump", np.zeros((2, 7)), np.zeros((1, 8)), np.zeros((2, 12)), 1),   # output too narrow
    ("pump", np.zeros((2, 6)), np.zeros((1, 8)), np.zeros((2, 13)), 1),   # inputs too narrow
    ("pump", np.zeros((2, 7)), np.zeros((1, 8)), np.zeros((13, 2)).T, 1),  # output not contiguous
    ("pump", np.zeros((2, 7)), np.zeros((1, 8)), np.zeros((2, 13), np.float32), 1),
    ("pump", np.zeros(7), np.zeros((1, 8)), np.zeros((1, 13)), 1),        # not 2-D
    ("pump", np.zeros((2, 7)), np.zeros((1, 8)), np.zeros((2, 13)), 0),   # no thread
    ("nosuchmodel", np.zeros((2, 7)), np.zeros((1, 8)), np.zeros((2, 13)), 1),
    ("pump\0", np.zeros((2, 7)), np.zeros((1, 8)), np.zeros((2, 13)), 1),  # not pump
    ("pump", _shared[:14].reshape(2, 7), np.zeros((1, 8)), _shared[10:36].reshape(2, 13), 1),
    ("pump", np.zeros((2, 7)), _shared[30:38].reshape(1, 8), _shared[10:36].reshape(2, 13), 1),
])
def test_extension_refuses_what_would_reach_outside_the_arrays(args):
    # The wrapper checks first; the extension checks again for direct callers.
    with pytest.raises(ValueError):
        _sweep.evaluate(*args)


def test_extension_refuses_read_only_output():
    y = np.zeros((2, 13))
    y.flags.writeable = False
    with pytest.raises((ValueError, BufferError)):
        _sweep.evaluate("pump", np.zeros((2, 7)), np.zeros((2, 8)), y, 1)


def test_concurrent_callers_from_python_threads():
    m = load("osmomech")
    u, p = hostile_rows(m, 300, seed=5)
    expected = hydrokit.sweep(m, u, p, threads=1)
    results = [None] * 4

    def call(k):
        results[k] = hydrokit.sweep(m, u, p, threads=2)

    workers = [threading.Thread(target=call, args=(k,)) for k in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert all(same_bits(r, expected) for r in results)


def test_import_stays_lazy():
    code = ("import sys, hydrokit; assert 'numpy' not in sys.modules; "
            "assert not [m for m in sys.modules if m.startswith('hydrokit.') and m != 'hydrokit.layout']; "
            "hydrokit.sweep; hydrokit.grid; assert 'numpy' in sys.modules")
    subprocess.run([sys.executable, "-c", code], check=True)


@pytest.mark.parametrize("threads", [1, 2])
def test_rows_given_back_by_the_calling_thread_are_computed_again(threads):
    # Rows of several ms: the calling thread's first row outlasts its budget, is
    # left in the middle of its core and computed again by a worker.
    m = load("osmolumped")
    p = np.tile(m.default_params(), (5, 1))
    p[:, 8], p[:, 9] = 2e5, -1.0            # every row runs its full cap of passes
    p[:, 0] *= np.linspace(0.8, 1.2, 5)     # and each row is its own
    y = hydrokit.sweep(m, None, p, threads=threads)
    assert_rows_match_run(m, m.default_input(), p, y)


def test_ctrl_c_stops_a_long_sweep():
    import _thread
    import time

    m = load("osmomech")
    p = m.default_params()
    p[6], p[7] = 1e5, -1.0  # 100000 passes a row: a negative tolerance is never met
    u = np.tile(m.default_input(), (10_000, 1))  # about a minute of work
    timer = threading.Timer(0.3, _thread.interrupt_main)
    start = time.perf_counter()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        hydrokit.sweep(m, u, p, threads=2)
    timer.join()
    assert time.perf_counter() - start < 5


SLOW_ROW = """
import sys, time, numpy as np, hydrokit
m = hydrokit.load(sys.argv[1])
p = m.default_params()
cap, tolerance = map(int, sys.argv[3:5])
p[cap], p[tolerance] = 2**31 - 1, 0.0   # a row of a minute or more
threads = int(sys.argv[2])
print("ready", flush=True)
try:
    hydrokit.sweep(m, None, np.tile(p, (threads, 1)), threads=threads)
except KeyboardInterrupt:
    stopped = time.clock_gettime(time.CLOCK_MONOTONIC)
    cpu = time.process_time()
    time.sleep(0.3)                  # a worker still inside its row would burn this
    print(stopped, time.process_time() - cpu, flush=True)
"""


@pytest.mark.parametrize("name, threads, cap, tolerance", [
    ("osmolumped", 1, 8, 9), ("osmolumped", 2, 8, 9), ("osmomech", 1, 6, 7),
])
def test_sigint_leaves_a_single_slow_row(name, threads, cap, tolerance):
    import signal
    import time

    proc = subprocess.Popen([sys.executable, "-c", SLOW_ROW, name, str(threads), str(cap), str(tolerance)],
                            stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().strip() == "ready"
        time.sleep(0.3)
        sent = time.clock_gettime(time.CLOCK_MONOTONIC)
        proc.send_signal(signal.SIGINT)
        stopped, cpu_after = map(float, proc.stdout.readline().split())
    finally:
        proc.kill()
        proc.wait()
    assert stopped - sent < 2.0      # measured: a few ms (benchmarks/bench_interrupt.py)
    assert cpu_after < 0.15, "a worker kept computing after the interrupt"
