"""Stops that meet a producer blocked on a full port: a stopping pipeline or the
owning node releases it without losing the value, and the wait shows as blocked
time."""

import threading

from node_helpers import Recorder, bounded, drain
from nodes import GatedSink, Hop, Source
from velarix import Pipeline
from velarix.constants import Constants


def test_stopping_a_pipeline_releases_producers_blocked_on_full_ports(no_thread_leak):
    pipeline = Pipeline(directory="")
    source = Source(name="src")
    middle = Hop(name="mid", input_ports=[{"name": "in", "capacity": 2}])
    sink = GatedSink(name="sink", input_ports=[{"name": "in", "capacity": 2}])
    pipeline.connect(source, middle)
    pipeline.connect(middle, sink)
    sink.gate = threading.Event()  # the sink holds its first value until released
    pipeline.start()
    stop_feeding = threading.Event()

    def feed():
        n = 0
        while not stop_feeding.is_set():
            source.cycle({"x": n})
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
    sink = GatedSink(name="sink", input_ports=[{"name": "in", "capacity": 1}])
    source.connect("out", sink, "in")
    source.start()
    source.cycle({"x": 0})
    assert source.get_stats()["blocked_time"] == 0.0  # room for the first value
    pushed = threading.Event()

    def push_second():
        source.cycle({"x": 1})
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
    sink = GatedSink(name="sink", input_ports=[{"name": "in", "capacity": 1}])
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
