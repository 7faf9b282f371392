"""Values per second through source -> transform -> sink with SYNC ports, against the
same three stages written with plain threads and queue.Queue (the same copies and
handler calls), and push-to-arrival latency with the source paced at 1 kHz."""

import copy
import queue
import sys
import threading
import time

from common import feed, percentile, statistics

from velarix.i_node import INode
from velarix.io_node import IONode
from velarix.o_node import ONode

VALUES = 100_000
PACED = 3_000
RATE = 1000.0  # values per second when paced
REPEAT = 3


class Silent:
    def write(self, log_type, message):
        pass


# The three handlers both versions run, one per stage and value.
def produce(data):
    return {"out": data["n"]}


def transform(data):
    return {"out": data["in"] * 2 + 1}


class Sink:
    def __init__(self, expected):
        self.expected = expected
        self.arrivals = []
        self.done = threading.Event()

    def consume(self, data):
        self.arrivals.append((data["in"], time.perf_counter()))
        if len(self.arrivals) == self.expected:
            self.done.set()


# Ours ----------------------------------------------------------------------------


class Source(ONode):
    def step(self, data):
        return produce(data)


class Transform(IONode):
    def step(self, data):
        return transform(data)


class Collect(INode):
    def step(self, data):
        self.sink.consume(data)


def chain(sink):
    source, middle, end = Source(name="source"), Transform(name="transform"), Collect(name="sink")
    end.sink = sink
    for node in (source, middle, end):
        node.set_logger(Silent())
    source.connect("out", middle, "in")
    middle.connect("out", end, "in")
    for node in (end, middle, source):
        node.start()
    # The set-up runs happen on the first value; keep them out of the figures.
    warm_up = Sink(1)
    end.sink = warm_up
    source.cycle({"n": -1})
    assert warm_up.done.wait(10), "the chain did not deliver"
    end.sink = sink
    return source, (source, middle, end)


def ours(count, pace=None):
    sink = Sink(count)
    source, nodes = chain(sink)
    pushed = feed(source.cycle, count, pace)
    assert sink.done.wait(120), "values were lost"
    finished = time.perf_counter()
    for node in nodes:
        node.stop()
    return pushed, sink, finished


# Plain threads and queues --------------------------------------------------------


def plain(count, pace=None):
    sink = Sink(count)
    first, second = queue.Queue(), queue.Queue()
    stop = object()

    def middle():
        while (data := first.get()) is not stop:
            second.put(transform(copy.deepcopy({"in": data["out"]})))
        second.put(stop)

    def end():
        while (data := second.get()) is not stop:
            sink.consume(copy.deepcopy({"in": data["out"]}))

    threads = [threading.Thread(target=middle), threading.Thread(target=end)]
    for thread in threads:
        thread.start()

    def push(data):
        first.put(produce(copy.deepcopy(data)))

    pushed = feed(push, count, pace)
    assert sink.done.wait(120), "values were lost"
    finished = time.perf_counter()
    first.put(stop)
    for thread in threads:
        thread.join()
    return pushed, sink, finished


# Driving and measuring -----------------------------------------------------------


def throughput(run):
    best = 0.0
    for _ in range(REPEAT):
        pushed, sink, finished = run(VALUES)
        assert [n for n, _ in sink.arrivals] == [2 * n + 1 for n in range(VALUES)]
        best = max(best, VALUES / (finished - pushed[0]))
    return best


def latency(run):
    pushed, sink, _ = run(PACED, RATE)
    delays = [arrival - pushed[(n - 1) // 2] for n, arrival in sink.arrivals]
    return statistics.median(delays), percentile(delays, 0.99)


def main():
    mine, baseline = throughput(ours), throughput(plain)
    print(f"throughput, {VALUES:,} values through 3 stages (SYNC): ours {mine:,.0f}/s, "
          f"threads+queue.Queue {baseline:,.0f}/s, ratio x{mine / baseline:.2f}")
    for label, run in (("ours", ours), ("threads+queue.Queue", plain)):
        median, p99 = latency(run)
        print(f"latency at {RATE:.0f} Hz, {PACED:,} values, {label}: "
              f"median {median * 1e6:.0f} us, p99 {p99 * 1e6:.0f} us")
    if mine < baseline:
        print("below the x1 target")
    return 0


if __name__ == "__main__":
    sys.exit(main())
