"""Bounded ports between nodes on shared scheduler threads, under each overflow
policy: "block" never has a shared thread wait for room (capacity 1 on every
port, one thread, long chains with fan-out and fan-in, a stop while full),
"drop_oldest" keeps the newest, "raise" fails only the pushing node."""

import threading

import pytest

from nodes import Merge, Sink, Source
from pipeline_helpers import WAIT
from test_scheduler import SCHEDULER, Feeds, Gate, Pass, scheduler_threads, wait_for
from velarix import Pipeline
from velarix.constants import Constants
from velarix.imp import ConstantsImp
from velarix.io_node import IONode

STOPPED = Constants.States.STOPPED
HEALTHY, ERROR = Constants.Conditions.HEALTHY, Constants.Conditions.ERROR


def ports(capacity, overflow="block", names=("in",)):
    return [{"name": name, "capacity": capacity, "overflow": overflow} for name in names]


class Backlog:
    """Notes the most values it saw waiting on any of its input ports while it
    stepped (the one in hand is taken by then)."""

    backlog = 0

    def note_backlog(self):
        waiting = max(len(port._values) for port in self._imp._input_ports.values())
        self.backlog = max(self.backlog, waiting)


class Inc(Backlog, IONode):
    def __init__(self, **entries):
        super().__init__(**entries)
        self.threads = set()

    def step(self, data):
        self.note_backlog()
        self.threads.add(threading.current_thread().name)
        return {"out": data["in"] + 1}


class BoundedMerge(Backlog, Merge):
    def step(self, data):
        self.note_backlog()
        return super().step(data)


class BoundedSink(Backlog, Sink):
    def step(self, data):
        self.note_backlog()
        super().step(data)


def errors(pipeline):
    return [e["message"] for e in pipeline.get_logger().get_all() if e["type"] == "ERROR"]


@pytest.fixture
def slow_monitor(monkeypatch):
    monkeypatch.setattr(ConstantsImp, "MONITORING_INTERVAL", 30.0)


# Block ------------------------------------------------------------------------------

COUNT = 200


@pytest.mark.parametrize("handed", [False, True], ids=["carried", "handed"])
@pytest.mark.parametrize("threads", [1, 2])
def test_capacity_one_everywhere_through_long_branches_that_fan_out_and_in(threads, handed, no_thread_leak):
    # split -> 10 stages -> merge.a, split -> 3 stages -> merge.b: the short
    # branch fills while the merge waits for the long one.
    p = Pipeline("", threads=threads)
    feeds = Feeds(p, handed)
    split = Inc(name="split", input_ports=ports(1))
    long = [Inc(name=f"long{i}", input_ports=ports(1)) for i in range(10)]
    short = [Inc(name=f"short{i}", input_ports=ports(1)) for i in range(3)]
    merge = BoundedMerge(name="merge", input_ports=ports(1, names=("a", "b")))
    sink = BoundedSink(expected=COUNT, name="sink", input_ports=ports(1))
    p.connect(feeds.new("a"), split)
    for branch in (long, short):
        p.connect(split, branch[0])
        for upstream, downstream in zip(branch, branch[1:]):
            p.connect(upstream, downstream)
    p.connect_ports(long[-1], "out", merge, "a")
    p.connect_ports(short[-1], "out", merge, "b")
    p.connect(merge, sink)
    with p:
        p.start()
        feeds.push(range(COUNT))
        assert sink.done.wait(WAIT), f"stuck after {len(sink.values)} values"
    assert sink.values == [(n + 11, n + 4) for n in range(COUNT)]
    assert errors(p) == []
    for node in [split, *long, *short, merge, sink]:
        assert node.backlog <= 1, f"{node.get_name()} saw {node.backlog} values waiting"
        if handed:
            assert all(name.startswith(SCHEDULER) for name in getattr(node, "threads", {SCHEDULER}))


def test_a_full_port_holds_back_only_its_producer_not_the_shared_thread(no_thread_leak):
    # The consumer holds its step on one thread; its producer, with no room, is
    # not stepped, and the other thread serves the rest meanwhile.
    p = Pipeline("", threads=2)
    feeds = Feeds(p, handed=True)
    lead = feeds.new("a")
    fast, gate = Inc(name="fast"), Gate(name="gate", input_ports=ports(1))
    held, other, sink = Sink(name="held"), Inc(name="other"), Sink(expected=30, name="sink")
    p.connect(lead, fast)
    p.connect(fast, gate)
    p.connect(gate, held)
    p.connect(lead, other)
    p.connect(other, sink)
    gate.gate = threading.Event()
    with p:
        p.start()
        try:
            feeds.push([0])
            assert gate.entered.wait(WAIT)
            feeds.push(range(1, 30))
            assert sink.done.wait(WAIT), "a shared thread waited for room"
            # One value waits in the gate's port; the rest wait before fast.
            wait_for(lambda: fast.get_stats()["steps"] == 2, "fast to fill the port")
            assert len(gate.get_port("in")._values) == 1
            assert len(fast.get_port("in")._values) == 28
        finally:
            gate.gate.set()
        wait_for(lambda: len(held.values) == 30, "the held values")
    assert held.values == [n + 1 for n in range(30)]
    assert sink.values == [n + 1 for n in range(30)]
    assert errors(p) == []


def test_one_thread_keeps_going_while_a_worker_consumer_is_full(no_thread_leak):
    p = Pipeline("", threads=1)
    source = Source(name="src")
    fast = Inc(name="fast")
    gate = Gate(name="gate", own_thread=True, input_ports=ports(1))
    held, other, sink = BoundedSink(name="held"), Inc(name="other"), Sink(expected=40, name="sink")
    p.connect(source, fast)
    p.connect(fast, gate)
    p.connect(gate, held)
    p.connect(source, other)
    p.connect(other, sink)
    gate.gate = threading.Event()
    with p:
        p.start()
        try:
            source.cycle({"x": 0})
            assert gate.entered.wait(WAIT)
            for n in range(1, 40):
                source.cycle({"x": n})  # carried: must not wait for the gate's room
            assert sink.done.wait(WAIT)
            assert len(gate.get_port("in")._values) == 1
        finally:
            gate.gate.set()
        wait_for(lambda: len(held.values) == 40, "the held values")
    assert held.values == [n + 1 for n in range(40)]
    assert errors(p) == []


@pytest.mark.parametrize(
    "handed, shared_sink, threads",
    [(False, False, 1), (True, False, 1), (True, True, 2)],
    ids=["carried", "handed", "handed-shared-sink"],
)
def test_a_stop_while_every_port_is_full_ends_every_thread(handed, shared_sink, threads, no_thread_leak):
    # Ten stages with capacity 1 behind a feeder that never pauses, in front of
    # a sink that holds its first step: every port fills, then the pipeline stops.
    p = Pipeline("", threads=threads)
    source = Source(name="src")
    stages = [Inc(name=f"s{i}", input_ports=ports(1)) for i in range(10)]
    sink = Gate(name="sink", own_thread=not shared_sink, input_ports=ports(1))
    after = Sink(name="after")
    if handed:
        lead = Pass(name="lead", own_thread=True, input_ports=ports(1))
        p.connect(source, lead)
        p.connect(lead, stages[0])
    else:
        p.connect(source, stages[0])
    for upstream, downstream in zip(stages, stages[1:]):
        p.connect(upstream, downstream)
    p.connect(stages[-1], sink)
    p.connect(sink, after)
    sink.gate = threading.Event()
    p.start()
    stop_feeding = threading.Event()

    def feed():
        n = 0
        while not stop_feeding.is_set():
            source.cycle({"x": n})
            n += 1

    feeder = threading.Thread(target=feed)
    try:
        feeder.start()
        assert sink.entered.wait(WAIT)
        full = [stage.get_port("in") for stage in stages] + [sink.get_port("in")]
        wait_for(lambda: all(len(port._values) == 1 for port in full), "every port to fill", timeout=3)
        assert all(stage.backlog <= 1 for stage in stages)
        stopper = threading.Thread(target=p.stop)
        stopper.start()
        stopper.join(0.05)
        assert stopper.is_alive(), "stop() must wait for the sink's step in progress"
        sink.gate.set()
        stopper.join(WAIT)
        assert not stopper.is_alive(), "stop() hung on full ports"
    finally:
        stop_feeding.set()
        sink.gate.set()
        feeder.join(WAIT)
        p.stop()
        p.close()
    assert not feeder.is_alive()
    assert p.get_state() == STOPPED and scheduler_threads() == []
    # Nothing lost, nothing twice: what came through is the first values in order.
    assert after.values == [n + 10 for n in range(len(after.values))]
    assert errors(p) == []


# Drop oldest and raise ----------------------------------------------------------------


def test_drop_oldest_between_shared_nodes_keeps_the_newest(no_thread_leak):
    p = Pipeline("", threads=2)
    feeds = Feeds(p, handed=True)
    fast = Inc(name="fast")
    gate = Gate(name="gate", input_ports=ports(2, "drop_oldest"))
    sink = Sink(expected=3, name="sink")
    p.connect(feeds.new("a"), fast)
    p.connect(fast, gate)
    p.connect(gate, sink)
    gate.gate = threading.Event()
    with p:
        p.start()
        try:
            feeds.push([0])
            assert gate.entered.wait(WAIT)
            feeds.push(range(1, 10))
            wait_for(lambda: fast.get_stats()["steps"] == 10, "fast's steps", timeout=3)
            assert fast.threads <= {SCHEDULER + "1", SCHEDULER + "2"}
        finally:
            gate.gate.set()
        assert sink.done.wait(WAIT)
        stats = gate.get_stats()["inputs"]["in"]
    assert sink.values == [1, 9, 10]
    assert (stats["received"], stats["dropped"], stats["queued"]) == (10, 7, 0)
    assert errors(p) == []


@pytest.mark.parametrize("handed", [False, True], ids=["carried", "handed"])
def test_raise_fails_only_the_shared_node_that_pushed(handed, slow_monitor, no_thread_leak):
    p = Pipeline("", threads=2)
    feeds = Feeds(p, handed)
    first = feeds.new("a")
    fast = Inc(name="fast")
    # Its own thread when carried: the test thread must not be the one it holds.
    gate = Gate(name="gate", own_thread=not handed, input_ports=ports(1, "raise"))
    held, other, sink = Sink(name="held"), Inc(name="other"), Sink(expected=10, name="sink")
    p.connect(first, fast)
    p.connect(fast, gate)
    p.connect(gate, held)
    p.connect(first, other)
    p.connect(other, sink)
    gate.gate = threading.Event()
    # Not a with block: its end would raise the failure this test makes.
    try:
        p.start()
        idents = {hex(t.ident) for t in scheduler_threads()}
        try:
            feeds.push([0])
            assert gate.entered.wait(WAIT)
            feeds.push(range(1, 10))
            assert sink.done.wait(WAIT)
            wait_for(lambda: fast.get_condition() == ERROR, "the overflow", timeout=3)
        finally:
            gate.gate.set()
        wait_for(lambda: len(held.values) == 2, "the held values")
        conditions = [n.get_condition() for n in (gate, held, other, sink)]
        entries = [e for e in p.get_logger().get_all() if e["type"] == "ERROR"]
    finally:
        gate.gate.set()
        p.stop()
        p.close()
    assert conditions == [HEALTHY] * 4
    assert held.values == [1, 2]
    assert fast.get_stats()["steps"] == 2  # the third push failed its step
    assert [e["message"] for e in entries] == ["Input port 'in' is full (capacity 1)."]
    assert isinstance(fast.get_last_exception(), OverflowError)
    if handed:
        assert entries[0]["thread"] in idents
    else:
        assert entries[0]["thread"] == hex(threading.get_ident())


@pytest.mark.parametrize("handed", [False, True], ids=["carried", "handed"])
@pytest.mark.parametrize("policy", ["drop_oldest", "raise"])
def test_a_policy_meets_only_a_slow_reader_not_the_order_of_the_runs(policy, handed, no_thread_leak):
    # One thread, readers that keep up: a full port is only ever the scheduler's
    # doing (a producer stepping its backlog first), so nothing is dropped or refused.
    p = Pipeline("", threads=1)
    feeds = Feeds(p, handed)
    fast = Inc(name="fast")
    reader = Inc(name="reader", input_ports=ports(2, policy))
    sink = Sink(expected=200, name="sink")
    p.connect(feeds.new("a"), fast)
    p.connect(fast, reader)
    p.connect(reader, sink)
    with p:
        p.start()
        feeds.push(range(200))
        assert sink.done.wait(WAIT)
        stats = reader.get_stats()["inputs"]["in"]
    assert sink.values == [n + 2 for n in range(200)]
    assert (stats["received"], stats["dropped"]) == (200, 0)
    assert errors(p) == []
