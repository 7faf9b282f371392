"""Timed sources: an ONode with a rate is driven from its start to its stop."""

import statistics
import threading
import time

import pytest

from nodes import Sink
from velarix import Constants, IONode, ONode, Pipeline, Portable

WAIT = 10  # seconds any single wait may take before the test fails


class Probe(ONode):
    """Records (count, deadline time, monotonic time of the call) per step; sets
    `reached` once `until` steps ran. `stall_at`: block there for `stall` seconds."""

    def __init__(self, until=10**9, stall_at=None, stall=0.0, fail_at=None, stop_at=None, **entries):
        super().__init__(**entries)
        self.calls = []
        self.until, self.stall_at, self.stall = until, stall_at, stall
        self.fail_at, self.stop_at = fail_at, stop_at
        self.reached = threading.Event()
        self.overlap = False
        self._inside = threading.Lock()

    def step(self, data):
        if not self._inside.acquire(blocking=False):
            self.overlap = True
            return {"out": None}
        try:
            count = data.get("count")
            self.calls.append((count, data.get("time"), time.monotonic()))
            if count is None:  # the set-up thread's cycle of an all-ASYNC node
                return {"out": None}
            if count == self.stall_at:
                threading.Event().wait(self.stall)
            if count == self.fail_at:
                raise RuntimeError("probe failed on purpose")
            if count == self.stop_at:
                self.stop()
                self.reached.set()
            if len(self.calls) >= self.until:
                self.reached.set()
            return {"out": count}
        finally:
            self._inside.release()


def driver_threads(node):
    return [t for t in threading.enumerate() if t.name == f"velarix-rate-{node.get_name()}"]


def test_rate_paces_cycles_on_absolute_deadlines(no_thread_leak):
    rate, seconds = 50, 2.0
    pipeline = Pipeline(directory="")
    probe = Probe(name="probe", rate=rate)
    pipeline.add_node(probe)
    pipeline.start()
    started = time.monotonic()
    threading.Event().wait(seconds)  # the span under test; bounded by itself
    pipeline.stop()
    elapsed = time.monotonic() - started
    counts = [c for c, _, _ in probe.calls]
    # Never more than the deadlines that passed; at least most of them.
    assert counts[0] == 0 and counts == sorted(set(counts))
    assert 0.4 * rate * seconds <= len(counts) <= rate * elapsed + 2
    gaps = [b[2] - a[2] for a, b in zip(probe.calls, probe.calls[1:])]
    assert 0.3 / rate < statistics.median(gaps) < 2.0 / rate
    # A cycle never runs before its deadline (given as wall-clock time).
    offset = time.time() - time.monotonic()
    assert all(called + offset >= deadline - 0.002 for _, deadline, called in probe.calls)
    assert not driver_threads(probe) and probe.get_state() == Constants.States.STOPPED


@pytest.mark.parametrize("catch_up, made_up", [(0, 0), (0.1, 5)])
def test_a_stall_makes_up_only_what_catch_up_allows(catch_up, made_up, no_thread_leak):
    rate, stall = 50, 0.4  # the stall covers 20 deadlines
    probe = Probe(name="staller", rate=rate, catch_up=catch_up, stall_at=5, stall=stall, until=20)
    probe.start()
    assert probe.reached.wait(WAIT)
    probe.stop()
    counts = [c for c, _, _ in probe.calls]
    assert counts[:6] == [0, 1, 2, 3, 4, 5]
    assert counts[6] >= 5 + 10  # the older missed deadlines are skipped
    stall_end = probe.calls[5][2] + stall
    burst = [called for _, _, called in probe.calls if stall_end <= called < stall_end + 0.01]
    # The latest deadline, what is made up, and perhaps the next deadline (one
    # period after the latest); never the 20 missed ones.
    assert len(burst) <= 2 + made_up
    assert counts[6:7 + made_up] == list(range(counts[6], counts[6] + 1 + made_up))


def test_stop_ends_the_driver_from_anywhere(no_thread_leak):
    # Directly: stop() waits for the driver, and no cycle runs after it.
    probe = Probe(name="direct", rate=200, until=3)
    probe.start()
    assert probe.reached.wait(WAIT)
    probe.stop()
    assert not driver_threads(probe)
    ran = probe.get_counter()
    threading.Event().wait(0.05)
    assert probe.get_counter() == ran

    # From inside a driven step: no deadlock, the driver ends after that step.
    inside = Probe(name="inside", rate=200, stop_at=2)
    inside.start()
    assert inside.reached.wait(WAIT)
    for thread in driver_threads(inside):
        thread.join(WAIT)
    assert [c for c, _, _ in inside.calls] == [0, 1, 2]
    assert inside.get_state() == Constants.States.STOPPED

    # A failing step: the node turns ERROR, its driver ends by itself and the
    # monitoring thread stops the pipeline.
    pipeline = Pipeline(directory="")
    failing = Probe(name="failing", rate=100, fail_at=3)
    pipeline.add_node(failing)
    pipeline.start()
    for thread in driver_threads(failing):
        thread.join(WAIT)
    assert failing.get_condition() == Constants.Conditions.ERROR
    deadline = time.monotonic() + WAIT
    while pipeline.get_condition() != Constants.Conditions.ERROR and time.monotonic() < deadline:
        threading.Event().wait(0.02)
    pipeline.stop()
    assert pipeline.get_condition() == Constants.Conditions.ERROR
    assert pipeline.get_last_error()["message"] == "probe failed on purpose"


def test_restart_runs_one_driver_again(no_thread_leak):
    probe = Probe(name="again", rate=100, until=3)
    probe.start()
    probe.start()  # a second start keeps the one driver
    assert probe.reached.wait(WAIT)
    assert len(driver_threads(probe)) == 1
    probe.stop()
    probe.reached.clear()
    probe.until = len(probe.calls) + 3
    probe.start()
    assert probe.reached.wait(WAIT)
    probe.stop()
    assert not probe.overlap and not driver_threads(probe)


def test_all_async_ports_set_up_cycle_runs_first_and_alone(no_thread_leak):
    probe = Probe(name="async", rate=200, until=5,
                  output_ports=[{"name": "out", "timing": Constants.Timing.ASYNC}])
    probe.start()
    assert probe.reached.wait(WAIT)
    probe.stop()
    assert probe.calls[0][0] is None  # the set-up thread's cycle gets empty data
    assert [c for c, _, _ in probe.calls[1:]] == list(range(len(probe.calls) - 1))
    assert not probe.overlap


def test_rate_is_saved_and_a_loaded_pipeline_runs_on_its_own(tmp_path, no_thread_leak):
    pipeline = Pipeline(directory="")
    source, sink = Probe(name="source", rate=100), Sink(name="sink")
    pipeline.connect(source, sink)
    path = tmp_path / "timed.json"
    pipeline.save(str(path))
    assert pipeline.serialize()["nodes"][0]["config"]["rate"] == 100

    Portable.reset()  # a fresh process, as far as ids go
    loaded = Pipeline.load(str(path))
    loaded.get_logger().stop()
    nodes = {node.get_name(): node for node in loaded.get_nodes()}
    assert nodes["source"].get_rate() == 100
    nodes["sink"].expected = 5
    loaded.start()
    assert nodes["sink"].done.wait(WAIT)
    loaded.stop()
    assert nodes["sink"].values[:5] == [0, 1, 2, 3, 4]


def test_untimed_nodes_keep_their_saved_form_and_threads(no_thread_leak):
    node = Probe(name="plain")
    assert "rate" not in node.serialize()["config"] and node.get_rate() is None
    node.start()
    assert not driver_threads(node)
    node.stop()
    assert Probe(name="none", rate=None).get_rate() is None


@pytest.mark.parametrize("rate, error", [
    (0, ValueError), (-5, ValueError), (float("inf"), ValueError), (float("nan"), ValueError),
    ("fast", TypeError), (True, TypeError), ([10], TypeError),
])
def test_bad_rates_are_refused(rate, error):
    with pytest.raises(error, match="rate"):
        Probe(name="bad", rate=rate)


@pytest.mark.parametrize("catch_up, error", [(-0.1, ValueError), (float("inf"), ValueError), ("1", TypeError)])
def test_bad_catch_up_is_refused(catch_up, error):
    with pytest.raises(error, match="catch_up"):
        Probe(name="bad", rate=10, catch_up=catch_up)


def test_nodes_with_inputs_take_no_rate():
    class Relay(IONode):
        def step(self, data):
            return {"out": data["in"]}

    with pytest.raises(ValueError, match="source nodes"):
        Relay(rate=10)
