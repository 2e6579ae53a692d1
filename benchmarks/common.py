"""Timing helpers shared by the benchmarks: medians of repeated runs."""
import statistics
import time
import tracemalloc


def median_seconds(fn, repeats=5, number=1):
    """Median over `repeats` runs of the time of `number` calls of fn, per call."""
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - start) / number)
    return statistics.median(times)


def peak_bytes(fn):
    """Peak memory traced while fn runs once."""
    tracemalloc.start()
    try:
        fn()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def print_rows(rows):
    print(f"{'benchmark':<52} {'yardstick':>12} {'ours':>12} {'ratio':>7}")
    for name, yardstick, ours, ratio in rows:
        print(f"{name:<52} {yardstick:>12.6g} {ours:>12.6g} {ratio:>7.3f}")
