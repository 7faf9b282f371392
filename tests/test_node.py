"""The node base: construction, start and stop, accessors and hooks, and values of
the wrong kind."""

import time

import pytest

from node_helpers import Recorder
from velarix.constants import Constants
from velarix.imp import NodeImp, PortableImp
from velarix.logger import Logger, LogType
from velarix.node import Node

STOPPED, RUNNING = Constants.States.STOPPED, Constants.States.RUNNING
HEALTHY, ERROR = Constants.Conditions.HEALTHY, Constants.Conditions.ERROR


def make_node(name="n1"):
    node = NodeImp(Node.Configuration(name=name))
    node.set_logger(Recorder())
    return node


class StrSub(str):
    pass


class DictSub(dict):
    pass


class Hostile:
    def __eq__(self, other):
        raise ValueError("no comparing")

    def __hash__(self):
        raise ValueError("no hashing")


def test_construction(monkeypatch):
    monkeypatch.setattr(time, "time", lambda: 1234.5)
    node, other = NodeImp(Node.Configuration(name="a")), NodeImp(Node.Configuration())
    assert list(vars(node)) == [
        "config", "_counter", "_pre_step_handler", "_post_step_handler", "_setup_handler",
        "_step_handler", "_logger", "_state", "_condition", "_time_start", "_time_busy", "_load",
    ]
    assert (node._counter, node._time_busy, node._load, node._time_start) == (0, 0, 0, 1234.5)
    assert (node._state, node._condition) == (STOPPED, HEALTHY)
    assert node._setup_handler is None and node._step_handler is None
    assert type(node._logger) is Logger and node._logger is not other._logger
    assert PortableImp.get_by_id(node.config["id"]) is node
    # Fresh do-nothing handlers per node, taking one argument `data`.
    handlers = [node._pre_step_handler, node._post_step_handler, other._pre_step_handler]
    assert len({id(h) for h in handlers}) == 3
    assert all(h({"x": 1}) is None and h(data=None) is None for h in handlers)
    # Declared types, no class-level values.
    assert NodeImp.__bases__ == (PortableImp,)
    assert {"_counter", "_logger", "_state", "_load"} <= NodeImp.__annotations__.keys()
    assert not {"_counter", "_logger", "_state", "_load"} & vars(NodeImp).keys()


def test_the_clock_is_time_time_or_whatever_replaces_it(monkeypatch):
    # The module's own time.time is read without the call; any other function in
    # its place, even another of the time module's own, is called.
    before = time.time()
    node = NodeImp(Node.Configuration(name="a"))
    assert before <= node._time_start <= time.time() and type(node._time_start) is float
    monkeypatch.setattr(time, "time", time.monotonic)
    before = time.monotonic()
    node.start()
    assert before <= node._time_start <= time.monotonic()


def test_two_node_bases_run_the_constructor_twice():
    # A node with input and output ports: both of its bases call NodeImp.__init__.
    class Left(NodeImp):
        pass

    class Both(Left, NodeImp):
        def __init__(self, config):
            NodeImp.__init__(self, config)
            NodeImp.__init__(self, config)

    node = Both(Node.Configuration(name="both"))
    assert PortableImp.get_by_id(node.config["id"]) is node and node.get_name() == "both"


def test_start_and_stop():
    node = make_node("pump")
    node._counter, node._time_busy, node._condition = 7, 2.5, ERROR
    node.start()
    node.start()
    assert node.get_state() == RUNNING
    origin = node._time_start
    node.stop()
    node.stop()
    node.start()
    assert node.get_state() == RUNNING and node._time_start >= origin
    # Restarting keeps the count, the busy time and the condition.
    assert (node._counter, node._time_busy, node._condition) == (7, 2.5, ERROR)
    assert node._logger.entries == [(LogType.INFO, "Node pump started."),
                                    (LogType.INFO, "Node pump stopped."),
                                    (LogType.INFO, "Node pump started.")]
    node = make_node(None)
    node.start()
    assert node._logger.entries == [(LogType.INFO, "Node None started.")]
    # The default logger is the memory-only one and gets the entries.
    node = NodeImp(Node.Configuration(name="own"))
    node.start()
    assert [entry["message"] for entry in node._logger.get_all()] == ["Node own started."]


def test_accessors_and_hooks():
    long_name = "n" * 100_000
    assert make_node(long_name).get_name() is long_name
    assert make_node(None).get_name() is None
    for bad in (5, StrSub("x")):
        with pytest.raises(TypeError, match="Expected str, got "):
            make_node(bad).get_name()
    node = make_node()
    assert node.get_counter() == 0 and node.get_load() == 0 and type(node.get_load()) is int
    node._load, node._counter = 0.25, None
    assert node.get_load() == 25.0 and node.get_counter() is None
    node._counter = 1.0
    with pytest.raises(TypeError, match="Expected int, got float"):
        node.get_counter()
    assert node._get_data() == {} and node._get_data() is not node._get_data()
    assert node._get_metadata() == {} and node._get_metadata() is not node._get_metadata()
    assert node._push_data({"out": 1}) is None and node._push_metadata(None) is None
    with pytest.raises(TypeError, match=r"Argument 'data' has incorrect type \(expected dict, got NoneType\)"):
        node._push_data(None)
    with pytest.raises(TypeError, match=r"'port_metadata_out' has incorrect type \(expected dict, got DictSub\)"):
        node._push_metadata(DictSub())
    node.set_step_handler(None)
    node.set_logger(5)
    assert node._step_handler is None and node._logger == 5


def test_public_node_installs_overridden_methods():
    class Doubler(Node):
        def step(self, data):
            return data

        def post_step(self, data):
            pass

    node = Doubler()
    assert node.get_name() == "Doubler"
    assert node._imp._step_handler == node.step and node._imp._post_step_handler == node.post_step
    assert node._imp._pre_step_handler.__name__ == "do_nothing"


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

    def attempt(call, *args):
        try:
            call(*args)
        except allowed:
            pass

    for value in values:
        for name in one_argument:
            attempt(getattr(make_node(), name), value)
        # The value as the name, then planted where each method reads its state.
        for attribute in (None, "_state", "_condition", "_counter", "_load", "_logger",
                          "_time_start", "_time_busy"):
            for name in no_argument:
                node = make_node(value)
                attempt(node.start)
                if attribute:
                    setattr(node, attribute, value)
                attempt(getattr(node, name))
        with pytest.raises(TypeError):
            make_node().start(value)
        with pytest.raises(TypeError):
            NodeImp.get_name(value)


# Misspelt configuration keys --------------------------------------------------------


def test_a_key_one_edit_from_a_known_key_warns_at_the_constructor_call():
    import warnings

    from velarix import ConfigurationWarning, INode, IONode, ONode

    class Sink(INode):
        def __init__(self, **entries):
            super().__init__(**entries)  # the warning points past this line

    cases = [
        (lambda: Sink(input_port=[{"name": "a"}]), "Sink", "input_port", "input_ports"),
        (lambda: ONode(rates=5), "ONode", "rates", "rate"),
        (lambda: ONode(catchup=0.1), "ONode", "catchup", "catch_up"),
        (lambda: ONode(outptu_ports=[]), "ONode", "outptu_ports", "output_ports"),
        (lambda: Node(ids="x"), "Node", "ids", "id"),
        (lambda: IONode(input_ports=[{"name": "a", "timming": "ASYNC"}]), "IPort", "timming", "timing"),
    ]
    for make, owner, key, known in cases:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            node = make()
        assert [str(w.message) for w in caught] == [
            f"{owner}: configuration key {key!r} is not one it reads; did you mean {known!r}?"]
        assert caught[0].category is ConfigurationWarning and caught[0].filename == __file__
        assert key in node.config or owner == "IPort"  # kept, as before

    class Tuned(ONode):
        class Configuration(ONode.Configuration):
            class Keys(ONode.Configuration.Keys):
                GAIN = "gain"

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        # Keys of the application's own, far from known ones or too short to judge.
        ONode(gain=2, threshold=3, x=1, i=2, label="l", gate="g", date=1)
        Tuned(gain=1)  # declared by the subclass
        Node(**{"7": 1})
