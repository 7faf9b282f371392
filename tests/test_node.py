"""The node base: construction, handlers, start and stop, accessors, the hooks, and
what it does with values of the wrong kind."""

import time

import pytest

from velarix.constants import Constants
from velarix.imp import NodeImp, PortableImp
from velarix.logger import Logger, LogType
from velarix.node import Node

STOPPED, RUNNING = Constants.States.STOPPED, Constants.States.RUNNING
HEALTHY, ERROR = Constants.Conditions.HEALTHY, Constants.Conditions.ERROR


class Recorder:
    """A logger that keeps (kind, message) pairs."""

    def __init__(self):
        self.entries = []

    def write(self, log_type, message):
        self.entries.append((log_type, message))


def make_node(name="n1", logger=None, **entries):
    node = NodeImp(Node.Configuration(name=name, **entries))
    node.set_logger(logger if logger is not None else Recorder())
    return node


class StrSub(str):
    pass


class DictSub(dict):
    pass


class Hostile:
    """Fails any comparison or hashing."""

    def __eq__(self, other):
        raise ValueError("no comparing")

    def __hash__(self):
        raise ValueError("no hashing")


class TestConstruction:
    def test_attributes_in_order_with_initial_values(self, monkeypatch):
        monkeypatch.setattr(time, "time", lambda: 1234.5)
        node = NodeImp(Node.Configuration(name="a"))
        assert list(vars(node)) == [
            "config", "_counter", "_pre_step_handler", "_post_step_handler", "_setup_handler",
            "_step_handler", "_logger", "_state", "_condition", "_time_start", "_time_busy", "_load",
        ]
        assert node._counter == 0 and node._time_busy == 0 and node._load == 0
        assert node._setup_handler is None and node._step_handler is None
        assert node._state == STOPPED and node._condition == HEALTHY
        assert node._time_start == 1234.5
        assert type(node._logger) is Logger
        assert PortableImp.get_by_id(node.config["id"]) is node

    def test_default_handlers_are_fresh_do_nothing_functions(self):
        first, second = NodeImp(Node.Configuration()), NodeImp(Node.Configuration())
        handlers = [first._pre_step_handler, first._post_step_handler,
                    second._pre_step_handler, second._post_step_handler]
        assert len({id(h) for h in handlers}) == 4
        for handler in handlers:
            assert handler({"x": 1}) is None
            assert handler(data=None) is None
            with pytest.raises(TypeError):
                handler()
        assert first._logger is not second._logger

    def test_class_declares_types_and_holds_no_values(self):
        assert NodeImp.__bases__ == (PortableImp,)
        annotations = NodeImp.__annotations__
        for name in ("_counter", "_pre_step_handler", "_post_step_handler", "_setup_handler",
                     "_step_handler", "_logger", "_state", "_condition", "_time_start",
                     "_time_busy", "_load"):
            assert name in annotations
            assert name not in vars(NodeImp)

    def test_two_node_bases_run_the_constructor_twice(self):
        # As a node with input and output ports does: both bases call NodeImp.__init__.
        class Left(NodeImp):
            def __init__(self, config):
                NodeImp.__init__(self, config)

        class Right(NodeImp):
            def __init__(self, config):
                NodeImp.__init__(self, config)

        class Both(Left, Right):
            def __init__(self, config):
                Left.__init__(self, config)
                Right.__init__(self, config)

        node = Both(Node.Configuration(name="both"))
        assert PortableImp.get_by_id(node.config["id"]) is node
        assert node.get_name() == "both"

    def test_configuration_failures_propagate(self):
        with pytest.raises(AttributeError):
            NodeImp({"id": "X", "name": "plain dict has no Keys"})
        with pytest.raises(TypeError, match=r"__init__\(\) takes exactly 1 positional argument \(0 given\)"):
            NodeImp()


class TestStartStop:
    def test_log_lines_and_states(self):
        log = Recorder()
        node = make_node("pump", log)
        node.start()
        node.start()
        assert node.get_state() == RUNNING
        node.stop()
        node.stop()
        assert node.get_state() == STOPPED
        assert log.entries == [(LogType.INFO, "Node pump started."), (LogType.INFO, "Node pump stopped.")]

    def test_every_start_moves_the_time_origin(self, monkeypatch):
        node = make_node()
        for now in (10.0, 20.0):
            monkeypatch.setattr(time, "time", lambda now=now: now)
            node.start()
            assert node._time_start == now

    def test_restart_keeps_counter_busy_time_and_condition(self):
        node = make_node()
        node._counter, node._time_busy, node._condition = 7, 2.5, ERROR
        node.start()
        node.stop()
        node.start()
        assert (node._counter, node._time_busy, node._condition) == (7, 2.5, ERROR)

    def test_name_is_formatted_as_text(self):
        log = Recorder()
        node = make_node(None, log)
        node.start()
        assert log.entries == [(LogType.INFO, "Node None started.")]

    def test_default_logger_receives_the_entries(self):
        node = NodeImp(Node.Configuration(name="own"))
        node.start()
        assert [entry["message"] for entry in node._logger.get_all()] == ["Node own started."]


class TestAccessors:
    def test_get_name(self):
        assert make_node("x").get_name() == "x"
        assert make_node(None).get_name() is None
        long_name = "n" * 100_000
        assert make_node(long_name).get_name() is long_name
        for bad in (5, StrSub("x"), ["x"]):
            with pytest.raises(TypeError, match="Expected str, got "):
                make_node(bad).get_name()
        node = make_node()
        del node.config["name"]
        with pytest.raises(KeyError):
            node.get_name()

    def test_get_name_reads_the_key_the_configuration_names(self):
        class Renamed(Node.Configuration):
            class Keys(Node.Configuration.Keys):
                NAME = "label"

        node = NodeImp(Renamed(label="relabelled"))
        assert node.get_name() == "relabelled"

    def test_get_counter_and_state(self):
        node = make_node()
        assert node.get_counter() == 0 and node.get_state() == STOPPED
        node._counter = None
        assert node.get_counter() is None
        for bad in (1.0, "1", True):
            node._counter = bad
            with pytest.raises(TypeError, match="Expected int, got "):
                node.get_counter()

    def test_get_load_is_percent(self):
        node = make_node()
        assert node.get_load() == 0 and type(node.get_load()) is int
        node._load = 0.25
        assert node.get_load() == 25.0

    def test_hooks_of_the_base(self):
        node = make_node()
        first, second = node._get_data(), node._get_metadata()
        assert first == {} and second == {}
        assert node._get_data() is not first and node._get_metadata() is not second
        assert node._push_data({"out": 1}) is None
        assert node._push_metadata({"out": {}}) is None
        assert node._push_metadata(None) is None
        for bad in (None, [], DictSub(), "x"):
            with pytest.raises(TypeError, match=r"Argument 'data' has incorrect type \(expected dict, got "):
                node._push_data(bad)
        for bad in ([], DictSub(), 0):
            with pytest.raises(TypeError, match="Argument 'port_metadata_out' has incorrect type"):
                node._push_metadata(bad)

    def test_setters_store_any_value(self):
        node = make_node()
        for setter, attribute in (("set_setup_handler", "_setup_handler"),
                                  ("set_pre_step_handler", "_pre_step_handler"),
                                  ("set_post_step_handler", "_post_step_handler"),
                                  ("set_step_handler", "_step_handler"),
                                  ("set_logger", "_logger")):
            for value in (None, 5, print):
                assert getattr(node, setter)(value) is None
                assert getattr(node, attribute) is value


class TestPublicNode:
    def test_overridden_methods_become_handlers(self):
        class Doubler(Node):
            def step(self, data):
                return {"out": data["in"] * 2}

            def post_step(self, data):
                pass

        node = Doubler()
        assert node.get_name() == "Doubler"
        assert node._imp._step_handler == node.step
        assert node._imp._post_step_handler == node.post_step
        assert node._imp._pre_step_handler.__name__ == "do_nothing"
        assert node.setup({}, {}) == {}

    def test_default_step_fails_inside_the_cycle(self):
        node = Node(name="bare")
        log = Recorder()
        node.set_logger(log)
        node.start()
        node._imp._cycle({})
        assert node.get_condition() == ERROR
        assert log.entries[-1] == (LogType.ERROR, "Node.step() is not implemented.")


def test_wrong_values_never_crash(monkeypatch):
    """Every method with values of the wrong kind: only the documented errors."""
    monkeypatch.setattr(time, "sleep", lambda seconds: None)
    allowed = (TypeError, ValueError, KeyError, AttributeError)
    values = [None, StrSub("s"), DictSub(a=1), 7, Hostile(), "x" * 100_000, {"k": Hostile()}]
    one_argument = ["set_setup_handler", "set_pre_step_handler", "set_post_step_handler",
                    "set_step_handler", "set_logger", "_push_data", "_push_metadata",
                    "_setup_wrapper", "_cycle"]
    no_argument = ["start", "stop", "get_name", "get_state", "get_counter", "get_load",
                   "_get_data", "_get_metadata", "_cycle"]
    for value in values:
        for name in one_argument:
            node = make_node()
            try:
                getattr(node, name)(value)
            except allowed:
                pass
        for name in no_argument:
            # The value as the node's name, then planted where the method reads state.
            for attribute in (None, "_state", "_condition", "_counter", "_load", "_logger",
                              "_time_start", "_time_busy"):
                node = make_node(value)
                try:
                    node.start()  # so that _cycle goes past its state check
                except allowed:
                    pass
                if attribute:
                    setattr(node, attribute, value)
                try:
                    getattr(node, name)()
                except allowed:
                    pass
        with pytest.raises(TypeError):
            make_node().start(value)
        with pytest.raises(TypeError):
            NodeImp.get_name(value)
