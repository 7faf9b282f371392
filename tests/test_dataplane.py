"""The native data plane: values through chains in order, the worker's fallback to
replaced methods, bounded input ports under each overflow policy, stops that meet a
blocked producer, and a million values through a port without growth."""

import gc
import os
import sys
import threading

import pytest

from node_helpers import ASYNC, Recorder
from velarix import Pipeline, Portable
from velarix.constants import Constants
from velarix.imp import scribon
from velarix.i_node import INode
from velarix.i_port import IPort
from velarix.io_node import IONode
from velarix.o_node import ONode
from velarix.o_port import OPort


class Source(ONode):
    def step(self, data):
        return {"out": data["n"]}


class Hop(IONode):
    def step(self, data):
        value = data["in"]
        return {"out": {"n": value["n"], "hops": value["hops"] + 1} if isinstance(value, dict) else value}


class Wrap(IONode):
    def step(self, data):
        return {"out": {"n": data["in"], "hops": 0}}


class Collect(INode):
    def __init__(self, expected=0, **entries):
        super().__init__(**entries)
        self.values, self.expected, self.done = [], expected, threading.Event()
        self.gate = None  # an Event the step waits on, when set by a test
        self.backlog = 0  # the most values seen waiting behind the one in hand

    def step(self, data):
        if self.gate is not None:
            self.gate.wait(10)
        self.backlog = max(self.backlog, len(self._imp._input_ports["in"]._values))
        self.values.append(data["in"])
        if len(self.values) >= self.expected:
            self.done.set()


def link_and_start(nodes, logger):
    """Each node's "out" to the next one's "in"; started from the end."""
    for node in nodes:
        node.set_logger(logger)
    for upstream, downstream in zip(nodes, nodes[1:]):
        upstream.connect("out", downstream, "in")
    for node in reversed(nodes):
        node.start()


def run_chain(nodes, count, logger):
    link_and_start(nodes, logger)
    try:
        for n in range(count):
            nodes[0].cycle({"n": n})
        assert nodes[-1].done.wait(30), "values were lost"
    finally:
        for node in nodes:
            node.stop()


@pytest.mark.parametrize("stages", [1, 3])
def test_chains_deliver_every_value_in_order_with_its_content(stages, no_thread_leak):
    logger = Recorder()
    sink = Collect(expected=2000, name="sink")
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

    source, sink = Keep(name="src"), Collect(expected=3, name="sink")
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
    sink = Collect(expected=1, name="sink", input_ports=[{"name": "in", "timing": ASYNC}])
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


def test_a_replaced_port_method_is_called_instead_of_the_native_path(no_thread_leak):
    logger = Recorder()
    sink = Collect(expected=1, name="sink")
    sink.set_logger(logger)
    port = sink.get_port("in")

    def broken():
        raise RuntimeError("get replaced")

    port.get = broken
    sink.start()
    try:
        port._receive(1)
        for _ in range(500):
            if logger.messages("ERROR"):
                break
            threading.Event().wait(0.01)
    finally:
        sink.stop()
    assert logger.messages("ERROR") == ["get replaced"]
    assert sink.values == []


# Bounded ports ---------------------------------------------------------------------


def bounded(capacity, overflow=None, name="in"):
    entries = {"name": name, "capacity": capacity}
    if overflow is not None:
        entries["overflow"] = overflow
    return IPort(**entries)._imp


def drain(port):
    values = []
    while port.data_available():
        values.append(port.get())
    return values


def test_drop_oldest_keeps_the_newest_capacity_values():
    port = bounded(3, Constants.Overflow.DROP_OLDEST)
    for n in range(10):
        port._receive(n)
    assert drain(port) == [7, 8, 9]


def test_raise_refuses_the_value_with_the_port_name_and_keeps_the_rest():
    port = bounded(2, Constants.Overflow.RAISE, name="fast")
    port._receive(1)
    port._receive(2)
    with pytest.raises(OverflowError, match=r"^Input port 'fast' is full \(capacity 2\)\.$"):
        port._receive(3)
    assert drain(port) == [1, 2]


def test_raise_in_a_chain_puts_the_pushing_node_into_error():
    logger = Recorder()
    source = Source(name="src")
    sink = Collect(name="sink", input_ports=[{"name": "in", "capacity": 1, "overflow": "raise"}])
    for node in (source, sink):
        node.set_logger(logger)
    source.connect("out", sink, "in")
    source.start()  # the sink is not started: its port fills
    source.cycle({"n": 1})
    source.cycle({"n": 2})
    assert source.get_condition() == Constants.Conditions.ERROR
    assert logger.messages("ERROR") == ["Input port 'in' is full (capacity 1)."]
    source.stop()


def test_block_waits_for_a_read_and_loses_nothing():
    port = bounded(2)
    port._receive(1)
    port._receive(2)
    pushed = threading.Event()

    def push_third():
        port._receive(3)
        pushed.set()

    pusher = threading.Thread(target=push_third)
    pusher.start()
    try:
        assert not pushed.wait(0.2), "a push into a full port must wait"
        assert port.get() == 1
        assert pushed.wait(10)
    finally:
        pusher.join(10)
    assert drain(port) == [2, 3]


@pytest.mark.parametrize(
    "entries, error, message",
    [
        ({"capacity": 0}, ValueError, "capacity must be at least 1, got 0."),
        ({"capacity": True}, TypeError, "capacity must be an int or None, not bool"),
        ({"capacity": "3"}, TypeError, "capacity must be an int or None, not str"),
        ({"capacity": 2, "overflow": "spill"}, ValueError,
         "overflow must be 'block', 'drop_oldest' or 'raise', got 'spill'."),
    ],
)
def test_bad_capacity_or_policy_is_refused_when_the_port_is_made(entries, error, message):
    with pytest.raises(error) as caught:
        IPort(name="in", **entries)
    assert str(caught.value) == message


def test_without_a_capacity_nothing_is_added_to_the_configuration():
    port = IPort(name="in")
    assert set(port.config) == {"id", "name", "timing"}
    for n in range(1000):
        port._imp._receive(n)
    assert len(port._imp._values) == 1000


def test_a_blocking_port_bounds_the_backlog_of_a_fast_producer(no_thread_leak):
    logger = Recorder()
    sink = Collect(expected=300, name="sink", input_ports=[{"name": "in", "capacity": 4}])
    run_chain([Source(name="src"), sink], 300, logger)
    assert sink.values == list(range(300))
    assert sink.backlog <= 4
    assert logger.messages("ERROR") == []


def test_stopping_a_pipeline_releases_producers_blocked_on_full_ports(no_thread_leak):
    pipeline = Pipeline(directory="")
    source = Source(name="src")
    middle = Hop(name="mid", input_ports=[{"name": "in", "capacity": 2}])
    sink = Collect(name="sink", input_ports=[{"name": "in", "capacity": 2}])
    pipeline.connect(source, middle)
    pipeline.connect(middle, sink)
    sink.gate = threading.Event()  # the sink holds its first value until released
    pipeline.start()
    stop_feeding = threading.Event()

    def feed():
        n = 0
        while not stop_feeding.is_set():
            source.cycle({"n": n})
            n += 1

    feeder = threading.Thread(target=feed)
    feeder.start()
    sink_port, middle_port = sink.get_port("in"), middle.get_port("in")
    try:
        # Both bounded ports fill: the middle's worker and the feeder then block.
        for _ in range(1000):
            if len(sink_port._values) == 2 and len(middle_port._values) == 2:
                break
            threading.Event().wait(0.01)
        assert len(sink_port._values) == 2 and len(middle_port._values) == 2
        stopper = threading.Thread(target=pipeline.stop)
        stopper.start()
        sink.gate.set()
        stopper.join(10)
        assert not stopper.is_alive(), "stop() hung on a blocked producer"
    finally:
        stop_feeding.set()
        sink.gate.set()
        feeder.join(10)
        pipeline.stop()
    assert not feeder.is_alive()
    assert pipeline.get_state() == Constants.States.STOPPED


def test_time_a_push_waits_for_room_shows_as_blocked_time(no_thread_leak):
    source = Source(name="src")
    sink = Collect(name="sink", input_ports=[{"name": "in", "capacity": 1}])
    source.connect("out", sink, "in")
    source.start()
    source.cycle({"n": 0})
    assert source.get_stats()["blocked_time"] == 0.0  # room for the first value
    pushed = threading.Event()

    def push_second():
        source.cycle({"n": 1})
        pushed.set()

    pusher = threading.Thread(target=push_second)
    pusher.start()
    try:
        assert not pushed.wait(0.05), "a push into a full port must wait"
        assert sink.get_port("in").get() == 0  # makes room
        assert pushed.wait(10)
    finally:
        pusher.join(10)
        source.stop()
    stats = source.get_stats()
    assert stats["blocked_time"] > 0.0
    # It is part of the step's time, which the load counts.
    assert stats["blocked_time"] <= source._imp._time_busy
    assert sink.get_stats()["blocked_time"] == 0.0


def test_stopping_the_owning_node_releases_a_blocked_push(no_thread_leak):
    sink = Collect(name="sink", input_ports=[{"name": "in", "capacity": 1}])
    sink.set_logger(Recorder())
    sink.gate = threading.Event()  # the step holds the first value until released
    port = sink.get_port("in")
    sink.start()
    port._receive(1)
    for _ in range(1000):
        if len(port._values) == 0:
            break
        threading.Event().wait(0.01)
    port._receive(2)  # fills the port while the worker holds 1
    pushed = threading.Event()
    pusher = threading.Thread(target=lambda: (port._receive(3), pushed.set()))
    pusher.start()
    try:
        assert not pushed.wait(0.2), "a push into a full port must wait"
        stopper = threading.Thread(target=sink.stop)
        stopper.start()
        assert pushed.wait(10), "the node's stop must release the push"
        sink.gate.set()
        stopper.join(10)
        assert not stopper.is_alive()
    finally:
        sink.gate.set()
        pusher.join(10)
        sink.stop()
    # The released value is kept, not lost.
    assert sink.values + drain(port) == [1, 2, 3]


def test_capacity_and_policy_survive_saving_and_loading(monkeypatch, tmp_path, no_thread_leak):
    monkeypatch.setattr(scribon, "DEFAULT_DIR", str(tmp_path))  # the loaded pipeline logs here
    pipeline = Pipeline(directory="")
    source = Source(name="src")
    sink = Collect(name="sink", input_ports=[{"name": "in", "capacity": 3, "overflow": "drop_oldest"}])
    pipeline.connect(source, sink)
    data = pipeline.serialize()
    Portable.reset()
    loaded = Pipeline.deserialize(data)
    port = [n for n in loaded._imp._nodes if n.get_name() == "sink"][0].get_port("in")
    assert port.config["capacity"] == 3 and port.config["overflow"] == "drop_oldest"
    for n in range(5):
        port._receive(n)
    assert drain(port) == [2, 3, 4]
    loaded.get_logger().stop()


# Port exactness and memory --------------------------------------------------------


def test_port_messages_and_links_are_exact():
    i, o = IPort(name="in")._imp, OPort(name="out")._imp
    with pytest.raises(LookupError, match=r"^No data waiting on port 'in'\.$"):
        i.get()
    with pytest.raises(TypeError, match=r"^An input port connects only to an output port, not to int\.$"):
        i.connect(1)
    with pytest.raises(TypeError, match=r"^An output port connects only to an input port, not to OPortImp\.$"):
        o.connect(o)
    o.connect(i)
    o.connect(i)
    i.connect(o)
    assert o._connected_ports == [i] and i._connected_ports == [o]
    assert not i.config.has_metadata()
    metadata = {"rate": 5}
    o.config.set_metadata(metadata)
    assert i.config.has_metadata() and i.config.get_metadata() is metadata
    assert type(i).__mro__[1].__name__ == "PortableImp"
    assert type(i).get_by_id(i.config["id"]) is i


def test_a_million_values_through_a_port_leave_memory_and_references_flat():
    port = bounded(8, Constants.Overflow.BLOCK)
    value = object()
    calls = []
    port.set_event_handler(lambda: None)
    refs = sys.getrefcount(value)
    with open(f"/proc/{os.getpid()}/statm") as statm:
        before = int(statm.read().split()[1])
    for _ in range(1_000_000):
        port._receive(value)
        port.get()
    gc.collect()
    with open(f"/proc/{os.getpid()}/statm") as statm:
        after = int(statm.read().split()[1])
    assert sys.getrefcount(value) == refs
    assert (after - before) * os.sysconf("SC_PAGE_SIZE") < 8 * 2**20
    assert calls == []


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


class Slotted:
    """A port stand-in without an instance dict."""

    __slots__ = ("got",)

    def __init__(self):
        self.got = []

    def _receive(self, value):
        self.got.append(value)

    def data_available(self):
        return False

    def get_timing(self):
        return Constants.Timing.SYNC


def test_stand_in_ports_without_a_dict_are_served_through_their_methods(no_thread_leak):
    output, stand_in = OPort(name="out")._imp, Slotted()
    output._connected_ports = [stand_in]
    output.push(5)
    assert stand_in.got == [5]
    sink = Collect(name="sink")
    sink.set_logger(Recorder())
    sink._imp._input_ports = {"in": Slotted()}
    sink.start()
    sink.stop()
    assert sink.get_state() == Constants.States.STOPPED


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
        nodes[0].cycle({"n": 7})
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
    sink = Collect(expected=1, name="sink")
    nodes = [Source(name="src"), Wrap(name="wrap", input_ports=[{"name": "in", "timing": ASYNC}]), sink]
    link_and_start(nodes, Recorder())
    try:
        for n in range(500):
            nodes[0].cycle({"n": n})
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
        source.cycle({"n": n})  # the whole backlog waits before the worker starts
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
        other.cycle({"n": "other"})  # fills in2; in1 stays empty, so the reader sleeps
        source.cycle({"n": 1})
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
