"""The timers the benchmarks share: the best of several runs, so that a busy machine's pauses
count as little as possible (figures are ratios of timings taken in the same process)."""

import time


def best(fn, repeat):
    """The shortest of ``repeat`` calls of ``fn``, in seconds."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def per_call(fn, calls, repeat):
    """Seconds per call of ``fn``: the best of ``repeat`` runs of ``calls`` calls each."""
    fastest = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        fastest = min(fastest, (time.perf_counter() - start) / calls)
    return fastest
