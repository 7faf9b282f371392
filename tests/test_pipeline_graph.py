"""Pipeline graph: shapes that carry data end to end, the graph operations and
their log, refused changes, and wrong arguments thrown at every operation."""

import pytest

import velarix
from velarix import Pipeline
from velarix.imp import PipelineImp, scribon

from nodes import Loaded, Merge, Relay, Sink, Source
from pipeline_helpers import WAIT, messages

N = 300


@pytest.fixture(autouse=True)
def logs_in_tmp(monkeypatch, tmp_path):
    # Pipelines made without a directory (deserialize makes such) log here.
    monkeypatch.setattr(scribon, "DEFAULT_DIR", str(tmp_path / "logs"))


# Shapes ---------------------------------------------------------------------------


def chain(p):
    src, relay, sink = Source(name="src"), Relay(name="relay"), Sink(name="sink")
    p.connect(src, relay)
    p.connect(relay, sink)
    return [lambda i: src.cycle({"x": i})], {sink: [i * 10 for i in range(N)]}


def fan_out(p):
    src, left, right = Source(name="src"), Sink(name="left"), Sink(name="right")
    p.connect(src, left)
    p.connect(src, right)
    return [lambda i: src.cycle({"x": i})], {left: list(range(N)), right: list(range(N))}


def fan_in(p):
    a, b, merge, sink = Source(name="a"), Source(name="b"), Merge(name="merge"), Sink(name="sink")
    p.connect_ports(a, "out", merge, "a")
    p.connect_ports(b, "out", merge, "b")
    p.connect(merge, sink)
    feeds = [lambda i: a.cycle({"x": i}), lambda i: b.cycle({"x": -i})]
    return feeds, {sink: [(i, -i) for i in range(N)]}


@pytest.mark.parametrize("shape", [chain, fan_out, fan_in])
def test_every_value_arrives_once_and_in_order(shape, no_thread_leak):
    p = Pipeline("")
    feeds, expected = shape(p)
    for sink, values in expected.items():
        sink.expected = len(values)
    p.start()
    for i in range(N):
        for feed in feeds:
            feed(i)
    for sink, values in expected.items():
        assert sink.done.wait(WAIT), f"{sink.get_name()} got {len(sink.values)} of {len(values)}"
    p.stop()
    for sink, values in expected.items():
        assert sink.values == values
    assert p.get_last_error() is None


# Graph operations ---------------------------------------------------------------------


def test_graph_operations_log_each_change_in_order():
    p = Pipeline("")
    src, relay, sink = Source(name="src"), Relay(name="relay"), Sink(name="sink")
    p.connect_ports(src, "out", relay, "in")  # adds both, output node first
    p.connect(relay, sink)
    p.disconnect(relay, sink)
    p.disconnect_ports(src, "out", relay, "in")
    p.remove_node(sink)
    assert messages(p) == [
        "Node src added to pipeline.",
        "Node relay added to pipeline.",
        "Nodes src[out] and relay[in] connected.",
        "Node sink added to pipeline.",
        "Nodes relay[out] and sink[in] connected.",
        "Nodes relay[out] and sink[in] disconnected.",
        "Nodes src[out] and relay[in] disconnected.",
        "Node sink removed from pipeline.",
    ]
    assert p._imp._nodes == [src, relay]
    assert all(n._imp._logger is p.get_logger() for n in (src, relay, sink))
    assert src.get_port("out")._connected_ports == []


def test_removing_a_linked_node_keeps_its_links_on_both_sides():
    p = Pipeline("")
    src, sink = Source(name="src"), Sink(name="sink")
    p.connect(src, sink)
    p.remove_node(sink)
    assert src.get_port("out")._connected_ports == [sink.get_port("in")]
    assert sink.get_port("in")._connected_ports == [src.get_port("out")]
    assert sink._imp._logger is p.get_logger()


def test_a_second_connect_of_the_same_ports_warns_and_links_nothing_more():
    p = Pipeline("")
    src, sink, other = Source(name="src"), Sink(name="sink"), Source(name="other")
    again = "are connected already; connecting them again does nothing."
    p.connect(src, sink)
    p.connect(src, sink)
    p.connect_ports(src, "out", sink, "in")
    other.connect("out", sink, "in")  # linked outside the pipeline: connecting adds it only
    p.connect(other, sink)
    assert [(e["type"], e["message"]) for e in p.get_logger().get_all()] == [
        ("INFO", "Node src added to pipeline."),
        ("INFO", "Node sink added to pipeline."),
        ("INFO", "Nodes src[out] and sink[in] connected."),
        ("WARNING", f"Nodes src[out] and sink[in] {again}"),
        ("WARNING", f"Nodes src[out] and sink[in] {again}"),
        ("INFO", "Node other added to pipeline."),
        ("WARNING", f"Nodes other[out] and sink[in] {again}"),
    ]
    # The warning's stack summary reaches the line that connected again.
    assert all(__file__.rsplit("/", 1)[1] in e["stack"] for e in p.get_logger().get_by_type("WARNING"))
    assert src.get_port("out")._connected_ports == [sink.get_port("in")]
    assert sink.get_port("in")._connected_ports == [src.get_port("out"), other.get_port("out")]
    # A failing connect is the connect's own error, unchanged.
    with pytest.raises(ValueError):
        p.connect_ports(src, "nope", sink, "in")


def test_a_node_named_like_another_warns_once_per_name_when_it_is_added():
    def warning(name):
        return (f"Another node in this pipeline is named {name}: logs, load reports and `velarix show` "
                "will not tell them apart.")

    p = Pipeline("")
    first, second, third = Source(name="twin"), Sink(name="twin"), Sink(name="twin")
    p.add_node(first)
    p.add_node(second)
    p.connect(first, third)  # added by the connect: the name has had its warning
    p.add_node(Sink(name="single"))
    assert [(e["type"], e["message"]) for e in p.get_logger().get_all()] == [
        ("INFO", "Node twin added to pipeline."),
        ("INFO", "Node twin added to pipeline."),
        ("WARNING", warning("twin")),
        ("INFO", "Node twin added to pipeline."),
        ("INFO", "Nodes twin[out] and twin[in] connected."),
        ("INFO", "Node single added to pipeline."),
    ]
    # A node that joins past the wrapper, or leaves, is counted afresh.
    p.remove_node(first)
    p.remove_node(second)
    p._imp.add_node(lonely := Sink(name="pair"))
    p.add_node(Sink(name="pair"))
    p.connect(Source(name="single"), lonely)
    assert [e["message"] for e in p.get_logger().get_by_type(velarix.LogType.WARNING)] == [
        warning("twin"), warning("pair"), warning("single")]


def test_refused_changes_leave_the_graph_as_documented():
    p = Pipeline("")
    src, sink, plain = Source(name="src"), Sink(name="sink"), Loaded(name="plain")
    p.add_node(src)
    with pytest.raises(ValueError, match=r"^Node already exists in pipeline\.$"):
        p.add_node(src)
    with pytest.raises(KeyError, match=r"Node not found in pipeline\."):
        p.remove_node(sink)
    # Nodes join before their kind is checked, and stay.
    with pytest.raises(TypeError, match=r"^input_node must be of type INode\.$"):
        p.connect(src, plain)
    with pytest.raises(TypeError, match=r"^output_node must be of type ONode\.$"):
        p.connect(sink, src)
    with pytest.raises(ValueError, match=r"Output port 'nope' not found\."):
        p.connect_ports(src, "nope", sink, "in")
    # disconnect never adds a node.
    outsider = Sink(name="outsider")
    with pytest.raises(ValueError, match=r"^input_node not found in pipeline\.$"):
        p.disconnect(src, outsider)
    with pytest.raises(ValueError, match=r"^output_node not found in pipeline\.$"):
        p.disconnect(Source(name="stranger"), sink)
    with pytest.raises(TypeError, match=r"^output_node must be of type ONode\.$"):
        p.disconnect(sink, sink)
    assert p._imp._nodes == [src, plain, sink]
    assert messages(p) == [
        "Node src added to pipeline.",
        "Node plain added to pipeline.",
        "Node sink added to pipeline.",
    ]


class RefusesLogger(Loaded):
    def set_logger(self, logger):
        raise RuntimeError("no logger for me")


def test_a_node_that_refuses_the_logger_is_taken_out_again(no_thread_leak):
    p = Pipeline("")
    good = Loaded(name="good")
    p.add_node(good)
    with pytest.raises(RuntimeError, match="no logger for me"):
        p.add_node(RefusesLogger(name="bad"))
    assert p._imp._nodes == [good]
    # Nothing left behind that later operations would trip on.
    p.start()
    assert [e["name"] for e in p.get_load()] == ["good", "Pipeline"]
    assert len(p.serialize()["nodes"]) == 1
    p.stop()


# Wrong arguments -----------------------------------------------------------------------


class StrSub(str):
    pass


class DictSub(dict):
    pass


class Touchy:
    """Refuses to be compared or hashed."""

    def __eq__(self, other):
        raise ArithmeticError("no comparing")

    def __hash__(self):
        raise ArithmeticError("no hashing")


def test_exact_type_checks_name_the_argument():
    cases = [
        (lambda: PipelineImp(5), "directory", "int"),
        (lambda: PipelineImp(StrSub("")), "directory", "StrSub"),
        (lambda: Pipeline("").connect_ports(None, StrSub("out"), None, "in"), "output_node_port", "StrSub"),
        (lambda: Pipeline("").disconnect_ports(None, "out", None, None), "input_node_port", "NoneType"),
        (lambda: Pipeline("").write_log(None), "entry", "NoneType"),
        (lambda: PipelineImp.deserialize(DictSub(nodes=[], connections=[])), "data", "DictSub"),
    ]
    for call, name, got in cases:
        with pytest.raises(TypeError) as error:
            call()
        expected = "dict" if name == "data" else "str"
        assert str(error.value) == (
            f"Argument '{name}' has incorrect type (expected {expected}, got {got})")
    with pytest.raises(TypeError, match=r"^start\(\) takes exactly 0 positional arguments \(1 given\)$"):
        PipelineImp("").start(1)
    with pytest.raises(TypeError, match=r"^__init__\(\) takes at most 1 positional argument \(2 given\)$"):
        PipelineImp("", "")


def test_wrong_values_anywhere_raise_documented_errors_and_harm_nothing(no_thread_leak):
    p = Pipeline("")
    src, sink = Source(name="src"), Sink(name="sink")
    p.connect(src, sink)
    imp = p._imp
    long_text = "x" * 1_000_000
    values = [None, 0, 3.5, StrSub("out"), DictSub(), [], b"out", Touchy(), long_text]
    # The documented errors, plus what a bad "node" raises itself when it is asked
    # to take the logger or to compare (AttributeError, ArithmeticError).
    allowed = (TypeError, ValueError, KeyError, AttributeError, ArithmeticError)
    for bad in values:
        calls = [
            (imp.add_node, bad), (imp.remove_node, bad), (imp.connect, src, bad),
            (imp.connect_ports, bad, "out", sink, "in"), (imp.connect_ports, src, bad, sink, "in"),
            (imp.connect_ports, src, "out", sink, bad), (imp.disconnect, bad, sink),
            (imp.disconnect_ports, src, bad, sink, "in"), (imp.write_log, bad),
            (imp.start, bad), (imp.get_load, bad),
            (PipelineImp.deserialize, bad),
            (PipelineImp.deserialize, {"nodes": bad, "connections": []}),
            (PipelineImp.deserialize, {"nodes": [], "connections": [bad]}),
            (PipelineImp.deserialize, {"nodes": [], "connections": [(bad, bad)]}),
            (PipelineImp.deserialize, {"nodes": [], "connections": [("ghost", bad)]}),
        ]
        for function, *args in calls:
            try:
                result = function(*args)
            except allowed:
                continue
            if isinstance(result, Pipeline):
                result.get_logger().stop()
    assert imp._nodes == [src, sink]
    # The pipeline still works after all of it.
    sink.expected = 3
    p.start()
    for i in range(3):
        src.cycle({"x": i})
    assert sink.done.wait(WAIT)
    p.stop()
    assert sink.values == [0, 1, 2]


# Membership is equality, as list membership is ------------------------------------


class Keyed:
    """A node stand-in equal to every other Keyed with the same key."""

    def __init__(self, key):
        self.key = key

    def __eq__(self, other):
        return isinstance(other, Keyed) and other.key == self.key

    __hash__ = None

    def set_logger(self, logger):
        pass

    def get_name(self):
        return f"keyed{self.key}"


class EqualToAll(Keyed):
    def __eq__(self, other):
        return True


def test_adding_and_removing_compare_nodes_by_equality():
    p = Pipeline("")
    plain, first = Source(name="plain"), Keyed(1)
    p.add_node(plain)
    p.add_node(first)
    with pytest.raises(ValueError, match="^Node already exists in pipeline.$"):
        p.add_node(Keyed(1))
    # An equal stand-in removes the first element equal to it, not only itself.
    p.add_node(Keyed(2))
    p.remove_node(Keyed(1))
    assert [getattr(n, "key", None) for n in p._imp._nodes] == [None, 2]
    with pytest.raises(KeyError, match="Node not found in pipeline."):
        p.remove_node(Keyed(1))
    # An element that claims equality with anything is asked about a plain node too.
    q = Pipeline("")
    q.add_node(EqualToAll(0))
    with pytest.raises(ValueError, match="^Node already exists in pipeline.$"):
        q.add_node(Source(name="other"))
    assert len(q._imp._nodes) == 1
