"""The data plane against hand-written threads: a source driven with cycle(), k
IONode stages and a sink (SYNC ports), against the same chain written with plain
threads and queue.Queue doing the same copies and handler calls. Runs of the two
are interleaved; every value is checked for order and content.

  - CPU per value for chains of 1, 3, 10 and 30 stages (small dict values);
  - values per second for 64 KB numpy arrays through 3 stages, each step on a
    private copy (the threads deep-copy at each stage too);
  - latency from push to arrival at 1 kHz through 10 stages, median and p99.
"""

import copy
import os
import queue
import sys
import threading
import time

# numpy's BLAS threads would spin beside both sides and blur the CPU figures.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import numpy  # noqa: E402

from common import feed, percentile, statistics

from velarix.i_node import INode
from velarix.imp import vertan
from velarix.imp.portan import Scheduler
from velarix.io_node import IONode
from velarix.o_node import ONode
from velarix.pipeline import Pipeline

CHAINS = (1, 3, 10, 30)
HOPS = 120_000  # values times stages per CPU run
ARRAY_VALUES = 4_000
ARRAY_ITEMS = 8192  # float64: 64 KB
PACED = 2_000
RATE = 1000.0
LATENCY_STAGES = 10
REPEAT = 3
LATENCY_REPEAT = 5  # latency tails move most with the machine's other work


class Silent:
    def write(self, log_type, message):
        pass


# What both versions run: the source makes a value, each stage adds one hop, the
# sink records and checks.
def produce(data):
    return {"out": {"n": data["n"], "hops": 0}}


def hop(value):
    return {"out": {"n": value["n"], "hops": value["hops"] + 1}}


def produce_array(data):
    return {"out": numpy.full(ARRAY_ITEMS, float(data["n"]))}


def hop_array(value):
    value += 1.0  # in place: the step owns its copy
    return {"out": value}


def summary(value):
    """What the checks need of an arrived value, so that the sink keeps no values:
    a chain whose sink held every array would measure memory growth (and keep the
    step copies' memory from being reused) rather than the framework."""
    if type(value) is dict:
        return (value["n"], value["hops"], len(value))
    return (value.shape, float(value[0]), float(value[-1]))


class Sink:
    def __init__(self, expected):
        self.expected = expected
        self.arrivals = []  # (summary, arrival time)
        self.done = threading.Event()

    def consume(self, value):
        self.arrivals.append((summary(value), time.perf_counter()))
        if len(self.arrivals) == self.expected:
            self.done.set()


def check_small(sink, count, stages):
    values = [v for v, _ in sink.arrivals]
    assert values == [(n, stages, 2) for n in range(count)], "order or content"


def check_arrays(sink, count, stages):
    assert len(sink.arrivals) == count
    for n, (value, _) in enumerate(sink.arrivals):
        assert value == ((ARRAY_ITEMS,), n + stages, n + stages)


# Ours ----------------------------------------------------------------------------


class Source(ONode):
    def step(self, data):
        return self.produce(data)


class Stage(IONode):
    def step(self, data):
        return self.hop(data["in"])


class Collect(INode):
    def step(self, data):
        self.sink.consume(data["in"])


def ours(count, stages, arrays=False, pace=None, threads=None, carry=True):
    """The chain with a worker thread per node, or with `threads` on the shared
    scheduler (`carry`: cycle() runs what it makes ready itself)."""
    sink = Sink(count)
    source = Source(name="source")
    source.produce = produce_array if arrays else produce
    middle = [Stage(name=f"stage{i}") for i in range(stages)]
    for node in middle:
        node.hop = hop_array if arrays else hop
    end = Collect(name="sink")
    nodes = [source, *middle, end]
    pipeline = None
    if threads is not None:
        pipeline = Pipeline("", threads=threads)
        pipeline._scheduler = Scheduler(threads, carry=carry)
        for node in nodes:
            pipeline.add_node(node)
    for node in nodes:
        node.set_logger(Silent())
    for upstream, downstream in zip(nodes, nodes[1:]):
        upstream.connect("out", downstream, "in")
    if pipeline is not None:
        pipeline._place_nodes()
    for node in reversed(nodes):
        node.start()
    # The set-up runs happen on the first value; keep them out of the figures.
    end.sink = Sink(1)
    source.cycle({"n": -1})
    assert end.sink.done.wait(30), "the chain did not deliver"
    end.sink = sink
    cpu = time.process_time()
    pushed = feed(source.cycle, count, pace)
    assert sink.done.wait(300), "values were lost"
    cpu = time.process_time() - cpu
    finished = time.perf_counter()
    for node in nodes:
        node.stop()
    if pipeline is not None:
        pipeline._scheduler.stop()
        pipeline.close()
    return pushed, sink, finished, cpu


# Plain threads and queues --------------------------------------------------------


def _same(value):
    return value


def plain(count, stages, arrays=False, pace=None, copies=True):
    """The chain on plain threads; `copies=False` passes arrays on as they are."""
    sink = Sink(count)
    make, step = (produce_array, hop_array) if arrays else (produce, hop)
    queues = [queue.Queue() for _ in range(stages + 1)]
    stop = object()

    # Small values pass from thread to thread as they are (each hop makes a new
    # one anyway); arrays are deep-copied at each step, as ours get a private copy.
    private = copy.deepcopy if arrays and copies else _same

    def stage(inbox, outbox):
        while (data := inbox.get()) is not stop:
            outbox.put(step(private({"in": data["out"]})["in"]))
        outbox.put(stop)

    def end(inbox):
        while (data := inbox.get()) is not stop:
            sink.consume(private({"in": data["out"]})["in"])

    threads = [threading.Thread(target=stage, args=(queues[i], queues[i + 1])) for i in range(stages)]
    threads.append(threading.Thread(target=end, args=(queues[-1],)))
    for thread in threads:
        thread.start()
    first = queues[0]

    def push(data):
        first.put(make(private(data)))

    cpu = time.process_time()
    pushed = feed(push, count, pace)
    assert sink.done.wait(300), "values were lost"
    cpu = time.process_time() - cpu
    finished = time.perf_counter()
    first.put(stop)
    for thread in threads:
        thread.join()
    return pushed, sink, finished, cpu


# Driving and measuring -----------------------------------------------------------


def interleaved(measure):
    """Best figure of each side over REPEAT alternating runs (lower is better)."""
    best = {ours: float("inf"), plain: float("inf")}
    for _ in range(REPEAT):
        for run in (ours, plain):
            best[run] = min(best[run], measure(run))
    return best[ours], best[plain]


def cpu_per_value(stages):
    count = max(2_000, HOPS // (stages + 1))

    def measure(run):
        _, sink, _, cpu = run(count, stages)
        check_small(sink, count, stages)
        return cpu / count

    return interleaved(measure)


def array_seconds_per_value():
    def measure(run):
        pushed, sink, finished, _ = run(ARRAY_VALUES, 3, arrays=True)
        check_arrays(sink, ARRAY_VALUES, 3)
        return (finished - pushed[0]) / ARRAY_VALUES

    return interleaved(measure)


def latency_at(run, stages):
    """Median and p99 seconds from push to arrival at RATE through `stages`."""
    pushed, sink, _, _ = run(PACED, stages, pace=RATE)
    check_small(sink, PACED, stages)
    delays = [arrival - pushed[value[0]] for value, arrival in sink.arrivals]
    return statistics.median(delays), percentile(delays, 0.99)


def latency(run):
    return latency_at(run, LATENCY_STAGES)


def steps_alone(count, stages):
    """The floor under any scheduler: the chain's steps called in a plain loop on
    one thread, each on a private deep copy of its input and between the cycle's two
    clock readings, with no ports, queues or threads. CPU seconds per value."""
    copy, clock = vertan._deepcopy, time.time
    sink = Sink(count)
    began = time.process_time()
    for n in range(count):
        value = produce(copy({"n": n}))["out"]
        for _ in range(stages):
            clock()
            value = hop(copy({"in": value})["in"])["out"]
            clock()
        clock()
        sink.consume(copy({"in": value})["in"])
        clock()
    cpu = time.process_time() - began
    check_small(sink, count, stages)
    return cpu / count


def main():
    below = []
    print(f"{'workload':<52} {'velarix':>12} {'threads+Queue':>14} {'ratio':>7}")

    def row(label, mine, theirs, unit, ratio, target=1.0):
        print(f"{label:<52} {mine:>10.1f}{unit} {theirs:>12.1f}{unit} {ratio:>7.2f}")
        if ratio < target:
            below.append(label)

    for stages in CHAINS:
        mine, theirs = cpu_per_value(stages)
        row(f"{stages} stages, small values: CPU per value", mine * 1e6, theirs * 1e6, "us", theirs / mine)
        # What the steps themselves cost; the rest is the framework's (for the record).
        floor = min(steps_alone(max(2_000, HOPS // (stages + 1)), stages) for _ in range(3))
        row("  the steps alone in a loop: floor vs velarix", floor * 1e6, mine * 1e6, "us", floor / mine, 0.0)
    mine, theirs = array_seconds_per_value()
    row("3 stages, 64 KB arrays, private copy: values/s", 1 / mine, 1 / theirs, "/s", theirs / mine)
    medians, p99s = {}, {}
    for _ in range(LATENCY_REPEAT):
        for run in (ours, plain):
            median, p99 = latency(run)
            medians[run] = min(medians.get(run, median), median)
            p99s[run] = min(p99s.get(run, p99), p99)
    row(f"{LATENCY_STAGES} stages at {RATE:.0f} Hz: median latency", medians[ours] * 1e6,
        medians[plain] * 1e6, "us", medians[plain] / medians[ours])
    row(f"{LATENCY_STAGES} stages at {RATE:.0f} Hz: p99 latency", p99s[ours] * 1e6, p99s[plain] * 1e6, "us",
        p99s[plain] / p99s[ours])
    if below:
        print("below the x1 target:", "; ".join(below))
    return 0


if __name__ == "__main__":
    sys.exit(main())
