"""What the statistics cost: values per second through source -> transform -> sink
(SYNC ports) with the step cycle recording step times, against the same chain with
recording turned off, alternating in one process."""

import sys
import threading
import time

from velarix.i_node import INode
from velarix.imp import vertan
from velarix.io_node import IONode
from velarix.o_node import ONode

VALUES = 100_000
ROUNDS = 6
TARGET = 0.03  # statistics may cost at most this share of the throughput


class Silent:
    def write(self, log_type, message):
        pass


class Source(ONode):
    def step(self, data):
        return {"out": data["n"]}


class Transform(IONode):
    def step(self, data):
        return {"out": data["in"] * 2 + 1}


class Collect(INode):
    def __init__(self, **entries):
        super().__init__(**entries)
        self.count = 0
        self.done = threading.Event()

    def step(self, data):
        self.count += 1
        if self.count == VALUES:
            self.done.set()


def throughput():
    source, middle, end = Source(), Transform(), Collect()
    for node in (source, middle, end):
        node.set_logger(Silent())
    source.connect("out", middle, "in")
    middle.connect("out", end, "in")
    for node in (end, middle, source):
        node.start()
    begin = time.perf_counter()
    for n in range(VALUES):
        source.cycle({"n": n})
    if not end.done.wait(120):
        raise RuntimeError("the chain did not deliver every value")
    seconds = time.perf_counter() - begin
    for node in (source, middle, end):
        node.stop()
    return VALUES / seconds


def main():
    best = {True: 0.0, False: 0.0}
    for _ in range(ROUNDS):
        for enabled in (True, False):
            vertan._set_statistics(enabled)
            best[enabled] = max(best[enabled], throughput())
    vertan._set_statistics(True)
    cost = 1 - best[True] / best[False]
    print(f"chain with statistics: {best[True]:,.0f} values/s; without: {best[False]:,.0f} values/s; "
          f"cost {cost * 100:+.1f}% (best of {ROUNDS} alternating runs)")
    print(f"target < {TARGET * 100:.0f}%: {'met' if cost < TARGET else 'MISSED'}")
    return 0 if cost < TARGET else 1


if __name__ == "__main__":
    sys.exit(main())
