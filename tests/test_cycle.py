"""The step cycle: order of the calls, the private copy, the set-up run, the guards
and the condition, and the load arithmetic."""

import time

import pytest

import velarix.imp as imp
from node_helpers import Recorder
from velarix.constants import Constants
from velarix.imp import NodeImp
from velarix.imp.portan import current_origin
from velarix.logger import LogType
from velarix.node import Node

ERROR, HEALTHY = Constants.Conditions.ERROR, Constants.Conditions.HEALTHY
STOPPED_MESSAGE = "Node t is in STOPPED state. Make sure to call Node.start() from your subclass."


class Traced(NodeImp):
    """Records every handler and hook call, in order, with its argument."""

    def _get_metadata(self):
        self.calls.append(("get_metadata",))
        return {"in": {"unit": "m"}}

    def _push_metadata(self, metadata):
        self.calls.append(("push_metadata", metadata))

    def _push_data(self, data):
        self.calls.append(("push_data", data))
        NodeImp._push_data(self, data)


class TracedOutput(Traced):
    """Stands in for the output node class."""


@pytest.fixture(autouse=True)
def pauses(monkeypatch):
    """The set-up run's pause, recorded instead of slept; no output class unless a
    test installs one."""
    slept = []
    monkeypatch.setattr(time, "sleep", slept.append)
    monkeypatch.delattr(imp, "ONodeImp", raising=False)
    return slept


def traced(cls=Traced, step=lambda data: {"out": 1}, start=True):
    node = cls(Node.Configuration(name="t"))
    calls = node.calls = []
    node.set_logger(Recorder())
    node.set_setup_handler(lambda data, metadata: calls.append(("setup", data, metadata)) or {"out": {}})
    node.set_pre_step_handler(lambda data: calls.append(("pre", data)))
    node.set_post_step_handler(lambda data: calls.append(("post", data)))
    node.set_step_handler(lambda data: calls.append(("step", data)) or step(data))
    if start:
        node.start()
    node._logger.entries.clear()
    return node, calls


def names(calls):
    return [call[0] for call in calls]


def test_order_and_the_data_each_call_gets(pauses):
    seen = []

    def scribble(data):
        data.get("nested", []).append(99)
        seen.append(data)
        return {"out": 1}

    node, calls = traced(step=scribble)
    data = {"nested": [1]}
    node._cycle(data)
    assert names(calls) == ["get_metadata", "setup", "push_metadata", "pre", "step"]
    assert calls[1] == ("setup", data, {"in": {"unit": "m"}}) and calls[1][1] is data
    assert calls[2] == ("push_metadata", {"out": {}}) and calls[3][1] is data
    # The step works on a copy of its own.
    assert data == {"nested": [1]} and seen[0] == {"nested": [1, 99]}
    assert pauses == [0.01]
    calls.clear()
    node._cycle()
    node._cycle()
    assert names(calls) == ["pre", "step", "pre", "step"] and calls[0][1] is calls[2][1] == {}
    assert node.get_counter() == 3 and node._condition == HEALTHY
    assert node._logger.entries == [(LogType.INFO, "Setting up node t.")]


def test_output_nodes_post_step_and_push(monkeypatch):
    monkeypatch.setattr(imp, "ONodeImp", TracedOutput, raising=False)
    node, calls = traced(TracedOutput, step=lambda data: {"out": data["in"] + 1})
    node._cycle({"in": 1})
    assert names(calls)[-3:] == ["step", "post", "push_data"]
    assert calls[-2:] == [("post", {"out": 2}), ("push_data", {"out": 2})]
    # A step result of None reaches the push, which rejects it.
    node, calls = traced(TracedOutput, step=lambda data: None)
    node._cycle({})
    assert calls[-2:] == [("post", None), ("push_data", None)] and node._condition == ERROR
    # Nodes of other classes never run their post-step handler.
    node, calls = traced(Traced)
    node._cycle({})
    assert names(calls)[-1] == "step" and node.get_counter() == 1


def test_the_output_test_is_isinstance_even_for_a_class_that_claims_another(monkeypatch):
    # A class whose __class__ names the output class is one, as isinstance() says;
    # the cycle's quick answer for plain classes must not skip that.
    monkeypatch.setattr(imp, "ONodeImp", TracedOutput, raising=False)

    class Claiming(Traced):
        @property
        def __class__(self):
            return TracedOutput

    node, calls = traced(Claiming, step=lambda data: {"out": 1})
    node._cycle({})
    assert isinstance(node, TracedOutput) and names(calls)[-2:] == ["post", "push_data"]


def test_the_push_is_looked_up_on_the_node_at_every_cycle(monkeypatch):
    class Output(TracedOutput):
        pass

    monkeypatch.setattr(imp, "ONodeImp", Output, raising=False)
    node, calls = traced(Output, step=lambda data: {"out": 1})
    node._cycle({})
    node._cycle({})
    node._push_data = lambda data: calls.append(("own push", data))  # shadows the method
    node._cycle({})
    assert calls[-1] == ("own push", {"out": 1})
    del node._push_data
    node._cycle({})
    assert calls[-1] == ("push_data", {"out": 1})
    Output._push_data = lambda self, data: calls.append(("class push", data))
    node._cycle({})
    assert calls[-1] == ("class push", {"out": 1}) and node.get_counter() == 5


def test_step_result_must_be_a_dict_or_none():
    node, calls = traced(step=lambda data: None)
    node._cycle({})
    assert node._condition == HEALTHY and node.get_counter() == 1
    node, calls = traced(step=lambda data: [1])
    node._cycle({})
    assert node._condition == ERROR and node.get_counter() == 0
    assert node._logger.entries[-1] == (LogType.ERROR, "Expected dict, got list")
    # Just before it, an entry of its own names the node and what a step returns.
    kind, text = node._logger.entries[-2]
    assert kind == LogType.WARNING and text.startswith("Node t: step() returned a list. ")
    assert node.get_last_exception().__notes__ == [text]


def test_a_skipped_step_is_a_whole_cycle_that_hands_nothing_on(monkeypatch):
    monkeypatch.setattr(imp, "ONodeImp", TracedOutput, raising=False)
    for cls in (Traced, TracedOutput):
        node, calls = traced(cls, step=lambda data: imp.SKIP)
        node._cycle({})
        node._cycle({})
        assert names(calls)[-4:] == ["pre", "step", "pre", "step"]  # no post-step, no push
        assert not {"post", "push_data"} & set(names(calls))
        assert (node._condition, node.get_counter(), node.get_step_stats()["skipped"]) == (HEALTHY, 2, 2)
        assert node._time_busy > 0 and node._logger.entries == [(LogType.INFO, "Setting up node t.")]


def test_a_failure_sets_the_condition_and_ends_all_cycles(monkeypatch):
    def broken(data):
        raise ValueError("broken step")

    node, calls = traced(step=broken)
    node._cycle({})
    assert node._logger.entries[-1] == (LogType.ERROR, "broken step")
    assert node._condition == ERROR and node.get_counter() == 0
    # From now on (and likewise on a stopped node) nothing runs, not even the clock.
    calls.clear()
    stopped, stopped_calls = traced(start=False)
    monkeypatch.setattr(time, "time", lambda: pytest.fail("clock read"))
    for node in (node, stopped):
        state = dict(vars(node))
        node._cycle({})
        assert vars(node) == state
    assert calls == stopped_calls == []


def test_constants_are_read_at_each_cycle(monkeypatch):
    node, calls = traced()
    node._cycle({})
    monkeypatch.setattr(Constants.States, "STOPPED", node._state)
    node._cycle({})
    assert node.get_counter() == 1


@pytest.mark.parametrize("error, message", [
    (ValueError(), "ValueError"), (RuntimeError(42, "x"), "42"), (KeyError("k"), "k"),
])
def test_exceptions_without_a_text_argument_still_leave_an_entry(error, message):
    def fail(*args):
        raise error

    for where in ("set_pre_step_handler", "set_setup_handler"):
        node, calls = traced()
        getattr(node, where)(fail)
        node._cycle({})
        assert node._logger.entries[-1] == (LogType.ERROR, message) and node._condition == ERROR
    # A failed set-up run lets its cycle go on.
    assert names(calls) == ["get_metadata", "pre", "step"]


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_other_base_exceptions_pass_through(error):
    def fail(*args):
        raise error()

    for where in ("set_step_handler", "set_setup_handler"):
        node, calls = traced()
        getattr(node, where)(fail)
        with pytest.raises(error):
            node._cycle({})
        assert node._condition == HEALTHY


def test_handlers_may_change_the_node_under_the_cycle():
    class Own(Traced):
        pass

    def meddle(data):
        node.__dict__ = dict(node.__dict__)  # later writes must land in the new one
        Own._load = property(lambda self: "kept", lambda self, value: None)
        return {}

    node, calls = traced(Own, step=meddle)
    node._cycle({})
    assert node.get_counter() == 1 and node._time_busy > 0 and node._load == "kept"


def test_every_read_sees_the_latest_change_to_the_nodes_attributes():
    # The cycle may answer reads from what it saw earlier while the __dict__ is
    # unchanged; each kind of change below must be seen by the very next read.
    node, calls = traced()
    node._cycle({})
    node._cycle({})
    assert node.get_counter() == 2

    node._condition = ERROR  # between cycles, from outside
    node._cycle({})
    assert node.get_counter() == 2
    node._condition = HEALTHY

    def swapped(data):
        calls.append(("swapped", data))
        return {}

    def bump(data):
        node._counter = 41
        del node._load
        node._time_busy = 0
        return {}

    node.set_pre_step_handler(lambda data: node.set_step_handler(bump))
    node._cycle({})
    assert (node.get_counter(), type(node._time_busy), type(node._load)) == (42, float, float)

    node.set_pre_step_handler(lambda data: node.set_step_handler(swapped))
    node._cycle({"v": 1})
    assert calls[-1] == ("swapped", {"v": 1}) and node.get_counter() == 43

    node.__dict__ = {**node.__dict__, "_counter": 7}  # a new __dict__ between cycles
    node._cycle({})
    assert node.get_counter() == 8

    node.__dict__[1] = "a key that is not text"
    node._cycle({})
    assert node.get_counter() == 9 and node._condition == HEALTHY


def test_names_read_from_modules_follow_their_changes(monkeypatch):
    # Constants, the clock and the output node class are remembered only while
    # their module's namespace is unchanged.
    import velarix.constants

    monkeypatch.setattr(imp, "ONodeImp", TracedOutput, raising=False)
    node, calls = traced(TracedOutput)
    node._cycle({})
    assert names(calls)[-1] == "push_data"
    monkeypatch.delattr(imp, "ONodeImp")
    node._cycle({})
    assert names(calls)[-1] == "step"

    class Elsewhere(Constants):
        class States(Constants.States):
            STOPPED = node._state  # this node now counts as stopped

    monkeypatch.setattr(velarix.constants, "Constants", Elsewhere)
    node._cycle({})
    assert node.get_counter() == 2
    monkeypatch.setattr(velarix.constants, "Constants", Constants)
    node._state = "".join(["STOP", "PED"])  # equal text, another string object
    node._cycle({})
    assert node.get_counter() == 2


# 300 and 2**30 - 4 go on in the counter's own object (one digit) up to the digit's end.
@pytest.mark.parametrize("counter", [41, -5, 300, 2**30 - 4, 2**63 - 1, 2**70, True])
def test_the_counter_counts_on_as_python_adds(counter):
    node, calls = traced()
    node._cycle({})
    node._counter = counter
    node._cycle({})
    held = node._counter  # a value handed out never changes
    for _ in range(3):
        node._cycle({})
    assert held == counter + 1 and node._counter == counter + 4 and type(node._counter) is int


def test_a_replaced_value_whose_release_changes_the_node_is_seen():
    node, calls = traced()
    node._cycle({})

    class Tripwire(float):
        def __del__(self):
            node._condition = ERROR

    node._load = Tripwire(0.0)
    node._cycle({})  # replaces _load, which sets the condition as it goes
    assert node._condition == ERROR and node.get_counter() == 2
    node._cycle({})
    assert node.get_counter() == 2


def test_wrong_argument_or_failing_logger_reach_the_caller():
    node, calls = traced()
    for bad in (None, [], type("Sub", (dict,), {})()):
        with pytest.raises(TypeError, match="Argument 'data' has incorrect type"):
            node._cycle(bad)
    assert calls == [] and node._condition == HEALTHY

    class Broken:
        def write(self, log_type, message):
            raise OSError("disk gone")

    node.set_logger(Broken())
    with pytest.raises(OSError, match="disk gone"):
        node._cycle({})


def test_set_up_run(monkeypatch):
    # Without a set-up handler the set-up run fails, and the cycle still completes.
    node, calls = traced()
    node.set_setup_handler(None)
    node._cycle({})
    assert names(calls) == ["get_metadata", "pre", "step"]
    assert node._condition == ERROR and node.get_counter() == 1
    # Not again after a restart.
    node, calls = traced()
    node._cycle({})
    node.stop()
    node.start()
    calls.clear()
    node._cycle({})
    assert names(calls) == ["pre", "step"]
    # On a stopped node, and when a stop arrives during its pause.
    node, calls = traced(start=False)
    with pytest.raises(ValueError) as raised:
        node._setup_wrapper({})
    assert str(raised.value) == STOPPED_MESSAGE
    node, calls = traced()
    monkeypatch.setattr(time, "sleep", lambda seconds: node.stop())
    node._cycle({})
    assert node._logger.entries[-1] == (LogType.ERROR, STOPPED_MESSAGE)
    assert node._condition == ERROR and calls == []


@pytest.mark.parametrize("readings, busy, loads", [
    # construction, start, then (start, end) per cycle; an elapsed time below 1 s
    # counts as 1 s.
    ([0.0, 100.0, 100.1, 100.35, 103.25, 106.0], 3.0, [25.0, 50.0]),
    ([0, 0, 2, 5], 3, [60.0]),
    ([0.0, 100.0, 100.5], 0, [0]),  # a failing cycle measures nothing
])
def test_load(monkeypatch, readings, busy, loads):
    clock = iter(readings)
    monkeypatch.setattr(time, "time", lambda: next(clock))
    node, calls = traced(step=(lambda data: {}) if len(loads) > 1 or busy else (lambda data: []))
    for load in loads:
        node._cycle({})
        assert node.get_load() == pytest.approx(load)
    assert node._time_busy == pytest.approx(busy) and type(node._time_busy) is type(busy)
    assert next(clock, None) is None  # exactly two readings per completed cycle


@pytest.mark.parametrize("readings", [
    [0.1, 100.3, 100.7, 101.9, 102.2, 104.45, 104.5, 104.5000001],
    [0, 7, 7.3, 9.1, 9.25, 9.5],  # an int start time with float readings
    [0.0, 5.0, 5.5, 6, 6.0, 8.0],  # an int reading among floats
    [0, 10 ** 400, 10 ** 400 + 2, 10 ** 400 + 5],  # beyond a double: the step has no origin
])
def test_busy_and_load_exactly_as_python_computes_them(monkeypatch, readings):
    clock = iter(readings)
    monkeypatch.setattr(time, "time", lambda: next(clock))
    origins = []
    node, calls = traced(step=lambda data: origins.append(current_origin()) or {})
    started, busy = readings[1], 0
    held = []
    for start, end in zip(readings[2::2], readings[3::2]):
        node._cycle({})
        assert origins.pop() == (float(start) if abs(start) < 2 ** 1024 else None)  # a source's: its start
        busy += end - start
        elapsed = end - started
        load = busy / (1 if 1 > elapsed else elapsed)
        assert node._time_busy == busy and type(node._time_busy) is type(busy)
        assert node._load == load and type(node._load) is type(load)
        if not held:  # the later cycles may reuse only objects that nobody holds
            held = [(node._time_busy, busy), (node._load, load)]
    assert all(value == expected for value, expected in held)
    assert next(clock, None) is None
