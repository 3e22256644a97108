"""hydrokit.sweep on a dask.distributed LocalCluster against the local sweep, in one process.

    python benchmarks/bench_cluster.py [--rows N] [--axial-rows N] [--repeat R]

    cheap rows      N pump rows (default 2·10⁶) whose feed flow varies, through a
                    two-worker LocalCluster of threads (processes=False), and as a
                    grid of the same rows; against hydrokit.sweep on this machine
                    with its default threads
    iterating rows  osmoaxial rows (default 4000, 200 segments each) on two
                    process workers of one thread each, against one local thread

Ratios are cluster time over local time (lower is better) and, for the
iterating rows, local time over cluster time (the speed-up). Not a test: print
only. The cluster start is not timed; each figure is the best of R.
"""

import argparse
import os
import time
import warnings

import numpy as np

import hydrokit


def best(fn, repeat):
    times, result = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), result


def cheap(rows, repeat):
    from dask.distributed import Client, LocalCluster

    m = hydrokit.load("pump")
    u = np.tile(m.default_input(), (rows, 1))
    u[:, 0] = np.linspace(0, 0.01, rows)
    flows = u[:, 0].copy()
    local, expected = best(lambda: hydrokit.sweep("pump", u, None), repeat)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        hydrokit.sweep("pump", u[:1000], None, client=client)  # warm the workers
        remote, got = best(lambda: hydrokit.sweep("pump", u, None, client=client), repeat)
        assert np.array_equal(got.view(np.uint64), expected.view(np.uint64))
        grid, table = best(lambda: hydrokit.grid("pump", feed_flow=flows, client=client), repeat)
        assert np.array_equal(np.asarray(table["pump_power_kw"]), expected[:, 7])
    print(f"pump, {rows} rows: local sweep {local:.3f} s; cluster sweep {remote:.3f} s "
          f"({remote / local:.2f}× local); cluster grid {grid:.3f} s")


def iterating(rows, repeat):
    from dask.distributed import Client, LocalCluster

    m = hydrokit.load("osmoaxial")
    rng = np.random.default_rng(0)
    u = m.default_input() * rng.uniform(0.9, 1.1, size=(rows, m.INPUT_WIDTH))
    p = m.default_params()
    p[8] = 200  # segment_count
    local, expected = best(lambda: hydrokit.sweep(m, u, p, threads=1), repeat)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
                Client(cluster) as client:
            hydrokit.sweep(m, u[:10], p, client=client)  # import hydrokit on the workers
            remote, got = best(lambda: hydrokit.sweep(m, u, p, client=client), repeat)
    assert np.array_equal(got.view(np.uint64), expected.view(np.uint64))
    print(f"osmoaxial, {rows} rows of 200 segments: one local thread {local:.3f} s; two process workers "
          f"{remote:.3f} s (speed-up {local / remote:.2f}×)")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=2_000_000)
    ap.add_argument("--axial-rows", type=int, default=4000)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    print(f"cores available: {len(os.sched_getaffinity(0))}; load average: "
          + ", ".join(f"{v:.2f}" for v in os.getloadavg()))
    cheap(args.rows, args.repeat)
    iterating(args.axial_rows, args.repeat)


if __name__ == "__main__":
    main()
