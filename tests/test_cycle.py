"""The step cycle: order of the calls, the private copy, the set-up run, the guards
and the condition, and the load arithmetic."""

import time

import pytest

import velarix.imp as imp
from velarix.constants import Constants
from velarix.imp import NodeImp
from velarix.logger import LogType
from velarix.node import Node

ERROR, HEALTHY = Constants.Conditions.ERROR, Constants.Conditions.HEALTHY


class Recorder:
    def __init__(self):
        self.entries = []

    def write(self, log_type, message):
        self.entries.append((log_type, message))


class Traced(NodeImp):
    """Records every handler and hook call, in order, with its argument."""

    def __init__(self, config, calls):
        NodeImp.__init__(self, config)
        self.calls = calls

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
def quick_setup(monkeypatch):
    """The set-up run's pause, recorded instead of slept."""
    pauses = []
    monkeypatch.setattr(time, "sleep", pauses.append)
    return pauses


@pytest.fixture
def no_output_class(monkeypatch):
    monkeypatch.delattr(imp, "ONodeImp", raising=False)


@pytest.fixture
def output_class(monkeypatch):
    monkeypatch.setattr(imp, "ONodeImp", TracedOutput, raising=False)


def traced(cls=Traced, step=lambda data: {"out": 1}, start=True):
    calls = []
    node = cls(Node.Configuration(name="t"), calls)
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


class TestOrder:
    def test_input_only_node(self, no_output_class, quick_setup):
        node, calls = traced()
        data = {"in": [1]}
        node._cycle(data)
        assert names(calls) == ["get_metadata", "setup", "push_metadata", "pre", "step"]
        assert calls[1] == ("setup", data, {"in": {"unit": "m"}}) and calls[1][1] is data
        assert calls[2] == ("push_metadata", {"out": {}})
        assert calls[3][1] is data
        assert quick_setup == [0.01]
        calls.clear()
        node._cycle(data)
        assert names(calls) == ["pre", "step"]
        assert node.get_counter() == 2 and node._condition == HEALTHY
        assert node._logger.entries == [(LogType.INFO, "Setting up node t.")]

    def test_output_node_pushes_the_step_result(self, output_class):
        node, calls = traced(TracedOutput, step=lambda data: {"out": data["in"] + 1})
        node._cycle({"in": 1})
        assert names(calls) == ["get_metadata", "setup", "push_metadata", "pre", "step", "post", "push_data"]
        assert calls[-2:] == [("post", {"out": 2}), ("push_data", {"out": 2})]

    def test_post_step_only_for_output_nodes(self, output_class):
        node, calls = traced(Traced)  # not an instance of the output class
        node._cycle({})
        assert "post" not in names(calls) and "push_data" not in names(calls)

    def test_step_gets_a_private_copy(self, no_output_class):
        seen = []

        def scribble(data):
            data["nested"]["k"].append(99)
            seen.append(data)
            return data

        node, calls = traced(step=scribble)
        data = {"nested": {"k": [1]}}
        node._cycle(data)
        assert data == {"nested": {"k": [1]}}
        assert seen[0] == {"nested": {"k": [1, 99]}} and seen[0] is not data

    def test_without_argument_the_same_empty_dict(self, no_output_class):
        node, calls = traced()
        node._cycle()
        node._cycle()
        setup_data, first_pre, second_pre = calls[1][1], calls[3][1], calls[5][1]
        assert setup_data == {} and setup_data is first_pre is second_pre


class TestGuards:
    def test_step_result_must_be_a_dict_or_none(self, no_output_class):
        node, calls = traced(step=lambda data: None)
        node._cycle({})
        assert node._condition == HEALTHY and node.get_counter() == 1
        for result, kind in (([1], "list"), (Constants, "type")):
            node, calls = traced(step=lambda data, result=result: result)
            node._cycle({})
            assert node._condition == ERROR and node.get_counter() == 0
            assert node._logger.entries[-1] == (LogType.ERROR, f"Expected dict, got {kind}")

    def test_output_node_step_returning_none_fails_at_the_push(self, output_class):
        node, calls = traced(TracedOutput, step=lambda data: None)
        node._cycle({})
        assert calls[-2:] == [("post", None), ("push_data", None)]
        assert node._condition == ERROR
        assert "expected dict, got NoneType" in node._logger.entries[-1][1]

    def test_a_failure_sets_the_condition_and_stops_all_later_cycles(self, no_output_class, monkeypatch):
        node, calls = traced(step=lambda data: (_ for _ in ()).throw(ValueError("broken step")))
        node._cycle({})
        assert node._logger.entries[-1] == (LogType.ERROR, "broken step")
        assert node._condition == ERROR and node.get_counter() == 0
        state = dict(vars(node))
        clock = []
        monkeypatch.setattr(time, "time", lambda: clock.append(1) or 5.0)
        calls.clear()
        node._cycle({})
        assert calls == [] and clock == [] and vars(node) == state

    def test_stopped_node_does_nothing(self, no_output_class, monkeypatch):
        node, calls = traced(start=False)
        state = dict(vars(node))
        monkeypatch.setattr(time, "time", lambda: pytest.fail("clock read"))
        node._cycle({})
        assert calls == [] and vars(node) == state and node._logger.entries == []

    @pytest.mark.parametrize("error, message", [
        (ValueError(), "ValueError"),
        (RuntimeError(42, "x"), "42"),
        (KeyError("k"), "k"),
        (OSError(None), "None"),
    ])
    def test_exceptions_without_a_text_argument_still_leave_an_entry(self, no_output_class, error, message):
        def fail(data):
            raise error

        node, calls = traced()
        node.set_pre_step_handler(fail)
        node._cycle({})
        assert node._logger.entries[-1] == (LogType.ERROR, message)
        assert node._condition == ERROR
        # ... and the same in the set-up run, whose failure lets the cycle go on.
        node, calls = traced()
        node.set_setup_handler(lambda data, metadata: fail(data))
        node._cycle({})
        assert node._logger.entries[-1] == (LogType.ERROR, message)
        assert node._condition == ERROR and names(calls)[-2:] == ["pre", "step"]

    @pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
    def test_other_base_exceptions_pass_through(self, no_output_class, error):
        def fail(data):
            raise error()

        node, calls = traced(step=fail)
        with pytest.raises(error):
            node._cycle({})
        assert node._condition == HEALTHY and node._logger.entries[-1][0] == LogType.INFO
        node.set_setup_handler(lambda data, metadata: fail(data))
        node._counter = 0
        with pytest.raises(error):
            node._cycle({})

    def test_wrong_argument_raises_before_anything_runs(self, no_output_class):
        node, calls = traced()
        for bad in (None, [], type("Sub", (dict,), {})()):
            with pytest.raises(TypeError, match="Argument 'data' has incorrect type"):
                node._cycle(bad)
        with pytest.raises(TypeError, match="takes at most 1 positional argument"):
            node._cycle({}, {})
        assert calls == [] and node._condition == HEALTHY

    def test_a_failing_logger_propagates(self, no_output_class):
        class Broken:
            def write(self, log_type, message):
                raise OSError("disk gone")

        node, calls = traced(step=lambda data: 1)
        node.set_logger(Broken())
        with pytest.raises(OSError, match="disk gone"):
            node._cycle({})


class TestSetup:
    def test_runs_once_and_a_missing_handler_fails_it(self, no_output_class):
        node, calls = traced()
        node.set_setup_handler(None)
        node._cycle({})
        assert names(calls) == ["get_metadata", "pre", "step"]
        assert node._condition == ERROR and node.get_counter() == 1
        assert node._logger.entries[0] == (LogType.INFO, "Setting up node t.")
        assert node._logger.entries[1][0] == LogType.ERROR

    def test_not_again_after_a_restart(self, no_output_class):
        node, calls = traced()
        node._cycle({})
        node.stop()
        node.start()
        calls.clear()
        node._cycle({})
        assert names(calls) == ["pre", "step"]

    def test_stopped_node_is_told_to_start(self, no_output_class, monkeypatch):
        message = ("Node t is in STOPPED state. Make sure to call Node.start() from your subclass.")
        node, calls = traced(start=False)
        with pytest.raises(ValueError) as raised:
            node._setup_wrapper({})
        assert str(raised.value) == message
        # A stop that arrives during the set-up pause ends the first cycle with it.
        node, calls = traced()
        monkeypatch.setattr(time, "sleep", lambda seconds: node.stop())
        node._cycle({})
        assert node._logger.entries[-1] == (LogType.ERROR, message)
        assert node._condition == ERROR and calls == []


class TestLoad:
    def clocked(self, monkeypatch, readings):
        clock = iter(readings)
        monkeypatch.setattr(time, "time", lambda: next(clock))
        node, calls = traced()
        return node

    def test_busy_time_over_elapsed_time(self, no_output_class, monkeypatch):
        # construction 0, start 100; cycles (100.1, 100.35) and (103.25, 106.0).
        node = self.clocked(monkeypatch, [0.0, 100.0, 100.1, 100.35, 103.25, 106.0])
        assert node.get_load() == 0
        node._cycle({})
        assert node._time_busy == pytest.approx(0.25)
        assert node.get_load() == pytest.approx(25.0)  # elapsed 0.35 s counts as 1 s
        node._cycle({})
        assert node._time_busy == pytest.approx(3.0)
        assert node.get_load() == pytest.approx(50.0)  # 3.0 s over 6.0 s

    def test_integer_clock(self, no_output_class, monkeypatch):
        node = self.clocked(monkeypatch, [0, 0, 2, 5])
        node._cycle({})
        assert node._time_busy == 3 and type(node._time_busy) is int
        assert node.get_load() == 60.0

    def test_failed_cycle_measures_nothing(self, no_output_class, monkeypatch):
        node = self.clocked(monkeypatch, [0.0, 100.0, 100.5])
        node.set_step_handler(lambda data: [])
        node._cycle({})
        assert node._time_busy == 0 and node._load == 0 and node.get_load() == 0
