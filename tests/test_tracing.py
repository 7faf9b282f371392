"""Latency tracing: origins travel with the values (the oldest of a step's inputs
wins), ports report latency and age, nodes busy, idle and blocked time."""

import threading
import time

import pytest

import velarix
from velarix import INode, IONode, ONode, Pipeline
from velarix._stats import deepest_queue, oldest_input

WAIT = 10


class Stamped(ONode):
    """Pushes what it is given; data["origin"], when there, is the origin."""

    def step(self, data):
        if "origin" in data:
            self.set_origin(data["origin"])
        self.seen = self.get_origin()
        return {"out": data.get("x", 0)}


class Join(IONode):
    def __init__(self, **entries):
        entries.setdefault("input_ports", [{"name": "a"}, {"name": "b"}])
        super().__init__(**entries)

    def step(self, data):
        self.seen = self.get_origin()
        return {"out": data["a"] + data["b"]}


class Relay(IONode):
    def step(self, data):
        return {"out": data["in"]}


class Keep(INode):
    def __init__(self, **entries):
        super().__init__(**entries)
        self.origins = []
        self.done = threading.Event()
        self.expected = 1

    def step(self, data):
        self.origins.append(self.get_origin())
        if len(self.origins) >= self.expected:
            self.done.set()


@pytest.mark.parametrize("threads", [None, 1])
def test_the_oldest_origin_of_a_steps_inputs_travels_on(threads):
    with Pipeline("", threads=threads) as pipeline:
        early, late, join, relay, keep = Stamped(name="early"), Stamped(name="late"), Join(), Relay(), Keep()
        pipeline.connect_ports(early, "out", join, "a")
        pipeline.connect_ports(late, "out", join, "b")
        pipeline.connect(join, relay)
        pipeline.connect(relay, keep)
        pipeline.start()
        late.cycle({"origin": 200.0})
        early.cycle({"origin": 100.0})
        assert keep.done.wait(WAIT)
        pipeline.stop()
    assert early.seen == 100.0 and join.seen == 100.0 and keep.origins == [100.0]


def test_a_source_without_an_origin_of_its_own_takes_its_step_start():
    with Pipeline("") as pipeline:
        source, keep = Stamped(), Keep()
        pipeline.connect(source, keep)
        pipeline.start()
        before = time.time()
        source.cycle({})
        after = time.time()
        assert keep.done.wait(WAIT)
        pipeline.stop()
    assert before <= source.seen <= after and keep.origins == [source.seen]


def test_latency_and_age_are_kept_per_input_port_and_stop_with_tracing():
    with Pipeline("") as pipeline:
        source, relay, keep = Stamped(), Relay(), Keep()
        keep.expected = 20
        pipeline.connect(source, relay)
        pipeline.connect(relay, keep)
        pipeline.start()
        for x in range(20):
            source.cycle({"x": x})
        assert keep.done.wait(WAIT)
        figures = keep.get_stats()["inputs"]["in"]
        # Each link of the picture carries its median latency.
        assert pipeline.to_dot().count("p50 ") == 2
        for name in ("latency", "age"):
            assert 0 <= figures[name]["p50"] <= figures[name]["p99"] <= figures[name]["max"]
            assert figures[name]["mean"] <= figures[name]["max"]
        # A value is at least as old as it has waited in the last port.
        assert figures["age"]["max"] >= figures["latency"]["max"]
        # A node without output ports takes values but pushes none.
        stats = keep.get_stats()
        assert stats["rate_in"] > 0.0 and stats["rate_out"] == 0.0

        velarix.set_tracing(False)
        try:
            assert not velarix.get_tracing()
            keep.done.clear()
            keep.expected = 30
            for x in range(10):
                source.cycle({"x": x})
            assert keep.done.wait(WAIT)
            assert keep.origins[-1] is None  # no origin while off
            assert keep.get_stats()["inputs"]["in"]["latency"] == figures["latency"]
        finally:
            velarix.set_tracing(True)
        pipeline.stop()


def test_set_origin_belongs_in_a_step():
    node = Stamped()
    with pytest.raises(RuntimeError, match="running step"):
        node.set_origin(1.0)
    assert node.get_origin() is None
    for bad, error in (("1", TypeError), (True, TypeError), (float("nan"), ValueError)):
        node.start()
        node.seen = None
        node.cycle({"origin": bad})
        assert node.get_condition() == velarix.Constants.Conditions.ERROR
        assert isinstance(node.get_last_exception(), error)
        node = Stamped()


def test_busy_time_follows_the_step_clock(monkeypatch):
    source = Stamped()
    source.start()
    source.cycle({})  # the set-up run, on the real clock
    base = time.time() + 100.0
    # Steps k = 0..9 start at base + k and last half a second each.
    readings = []
    for k in range(10):
        readings += [base + k, base + k + 0.5]
    readings.append(base + 10.0)  # the statistics' own reading
    clock = iter(readings)
    monkeypatch.setattr(time, "time", lambda: next(clock, base + 10.0))
    for _ in range(10):
        source.cycle({})
    stats = source.get_stats()
    monkeypatch.undo()
    # The last five seconds hold steps 5..9: 2.5 s of stepping.
    assert stats["busy"] == pytest.approx(0.5)
    assert stats["blocked"] == 0.0 and stats["idle"] == pytest.approx(0.5)
    # A source has no input ports: it pushes at its step rate and takes nothing.
    assert stats["rate_out"] > 0.0 and stats["rate_in"] == 0.0


@pytest.mark.parametrize("ports, queue, age", [
    ({}, None, None),
    ({"a": {"queued": None, "age": None}}, None, None),
    ({"a": {"queued": 3, "age": {"p50": None}}, "b": {"queued": None, "age": {"p50": 0.25}}}, 3, 0.25),
    ({"a": {"queued": 1, "age": {"p50": 0.5}}, "b": {"queued": 4, "age": {"p50": 0.25}},
      "c": {"queued": 2, "age": None}}, 4, 0.5),
])
def test_the_deepest_queue_and_oldest_input_over_a_nodes_ports(ports, queue, age):
    # The monitors' summary columns: missing figures (no tracing, no values yet) are skipped.
    assert deepest_queue({"inputs": ports}) == queue
    assert oldest_input({"inputs": ports}) == age


def test_a_producer_behind_a_full_port_shows_blocked_time():
    release = threading.Event()

    class Held(INode):
        def step(self, data):
            release.wait(WAIT)

    with Pipeline("") as pipeline:
        source, held = Stamped(), Held(input_ports=[{"name": "in", "capacity": 1}])
        pipeline.connect(source, held)
        pipeline.start()
        source.cycle({})  # taken by held, which waits
        source.cycle({})  # fills the port
        pusher = threading.Thread(target=source.cycle, args=({},))
        pusher.start()  # waits for room while held steps
        pusher.join(0.2)
        assert pusher.is_alive()
        release.set()
        pusher.join(WAIT)
        stats = source.get_stats()
        pipeline.stop()
    assert stats["blocked"] > 0.0 and stats["blocked_time"] > 0.0
    assert stats["busy"] + stats["blocked"] + stats["idle"] == pytest.approx(1.0)


def test_a_received_origin_that_is_no_time_counts_from_arrival():
    # A peer process hands origins over; NaN or infinity from it must not turn the
    # port's age figures into NaN.
    with Pipeline("") as pipeline:
        source, keep = Stamped(), Keep()
        pipeline.connect(source, keep)
        pipeline.start()
        source.cycle({})  # the set-up run hands the port its metadata
        assert keep.done.wait(WAIT)
        keep.done.clear()
        keep.expected = 4
        port = keep._imp._input_ports["in"]
        before = time.time()
        for origin in (float("nan"), float("inf"), -float("inf")):
            port._receive(origin, origin)
        assert keep.done.wait(WAIT)
        after = time.time()
        pipeline.stop()
    assert all(before <= origin <= after for origin in keep.origins[1:])
    age = keep.get_stats()["inputs"]["in"]["age"]
    assert all(0 <= age[name] < 1e6 for name in ("p50", "p99", "max", "mean"))
