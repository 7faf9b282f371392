"""Values through chains of running nodes: in order, with their content, each
step with a private copy; and the wake-ups that carry a value to the next node as
soon as it is pushed, through ASYNC stages, backlogs and full ports."""

import threading

import pytest

from node_helpers import ASYNC, Recorder, link_and_start, run_chain
from nodes import GatedSink, Hop, Source, Wrap
from velarix.i_node import INode
from velarix.io_node import IONode
from velarix.o_node import ONode
from velarix.o_port import OPort


@pytest.mark.parametrize("stages", [1, 3])
def test_chains_deliver_every_value_in_order_with_its_content(stages, no_thread_leak):
    logger = Recorder()
    sink = GatedSink(expected=2000, name="sink")
    nodes = [Source(name="src"), Wrap(name="wrap"), *[Hop(name=f"h{i}") for i in range(stages - 1)], sink]
    run_chain(nodes, 2000, logger)
    assert sink.values == [{"n": n, "hops": stages - 1} for n in range(2000)]
    assert logger.messages("ERROR") == []


def test_each_step_gets_a_private_copy_of_an_array():
    numpy = pytest.importorskip("numpy")

    class Bump(IONode):
        def step(self, data):
            data["in"] += 1  # in place: must not reach the sender's array
            return {"out": data["in"]}

    class Keep(ONode):
        def step(self, data):
            return {"out": data["a"]}

    source, sink = Keep(name="src"), GatedSink(expected=3, name="sink")
    sent = [numpy.full(8192, float(n)) for n in range(3)]
    nodes = [source, Bump(name="b1"), Bump(name="b2"), sink]
    for node in nodes:
        node.set_logger(Recorder())
    for upstream, downstream in zip(nodes, nodes[1:]):
        upstream.connect("out", downstream, "in")
    for node in reversed(nodes):
        node.start()
    try:
        for array in sent:
            source.cycle({"a": array})
        assert sink.done.wait(30)
    finally:
        for node in nodes:
            node.stop()
    assert [a[0] for a in sent] == [0.0, 1.0, 2.0]
    assert [float(a[0]) for a in sink.values] == [2.0, 3.0, 4.0]


def test_async_port_in_a_running_node_keeps_the_newest():
    sink = GatedSink(expected=1, name="sink", input_ports=[{"name": "in", "timing": ASYNC}])
    sink.set_logger(Recorder())
    port = sink.get_port("in")
    for n in range(5):
        port._receive(n)  # the node is not started: values wait
    assert len(port._values) == 1
    sink.start()
    try:
        assert sink.done.wait(10)
    finally:
        sink.stop()
    assert sink.values == [4]


def test_metadata_that_arrives_late_but_in_time_reaches_the_setup(no_thread_leak):
    class Described(INode):
        def setup(self, data, metadata):
            self.seen = metadata
            return {}

        def step(self, data):
            self.done.set()

    logger = Recorder()
    sink = Described(name="sink")
    sink.done = threading.Event()
    sink.set_logger(logger)
    output, port = OPort(name="out")._imp, sink.get_port("in")
    output.connect(port)
    port.connect(output)
    sink.start()
    output.push(1)  # the first cycle waits for the metadata, up to its budget
    late = threading.Timer(0.3, output.config.set_metadata, args=({"unit": "m"},))
    late.start()
    try:
        assert sink.done.wait(10)
    finally:
        late.join(10)
        sink.stop()
    assert sink.seen == {"in": {"unit": "m"}}
    assert logger.messages("ERROR") == []


class PushInStep(IONode):
    """Pushes its value itself in the middle of its step, then waits for the next
    node to have stepped on it before it returns."""

    def __init__(self, **entries):
        super().__init__(**entries)
        self.seen, self.woken = threading.Event(), []

    def step(self, data):
        self._imp._output_ports["out"].push({"n": data["in"], "hops": 0})
        self.woken.append(self.seen.wait(10))
        return {"out": {"n": data["in"], "hops": 1}}


class Signal(INode):
    def __init__(self, seen, **entries):
        super().__init__(**entries)
        self.seen, self.values = seen, []

    def step(self, data):
        self.values.append(data["in"])
        self.seen.set()


def test_a_push_inside_a_step_wakes_the_next_node_before_the_step_ends(no_thread_leak):
    # The wake-ups a worker holds back are those of the pushes that end its cycle;
    # a step that pushes and then waits on the next node must not wait in vain.
    middle = PushInStep(name="middle")
    nodes = [Source(name="src"), middle, Signal(middle.seen, name="sink")]
    logger = Recorder()
    link_and_start(nodes, logger)
    try:
        nodes[0].cycle({"x": 7})
        deadline = threading.Event()
        for _ in range(100):
            if middle.woken:
                break
            deadline.wait(0.1)
    finally:
        for node in nodes:
            node.stop()
    assert middle.woken == [True] and nodes[2].values[0] == {"n": 7, "hops": 0}
    assert logger.messages("ERROR") == []


def test_the_newest_value_reaches_the_end_through_an_async_stage(no_thread_leak):
    # An ASYNC stage steps once per wake-up and then sleeps: the wake-up its last
    # cycle held back for the next node must still go out.
    sink = GatedSink(expected=1, name="sink")
    nodes = [Source(name="src"), Wrap(name="wrap", input_ports=[{"name": "in", "timing": ASYNC}]), sink]
    link_and_start(nodes, Recorder())
    try:
        for n in range(500):
            nodes[0].cycle({"x": n})
        for _ in range(100):
            if sink.values and sink.values[-1] == {"n": 499, "hops": 0}:
                break
            threading.Event().wait(0.1)
    finally:
        for node in nodes:
            node.stop()
    assert sink.values[-1] == {"n": 499, "hops": 0}
    assert [v["n"] for v in sink.values] == sorted(v["n"] for v in sink.values)


class WaitForNext(IONode):
    """Steps on value n only once the next node has stepped on value n - 1."""

    def __init__(self, seen, **entries):
        super().__init__(**entries)
        self.seen, self.in_time = seen, []

    def step(self, data):
        n = data["in"]
        if n > 0:
            self.in_time.append(self.seen[n - 1].wait(10))
        return {"out": n}


class Mark(INode):
    def __init__(self, seen, **entries):
        super().__init__(**entries)
        self.seen = seen

    def step(self, data):
        self.seen[data["in"]].set()


@pytest.mark.parametrize("native", [True, False])
def test_a_worker_with_a_backlog_wakes_the_next_node_after_each_cycle(native, no_thread_leak):
    # A worker holds back the wake-ups of its cycle's pushes only until its next
    # cycle starts, whether it reads its ports natively or through their methods.
    seen = [threading.Event() for _ in range(5)]
    source, middle, sink = Source(name="src"), WaitForNext(seen, name="middle"), Mark(seen, name="sink")
    logger = Recorder()
    for node in (source, middle, sink):
        node.set_logger(logger)
    source.connect("out", middle, "in")
    middle.connect("out", sink, "in")
    port = middle.get_port("in")
    if not native:
        port.data_available = lambda: len(port._values) > 0  # served through its methods
    source.start()
    for n in range(5):
        source.cycle({"x": n})  # the whole backlog waits before the worker starts
    sink.start()
    middle.start()
    try:
        assert seen[4].wait(60)
    finally:
        for node in (source, middle, sink):
            node.stop()
    assert middle.in_time == [True] * 4 and logger.messages("ERROR") == []


class Split(IONode):
    def step(self, data):
        return {"out1": data["in"], "out2": data["in"]}


class Pair(INode):
    def __init__(self, **entries):
        super().__init__(**entries)
        self.pairs, self.stepped = [], threading.Event()

    def step(self, data):
        self.pairs.append((data["in1"], data["in2"]))
        self.stepped.set()


def test_a_push_that_waits_for_room_first_wakes_the_reader_it_fed(no_thread_leak):
    # The reader sleeps with a full bounded port, lacking a value on its other port.
    # One cycle of the middle node gives it that value, then waits for room in the
    # full port: the reader's wake-up must go out before that wait, or both wait.
    source, other = Source(name="src"), Source(name="other")
    middle = Split(name="middle", output_ports=[{"name": "out1"}, {"name": "out2"}])
    reader = Pair(name="reader", input_ports=[{"name": "in1"}, {"name": "in2", "capacity": 1}])
    logger = Recorder()
    for node in (source, other, middle, reader):
        node.set_logger(logger)
    source.connect("out", middle, "in")
    middle.connect("out1", reader, "in1")
    middle.connect("out2", reader, "in2")
    other.connect("out", reader, "in2")
    for node in (reader, middle, source, other):
        node.start()
    try:
        other.cycle({"x": "other"})  # fills in2; in1 stays empty, so the reader sleeps
        source.cycle({"x": 1})
        assert reader.stepped.wait(10), "the reader was never woken"
        for _ in range(500):  # the middle node's push completes once there is room
            if middle.get_counter() == 1:
                break
            threading.Event().wait(0.01)
    finally:
        for node in (source, other, middle, reader):
            node.stop()
    assert middle.get_counter() == 1
    assert reader.pairs == [(1, "other")] and logger.messages("ERROR") == []
