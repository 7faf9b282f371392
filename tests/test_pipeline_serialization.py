"""Pipeline serialisation: round trips through dictionaries and JSON files, and
every way a stored pipeline can be refused."""

import inspect
import json
import linecache
import os
import traceback

import pytest

import velarix.pipeline
from nodes import Double, Sink, Source
from velarix import Pipeline, Portable
from velarix.i_node import INode
from velarix.imp import PortableImp
from velarix.io_node import IONode
from velarix.o_node import ONode

WAIT = 10
GAIN = 3  # a module constant that a saved class cannot carry


class UsesModuleConstant(IONode):
    def step(self, data):
        return {"out": data["in"] * GAIN}


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
    feed, double, collect, side = Source(name="feed"), Double(name="double"), Sink(name="collect"), Sink(name="side")
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
    outsider = Sink(name="outsider")
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
    feed, collect = Source(name="feed"), Sink(name="collect")
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
    for node in (Source(name="feed"), SameName(name="a"), Source(name="b"), Source(name="tail")):
        p.add_node(node)
    data = p.serialize()
    p.get_logger().stop()
    data["nodes"][2]["config"]["name"] = "a"
    Portable.reset()
    with pytest.raises(ValueError, match="^Node already exists in pipeline.$"):
        Pipeline.deserialize(data)
    Portable.reset()
    plain = Pipeline("")
    feeds = [Source(name=f"f{i}") for i in range(50)]
    for node in feeds:
        plain.add_node(node)
    data = plain.serialize()
    plain.get_logger().stop()
    Portable.reset()
    loaded = Pipeline.deserialize(data)
    assert [n.get_name() for n in loaded._imp._nodes] == [f"f{i}" for i in range(50)]
    with pytest.raises(ValueError, match="^Node already exists in pipeline.$"):
        loaded.add_node(loaded._imp._nodes[17])  # after the load: the full test again


# Loading again in the same process ---------------------------------------------------

def all_ids(data):
    """Every node and port id of a serialised pipeline."""
    ids = []
    for node in data["nodes"]:
        ids.append(node["config"]["id"])
        for key in ("input_ports", "output_ports"):
            ids += [port["id"] for port in node["config"].get(key, [])]
    return ids


def test_fresh_ids_load_one_file_twice_beside_the_saved_pipeline(no_thread_leak, made, tmp_path):
    p, _ = graph()
    path = tmp_path / "pipeline.json"
    p.save(path)
    text = path.read_text()
    # Ids are identities: the saved objects still hold theirs.
    with pytest.raises(ValueError, match=r"^ID '.{16}' conflict with another object\.$"):
        Pipeline.load(path)
    Portable.reset()
    p.save(path)  # the registry was emptied: register p's objects again
    first, second = (Pipeline.load(path, fresh_ids=True) for _ in range(2))
    assert path.read_text() == text

    saved = json.loads(text)
    ids = [all_ids(saved), all_ids(first.serialize()), all_ids(second.serialize())]
    assert all(len(set(each)) == len(each) for each in ids)
    assert not set(ids[0]) & set(ids[1]) and not set(ids[1]) & set(ids[2])
    # Generated as the system generates ids: 16 columns of upper-case hex, blank-padded.
    assert all(len(i) == 16 and int(i, 16) >= 0 and i.lstrip() == i.lstrip().upper() for i in ids[1])
    assert set(ids[1]) <= PortableImp._ids

    for loaded in (first, second):
        # The same links between the same ports, under the new ids.
        renamed = dict(zip(ids[0], all_ids(loaded.serialize())))
        assert loaded.serialize()["connections"] == [
            (renamed[a], renamed[b]) for a, b in saved["connections"]]
        assert [n["config"]["name"] for n in loaded.serialize()["nodes"]] == ["feed", "double", "side", "collect"]
        assert logged(loaded)[-4:-1] == [f"Connected ports {a} and {b}." for a, b in loaded.serialize()["connections"]]
        assert runs(loaded) == ([0, 2, 4], [0, 1, 2])
    assert runs(p) == ([0, 2, 4], [0, 1, 2])


def test_fresh_ids_leave_the_data_as_it_was_and_keep_the_specified_refusals(made):
    p, _ = graph()
    data = p.serialize()
    before = json.dumps(data)
    loaded = Pipeline.deserialize(data, fresh_ids=True)
    assert json.dumps(data) == before
    assert [n.config["name"] for n in loaded.get_nodes()] == ["feed", "double", "side", "collect"]
    assert Portable.get_by_id(data["nodes"][0]["config"]["id"]) is p.get_nodes()[0]._imp
    with pytest.raises(KeyError):
        Pipeline.deserialize({"nodes": []}, fresh_ids=True)
    with pytest.raises(TypeError, match="incorrect type"):
        Pipeline.deserialize([], fresh_ids=True)
    data["connections"] = [("only",)]
    with pytest.raises(ValueError, match="not enough values to unpack"):
        Pipeline.deserialize(data, fresh_ids=True)
    # A link to a port no saved node has keeps its id, and fails as any unknown id.
    data["connections"] = [("nowhere", "nothing")]
    with pytest.raises(TypeError, match="^Deserialization failed: "):
        Pipeline.deserialize(data, fresh_ids=True)


@pytest.mark.parametrize("content, reason", [
    ("[1, 2]", "it holds a JSON array, not an object"),
    ('{"name": "x"}', 'it has no "nodes" entry'),
    ('{"nodes": []}', 'it has no "connections" entry'),
    ('{"nodes": {}, "connections": []}', 'its "nodes" entry is a JSON object, not an array'),
    ('{"nodes": [3], "connections": []}', "node 0 is a JSON number, not an object"),
    ('{"nodes": [{"class": "X", "config": {}}], "connections": []}', 'node 0 has no "module", "source" entries'),
])
def test_loading_json_that_is_no_pipeline_says_so(made, tmp_path, content, reason):
    path = tmp_path / "settings.json"
    path.write_text(content)
    with pytest.raises(ValueError) as raised:
        Pipeline.load(path)
    assert str(raised.value) == f"{path} is not a saved pipeline: {reason}"
    # What such a load raised before the check: callers catching it still do.
    assert isinstance(raised.value, KeyError) and isinstance(raised.value, TypeError)
    assert made == []


# Tracebacks and classes defined in functions -------------------------------------------

class Faulty(IONode):
    def step(self, data):
        value = data["in"]
        raise RuntimeError(f"faulty at {value}")


def test_a_loaded_class_shows_its_lines_in_tracebacks(made, tmp_path):
    p = Pipeline("")
    p.add_node(Faulty(name="faulty"))
    path = tmp_path / "faulty.json"
    p.save(path)
    Portable.reset()
    loaded = Pipeline.load(path).get_nodes()[0]
    linecache.checkcache()  # as traceback does: the entry must survive it
    with pytest.raises(RuntimeError) as raised:
        loaded.step({"in": 3})
    text = "".join(traceback.format_exception(raised.value))
    assert 'File "<velarix: Faulty from faulty.json>", line ' in text
    assert 'raise RuntimeError(f"faulty at {value}")' in text
    # Without a file, the class still names itself and shows its lines.
    Portable.reset()
    again = Pipeline.deserialize(json.loads(path.read_text())).get_nodes()[0]
    with pytest.raises(RuntimeError) as raised:
        again.step({"in": 4})
    text = "".join(traceback.format_exception(raised.value))
    assert 'File "<velarix: Faulty>"' in text
    assert 'raise RuntimeError(f"faulty at {value}")' in text


def test_a_class_defined_inside_a_function_saves_and_loads(no_thread_leak, made, tmp_path):
    class Local(IONode):
        """Triples."""

        def step(self, data):
            return {"out": data["in"] * 3}

    p = Pipeline("")
    feed, local, collect = Source(name="feed"), Local(name="local"), Sink(name="collect")
    p.connect(feed, local)
    p.connect(local, collect)
    path = tmp_path / "local.json"
    p.save(path)
    stored = json.loads(path.read_text())["nodes"][1]["source"]
    # Stored as written, indented; loading runs it dedented.
    assert stored.endswith(inspect.getsource(Local)) and "\n    class Local(IONode):" in stored
    loaded = Pipeline.load(path, fresh_ids=True)
    nodes = by_name(loaded)
    assert type(nodes["local"]).__name__ == "Local" and type(nodes["local"]) is not Local
    nodes["collect"].expected = 2
    loaded.start()
    nodes["feed"].cycle({"x": 1})
    nodes["feed"].cycle({"x": 2})
    assert nodes["collect"].done.wait(WAIT)
    loaded.stop()
    assert nodes["collect"].values == [3, 6]
    # Saved again, the loaded class keeps the text it was made from: inspect finds
    # no such class in this file, and a None here would lose it.
    again = tmp_path / "again.json"
    loaded.save(again)
    assert json.loads(again.read_text())["nodes"][1]["source"] == stored


# Save checks and log folders ---------------------------------------------------------


def test_save_refuses_what_load_could_not_run_and_leaves_the_file(tmp_path):
    path = tmp_path / "p.json"
    path.write_text("earlier")
    pipeline = Pipeline("")
    pipeline.connect(Source(), UsesModuleConstant())
    with pytest.raises(ValueError, match=r"Class 'UsesModuleConstant' cannot be saved: .*uses GAIN"):
        pipeline.save(str(path))

    unwritable = Pipeline("")
    unwritable.add_node(Sink(name="sink", labels={"a", "b"}))
    with pytest.raises(ValueError, match=r"Node 'sink' \(class Sink\): configuration entry 'labels'"):
        unwritable.save(str(path))
    assert path.read_text() == "earlier"
    assert [p.name for p in tmp_path.iterdir()] == ["p.json"]  # no temporary left


def test_save_then_load_into_a_chosen_log_folder(tmp_path):
    pipeline = Pipeline("")
    pipeline.connect(Source(), Sink())
    path = tmp_path / "p.json"
    pipeline.save(str(path))
    Source.reset()
    logs = tmp_path / "logs"
    loaded = Pipeline.load(str(path), directory=str(logs))
    assert os.path.dirname(loaded.get_logger().get_file_name()) == str(logs)
    loaded.close()
    Source.reset()
    assert Pipeline.deserialize(pipeline.serialize() | {}, directory="").get_logger().get_file_name() is None
