"""Bounded input ports under each overflow policy (drop_oldest, raise, block), the
checks on capacity and policy, and their saved form."""

import threading

import pytest

from node_helpers import Recorder, bounded, drain, run_chain
from nodes import GatedSink, Sink, Source
from velarix import Pipeline, Portable
from velarix.constants import Constants
from velarix.imp import scribon
from velarix.i_port import IPort


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
    sink = GatedSink(name="sink", input_ports=[{"name": "in", "capacity": 1, "overflow": "raise"}])
    for node in (source, sink):
        node.set_logger(logger)
    source.connect("out", sink, "in")
    source.start()  # the sink is not started: its port fills
    source.cycle({"x": 1})
    source.cycle({"x": 2})
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
    sink = GatedSink(expected=300, name="sink", input_ports=[{"name": "in", "capacity": 4}])
    run_chain([Source(name="src"), sink], 300, logger)
    assert sink.values == list(range(300))
    assert sink.backlog <= 4
    assert logger.messages("ERROR") == []


def test_capacity_and_policy_survive_saving_and_loading(monkeypatch, tmp_path, no_thread_leak):
    monkeypatch.setattr(scribon, "DEFAULT_DIR", str(tmp_path))  # the loaded pipeline logs here
    pipeline = Pipeline(directory="")
    source = Source(name="src")
    sink = Sink(name="sink", input_ports=[{"name": "in", "capacity": 3, "overflow": "drop_oldest"}])
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


@pytest.mark.parametrize("threads", [None, 1])
def test_a_push_into_a_stopped_nodes_full_port_does_not_wait_for_ever(threads, no_thread_leak):
    # Room in a stopped node's port comes only if it starts again: until then a
    # push queues as one that was waiting when the node stopped does.
    logger = Recorder()
    pipeline = Pipeline("", threads=threads)
    source = Source(name="src")
    sink = GatedSink(expected=5, name="sink", input_ports=[{"name": "in", "capacity": 1}])
    pipeline.connect(source, sink)
    for node in (source, sink):
        node.set_logger(logger)
    pipeline.start()
    sink.stop()
    finished = threading.Event()

    def push_three():
        for n in range(3):
            source.cycle({"x": n})
        finished.set()

    pusher = threading.Thread(target=push_three)
    pusher.start()
    try:
        assert finished.wait(10), "the push waited for a node that had stopped"
        assert sink.values == []
        sink.start()
        for n in (3, 4):
            source.cycle({"x": n})
        assert sink.done.wait(10)
    finally:
        pusher.join(10)
        pipeline.stop()
    assert sink.values == [0, 1, 2, 3, 4] and logger.messages("ERROR") == []
