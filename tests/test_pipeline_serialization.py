"""Pipeline serialisation: round trips through dictionaries and JSON files, and
every way a stored pipeline can be refused."""

import json
import threading

import pytest

import velarix.pipeline
from velarix import Pipeline, Portable
from velarix.i_node import INode
from velarix.imp import PortableImp
from velarix.io_node import IONode
from velarix.o_node import ONode

WAIT = 10


# Node classes live at module level: serialisation stores their source.


class Feed(ONode):
    def step(self, data):
        return {"out": data["x"]}


class Double(IONode):
    def step(self, data):
        return {"out": data["in"] * 2}


class Collect(INode):
    def __init__(self, **entries):
        super().__init__(**entries)
        self.values = []
        self.expected = None
        self.done = threading.Event()

    def step(self, data):
        self.values.append(data["in"])
        if len(self.values) == self.expected:
            self.done.set()


class Refused(Exception):
    pass


class RefusingPort(PortableImp):
    """Registered under an id like a port, but refuses every link without a word."""

    def connect(self, other):
        raise Refused


@pytest.fixture
def made(monkeypatch, tmp_path):
    """The pipelines deserialize creates, logging into tmp_path; their loggers are
    stopped afterwards."""
    made = []

    class Capturing(Pipeline):
        def __init__(self, directory=None):
            super().__init__(str(tmp_path) if directory is None else directory)
            made.append(self)

    monkeypatch.setattr(velarix.pipeline, "Pipeline", Capturing)
    yield made
    for pipeline in made:
        pipeline.get_logger().stop()


def port_id(node, name, output=True):
    port = ONode.get_port(node, name) if output else INode.get_port(node, name)
    return port.config["id"]


def graph():
    """feed -> double -> collect, and feed -> side: a chain with a fan-out."""
    p = Pipeline("")
    feed, double, collect, side = Feed(name="feed"), Double(name="double"), Collect(name="collect"), Collect(name="side")
    p.connect(feed, double)
    p.connect(feed, side)
    p.connect(double, collect)
    return p, (feed, double, collect, side)


def by_name(pipeline):
    return {node.get_name(): node for node in pipeline._imp._nodes}


def runs(pipeline):
    """Push three values through a re-created graph and see them arrive."""
    nodes = by_name(pipeline)
    for sink in (nodes["collect"], nodes["side"]):
        sink.expected = 3
    pipeline.start()
    for i in range(3):
        nodes["feed"].cycle({"x": i})
    assert nodes["collect"].done.wait(WAIT) and nodes["side"].done.wait(WAIT)
    pipeline.stop()
    return nodes["collect"].values, nodes["side"].values


def test_serialised_form_lists_nodes_then_links_in_walk_order():
    p, (feed, double, collect, side) = graph()
    data = p.serialize()
    assert list(data) == ["nodes", "connections"]
    assert [n["config"]["name"] for n in data["nodes"]] == ["feed", "double", "side", "collect"]
    assert data["connections"] == [
        (port_id(feed, "out"), port_id(double, "in", output=False)),
        (port_id(feed, "out"), port_id(side, "in", output=False)),
        (port_id(double, "out"), port_id(collect, "in", output=False)),
    ]
    # Links are read from the ports: one to a node outside the pipeline shows too.
    outsider = Collect(name="outsider")
    feed.connect("out", outsider, "in")
    assert p.serialize()["connections"][2] == (port_id(feed, "out"), port_id(outsider, "in", output=False))
    assert Pipeline("").serialize() == {"nodes": [], "connections": []}


def test_round_trip_rebuilds_a_working_stopped_pipeline(no_thread_leak, made):
    p, _ = graph()
    data = p.serialize()
    Portable.reset()
    q = Pipeline.deserialize(data)
    assert q is made[0]
    assert (q.get_state(), q.get_condition()) == ("STOPPED", "HEALTHY")
    messages = [e["message"] for e in q.get_logger().get_all()]
    links = [f"Connected ports {a} and {b}." for a, b in data["connections"]]
    assert messages == [
        "Starting pipeline deserialization...",
        "Node feed added to pipeline.", "Node double added to pipeline.",
        "Node side added to pipeline.", "Node collect added to pipeline.",
        *links, "Deserialization complete."]
    assert q.serialize()["connections"] == data["connections"]
    assert runs(q) == ([0, 2, 4], [0, 1, 2])


def test_json_file_round_trip(no_thread_leak, made, tmp_path):
    p, _ = graph()
    path = tmp_path / "pipeline.json"
    p.save(path)
    stored = json.loads(path.read_text())
    assert all(type(pair) is list for pair in stored["connections"])
    Portable.reset()
    q = Pipeline.load(path)
    assert q.serialize()["connections"] == [tuple(pair) for pair in stored["connections"]]
    assert runs(q) == ([0, 2, 4], [0, 1, 2])


def test_empty_pipeline_round_trip_writes_two_lines(made):
    q = Pipeline.deserialize({"nodes": [], "connections": []})
    assert [e["message"] for e in q.get_logger().get_all()] == [
        "Starting pipeline deserialization...", "Deserialization complete."]
    assert q._imp._nodes == []


# Refusals ---------------------------------------------------------------------------


def stored_chain():
    p = Pipeline("")
    feed, collect = Feed(name="feed"), Collect(name="collect")
    p.connect(feed, collect)
    data = p.serialize()
    Portable.reset()
    return data


def logged(pipeline, kind=None):
    return [e["message"] for e in pipeline.get_logger().get_all() if kind in (None, e["type"])]


def test_missing_keys_refuse_before_anything_is_made(made):
    for data in ({"nodes": []}, {"connections": []}, {}):
        with pytest.raises(KeyError):
            Pipeline.deserialize(data)
    assert made == []


@pytest.mark.parametrize("pair, message", [
    (("only",), r"not enough values to unpack \(expected 2, got 1\)"),
    (("a", "b", "c"), r"too many values to unpack \(expected 2\)"),
    (7, r"cannot unpack non-iterable int object"),
])
def test_a_malformed_link_is_refused_unlogged(made, pair, message):
    data = stored_chain()
    data["connections"] = [pair]
    with pytest.raises((ValueError, TypeError), match=message):
        Pipeline.deserialize(data)
    assert logged(made[0]) == [
        "Starting pipeline deserialization...", "Node feed added to pipeline.",
        "Node collect added to pipeline."]


def test_an_id_of_the_wrong_type_is_refused_by_the_lookup(made):
    data = stored_chain()
    data["connections"] = [(data["connections"][0][0], 42)]
    with pytest.raises(TypeError, match=r"^Argument 'id' has incorrect type \(expected str, got int\)$"):
        Pipeline.deserialize(data)
    assert logged(made[0], "ERROR") == []


def test_a_failed_link_is_logged_and_raised_as_one_message(made):
    data = stored_chain()
    out_id, in_id = data["connections"][0]
    cases = [
        (("no such port", in_id), "'NoneType' object has no attribute 'connect'"),
        ((out_id, out_id), "An output port connects only to an input port, not to OPortImp."),
        (("refusing", in_id), "Refused"),  # an error without arguments still reads
    ]
    for index, (pair, cause) in enumerate(cases):
        Portable.reset()
        RefusingPort(Portable.Configuration(id="refusing"))
        message = "Deserialization failed: " + cause
        with pytest.raises(TypeError) as error:
            Pipeline.deserialize({"nodes": data["nodes"], "connections": [pair]})
        assert str(error.value) == message
        assert logged(made[index], "ERROR") == [message]
        # Its logger is stopped: the failure is in the file before the error goes on.
        lines = open(made[index].get_logger().get_file_name()).read().splitlines()
        assert message in lines[-2] and "Logging ended." in lines[-1]


def test_a_node_that_cannot_be_recreated_passes_its_error_on(made):
    data = stored_chain()
    data["nodes"][1] = {"class": "Plain", "module": "plain", "source": "class Plain:\n    pass\n", "config": {}}
    with pytest.raises(TypeError, match=r"^Class 'Plain' must be derived from class 'Portable'\.$"):
        Pipeline.deserialize(data)
    assert logged(made[0]) == ["Starting pipeline deserialization...", "Node feed added to pipeline."]


class SameName(INode):
    """Equal to any node with the same name."""

    def step(self, data):
        pass

    def __eq__(self, other):
        return hasattr(other, "get_name") and other.get_name() == self.get_name()

    __hash__ = object.__hash__


def test_a_load_asks_nodes_with_their_own_equality_as_add_node_always_does(made):
    # The load's shortcut for nodes with object's own equality must still ask the
    # nodes whose class has its own: here the second says it equals the third.
    p = Pipeline("")
    for node in (Feed(name="feed"), SameName(name="a"), Feed(name="b"), Feed(name="tail")):
        p.add_node(node)
    data = p.serialize()
    p.get_logger().stop()
    data["nodes"][2]["config"]["name"] = "a"
    Portable.reset()
    with pytest.raises(ValueError, match="^Node already exists in pipeline.$"):
        Pipeline.deserialize(data)
    Portable.reset()
    plain = Pipeline("")
    feeds = [Feed(name=f"f{i}") for i in range(50)]
    for node in feeds:
        plain.add_node(node)
    data = plain.serialize()
    plain.get_logger().stop()
    Portable.reset()
    loaded = Pipeline.deserialize(data)
    assert [n.get_name() for n in loaded._imp._nodes] == [f"f{i}" for i in range(50)]
    with pytest.raises(ValueError, match="^Node already exists in pipeline.$"):
        loaded.add_node(loaded._imp._nodes[17])  # after the load: the full test again
