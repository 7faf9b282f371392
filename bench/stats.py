"""What the statistics cost: values per second through source -> transform -> sink
(SYNC ports, the chain of bench/pipeline.py) with the step cycle recording step
times, against the same chain with recording turned off, alternating in one process."""

import sys

from pipeline import VALUES, bare, run

from velarix.imp import vertan

ROUNDS = 5
TARGET = 0.03  # statistics may cost at most this share of the throughput


def recording(enabled):
    def build():
        vertan._set_statistics(enabled)
        return bare()
    return build


def main():
    best = {True: 0.0, False: 0.0}
    for _ in range(ROUNDS):
        for enabled in (True, False):
            best[enabled] = max(best[enabled], run(recording(enabled)))
    vertan._set_statistics(True)
    cost = 1 - best[True] / best[False]
    print(f"{VALUES:,} values, 3 nodes (SYNC): with statistics {best[True]:,.0f}/s, "
          f"without {best[False]:,.0f}/s, cost {cost * 100:+.1f}% (best of {ROUNDS} alternating runs)")
    print(f"target < {TARGET * 100:.0f}%: {'met' if cost < TARGET else 'MISSED'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
