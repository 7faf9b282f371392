"""Timing helpers shared by the benchmarks."""

import gc
import os
import statistics
import time


def best_of(function, repeat=5, number=1, clock=time.perf_counter):
    """Best time per call over `repeat` runs of `number` calls: wall time, or
    `clock` (time.thread_time for work that stays on the calling thread)."""
    gc.collect()
    times = []
    for _ in range(repeat):
        start = clock()
        for _ in range(number):
            function()
        times.append((clock() - start) / number)
    return min(times)


def rss_mib():
    """Resident set size of this process in MiB (Linux)."""
    with open(f"/proc/{os.getpid()}/statm") as statm:
        pages = int(statm.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") / 2**20


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def feed(push, count, pace):
    """Push `count` values; with `pace`, one every 1/pace s. Returns the push times."""
    times = []
    start = time.perf_counter()
    for n in range(count):
        if pace:
            # Sleeping, not spinning: a spinning source would hold the interpreter
            # lock and delay the stages it measures.
            left = start + n / pace - time.perf_counter()
            if left > 0:
                time.sleep(left)
        times.append(time.perf_counter())
        push({"n": n})
    return times


def report(label, ours, baseline, unit="s"):
    """Print one comparison as a ratio (baseline time / our time)."""
    ratio = baseline / ours if ours else float("inf")
    print(f"{label}: ours {ours * 1e6:.2f} us, baseline {baseline * 1e6:.2f} us, "
          f"speed-up x{ratio:.1f}")
    return ratio


__all__ = ["best_of", "rss_mib", "percentile", "feed", "report", "statistics"]
