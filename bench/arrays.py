"""The step cycle's private copy of numpy arrays, natively into pooled memory,
against the copies numpy's __deepcopy__ makes (the pool turned off, same run):

  - the copy of a 64 KB array against a bare copy of its bytes into an array made
    beforehand (target: within 2x);
  - 64 KB arrays through 2 stages, thread per node and on the shared scheduler,
    against plain threads that pass the arrays on without copying them (target:
    at least 1.0x);
  - the pool's blocks over a million copies (target: no growth).
"""

import functools
import gc
import sys
import timeit

import dataplane as plane
import numpy

from velarix.imp.vertan import _array_pool, _deepcopy

COPIES = 20_000
STAGES = 2
REPEAT = 3


def copy_seconds():
    """Best time per copy of each way, their runs interleaved against the machine's noise."""
    source, target = numpy.full(plane.ARRAY_ITEMS, 1.5), numpy.empty(plane.ARRAY_ITEMS)
    ways = {"memcpy": (None, lambda: numpy.copyto(target, source)),
            False: (False, lambda: _deepcopy(source)), True: (True, lambda: _deepcopy(source))}
    figures = dict.fromkeys(ways, float("inf"))
    for _ in range(7):
        for key, (pooled, statement) in ways.items():
            if pooled is not None:
                _array_pool(pooled=pooled)
            figures[key] = min(figures[key], timeit.timeit(statement, number=COPIES) / COPIES)
    _array_pool(pooled=True)
    return figures


def throughput(run):
    gc.collect()  # the previous run's nodes and arrays, out of this one's figures
    pushed, sink, finished, _ = run(plane.ARRAY_VALUES, STAGES, arrays=True)
    plane.check_arrays(sink, plane.ARRAY_VALUES, STAGES)
    return (finished - pushed[0]) / plane.ARRAY_VALUES


def main():
    below = []
    print(f"{'workload':<64} {'velarix':>12} {'baseline':>12} {'ratio':>7}")

    def row(label, mine, theirs, unit, ratio, target):
        print(f"{label:<64} {mine:>10.1f}{unit} {theirs:>10.1f}{unit} {ratio:>7.2f}")
        if ratio < target:
            below.append(f"{label} (target x{target})")

    copies = copy_seconds()
    row("64 KB array copy vs bare memcpy into an array", copies[True] * 1e6, copies["memcpy"] * 1e6, "us",
        copies["memcpy"] / copies[True], 0.5)
    row("  before: numpy's __deepcopy__ vs bare memcpy", copies[False] * 1e6, copies["memcpy"] * 1e6, "us",
        copies["memcpy"] / copies[False], 0.0)

    modes = {"thread per node": plane.ours, "shared": functools.partial(plane.ours, threads=1)}
    bare = functools.partial(plane.plain, copies=False)
    best = {}
    for _ in range(REPEAT):
        for name, run in modes.items():
            for pooled in (False, True):
                _array_pool(pooled=pooled)
                key = (name, pooled)
                best[key] = min(best.get(key, float("inf")), throughput(run))
        best["bare"] = min(best.get("bare", float("inf")), throughput(bare))
        best["copying"] = min(best.get("copying", float("inf")), throughput(plane.plain))
    _array_pool(pooled=True)
    for name in modes:
        row(f"{STAGES} stages, 64 KB arrays, {name}: values/s vs threads without copies", 1 / best[(name, True)],
            1 / best["bare"], "/s", best["bare"] / best[(name, True)], 1.0)
        row("  before: copies by __deepcopy__", 1 / best[(name, False)], 1 / best["bare"], "/s",
            best["bare"] / best[(name, False)], 0.0)
    row("  threads with copy.deepcopy at each step", 1 / best["copying"], 1 / best["bare"], "/s",
        best["bare"] / best["copying"], 0.0)

    start = _array_pool()
    source = {"x": numpy.zeros(plane.ARRAY_ITEMS)}
    for _ in range(1_000_000):
        _deepcopy(source)
    end = _array_pool()
    grown = end["from_system"] - start["from_system"]
    print(f"pool over 1,000,000 copies: {grown} blocks from the system, {end['cached']} cached "
          f"({end['cached_bytes'] >> 10} KiB), {end['outstanding']} outstanding")
    if grown > 16:
        below.append("pool growth")
    if below:
        print("below target:", "; ".join(below))
    return 0


if __name__ == "__main__":
    sys.exit(main())
