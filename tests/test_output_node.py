"""Output nodes: construction, links, the two push hooks, the set-up thread, and
wrong values at the public operations."""

import threading

import pytest

from node_helpers import ASYNC, SYNC, DictSub, ListSub, Recorder, StrSub
from velarix.i_node import INode
from velarix.imp import ONodeImp, PortableImp
from velarix.o_node import ONode
from velarix import SKIP


class Source(ONode):
    def __init__(self, **entries):
        super().__init__(**entries)
        self.steps = []
        self.cycled = threading.Event()
        self.set_logger(Recorder())

    def step(self, data):
        self.steps.append(data)
        self.cycled.set()
        return {name: len(self.steps) for name in self._imp._output_ports}


class Sink(INode):
    def step(self, data):
        pass


def ports(*names, timing=SYNC):
    return [{"name": n, "timing": timing} for n in names]


def received(input_port):
    values = []
    while input_port.data_available():
        values.append(input_port.get())
    return values


# Construction ------------------------------------------------------------------------


def test_ports_are_built_in_order_and_share_their_configurations():
    node = Source(output_ports=ports("b", "a"))
    imp = node._imp
    assert list(imp._output_ports) == ["b", "a"]
    assert all(c is p.config for c, p in zip(node.config["output_ports"], imp._output_ports.values()))
    assert node.get_port("a") is imp._output_ports["a"]
    assert not hasattr(imp, "_setup_thread")
    assert ONodeImp.__annotations__ == {
        "_output_ports": "Dict[str, imp.OPortImp]", "_setup_thread": "threading.Thread",
        "config": "'ONode.Configuration'"}


@pytest.mark.parametrize("entries, error, message", [
    ([], ValueError, "output_ports must not be empty."),
    (ports("x", "y", "x"), ValueError, "output_ports contain duplicate names."),
    (ListSub(ports("x")), TypeError, "Expected list, got ListSub"),
    ("out", TypeError, "Expected list, got str"),
    (None, TypeError, "object of type 'NoneType' has no len()"),
    ([None], TypeError, "'NoneType' object is not iterable"),
])
def test_a_bad_port_list_fails_before_the_node_exists(entries, error, message):
    with pytest.raises(error) as caught:
        Source(output_ports=entries)
    assert str(caught.value) == message
    assert PortableImp._id_map == {}


# Links and pushes --------------------------------------------------------------------


def test_connect_links_both_ends_and_disconnect_undoes_it():
    source, sink = Source(), Sink(input_ports=[{"name": "a"}, {"name": "b"}])
    out, a = source.get_port("out"), sink.get_port("a")
    source.connect("out", sink, "a")
    assert out._connected_ports == [a] and a._connected_ports == [out]
    with pytest.raises(ValueError, match="^Output port 'nope' not found.$"):
        source._imp.connect("nope", None, "a")  # fails before the target is used
    with pytest.raises(ValueError, match="^Input port 'nope' not found.$"):
        source.connect("out", sink, "nope")
    assert out._connected_ports == [a] and sink.get_port("b")._connected_ports == []
    source.disconnect("out", sink, "a")
    assert out._connected_ports == [] and a._connected_ports == []


def test_push_data_goes_port_by_port_and_stops_at_a_missing_value():
    source, sink = Source(output_ports=ports("p1", "p2", "p3")), Sink(input_ports=ports("p1", "p2", "p3"))
    for name in ("p1", "p2", "p3"):
        source.connect(name, sink, name)
    with pytest.raises(ValueError, match="^No data available for port 'p2'.$"):
        source._imp._push_data({"p1": 1, "p3": 3})
    assert [received(sink.get_port(n)) for n in ("p1", "p2", "p3")] == [[1], [], []]
    source._imp._push_data({"p3": 6, "p2": 5, "p1": 4, "other": 0})
    assert [received(sink.get_port(n)) for n in ("p1", "p2", "p3")] == [[4], [5], [6]]


def test_each_push_sees_the_ports_as_they_are_now():
    """A push reads its links, the port's own push and the input port's queue afresh
    whenever they changed, however many pushes went before (past the small ints, the
    count goes on in its own object)."""
    from velarix.imp.portan import PortQueue

    source, sink, other = Source(), Sink(), Sink()
    source.connect("out", sink, "in")
    source.start()
    out, port = source.get_port("out"), sink.get_port("in")
    for _ in range(300):
        source.cycle({})
    assert len(received(port)) == 300 and out._pushed == 300
    out._connected_ports = [other.get_port("in")]  # a relink stores a new list
    source.cycle({})
    assert received(port) == [] and received(other.get_port("in")) == [301]
    out._connected_ports = [port]
    port._values = PortQueue()  # a new queue behind the same port
    source.cycle({})
    assert received(port) == [302]
    pushed = []
    out.push = pushed.append  # the port's own push
    source.cycle({})
    del out.push
    source.cycle({})
    assert pushed == [303] and received(port) == [304] and out._pushed == 303
    source.stop()


def test_push_metadata_reaches_linked_input_ports():
    source, sink = Source(output_ports=ports("p1", "p2")), Sink()
    source.connect("p2", sink, "in")
    imp = source._imp
    with pytest.raises(ValueError, match="^No metadata found for port 'p2'.$"):
        imp._push_metadata({"p1": {"rate": 1}})
    imp._push_metadata({"p1": {"rate": 1}, "p2": {"rate": 2}})
    assert sink.get_port("in").config.has_metadata()
    assert sink.get_port("in").config.get_metadata() == {"rate": 2}


@pytest.mark.parametrize("call, error, message", [
    (lambda n: n.get_port(None), TypeError,
     "Argument 'port_name' has incorrect type (expected str, got NoneType)"),
    (lambda n: n.get_port("y" * 3000), ValueError, "Output port '" + "y" * 3000 + "' not found."),
    (lambda n: n._imp.connect(StrSub("out"), None, "in"), TypeError,
     "Argument 'output_port' has incorrect type (expected str, got StrSub)"),
    (lambda n: n._imp.connect("out", None, 0), TypeError,
     "Argument 'input_port' has incorrect type (expected str, got int)"),
    (lambda n: n._imp.connect("out", None, "in"), TypeError,
     "descriptor 'get_port' for 'INodeImp' objects doesn't apply to a 'NoneType' object"),
    (lambda n: n._imp.disconnect("out", {}, "in"), TypeError,
     "descriptor 'get_port' for 'INodeImp' objects doesn't apply to a 'dict' object"),
    (lambda n: n._imp._push_data(None), TypeError,
     "Argument 'data' has incorrect type (expected dict, got NoneType)"),
    (lambda n: n._imp._push_data(DictSub(out=1)), TypeError,
     "Argument 'data' has incorrect type (expected dict, got DictSub)"),
    (lambda n: n._imp._push_metadata(None), TypeError,
     "Argument 'port_metadata_out' has incorrect type (expected dict, got NoneType)"),
    (lambda n: n._imp.connect("out", None), TypeError,
     "connect() takes exactly 3 positional arguments (2 given)"),
])
def test_wrong_values(call, error, message):
    with pytest.raises(error) as caught:
        call(Source())
    assert str(caught.value) == message


# The set-up thread -------------------------------------------------------------------


def test_all_async_ports_run_one_cycle_on_a_set_up_thread(no_thread_leak):
    node = Source(output_ports=ports("a", "b", timing=ASYNC))
    node.start()
    thread = node._imp._setup_thread
    assert thread.daemon
    thread.join(5)
    assert not thread.is_alive()
    assert node.steps == [{}] and node.get_counter() == 1
    assert node._imp._logger.messages("ERROR") == []
    node.stop()


def test_a_port_of_another_timing_means_no_set_up_thread(no_thread_leak):
    node = Source(output_ports=ports("a", timing=ASYNC) + ports("b", timing=SYNC))
    before = threading.active_count()
    node.start()
    assert not hasattr(node._imp, "_setup_thread") and threading.active_count() == before
    node.stop()


@pytest.mark.parametrize("failure, message", [
    (ValueError("cycle broke"), "cycle broke"),
    (KeyError(), "KeyError"),  # no argument to log
    (RuntimeError(["not", "text"]), "['not', 'text']"),
])
def test_a_failure_escaping_the_set_up_cycle_is_logged_once(failure, message, no_thread_leak):
    class Failing(ONodeImp):
        def _cycle(self, data=None):
            raise failure

    class Node(Source):
        _imp_class = Failing

    node = Node(output_ports=ports("out", timing=ASYNC))
    node.start()
    node._imp._setup_thread.join(5)
    assert not node._imp._setup_thread.is_alive()
    assert node._imp._logger.messages("ERROR") == [message]
    node.stop()


# Pushing nothing: SKIP, and step results that are wrong ---------------------------


class Gate(ONode):
    """Returns what the test scripts for each cycle; post_step records its argument."""

    def __init__(self, **entries):
        super().__init__(**entries)
        self.script, self.posts = [], []
        self.set_logger(Recorder())

    def step(self, data):
        return self.script.pop(0)

    def post_step(self, data):
        self.posts.append(data)


def gate_into_sink(*names):
    gate, sink = Gate(name="gate", output_ports=ports(*names)), Sink(input_ports=ports(*names))
    for name in names:
        gate.connect(name, sink, name)
    gate.start()
    return gate, sink


def test_skip_pushes_nothing_on_all_ports_or_on_one_and_is_counted():
    gate, sink = gate_into_sink("a", "b")
    gate.script = [{"a": 1, "b": 2}, SKIP, {"a": 3, "b": SKIP}, {"a": SKIP, "b": SKIP}, {"a": 5, "b": 6}]
    for _ in range(5):
        gate.cycle()
    assert [received(sink.get_port(n)) for n in ("a", "b")] == [[1, 3, 5], [2, 6]]
    # No post-step for a whole SKIP; a per-port SKIP shows in the dict it gets.
    assert gate.posts == [{"a": 1, "b": 2}, {"a": 3, "b": SKIP}, {"a": SKIP, "b": SKIP}, {"a": 5, "b": 6}]
    stats = gate.get_stats()
    assert (stats["steps"], stats["skipped"], stats["condition"]) == (5, 1, "HEALTHY")
    assert {n: (p["pushed"], p["skipped"]) for n, p in stats["outputs"].items()} == {"a": (3, 2), "b": (2, 3)}
    assert stats["step_time"]["max"] is not None and gate._imp._time_busy > 0  # skipped steps are timed
    assert gate._imp._logger.messages("WARNING") == gate._imp._logger.messages("ERROR") == []


def test_skip_is_one_object_that_survives_copies_and_pickles():
    import copy
    import pickle

    import velarix
    from velarix.imp import SkipType

    assert SKIP is velarix.SKIP and repr(SKIP) == "velarix.SKIP" and SkipType() is SKIP
    assert copy.deepcopy({"a": SKIP})["a"] is SKIP and pickle.loads(pickle.dumps(SKIP)) is SKIP
    # Passed through a port it is only a value: the marker means something in a result.
    gate, sink = gate_into_sink("a")
    gate.script = [{"a": [SKIP]}]
    gate.cycle()
    assert received(sink.get_port("a")) == [[SKIP]]


@pytest.mark.parametrize("result, message, problem", [
    (None, "Argument 'data' has incorrect type (expected dict, got NoneType)", "step() returned None"),
    ([1], "Expected dict, got list", "step() returned a list"),
    ({"a": 1}, "No data available for port 'b'.", "step() returned no value for output port 'b'"),
])
def test_a_wrong_result_keeps_its_message_and_names_the_node(result, message, problem):
    gate, sink = gate_into_sink("a", "b")
    gate.script = [result]
    gate.cycle()
    kinds = [(kind.value, text) for kind, text in gate._imp._logger.entries[-2:]]
    assert kinds[1] == ("ERROR", message) and kinds[0][0] == "WARNING"
    assert kinds[0][1].startswith(f"Node gate: {problem}. ") and "velarix.SKIP" in kinds[0][1]
    error = gate.get_last_exception()
    assert error.args[0] == message and error.__notes__ == [kinds[0][1]]
    assert gate.get_condition() == "ERROR" and gate.get_counter() == 0


def test_a_push_of_its_own_that_rejects_a_result_is_not_explained_wrongly():
    class OwnPush(ONodeImp):
        def _push_data(self, data):
            raise ValueError("full")

    class Node(Gate):
        _imp_class = OwnPush

    gate = Node(name="gate", output_ports=ports("a"))
    gate.start()
    gate.script = [{"a": 1}]
    gate.cycle()
    assert gate._imp._logger.messages("ERROR") == ["full"] and gate._imp._logger.messages("WARNING") == []


def test_cycle_on_a_stopped_node_warns_once_per_node():
    first, second = Gate(name="first"), Gate(name="second")
    first.script = [{"out": 1}] * 3
    for _ in range(2):
        first.cycle({"x": 1})
    second.cycle()
    expected = "Node {} is stopped: cycle() drops its data. Call start() on the node (or pipeline.start()) first."
    assert first._imp._logger.messages() == [expected.format("first")]
    assert second._imp._logger.messages() == [expected.format("second")]
    assert first.get_counter() == 0 and first.script == [{"out": 1}] * 3
    first.start()
    first.cycle()
    first.stop()
    first.cycle()
    assert first.get_counter() == 1 and first._imp._logger.messages("WARNING") == [expected.format("first")]
    # The worker's and the set-up thread's own calls of _cycle stay silent.
    second._imp._cycle()
    assert second._imp._logger.messages("WARNING") == [expected.format("second")]


def test_cycle_runs_an_implementation_class_s_own_cycle():
    class Counting(ONodeImp):
        def _cycle(self, data=None):
            self.given = data

    class Node(Gate):
        _imp_class = Counting

    node = Node(name="own")
    node.cycle({"x": 2})
    assert node._imp.given == {"x": 2} and node._imp._logger.messages() == []
