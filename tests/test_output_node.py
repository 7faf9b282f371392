"""Output nodes: construction, links, the two push hooks, the set-up thread, and
wrong values at the public operations."""

import threading

import pytest

from node_helpers import ASYNC, SYNC, DictSub, ListSub, Recorder, StrSub
from velarix.i_node import INode
from velarix.imp import ONodeImp, PortableImp
from velarix.o_node import ONode


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
