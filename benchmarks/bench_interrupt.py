"""What stopping a sweep costs and how fast it stops.

    python benchmarks/bench_interrupt.py [--repeat R]

Three figures, each against a baseline timed in the same process:

    fixed cost     one row of pump through hydrokit.sweep and through the bare
                   extension entry, in multiples of np.zeros(13) and of pump.run:
                   the rows run on a parked worker thread while the calling
                   thread watches for signals, so even one row is handed over
    exp hook       the extension's poll_exp, which lets a stopping batch leave a core
                   mid-row: passes of the lumped element (osmolumped, tolerance
                   0) through the batch core loop against the same passes through
                   osmolumped.run, whose core calls the C library's exp directly
    interrupt      SIGINT sent to a subprocess whose sweep has a single row of
                   about a minute (osmolumped, cap 2**31 - 1): milliseconds until
                   its KeyboardInterrupt handler runs, as seen on the shared
                   monotonic clock

Not a test: print only. Other processes share the cores, so run it twice.
"""

import argparse
import signal
import subprocess
import sys
import time

import numpy as np

import hydrokit
from hydrokit import _sweep
from timing import per_call

SLOW_ROW = r"""
import sys, time, numpy as np, hydrokit
m = hydrokit.load("osmolumped")
p = m.default_params()
p[8], p[9] = 2**31 - 1, 0.0          # max_iterations, tolerance: about a minute a row
threads = int(sys.argv[1])
print("ready", flush=True)
try:
    hydrokit.sweep(m, None, np.tile(p, (threads, 1)), threads=threads)
    print("finished", flush=True)
except KeyboardInterrupt:
    print(time.clock_gettime(time.CLOCK_MONOTONIC), flush=True)
"""


def fixed_cost(repeat):
    m = hydrokit.load("pump")
    u, p = m.default_input(), m.default_params()
    U, P, Y = u.reshape(1, -1), p.reshape(1, -1), np.empty((1, m.OUTPUT_WIDTH))
    zeros = per_call(lambda: np.zeros(13), 5000, repeat)
    run = per_call(lambda: m.run(u, p), 5000, repeat)
    entry = per_call(lambda: _sweep.evaluate("pump", U, P, Y, 1), 5000, repeat)
    sweep = per_call(lambda: hydrokit.sweep("pump", u, p), 5000, repeat)
    print(f"fixed cost, 1 pump row: np.zeros {zeros * 1e6:.2f} µs, run {run * 1e6:.2f} µs; "
          f"_sweep.evaluate {entry * 1e6:.2f} µs ({entry / zeros:.0f}× zeros); "
          f"hydrokit.sweep {sweep * 1e6:.2f} µs ({sweep / zeros:.0f}× zeros, {sweep / run:.0f}× run)")


def exp_hook(repeat, passes=2_000_000, rows=4):
    m = hydrokit.load("osmolumped")
    p = m.default_params()
    p[8], p[9] = passes, 0.0
    u = m.default_input()
    U, P, Y = np.tile(u, (rows, 1)), np.tile(p, (rows, 1)), np.zeros((rows, m.OUTPUT_WIDTH))
    batch = min(_sweep.core_seconds("osmolumped", U, P, Y) for _ in range(repeat))
    module = per_call(lambda: [m.run(u, p) for _ in range(rows)], 1, repeat)
    print(f"exp hook, {rows} × {passes} passes of osmolumped: batch core loop {batch:.3f} s, "
          f"module run {module:.3f} s, ratio {batch / module:.3f}")


def interrupt_delay(threads, repeat):
    delays = []
    for _ in range(repeat):
        proc = subprocess.Popen([sys.executable, "-c", SLOW_ROW, str(threads)], stdout=subprocess.PIPE, text=True)
        assert proc.stdout.readline().strip() == "ready"
        time.sleep(0.5)  # well inside the row
        sent = time.clock_gettime(time.CLOCK_MONOTONIC)
        proc.send_signal(signal.SIGINT)
        line = proc.stdout.readline().strip()
        proc.wait()
        delays.append((float(line) - sent) * 1e3)
    print(f"interrupt, one slow row on {threads} thread(s): "
          f"median {np.median(delays):.1f} ms, worst {max(delays):.1f} ms over {repeat} runs")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    fixed_cost(args.repeat)
    exp_hook(args.repeat)
    for threads in (1, 2):
        interrupt_delay(threads, args.repeat)


if __name__ == "__main__":
    main()
