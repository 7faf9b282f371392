"""Nodes on shared scheduler threads (Pipeline(threads=N)): order and content
through chains, fan-in, fan-out and diamonds; which thread runs a step; failures,
stops and restarts; nodes with a thread of their own; ASYNC ports; saving and
loading; statistics; and no growth in memory or references over many cycles.

Two ways in: "carried", the test thread's cycle() runs the nodes it makes ready
itself (push mode); "handed", an own_thread node's worker pushes, and the
scheduler threads run what follows."""

import gc
import os
import sys
import threading
import time

import pytest

from nodes import Merge, Sink, Source
from node_helpers import ASYNC, Recorder
from pipeline_helpers import WAIT, end_monitor
from velarix import LogType, Pipeline, PipelineError, Portable
from velarix.constants import Constants
from velarix.i_node import INode
from velarix.imp import ConstantsImp
from velarix.io_node import IONode

STOPPED, RUNNING = Constants.States.STOPPED, Constants.States.RUNNING
HEALTHY, ERROR = Constants.Conditions.HEALTHY, Constants.Conditions.ERROR
SCHEDULER = "velarix-scheduler-"


class Pass(IONode):
    """Passes each value on as it is."""

    def step(self, data):
        return {"out": data["in"]}


class Inc(IONode):
    """Adds one. Notes the threads its steps ran on and counts overlapping steps
    (it lets other threads in mid-step, so a second runner would show)."""

    def __init__(self, **entries):
        super().__init__(**entries)
        self.threads = set()
        self.inside = 0
        self.overlaps = 0

    def step(self, data):
        self.inside += 1
        if self.inside > 1:
            self.overlaps += 1
        self.threads.add(threading.current_thread().name)
        time.sleep(0)  # gives up the interpreter lock for a moment
        self.inside -= 1
        return {"out": data["in"] + 1}


class Gate(IONode):
    """Passes values on; while `gate` is set to an Event, a step first sets
    `entered` and waits for the gate."""

    def __init__(self, **entries):
        super().__init__(**entries)
        self.gate = None
        self.entered = threading.Event()

    def step(self, data):
        if self.gate is not None:
            self.entered.set()
            self.gate.wait(WAIT)
        return {"out": data["in"]}


class Fails(IONode):
    """Raises on the value 3; passes the others on."""

    def step(self, data):
        if data["in"] == 3:
            raise RuntimeError("sensor failed")
        return {"out": data["in"]}


def scheduler_threads():
    return [t for t in threading.enumerate() if t.name.startswith(SCHEDULER)]


def wait_for(condition, what, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"gave up waiting for {what}"
        time.sleep(0.005)


@pytest.fixture
def slow_monitor(monkeypatch):
    """The monitoring thread's passes come rarely: a test sees the run before
    the monitor stops it."""
    monkeypatch.setattr(ConstantsImp, "MONITORING_INTERVAL", 30.0)


@pytest.fixture
def fast_monitor(monkeypatch):
    monkeypatch.setattr(ConstantsImp, "MONITORING_INTERVAL", 0.01)


class Feeds:
    """The ways values enter a graph: one Source per feed, cycled by the test
    thread; "handed" puts an own_thread node behind each source, so the nodes
    after it run on the scheduler threads."""

    def __init__(self, pipeline, handed):
        self.pipeline = pipeline
        self.handed = handed
        self.sources = []

    def new(self, name):
        source = Source(name=f"src-{name}")
        self.sources.append(source)
        if not self.handed:
            return source
        lead = Pass(name=f"lead-{name}", own_thread=True)
        self.pipeline.connect(source, lead)
        return lead

    def push(self, values):
        for n in values:
            for source in self.sources:
                source.cycle({"x": n})


COUNT = 300


def chain(p, feeds):
    stages = [Inc(name=f"inc{i}") for i in range(10)]
    sink = Sink(expected=COUNT, name="sink")
    p.connect(feeds.new("a"), stages[0])
    for upstream, downstream in zip(stages, stages[1:]):
        p.connect(upstream, downstream)
    p.connect(stages[-1], sink)
    return stages, {sink: [n + 10 for n in range(COUNT)]}


def fan_out(p, feeds):
    split = Inc(name="split")
    one, two, three = Inc(name="one"), Inc(name="two"), Inc(name="three")
    near, far = Sink(expected=COUNT, name="near"), Sink(expected=COUNT, name="far")
    p.connect(feeds.new("a"), split)
    p.connect(split, one)
    p.connect(one, near)
    p.connect(split, two)
    p.connect(two, three)
    p.connect(three, far)
    return [split, one, two, three], {near: [n + 2 for n in range(COUNT)], far: [n + 3 for n in range(COUNT)]}


def fan_in(p, feeds):
    left, right, right2 = Inc(name="left"), Inc(name="right"), Inc(name="right2")
    merge, sink = Merge(name="merge"), Sink(expected=COUNT, name="sink")
    p.connect(feeds.new("a"), left)
    p.connect(feeds.new("b"), right)
    p.connect(right, right2)
    p.connect_ports(left, "out", merge, "a")
    p.connect_ports(right2, "out", merge, "b")
    p.connect(merge, sink)
    return [left, right, right2], {sink: [(n + 1, n + 2) for n in range(COUNT)]}


def diamond(p, feeds):
    top, left, right, right2 = Inc(name="top"), Inc(name="left"), Inc(name="right"), Inc(name="right2")
    merge, sink = Merge(name="merge"), Sink(expected=COUNT, name="sink")
    p.connect(feeds.new("a"), top)
    p.connect(top, left)
    p.connect(top, right)
    p.connect(right, right2)
    p.connect_ports(left, "out", merge, "a")
    p.connect_ports(right2, "out", merge, "b")
    p.connect(merge, sink)
    return [top, left, right, right2], {sink: [(n + 2, n + 3) for n in range(COUNT)]}


# Order and content ------------------------------------------------------------------


@pytest.mark.parametrize("handed", [False, True], ids=["carried", "handed"])
@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("shape", [chain, fan_out, fan_in, diamond])
def test_values_cross_every_shape_in_order_with_their_content(shape, threads, handed, no_thread_leak):
    p = Pipeline("", threads=threads)
    feeds = Feeds(p, handed)
    steppers, expected = shape(p, feeds)
    p.start()
    try:
        feeds.push(range(COUNT))
        for sink in expected:
            assert sink.done.wait(WAIT), f"{sink.get_name()} got {len(sink.values)} of {COUNT}"
    finally:
        p.stop()
        p.close()
    for sink, values in expected.items():
        assert sink.values == values
    assert scheduler_threads() == []  # stop() ended them
    for node in steppers:
        assert node.overlaps == 0, f"two cycles of {node.get_name()} overlapped"
        if handed:
            assert all(name.startswith(SCHEDULER) for name in node.threads), node.threads
        else:
            # Push mode: the caller's cycle() ran what it made ready.
            assert node.threads == {threading.current_thread().name}
    assert [e["message"] for e in p.get_logger().get_all() if e["type"] == "ERROR"] == []


def test_each_shared_step_gets_a_private_copy(no_thread_leak):
    class Appends(IONode):
        def step(self, data):
            data["in"].append(self.get_name())  # in place: must reach no other step
            return {"out": data["in"]}

    p = Pipeline("", threads=2)
    feeds = Feeds(p, handed=True)
    first = feeds.new("a")
    left, right = Appends(name="left"), Appends(name="right")
    merge, sink = Merge(name="merge"), Sink(expected=20, name="sink")
    p.connect(first, left)
    p.connect(first, right)
    p.connect_ports(left, "out", merge, "a")
    p.connect_ports(right, "out", merge, "b")
    p.connect(merge, sink)
    sent = [[n] for n in range(20)]
    with p:
        p.start()
        for value in sent:
            feeds.sources[0].cycle({"x": value})
        assert sink.done.wait(WAIT)
    assert sink.values == [([n, "left"], [n, "right"]) for n in range(20)]
    assert sent == [[n] for n in range(20)]


def test_a_value_from_a_worker_thread_reaches_the_shared_nodes_after_it(no_thread_leak):
    p = Pipeline("", threads=1)
    feeds = Feeds(p, handed=True)
    lead = feeds.new("a")
    inc, sink = Inc(name="inc"), Sink(expected=50, name="sink")
    p.connect(lead, inc)
    p.connect(inc, sink)
    with p:
        p.start()
        assert lead._imp._thread is not None and lead._imp._thread.is_alive()
        assert inc._imp._thread is None  # on the scheduler
        feeds.push(range(50))
        assert sink.done.wait(WAIT)
    assert sink.values == [n + 1 for n in range(50)]
    assert inc.threads == {SCHEDULER + "1"}


def test_values_received_by_the_port_itself_reach_a_shared_node(no_thread_leak):
    # As a cluster link's receiver hands them over; the metadata comes from a
    # linked source, whose one value goes first.
    p = Pipeline("", threads=1)
    source, sink = Source(name="src"), Sink(expected=4, name="sink")
    p.connect(source, sink)
    with p:
        p.start()
        source.cycle({"x": -1})
        for n in range(3):
            sink.get_port("in")._receive(n)
        assert sink.done.wait(WAIT), sink.values
    assert sink.values == [-1, 0, 1, 2]


# Which thread runs a step -------------------------------------------------------------


def test_log_entries_of_a_shared_step_name_the_scheduler_thread(slow_monitor, no_thread_leak):
    class Says(INode):
        def step(self, data):
            self._imp._logger.write(LogType.INFO, f"got {data['in']}")

    p = Pipeline("", threads=2)
    feeds = Feeds(p, handed=True)
    lead = feeds.new("a")
    says, fails = Says(name="says"), Fails(name="fails")
    p.connect(lead, says)
    p.connect(lead, fails)
    p.start()
    try:
        idents = {hex(t.ident) for t in scheduler_threads()}
        assert len(idents) == 2
        feeds.push(range(5))
        wait_for(lambda: fails.get_condition() == ERROR and says.get_stats()["steps"] == 5, "the steps")
        logged = {e["message"]: e["thread"] for e in p.get_logger().get_all()}
    finally:
        p.stop()
        p.close()
    for n in range(5):
        assert logged[f"got {n}"] in idents
    assert logged["sensor failed"] in idents
    assert logged["Node says started."] == hex(threading.get_ident())


# Failures --------------------------------------------------------------------------


@pytest.mark.parametrize("handed", [False, True], ids=["carried", "handed"])
def test_a_failing_step_puts_only_its_node_into_error(handed, slow_monitor, no_thread_leak):
    p = Pipeline("", threads=1)
    feeds = Feeds(p, handed)
    first = feeds.new("a")
    fails, after = Fails(name="fails"), Sink(name="after")
    other, sink = Inc(name="other"), Sink(expected=10, name="sink")
    p.connect(first, fails)
    p.connect(fails, after)
    p.connect(first, other)
    p.connect(other, sink)
    p.start()
    try:
        feeds.push(range(10))
        assert sink.done.wait(WAIT)
        wait_for(lambda: fails.get_condition() == ERROR, "the failure")
        assert p.get_state() == RUNNING  # until the monitor's next pass
        assert (other.get_condition(), sink.get_condition(), after.get_condition()) == (HEALTHY,) * 3
        feeds.push(range(10, 13))
        wait_for(lambda: len(sink.values) == 13, "values after the failure")
    finally:
        p.stop()
        p.close()
    assert sink.values == [n + 1 for n in range(13)]
    assert after.values == [0, 1, 2]
    assert fails.get_stats()["steps"] == 3  # the failed step is not counted, later ones never ran
    errors = [e["message"] for e in p.get_logger().get_all() if e["type"] == "ERROR"]
    assert errors == ["sensor failed"]
    assert isinstance(fails.get_last_exception(), RuntimeError)


def test_the_monitor_stops_a_pipeline_whose_shared_node_failed(fast_monitor, no_thread_leak):
    p = Pipeline("", threads=2)
    feeds = Feeds(p, handed=True)
    fails = Fails(name="fails")
    p.connect(feeds.new("a"), fails)
    p.connect(fails, Sink(name="sink"))
    p.start()
    feeds.push(range(5))
    with pytest.raises(PipelineError) as raised:
        p.wait(WAIT)
    assert (str(raised.value), raised.value.node) == ("fails: sensor failed", "fails")
    assert (p.get_state(), p.get_condition()) == (STOPPED, ERROR)
    assert scheduler_threads() == []
    p.close()


def test_the_monitors_stop_ends_the_scheduler_threads(fast_monitor, no_thread_leak):
    p = Pipeline("", threads=2)
    feeds = Feeds(p, handed=False)
    fails = Fails(name="fails")
    p.connect(feeds.new("a"), fails)
    p.start()
    try:
        feeds.push(range(5))
        end_monitor(p)
        assert p.get_state() == STOPPED
        wait_for(lambda: scheduler_threads() == [], "the scheduler threads to end", timeout=2)
    finally:
        p.close()


# Stops and restarts ------------------------------------------------------------------


def test_a_stopped_shared_node_runs_no_more_cycles_and_resumes_on_start(no_thread_leak):
    p = Pipeline("", threads=2)
    feeds = Feeds(p, handed=True)
    inc, sink = Inc(name="inc"), Sink(name="sink")
    p.connect(feeds.new("a"), inc)
    p.connect(inc, sink)
    with p:
        p.start()
        feeds.push(range(10))
        wait_for(lambda: len(sink.values) == 10, "the first values")
        inc.stop()
        assert inc.get_state() == STOPPED
        feeds.push(range(10, 20))
        port = inc.get_port("in")
        wait_for(lambda: len(port._values) == 10, "the values to queue")
        assert inc.get_stats()["steps"] == 10 and len(sink.values) == 10
        inc.start()  # the values waiting run at once
        wait_for(lambda: len(sink.values) == 20, "the queued values")
    assert sink.values == [n + 1 for n in range(20)]


def test_stop_waits_for_a_shared_step_in_progress_and_leaves_no_thread(no_thread_leak):
    p = Pipeline("", threads=1)
    feeds = Feeds(p, handed=True)
    gate, sink = Gate(name="gate"), Sink(name="sink")
    p.connect(feeds.new("a"), gate)
    p.connect(gate, sink)
    gate.gate = threading.Event()
    p.start()
    try:
        feeds.push([1])
        assert gate.entered.wait(WAIT)
        stopper = threading.Thread(target=p.stop)
        stopper.start()
        stopper.join(0.05)
        assert stopper.is_alive(), "stop() must wait for the step in progress"
        gate.gate.set()
        stopper.join(WAIT)
        assert not stopper.is_alive()
    finally:
        gate.gate.set()
        p.stop()
        p.close()
    assert p.get_state() == STOPPED
    assert scheduler_threads() == []
    assert sink.values in ([], [1])  # the step's push reached a stopped or a stopping sink


def test_a_restarted_pipeline_runs_on_new_scheduler_threads(no_thread_leak):
    p = Pipeline("", threads=2)
    feeds = Feeds(p, handed=True)
    inc, sink = Inc(name="inc"), Sink(name="sink")
    p.connect(feeds.new("a"), inc)
    p.connect(inc, sink)
    with p:
        for run in range(3):
            p.start()
            threads = scheduler_threads()
            assert sorted(t.name for t in threads) == [SCHEDULER + "1", SCHEDULER + "2"]
            feeds.push(range(10 * run, 10 * run + 10))
            wait_for(lambda: len(sink.values) == 10 * run + 10, "this run's values")
            p.stop()
            assert scheduler_threads() == []
            assert not any(t.is_alive() for t in threads)
    assert sink.values == [n + 1 for n in range(30)]


def test_a_step_that_stops_its_own_node_on_a_scheduler_thread(no_thread_leak):
    class StopsItself(IONode):
        def step(self, data):
            if data["in"] == 2:
                self.stop()
            return {"out": data["in"]}

    p = Pipeline("", threads=1)
    feeds = Feeds(p, handed=True)
    stopper, sink = StopsItself(name="stopper"), Sink(name="sink")
    other = Sink(expected=6, name="other")
    lead = feeds.new("a")
    p.connect(lead, stopper)
    p.connect(stopper, sink)
    p.connect(lead, other)
    with p:
        p.start()
        feeds.push(range(6))
        assert other.done.wait(WAIT)  # the scheduler thread goes on with the others
        wait_for(lambda: stopper.get_state() == STOPPED, "the node's stop")
        assert stopper.get_stats()["steps"] == 3
        assert len(stopper.get_port("in")._values) == 3
    assert sink.values == [0, 1, 2]
    errors = [e["message"] for e in p.get_logger().get_all() if e["type"] == "ERROR"]
    assert errors == []


@pytest.mark.parametrize("threads", [1, 2])
def test_a_step_that_stops_the_pipeline_on_a_scheduler_thread(threads, no_thread_leak):
    stopped = threading.Event()

    class StopsAll(INode):
        def step(self, data):
            if data["in"] == 2:
                self.pipeline.stop()
                stopped.set()

    p = Pipeline("", threads=threads)
    feeds = Feeds(p, handed=True)
    node = StopsAll(name="stopper")
    node.pipeline = p
    p.connect(feeds.new("a"), node)
    with p:
        p.start()
        feeds.push(range(5))
        assert stopped.wait(WAIT)
        assert p.get_state() == STOPPED
        for thread in scheduler_threads():
            thread.join(WAIT)
        assert scheduler_threads() == []
        assert node.get_stats()["steps"] == 3
        # It starts again, with the values that were left waiting.
        p.start()
        assert len(scheduler_threads()) == threads
        wait_for(lambda: node.get_stats()["steps"] == 5, "the waiting values")
        p.stop()
    errors = [e["message"] for e in p.get_logger().get_all() if e["type"] == "ERROR"]
    assert errors == []


def test_a_restart_while_the_step_that_stopped_the_pipeline_finishes(no_thread_leak):
    # The scheduler thread that ran the stopping step is still in that step when
    # the pipeline starts again: it must end, not join the new run unseen.
    gate, stopped = threading.Event(), threading.Event()

    class StopsAll(INode):
        def step(self, data):
            self.pipeline.stop()
            stopped.set()
            gate.wait(WAIT)

    p = Pipeline("", threads=1)
    feeds = Feeds(p, handed=True)
    node = StopsAll(name="stopper")
    node.pipeline = p
    p.connect(feeds.new("a"), node)
    with p:
        p.start()
        feeds.push([0])
        assert stopped.wait(WAIT)
        old = scheduler_threads()
        p.start()
        gate.set()
        for thread in old:
            thread.join(2)
            assert not thread.is_alive(), "the old run's scheduler thread went on"
        assert len(scheduler_threads()) == 1
        p.stop()
    assert scheduler_threads() == []


def test_nodes_started_alone_after_the_pipelines_stop_run_on_threads_of_their_own(no_thread_leak):
    p = Pipeline("", threads=1)
    feeds = Feeds(p, handed=True)
    lead = feeds.new("a")
    inc, sink = Inc(name="inc"), Sink(name="sink")
    p.connect(lead, inc)
    p.connect(inc, sink)
    nodes = [feeds.sources[0], lead, inc, sink]
    with p:
        p.start()
        feeds.push([0])
        wait_for(lambda: sink.values == [1], "the first value")
        p.stop()
        assert scheduler_threads() == []
        # Started on their own, the nodes are off the pipeline's scheduler: each
        # input node has a worker thread again.
        for node in nodes:
            node.start()
        assert scheduler_threads() == []
        feeds.push([1])
        wait_for(lambda: sink.values == [1, 2], "the value after the restart")
        assert len(inc.threads) == 2 and SCHEDULER + "1" in inc.threads  # the first step's, and its own
        for node in nodes:
            node.stop()


def test_an_exit_request_in_a_shared_step_leaves_the_thread_serving_the_others(monkeypatch, no_thread_leak):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reported.append(u.exc_type))

    class Exits(INode):
        def step(self, data):
            if data["in"] == 1:
                raise SystemExit(3)  # no Exception: the cycle's guard lets it through

    p = Pipeline("", threads=1)
    feeds = Feeds(p, handed=True)
    lead = feeds.new("a")
    exits, inc, sink = Exits(name="exits"), Inc(name="inc"), Sink(expected=4, name="sink")
    p.connect(lead, exits)
    p.connect(lead, inc)
    p.connect(inc, sink)
    with p:
        p.start()
        feeds.push(range(4))
        assert sink.done.wait(WAIT)
        wait_for(lambda: reported == [SystemExit], "the report")
        assert [t.name for t in scheduler_threads()] == [SCHEDULER + "1"]
        p.stop()
    assert sink.values == [1, 2, 3, 4]


def test_every_one_of_concurrent_stops_returns_with_the_threads_ended(no_thread_leak):
    early = 0
    for _ in range(100):  # a race: each round shows it only sometimes
        p = Pipeline("", threads=4)
        p.add_node(Sink(name="sink"))
        p.start()
        go, alive = threading.Barrier(3), []

        def stop():
            go.wait(WAIT)
            p.stop()
            alive.append(len(scheduler_threads()))

        stoppers = [threading.Thread(target=stop) for _ in range(3)]
        for stopper in stoppers:
            stopper.start()
        for stopper in stoppers:
            stopper.join(WAIT)
        early += any(alive)
        for thread in scheduler_threads():
            thread.join(WAIT)
        p.close()
        Portable.reset()
    assert early == 0, f"in {early} of 100 rounds a stop() returned with scheduler threads running"


# Threads of their own ----------------------------------------------------------------


def test_a_blocking_node_with_its_own_thread_keeps_the_others_going(no_thread_leak):
    p = Pipeline("", threads=1)
    source = Source(name="src")
    blocker, after = Gate(name="blocker", own_thread=True), Sink(name="after")
    inc, sink = Inc(name="inc"), Sink(expected=50, name="sink")
    p.connect(source, blocker)
    p.connect(blocker, after)
    p.connect(source, inc)
    p.connect(inc, sink)
    blocker.gate = threading.Event()
    with p:
        p.start()
        assert blocker._imp._thread is not None and blocker.has_own_thread()
        try:
            source.cycle({"x": 0})
            assert blocker.entered.wait(WAIT)
            for n in range(1, 50):
                source.cycle({"x": n})
            assert sink.done.wait(WAIT)  # while the blocker still waits
            assert blocker.get_stats()["steps"] == 0
        finally:
            blocker.gate.set()
        wait_for(lambda: len(after.values) == 50, "the blocker's values")
    assert sink.values == [n + 1 for n in range(50)]
    assert after.values == list(range(50))


def test_own_thread_nodes_keep_a_worker_and_the_rest_share_the_threads(no_thread_leak):
    p = Pipeline("", threads=3)
    source, own, shared = Source(name="src"), Sink(name="own", own_thread=True), Sink(name="shared")
    p.connect(source, own)
    p.connect(source, shared)
    with p:
        p.start()
        assert own._imp._thread.is_alive() and shared._imp._thread is None
        assert (own.has_own_thread(), shared.has_own_thread()) == (True, False)
        names = sorted(t.name for t in scheduler_threads())
        assert names == [SCHEDULER + str(n) for n in (1, 2, 3)]
        assert p._scheduler.get_stats()["nodes"] == 1
        p.stop()
        assert own._imp._thread is None
        assert p._scheduler.get_stats()["nodes"] == 0


def test_without_threads_every_input_node_keeps_its_own_worker(no_thread_leak):
    p = Pipeline("")
    source, a, b = Source(name="src"), Inc(name="a"), Sink(expected=5, name="b", own_thread=True)
    p.connect(source, a)
    p.connect(a, b)
    assert p.get_threads() is None
    assert "threads" not in p.serialize()
    with p:
        p.start()
        assert scheduler_threads() == []
        workers = {a._imp._thread, b._imp._thread}
        assert None not in workers and len(workers) == 2
        for n in range(5):
            source.cycle({"x": n})
        assert b.done.wait(WAIT)
        worker = a._imp._thread.name
    assert b.values == [1, 2, 3, 4, 5]
    assert a.threads == {worker}


# ASYNC ports -------------------------------------------------------------------------


class AsyncGate(INode):
    """Collects the values of its ASYNC port "in"; while `gate` is an Event, a
    step first sets `entered` and waits for the gate."""

    def __init__(self, **entries):
        super().__init__(input_ports=[{"name": "in", "timing": ASYNC}], **entries)
        self.values = []
        self.gate = None
        self.entered = threading.Event()

    def step(self, data):
        if self.gate is not None:
            self.entered.set()
            self.gate.wait(WAIT)
        self.values.append(data["in"])


def test_an_async_port_on_a_shared_node_takes_the_newest_once_per_wake_up(no_thread_leak):
    p = Pipeline("", threads=1)
    feeds = Feeds(p, handed=True)
    newest = AsyncGate(name="newest")
    lead = feeds.new("a")
    p.connect(lead, newest)
    with p:
        p.start()
        feeds.push([0])
        wait_for(lambda: newest.values == [0], "the first value")
        # Its step holds while four more values reach the port: the next step
        # gets the newest of them, and only one step follows.
        newest.gate = threading.Event()
        feeds.push([1])
        assert newest.entered.wait(WAIT)
        feeds.push(range(2, 6))
        wait_for(lambda: lead.get_stats()["steps"] == 6, "the values behind the step")
        newest.gate.set()
        wait_for(lambda: newest.values[-1:] == [5], "the newest value")
        newest.gate = None
        feeds.push([6])
        wait_for(lambda: newest.values[-1:] == [6], "the value after")
    assert newest.values == [0, 1, 5, 6]
    assert newest.get_stats()["steps"] == 4
    assert newest.get_stats()["inputs"]["in"]["dropped"] == 3


def test_work_readied_behind_a_long_step_is_taken_by_the_idle_thread(no_thread_leak):
    # first holds its step until one more value waits; its push then fills the
    # gate's port (capacity 1), so first waits for room, which the gate's read
    # makes on the same thread just before the gate holds that thread. The other
    # scheduler thread is idle: it must step first's waiting value meanwhile.
    p = Pipeline("", threads=2)
    feeds = Feeds(p, handed=True)
    first, gate, sink = Gate(name="first"), Gate(name="gate", input_ports=[{"name": "in", "capacity": 1}]), Sink(name="sink")
    p.connect(feeds.new("a"), first)
    p.connect(first, gate)
    p.connect(gate, sink)
    first.gate, gate.gate = threading.Event(), threading.Event()
    with p:
        p.start()
        try:
            feeds.push([0])
            assert first.entered.wait(WAIT)
            feeds.push([1])
            port = first.get_port("in")
            wait_for(lambda: len(port._values) == 1, "the value to wait")
            first.gate.set()
            assert gate.entered.wait(WAIT)
            first.gate = None
            deadline = time.monotonic() + 2
            while time.monotonic() < deadline and first.get_stats()["steps"] < 2:
                time.sleep(0.005)
            steps = first.get_stats()["steps"]
        finally:
            gate.gate.set()
        wait_for(lambda: len(sink.values) == 2, "the values")
    assert steps == 2, "first's waiting value stayed behind the gate's step while the other thread slept"


# Fairness ----------------------------------------------------------------------------


class Loop(IONode):
    """Feeds its own input: once a value arrives it is always ready."""

    def step(self, data):
        return {"out": data["in"] + 1}


def test_a_node_that_is_always_ready_does_not_starve_the_others(no_thread_leak):
    p = Pipeline("", threads=1)
    feeds = Feeds(p, handed=True)
    seed, rest = feeds.new("seed"), feeds.new("rest")
    loop = Loop(name="loop")
    p.connect(seed, loop)
    p.connect(loop, loop)
    inc, sink = Inc(name="inc"), Sink(expected=20, name="sink")
    p.connect(rest, inc)
    p.connect(inc, sink)
    with p:
        p.start()
        feeds.sources[0].cycle({"x": 0})
        wait_for(lambda: loop.get_stats()["steps"] > 100, "the loop to spin")
        for n in range(20):
            feeds.sources[1].cycle({"x": n})
        assert sink.done.wait(WAIT), "the looping node starved the others"
    assert sink.values == [n + 1 for n in range(20)]


def test_a_carrying_cycle_returns_though_a_node_after_it_is_always_ready(no_thread_leak):
    p = Pipeline("", threads=1)
    source, loop = Source(name="src"), Loop(name="loop")
    p.connect(source, loop)
    p.connect(loop, loop)
    returned = threading.Event()
    caller = threading.Thread(target=lambda: (source.cycle({"x": 0}), returned.set()))
    p.start()
    try:
        caller.start()
        ok = returned.wait(2)
    finally:
        p.stop()  # takes the loop off: the carrier then returns
        caller.join(WAIT)
        p.close()
    assert not caller.is_alive()
    assert ok, "cycle() did not return while the loop ran"


# Saving and loading -----------------------------------------------------------------


def test_threads_and_own_thread_survive_saving_and_loading(tmp_path, no_thread_leak):
    p = Pipeline("", threads=2)
    source, relay = Source(name="src"), Pass(name="relay", own_thread=True)
    sink = Sink(name="sink")
    p.connect(source, relay)
    p.connect(relay, sink)
    assert p.get_threads() == 2
    data = p.serialize()
    assert data["threads"] == 2
    assert [n["config"].get("own_thread") for n in data["nodes"]] == [None, True, None]
    path = str(tmp_path / "p.json")
    p.save(path)

    for loaded in (Pipeline.deserialize(data, "", fresh_ids=True), Pipeline.load(path, "", fresh_ids=True)):
        assert loaded.get_threads() == 2
        nodes = {n.get_name(): n for n in loaded.get_nodes()}
        assert nodes["relay"].has_own_thread() and not nodes["sink"].has_own_thread()
        with loaded:
            loaded.start()
            assert len(scheduler_threads()) == 2
            assert nodes["relay"]._imp._thread is not None and nodes["sink"]._imp._thread is None
            for n in range(5):
                nodes["src"].cycle({"x": n})
            wait_for(lambda: len(nodes["sink"].values) == 5, "the loaded pipeline's values")
            assert nodes["sink"].values == list(range(5))
            loaded.stop()
        assert scheduler_threads() == []
    p.close()

    Portable.reset()
    plain = Pipeline.deserialize(Pipeline("").serialize(), "")
    assert plain.get_threads() is None
    plain.close()


@pytest.mark.parametrize(
    "threads, error",
    [(0, ValueError), (-1, ValueError), (1025, ValueError), (1.5, TypeError), (True, TypeError),
     ("2", TypeError), (2.0, TypeError), ([2], TypeError)],
)
def test_bad_thread_counts_are_refused(threads, error):
    with pytest.raises(error, match="threads must be"):
        Pipeline("", threads=threads)
    data = Pipeline("").serialize()
    data["threads"] = threads
    with pytest.raises(error, match="threads must be"):
        Pipeline.deserialize(data, "")


@pytest.mark.parametrize("own", [1, 0, "yes", None, [True]])
def test_a_bad_own_thread_is_refused(own):
    with pytest.raises(TypeError, match="^own_thread must be True or False, not "):
        Sink(name="sink", own_thread=own)


def test_thread_counts_in_range_are_taken():
    for threads in (1, 1024):
        assert Pipeline("", threads=threads).get_threads() == threads


# Statistics --------------------------------------------------------------------------


def test_statistics_are_kept_per_shared_node(no_thread_leak):
    import velarix

    class Thins(IONode):
        def step(self, data):
            return {"out": data["in"]} if data["in"] % 2 == 0 else velarix.SKIP

    p = Pipeline("", threads=2)
    feeds = Feeds(p, handed=True)
    inc, thin, sink = Inc(name="inc"), Thins(name="thin"), Sink(expected=20, name="sink")
    p.connect(feeds.new("a"), inc)
    p.connect(inc, thin)
    p.connect(thin, sink)
    with p:
        p.start()
        stats = p._scheduler.get_stats()
        assert (stats["threads"], stats["nodes"]) == (2, 3)
        feeds.push(range(40))
        assert sink.done.wait(WAIT)
        by_name = {s["name"]: s for s in p.get_stats()}
        dispatched = p._scheduler.get_stats()["dispatched"]
    assert by_name["inc"]["steps"] == 40 and by_name["inc"]["outputs"]["out"]["pushed"] == 40
    assert by_name["inc"]["inputs"]["in"]["received"] == 40
    assert by_name["thin"]["steps"] == 40 and by_name["thin"]["skipped"] == 20
    assert by_name["thin"]["outputs"]["out"]["pushed"] == 20
    assert by_name["sink"]["steps"] == 20 and by_name["sink"]["inputs"]["in"]["received"] == 20
    for name in ("inc", "thin", "sink"):
        assert by_name[name]["inputs"]["in"]["queued"] == 0
        assert by_name[name]["state"] == RUNNING and by_name[name]["condition"] == HEALTHY
    assert dispatched >= 3
    assert p._scheduler.get_stats()["nodes"] == 0  # stopped: off the scheduler


# Memory and references ----------------------------------------------------------------


def _rss_pages():
    with open(f"/proc/{os.getpid()}/statm") as statm:
        return int(statm.read().split()[1])


def _tasks():
    return [o for o in gc.get_objects() if type(o).__name__ == "Task" and type(o).__module__ == "velarix.imp.portan"]


@pytest.mark.parametrize("handed", [False, True], ids=["carried", "handed"])
def test_many_cycles_on_the_scheduler_leave_memory_and_references_flat(handed, no_thread_leak):
    p = Pipeline("", threads=2)
    feeds = Feeds(p, handed)
    a, b, sink = Pass(name="a"), Pass(name="b"), Sink(name="sink")
    p.connect(feeds.new("a"), a)
    p.connect(a, b)
    p.connect(b, sink)
    value = ("kept", "as is")  # deep copies of it are itself: its count shows every hold on it
    tasks_before = len(_tasks())
    with p:
        p.start()
        source = feeds.sources[0]

        def run(count):
            sink.values = []
            for _ in range(count):
                source.cycle({"x": value})
            wait_for(lambda: len(sink.values) == count, "the values")
            sink.values = []

        run(2000)  # warm up
        gc.collect()
        refs, before = sys.getrefcount(value), _rss_pages()
        scheduler_refs = sys.getrefcount(p._scheduler)
        task_refs = sys.getrefcount(a._imp._scheduler_task)
        run(20000)
        gc.collect()
        # Counted before the asserts: their rewriting holds what they look at.
        after = (sys.getrefcount(value), sys.getrefcount(p._scheduler), sys.getrefcount(a._imp._scheduler_task))
        assert after == (refs, scheduler_refs, task_refs)
        assert (_rss_pages() - before) * os.sysconf("SC_PAGE_SIZE") < 8 * 2**20
        p.stop()
        gc.collect()
        assert len(_tasks()) == tasks_before  # stopped nodes let go of their tasks


# Other ways in: timed sources, several callers, carried() -------------------------------


class Counted(Source):
    """A timed source: pushes the count of each cycle."""

    def step(self, data):
        return {"out": data["count"]}


def test_a_timed_sources_driver_carries_its_values_through_shared_nodes(no_thread_leak):
    p = Pipeline("", threads=1)
    source = Counted(name="ticks", rate=500)
    inc, sink = Inc(name="inc"), Sink(expected=20, name="sink")
    p.connect(source, inc)
    p.connect(inc, sink)
    with p:
        p.start()
        assert sink.done.wait(WAIT)
        p.stop()
    assert sink.values == sorted(set(sink.values))  # missed deadlines may leave gaps
    # The first count may reach inc before inc is on the scheduler, which then runs it.
    assert "velarix-rate-ticks" in inc.threads
    assert inc.threads <= {"velarix-rate-ticks", SCHEDULER + "1"}


def test_callers_on_several_threads_share_the_nodes_without_overlap(no_thread_leak):
    p = Pipeline("", threads=2)
    source = Source(name="src")
    stages = [Inc(name=f"inc{i}") for i in range(4)]
    sink = Sink(expected=4 * 200, name="sink")
    p.connect(source, stages[0])
    for upstream, downstream in zip(stages, stages[1:]):
        p.connect(upstream, downstream)
    p.connect(stages[-1], sink)

    def feed(k):
        for n in range(200):
            source.cycle({"x": k * 1000 + n})

    with p:
        p.start()
        feeders = [threading.Thread(target=feed, args=(k,)) for k in range(4)]
        for feeder in feeders:
            feeder.start()
        for feeder in feeders:
            feeder.join(WAIT)
        assert sink.done.wait(WAIT)
    for node in stages:
        assert node.overlaps == 0
        assert node.get_stats()["steps"] == 800
    for k in range(4):
        # Each caller's values in its own order; a caller's value may run on another's thread.
        assert [v for v in sink.values if v // 1000 == k] == [k * 1000 + n + 4 for n in range(200)]


def test_carried_runs_what_its_call_made_ready_and_hands_it_on_when_the_call_fails(no_thread_leak):
    from velarix.imp.portan import carried

    p = Pipeline("", threads=1)
    source, inc, sink = Source(name="src"), Inc(name="inc"), Sink(name="sink")
    p.connect(source, inc)
    p.connect(inc, sink)
    port = source._imp._output_ports["out"]
    with p:
        p.start()
        source.cycle({"x": 0})  # gives the links their metadata
        wait_for(lambda: sink.values == [1], "the first value")
        assert carried(lambda a, b: a + b, 2, 3) == 5
        assert carried(port.push, 1) is None
        assert sink.values == [1, 2]  # run on this thread before carried() returned
        assert threading.current_thread().name in inc.threads

        def push_then_fail():
            port.push(10)
            raise KeyError("after the push")

        with pytest.raises(KeyError, match="after the push"):
            carried(push_then_fail)
        # What the failed call made ready goes to the scheduler thread.
        wait_for(lambda: sink.values == [1, 2, 11], "the handed-on value")
        assert SCHEDULER + "1" in inc.threads
        for bad in ((), (1,)):
            with pytest.raises(TypeError):
                carried(*bad)
        with pytest.raises(TypeError):
            carried(len, [], extra=1)


# The Scheduler object ------------------------------------------------------------------


def test_a_scheduler_starts_and_stops_its_threads_once(no_thread_leak):
    from velarix.imp.portan import Scheduler, Task

    scheduler = Scheduler(2)
    assert (scheduler.get_threads(), scheduler.is_running()) == (2, False)
    scheduler.stop()  # not started: nothing to do
    scheduler.start()
    scheduler.start()
    assert scheduler.is_running() and len(scheduler_threads()) == 2
    assert scheduler.get_stats() == {"threads": 2, "nodes": 0, "dispatched": 0, "waiting": 0}
    scheduler.stop()
    scheduler.stop()
    assert not scheduler.is_running() and scheduler_threads() == []
    scheduler.start()  # again after a stop: new threads
    assert len(scheduler_threads()) == 2 and scheduler.is_running()
    scheduler.stop()
    assert scheduler_threads() == []

    for bad, error in ((0, ValueError), (1025, ValueError), ("2", TypeError), (2.0, TypeError), (True, TypeError)):
        with pytest.raises(error):
            Scheduler(bad)
    with pytest.raises(TypeError):
        Task()


def test_start_and_stop_from_several_threads_do_not_deadlock(no_thread_leak):
    import random

    from velarix.imp.portan import Scheduler

    stuck = 0
    for round_ in range(10):  # a race: a round meets it only sometimes
        scheduler = Scheduler(2)
        end = threading.Event()

        def churn(seed):
            chance = random.Random(seed)
            while not end.is_set():
                (scheduler.start if chance.random() < 0.5 else scheduler.stop)()

        threads = [threading.Thread(target=churn, args=(round_ * 10 + k,)) for k in range(4)]
        for thread in threads:
            thread.start()
        end.wait(0.3)
        end.set()
        for thread in threads:
            thread.join(1)
        if any(thread.is_alive() for thread in threads):
            stuck += 1
            while any(thread.is_alive() for thread in threads):
                scheduler.stop()  # lets the stuck joins return
                for thread in threads:
                    thread.join(0.2)
        scheduler.stop()
        if stuck:
            break
    assert scheduler_threads() == []
    assert stuck == 0, "start() and stop() on several threads deadlocked"


def test_a_node_whose_scheduler_is_no_scheduler_fails_its_start_cleanly(no_thread_leak):
    sink = Sink(name="sink")
    sink._imp._scheduler = "not one"
    with pytest.raises(TypeError, match="_scheduler must be a Scheduler, not str"):
        sink.start()
    sink._imp._scheduler = None
    sink.stop()
    sink.start()
    assert sink._imp._thread is not None
    sink.stop()


def test_an_input_node_with_ports_of_its_own_keeps_a_worker_on_a_scheduler(no_thread_leak):
    from velarix.imp.portan import Scheduler

    class Slotted:
        """A port stand-in without an instance dict: not one the scheduler reads."""

        __slots__ = ()

        def _receive(self, value):
            pass

        def data_available(self):
            return False

        def get_timing(self):
            return Constants.Timing.SYNC

    scheduler = Scheduler(1)
    scheduler.start()
    odd = Sink(name="odd")
    odd.set_logger(Recorder())
    odd._imp._input_ports = {"in": Slotted()}
    odd._imp._scheduler = scheduler
    try:
        odd.start()
        assert odd._imp._thread is not None and odd._imp._thread.is_alive()
        assert scheduler.get_stats()["nodes"] == 0
        odd.stop()
        assert odd._imp._thread is None
    finally:
        scheduler.stop()


# Size --------------------------------------------------------------------------------


def test_a_large_shared_pipeline_uses_only_the_scheduler_threads_and_its_own(no_thread_leak):
    # No values: each node's first step sleeps 10 ms in its set-up, on a shared thread.
    p = Pipeline("", threads=2)
    source = Source(name="src")
    previous = source
    for i in range(1000):
        node = Pass(name=f"n{i}", own_thread=(i == 500))
        p.connect(previous, node)
        previous = node
    before = set(threading.enumerate())
    with p:
        p.start()
        new = set(threading.enumerate()) - before
        names = sorted(t.name for t in new if t.name.startswith(SCHEDULER))
        assert names == [SCHEDULER + "1", SCHEDULER + "2"]
        # The monitoring thread and the own_thread node's worker besides.
        assert len(new) == 4, sorted(t.name for t in new)
        assert p._scheduler.get_stats()["nodes"] == 999
        p.stop()
        assert p._scheduler.get_stats()["nodes"] == 0
    assert set(threading.enumerate()) - before <= {p._imp._monitor_thread} - {None}


def test_run_ends_the_scheduler_threads(no_thread_leak):
    p = Pipeline("", threads=2)
    source, sink = Source(name="src"), Sink(expected=3, name="sink")
    p.connect(source, sink)

    def feed_once_running():
        # Not on a timer: a loaded machine may take longer than any fixed pause to start.
        deadline = time.monotonic() + 10
        while source.get_state() != RUNNING and time.monotonic() < deadline:
            time.sleep(0.001)
        for n in range(3):
            source.cycle({"x": n})

    feeder = threading.Thread(target=feed_once_running)
    feeder.start()
    p.run(0.3)
    feeder.join(10)
    assert p.get_state() == STOPPED and scheduler_threads() == []
    assert sink.values == [0, 1, 2]
    p.close()


# Leaving the interpreter -------------------------------------------------------------

EXIT_SCRIPTS = {
    # The scheduler threads mid-flow (fed by an own_thread node's worker) and a
    # caller carrying its values, at exit without stop.
    "shared pipeline without stop": """
lead = Work(name="lead", own_thread=True)
pipeline = Pipeline(sys.argv[1], threads=2)
pipeline.connect(source, lead)
pipeline.connect(lead, work)
pipeline.connect(work, sink)
other = Source(name="other")
pipeline.connect(other, Work(name="carried"))
pipeline.start()
threading.Thread(target=feed, args=(source,), daemon=True).start()
threading.Thread(target=feed, args=(other,), daemon=True).start()
sink.flowing.wait()
sys.exit(0)
""",
    # Scheduler threads asleep, waiting for work.
    "idle scheduler threads": """
pipeline = Pipeline(sys.argv[1], threads=3)
pipeline.connect(source, work)
pipeline.connect(work, sink)
pipeline.start()
for v in range(20):
    source.cycle({"v": v})
sink.flowing.wait()
sys.exit(0)
""",
}


@pytest.mark.parametrize("name", list(EXIT_SCRIPTS))
def test_exit_with_scheduler_threads_in_flight_is_clean(name, tmp_path):
    from test_exit import NODES, RUNS, run_in_parallel

    results = run_in_parallel(NODES + EXIT_SCRIPTS[name], RUNS, tmp_path)
    failures = [(code, errors[-2000:]) for code, errors in results if code != 0]
    assert not failures, f"{len(failures)} of {RUNS} runs failed: {failures[0]}"


def test_restarts_leave_no_tasks_or_threads_behind(no_thread_leak):
    p = Pipeline("", threads=2)
    feeds = Feeds(p, handed=True)
    inc, sink = Inc(name="inc"), Sink(name="sink")
    p.connect(feeds.new("a"), inc)
    p.connect(inc, sink)
    gc.collect()
    tasks_before, threads_before = len(_tasks()), set(threading.enumerate())
    with p:
        for run in range(30):
            p.start()
            feeds.push([run])
            wait_for(lambda: len(sink.values) == run + 1, "this run's value")
            p.stop()
    gc.collect()
    assert len(_tasks()) == tasks_before
    for thread in set(threading.enumerate()) - threads_before:
        thread.join(WAIT)
    assert set(threading.enumerate()) <= threads_before
    assert sink.values == [n + 1 for n in range(30)]
