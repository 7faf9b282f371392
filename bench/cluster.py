"""Pipelines over worker processes against the same pipeline in one process.

- CPU: source -> burn -> burn -> sink, each burn about 200 us of Python CPU per
  value; the burns on two local workers against all four nodes in this process.
- Transport: source -> sink with the sink on a worker, over ipc:// and loopback
  TCP with CURVE, against the same two nodes in this process: small values per
  second, and 64 KB numpy arrays in MB/s (values per second times 64 KiB). Every
  value also runs the nodes' step cycles, deep copy included, on both sides.
- Start-up: from start() to the first value at the sink with two local workers.
"""

import contextlib
import os
import sys
import time

try:
    import numpy
except ImportError:  # an older .venv: the array figures need the test extra
    numpy = None

from _cluster_nodes import Burn, Collect, Relay, Source
from velarix import Pipeline
from velarix.cluster import Cluster

BURN_US = 200
CPU_VALUES = 2000
SMALL_VALUES = 20000
ARRAY_VALUES = 3000
REPEAT = 3
CPU_REPEAT = 5
CPU_TARGET = 1.6


def calibrate():
    """Loop turns of Burn that take BURN_US here (the best of many short runs, so
    other work on the machine does not shorten the burn)."""
    node = Burn(name="calibrate", iterations=20000)
    times = []
    for _ in range(30):
        start = time.perf_counter()
        node.step({"in": 0})
        times.append(time.perf_counter() - start)
    return max(1, int(BURN_US * 1e-6 / (min(times) / 20000)))


@contextlib.contextmanager
def running(nodes, placement=None, transport="ipc"):
    """The chain of `nodes` as a started pipeline; `placement` maps a node to the
    local worker it runs on. Stopped, and its workers closed, on the way out."""
    pipeline = Pipeline(directory="")
    for upstream, downstream in zip(nodes, nodes[1:]):
        pipeline.connect(upstream, downstream)
    cluster = None
    if placement:
        cluster = Cluster(pipeline)
        for name in sorted(set(placement.values())):
            cluster.spawn(name, transport=transport)
        for node, worker in placement.items():
            cluster.place(node, worker)
    pipeline.start()
    try:
        yield cluster
    finally:
        pipeline.stop()
        if cluster is not None:
            cluster.close()


def run_chain(middle, values, count, placement=(), transport="ipc", repeat=REPEAT):
    """Values per second through source -> middle... -> sink; best of `repeat`."""
    source, sink = Source(), Collect()
    best = 0.0
    with running([source, *middle, sink], dict(zip(middle, placement)), transport):
        for _ in range(repeat):
            sink.count, sink.expected = 0, count
            sink.done.clear()
            begin = time.perf_counter()
            for _ in range(count):
                source.cycle({"x": values})
            if not sink.done.wait(120):
                raise RuntimeError(f"only {sink.count} of {count} values arrived")
            best = max(best, count / (time.perf_counter() - begin))
    return best


def cpu_figures():
    iterations = calibrate()
    burns = lambda: [Burn(name="a", iterations=iterations), Burn(name="b", iterations=iterations)]
    local = spread = 0.0
    for _ in range(CPU_REPEAT):  # interleaved, so a busy spell on the machine hits both
        local = max(local, run_chain(burns(), 0, CPU_VALUES, repeat=1))
        spread = max(spread, run_chain(burns(), 0, CPU_VALUES, placement=("w1", "w2"), repeat=1))
    ratio = spread / local
    load = ", ".join(f"{x:.1f}" for x in os.getloadavg())
    print(f"CPU chain (2 x {BURN_US} us Python per value): one process {local:,.0f} values/s, "
          f"two local workers {spread:,.0f} values/s, ratio x{ratio:.2f} (target x{CPU_TARGET}; "
          f"{os.cpu_count()} cores, load average {load})")
    return ratio


def run_hop(value, count, transport=None):
    """Values per second from a source here to a sink (on a worker with `transport`)."""
    source, sink = Source(), Collect()
    best = 0.0
    with running([source, sink], {sink: "w1"} if transport else None, transport) as cluster:
        for _ in range(REPEAT):
            done = sink.get_counter() + count
            begin = time.perf_counter()
            for _ in range(count):
                source.cycle({"x": value})
            deadline = begin + 120
            while True:
                if cluster is not None:
                    cluster.get_load()  # asks the worker now: the sink's counter is fresh
                if sink.get_counter() >= done:
                    break
                if time.perf_counter() > deadline:
                    raise RuntimeError("the values did not arrive")
                time.sleep(0.002)
            best = max(best, count / (time.perf_counter() - begin))
    return best


def transport_figures():
    kinds = [("small values", 1, SMALL_VALUES, None)]
    if numpy is None:
        print("Transport, 64 KB arrays: skipped (numpy is not installed)")
    else:
        array = numpy.zeros(64 * 1024, dtype=numpy.uint8)
        kinds.append(("64 KB arrays", array, ARRAY_VALUES, array.nbytes))
    for label, value, count, unit in kinds:
        figures = [("in-process", run_hop(value, count))]
        for transport, name in (("ipc", "ipc://"), ("tcp", "TCP+CURVE")):
            figures.append((name, run_hop(value, count, transport)))
        baseline = figures[0][1]
        if unit is None:
            text = ", ".join(f"{name} {rate:,.0f}/s (x{rate / baseline:.2f})" for name, rate in figures)
        else:
            text = ", ".join(f"{name} {rate * unit / 1e6:,.0f} MB/s (x{rate / baseline:.2f})" for name, rate in figures)
        print(f"Transport, {label} (source here -> sink on a worker): {text}")


def startup_figure():
    source, a, b, sink = Source(), Relay(name="a"), Relay(name="b"), Collect()
    pipeline = Pipeline(directory="")
    pipeline.connect(source, a)
    pipeline.connect(a, b)
    pipeline.connect(b, sink)
    begin = time.perf_counter()
    cluster = Cluster(pipeline)
    cluster.spawn("w1")
    cluster.spawn("w2")
    cluster.place(a, "w1")
    cluster.place(b, "w2")
    spawned = time.perf_counter()
    pipeline.start()
    source.cycle({"x": 1})
    arrived = sink.arrived.wait(30)
    end = time.perf_counter()
    pipeline.stop()
    cluster.close()
    if not arrived:
        raise RuntimeError("no value arrived")
    print(f"Start-up with two local workers: start() to first value {(end - spawned) * 1e3:.0f} ms; "
          f"with spawning the workers {(end - begin) * 1e3:.0f} ms")


def main():
    startup_figure()
    transport_figures()
    if cpu_figures() < CPU_TARGET:
        print(f"CPU chain below the x{CPU_TARGET:g} target")
    return 0


if __name__ == "__main__":
    sys.exit(main())
