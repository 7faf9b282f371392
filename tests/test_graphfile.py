"""Graph files: checked with positions, built, run, converted from saved JSON."""

import json
import logging
import os
import pathlib
import subprocess
import sys
import threading

import pytest

import graphfile_nodes
import velarix
from velarix import Pipeline, cli
from velarix.graphfile import GraphFileError, check, to_graph_text
from velarix.graphfile._toml_positions import TomlPositions

ROOT = pathlib.Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
PACKAGE_ROOT = str(pathlib.Path(velarix.__file__).resolve().parents[1])
TESTS = str(pathlib.Path(__file__).resolve().parent)
WAIT = 60

GOOD = """\
threads = 2
links = ["numbers -> scale -> sink"]

[nodes.numbers]
class = "graphfile_nodes:Numbers"

[nodes.scale]
class = "graphfile_nodes:Scale"
factor = 3

[nodes.sink]
class = "graphfile_nodes:Collect"
"""


def velarix_command(*args, cwd, env=None, timeout=WAIT):
    env = dict(os.environ if env is None else env, PYTHONPATH=os.pathsep.join([PACKAGE_ROOT, TESTS]))
    return subprocess.run([sys.executable, "-m", "velarix", *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=timeout)


def write(tmp_path, text, name="graph.toml"):
    path = tmp_path / name
    path.write_text(text)
    return path


def replace(text, old, new):
    assert old in text
    return text.replace(old, new, 1)


# One file per kind of problem: where it must be reported and what it must say.
BROKEN = {
    "toml syntax": ("graph.toml", replace(GOOD, "factor = 3", "factor = = 3"), 9, 10, "not valid TOML"),
    "yaml syntax": ("graph.yaml", "nodes:\n  a:\n    class: x:Y\n   bad: [1\n", 4, 4, "not valid YAML"),
    "unknown top-level key": ("graph.toml", replace(GOOD, "threads", "thread"), 1, 1,
                              "unknown key 'thread' at the top of the file (did you mean 'threads'?)"),
    "unknown node key": ("graph.toml", replace(GOOD, 'class = "graphfile_nodes:Collect"',
                                               'class = "graphfile_nodes:Collect"\nworkr = "w1"'), 13, 1,
                         "unknown key 'workr' of node 'sink' (did you mean 'worker'?)"),
    "near miss of a declared key": ("graph.toml", GOOD + '\n[nodes.f]\nclass = "velarix.nodes:Filter"\norder = 2\n'
                                    'cutof = 4\n', 17, 1, "unknown key 'cutof' of node 'f' (did you mean 'cutoff'?)"),
    "class that does not import": ("graph.toml", replace(GOOD, "graphfile_nodes:Scale", "graphfile_nodez:Scale"),
                                   8, 9, "class 'graphfile_nodez:Scale' does not import: ModuleNotFoundError"),
    "class missing in its module": ("graph.toml", replace(GOOD, "graphfile_nodes:Scale", "graphfile_nodes:Scal"),
                                    8, 9, "graphfile_nodes has no 'Scal' (did you mean 'Scale'?)"),
    "configuration refused": ("graph.toml", GOOD + '\n[nodes.f]\nclass = "velarix.nodes:Filter"\norder = "two"\n'
                              'cutoff = 4\n', 16, 1, "Filter refuses its configuration: TypeError: Filter: order"),
    "link to a missing node": ("graph.toml", replace(GOOD, "numbers -> scale", "numbers -> scael"), 2, 22,
                               "link to a node 'scael' that the file does not describe (did you mean 'scale'?)"),
    "link to a missing port": ("graph.toml", replace(GOOD, '"numbers -> scale', '"numbers.output -> scale'), 2, 11,
                               "node 'numbers' has no output port 'output' (did you mean 'out'?)"),
    "port linked twice": ("graph.toml", replace(GOOD, '"numbers -> scale -> sink"',
                                                '"numbers -> scale -> sink", "numbers.out -> scale.in"'), 2, 38,
                          "link numbers.out -> scale.in is listed twice"),
    "unset variable": ("graph.toml", replace(GOOD, "factor = 3", 'factor = "${GRAPH_TEST_UNSET}"'), 9, 10,
                       "${GRAPH_TEST_UNSET} is not set in the environment"),
    "yaml link to a missing port": ("graph.yaml", "links:\n  - numbers -> sink.inn\nnodes:\n  numbers: "
                                    "{class: 'graphfile_nodes:Numbers'}\n  sink: {class: 'graphfile_nodes:Collect'}\n",
                                    2, 16, "node 'sink' has no input port 'inn' (did you mean 'in'?)"),
}


@pytest.mark.parametrize("kind", sorted(BROKEN))
def test_each_kind_of_problem_points_at_its_line_and_column(kind, tmp_path, capsys, monkeypatch):
    # The command line turns the "velarix" logging logger off; later tests need it on.
    monkeypatch.setattr(logging.getLogger("velarix"), "disabled", False)
    name, text, line, column, message = BROKEN[kind]
    if name.endswith(".yaml"):
        pytest.importorskip("yaml", reason="YAML graph files need the extra graphfile")
    path = write(tmp_path, text, name)
    before = set(threading.enumerate())
    assert cli.main(["check", str(path)]) == 2
    out = capsys.readouterr().out
    assert f"{path}:{line}:{column}: " in out, out
    assert message in out.split(f"{path}:{line}:{column}: ", 1)[1].splitlines()[0], out
    with pytest.raises(GraphFileError) as raised:
        Pipeline.from_file(str(path))
    assert (raised.value.problems[0].line, raised.value.problems[0].column) == (line, column)
    assert set(threading.enumerate()) == before  # nothing started


def test_run_of_a_broken_file_exits_2_and_starts_nothing(tmp_path):
    path = write(tmp_path, replace(GOOD, "threads", "thread"))
    logs = tmp_path / "logs"
    result = velarix_command("run", path, "--log-dir", logs, "--seconds", 1, cwd=tmp_path)
    assert result.returncode == 2
    assert f"{path}:1:1: unknown key 'thread'" in result.stderr
    assert not logs.exists() and result.stdout == ""


def test_check_lists_every_problem_of_a_file_at_once(tmp_path):
    text = (replace(replace(replace(GOOD, "threads", "thread"), "graphfile_nodes:Scale", "nowhere:Scale"),
                    "-> sink", "-> sinc")
            + '\n[nodes.late]\nclass = "graphfile_nodes:Numbers"\nrate = "${GRAPH_TEST_UNSET}"\n')
    problems = check(str(write(tmp_path, text)))
    assert [(p.line, p.column) for p in problems] == [(1, 1), (2, 31), (8, 9), (16, 8)]
    assert "does not import" in problems[2].message and "GRAPH_TEST_UNSET" in problems[3].message


def test_cycles_and_fan_in_are_allowed_as_in_python(tmp_path):
    text = replace(GOOD, '"numbers -> scale -> sink"', '"numbers -> scale -> sink", "scale -> back -> scale", '
                   '"numbers -> sink"') + '\n[nodes.back]\nclass = "graphfile_nodes:Scale"\n'
    assert check(str(write(tmp_path, text))) == []


# Building and running --------------------------------------------------------------

def test_a_graph_file_builds_the_pipeline_python_would(tmp_path, monkeypatch):
    monkeypatch.setenv("GRAPH_TEST_FACTOR", "5")
    text = (replace(GOOD, "factor = 3", 'factor = "${GRAPH_TEST_FACTOR}"\nlabel = "x${GRAPH_TEST_NONE:-7}$${kept}"')
            + 'inputs = { in = { timing = "ASYNC", capacity = 4, overflow = "drop_oldest" } }\n')
    pipeline = Pipeline.from_file(str(write(tmp_path, text)), overrides=["threads=3"])
    numbers, scale, sink = pipeline.get_nodes()
    assert scale.config["factor"] == 5 and scale.config["label"] == "x7${kept}"
    assert dict(sink.config["input_ports"][0]) | {"id": None} == {
        "name": "in", "timing": "ASYNC", "capacity": 4, "overflow": "drop_oldest", "id": None}
    assert pipeline.get_threads() == 3
    python = Pipeline(directory="", threads=3)
    python.connect(graphfile_nodes.Numbers(name="numbers"), graphfile_nodes.Scale(name="scale", factor=5))
    python.connect(python.get_nodes()[1], graphfile_nodes.Collect(
        name="sink", input_ports=[{"name": "in", "timing": "ASYNC", "capacity": 4, "overflow": "drop_oldest"}]))
    assert cli.describe_text(pipeline) == cli.describe_text(python)
    with pipeline:
        pipeline.start()
        numbers.cycle({"n": 2})
        assert sink.wait_for(1)
        pipeline.stop()
    assert sink.seen == [10]
    python.close()


@pytest.mark.parametrize("overrides, shown", [
    (["nodes.numbers.rate=20"], "20/s"),
    (["nodes.numbers.outputs=['a', 'b']", "links=['numbers.b -> sink']"], "numbers.b  ->  sink.in"),
])
def test_set_overrides_any_value(tmp_path, overrides, shown):
    path = write(tmp_path, GOOD)
    result = velarix_command("show", path, *[f"--set={o}" for o in overrides], cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert shown in result.stdout


def test_a_bad_override_is_named(tmp_path):
    result = velarix_command("check", write(tmp_path, GOOD), "--set", "nodes.scale.factor", "--set",
                             "nodes.numbers.rate=fast", cwd=tmp_path)
    assert result.returncode == 2
    assert "--set nodes.scale.factor: expected KEY=VALUE" in result.stdout
    assert "--set nodes.numbers.rate=fast: node 'numbers': Numbers refuses its configuration" in result.stdout


# Converting saved pipelines ----------------------------------------------------------

def saved_pipeline(path):
    pipeline = Pipeline(directory="", threads=2)
    numbers = graphfile_nodes.Numbers(name="numbers", rate=10, output_ports=[{"name": "a"}, {"name": "b",
                                                                                              "timing": "ASYNC"}])
    scale = graphfile_nodes.Scale(name="scale two", factor=[1.5, {"deep": "x\ny"}],
                                  input_ports=[{"name": "in", "timing": "ASYNC", "capacity": 2}])
    pipeline.connect_ports(numbers, "b", scale, "in")
    pipeline.connect_ports(numbers, "a", graphfile_nodes.Collect(name="sink"), "in")
    pipeline.connect(scale, pipeline.get_nodes()[-1])
    pipeline.save(str(path))
    pipeline.close()
    return path


@pytest.mark.parametrize("suffix", [".toml", ".yaml"])
def test_convert_then_show_gives_the_same_graph(tmp_path, suffix):
    if suffix == ".yaml":
        pytest.importorskip("yaml", reason="YAML graph files need the extra graphfile")
    saved = saved_pipeline(tmp_path / "saved.json")
    graph = tmp_path / f"graph{suffix}"
    converted = velarix_command("convert", saved, "--to", graph, cwd=tmp_path)
    assert converted.returncode == 0, converted.stderr
    shows = [velarix_command("show", path, cwd=tmp_path) for path in (saved, graph)]
    assert shows[0].returncode == shows[1].returncode == 0, shows[1].stderr
    assert shows[0].stdout == shows[1].stdout
    drawn = [velarix_command("graph", path, "--format", "mermaid", cwd=tmp_path).stdout for path in (saved, graph)]
    assert drawn[0] == drawn[1] and "flowchart LR" in drawn[0]
    assert velarix_command("run", graph, "--seconds", 0.3, "--log-dir", "", cwd=tmp_path).returncode == 0


def test_convert_names_every_class_that_does_not_import(tmp_path):
    script = tmp_path / "make.py"
    script.write_text("from velarix import INode, ONode, Pipeline\n"
                      "class Here(ONode):\n    def step(self, data): return {'out': 1}\n"
                      "class There(INode):\n    def step(self, data): pass\n"
                      "p = Pipeline(directory='')\np.connect(Here(), There())\np.save('s.json')\n")
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=env, check=True, timeout=WAIT)
    result = velarix_command("convert", "s.json", "--to", "g.toml", cwd=tmp_path)
    assert result.returncode == 2 and not (tmp_path / "g.toml").exists()
    assert "__main__:Here" in result.stderr and "__main__:There" in result.stderr


def test_toml_positions_follow_strings_tables_and_arrays():
    text = ('# top\n"quoted.key" = """a\n"b" # not a comment\n"""\n[t . "u v"]\nx = { y = [1, "]", 3] }\n'
            "[[arr]]\nz = 'l'\n[[arr]]\nz = 2\n")
    positions = TomlPositions(text)
    assert positions.keys[("quoted.key",)] == (2, 1)
    assert positions.keys[("t", "u v")] == (5, 2)
    assert positions.values[("t", "u v", "x", "y", 2)] == (6, 20)
    assert positions.keys[("arr", 1, "z")] == (10, 1)


def test_to_graph_text_refuses_what_toml_cannot_hold():
    data = {"nodes": [{"class": "Numbers", "module": "graphfile_nodes", "source": None,
                       "config": {"name": "n", "id": "1", "odd": None}}], "connections": []}
    with pytest.raises(ValueError, match="node 'n' key 'odd' is null"):
        to_graph_text(data)
    assert "odd: null" in to_graph_text(data, yaml=True)


# The examples ------------------------------------------------------------------------

def test_demo_graph_file_runs_the_demo_pipeline(tmp_path):
    result = velarix_command("run", EXAMPLES / "demo.toml", "--seconds", 1, "--log-dir", "", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    for row in ("Sensor", "Smooth", "Display"):
        assert row in result.stdout
    sys.path.insert(0, str(EXAMPLES))
    try:
        import demo
    finally:
        sys.path.remove(str(EXAMPLES))
    python = Pipeline(directory="")
    sensor, smooth, display = demo.Sensor(name="sensor", rate=demo.RATE), demo.Smooth(name="smooth"), \
        demo.Display(name="display")
    python.connect(sensor, smooth)
    python.connect(smooth, display)
    from_file = Pipeline.from_file(str(EXAMPLES / "demo.toml"))
    assert cli.describe_text(from_file) == cli.describe_text(python)
    assert from_file.get_nodes()[1].config["alpha"] == smooth.config["alpha"]
    from_file.close()
    python.close()


def example_module(name):
    import importlib.util

    spec = importlib.util.spec_from_file_location(f"example_{name}", EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def band_powers(pipeline, stream, results):
    """Run `pipeline` on the ZeroMQ example's device; the last band powers it published."""
    zmq = pytest.importorskip("zmq")
    example = example_module("zmq_bandpower")
    stop = threading.Event()
    sender = threading.Thread(target=example.device, args=(stream, stop))
    sender.start()
    try:
        with pipeline, zmq.Context() as context, context.socket(zmq.SUB) as reader:
            pipeline.start()
            reader.connect(results)
            reader.subscribe(b"bandpower")
            reader.rcvtimeo = 10_000
            powers = [json.loads(reader.recv_multipart()[1])["samples"][0] for _ in range(20)]
            pipeline.stop()
    finally:
        stop.set()
        sender.join()
    return powers[-1]


def test_zmq_bridge_example_gives_what_the_python_pipeline_gives(monkeypatch):
    pytest.importorskip("scipy")
    from velarix.connect import ZMQPublisher, ZMQSubscriber
    from velarix.nodes import BandPower, Filter, Window

    example = example_module("zmq_bandpower")
    found = {}
    for how in ("file", "python"):
        stream, results = f"tcp://127.0.0.1:{example.free_port()}", f"tcp://127.0.0.1:{example.free_port()}"
        if how == "file":
            monkeypatch.setenv("STREAM", stream)
            monkeypatch.setenv("RESULTS", results)
            pipeline = Pipeline.from_file(str(EXAMPLES / "zmq_bridge.toml"))
        else:
            pipeline = Pipeline(directory="")
            chain = [ZMQSubscriber(name="inlet", endpoint=stream, topic="eeg", encoding="numpy", nominal_srate=250.0,
                                   channel_count=2, channel_names=["left", "right"]),
                     Filter(name="band", order=4, cutoff=[4, 30], btype="bandpass"),
                     Window(name="window", size=125, hop=25),
                     BandPower(name="power", bands={"alpha": [8, 12], "beta": [18, 22]}),
                     ZMQPublisher(name="outlet", endpoint=results, bind=True, topic="bandpower", encoding="json")]
            for a, b in zip(chain, chain[1:]):
                pipeline.connect(a, b)
        found[how] = (cli.describe_text(pipeline), band_powers(pipeline, stream, results))
    assert found["file"][0] == found["python"][0]
    for left_alpha, left_beta, right_alpha, right_beta in (found["file"][1], found["python"][1]):
        assert left_alpha > left_beta and right_beta > right_alpha


def test_offline_replay_example_records_what_the_python_pipeline_records(tmp_path):
    pytest.importorskip("scipy")
    pytest.importorskip("mcap")
    from velarix.connect import ZMQSubscriber
    from velarix.nodes import BandPower, Filter, Window
    from velarix.record import RecordingReader

    source = graphfile_nodes.EEG(name="eeg")
    with Pipeline(directory="") as pipeline:
        pipeline.add_node(source)
        pipeline.record(str(tmp_path / "eeg.mcap"), ports=["eeg.out"])
        pipeline.start()
        for k in range(60):
            source.cycle({"k": k})
        pipeline.stop()
    python = Pipeline(directory="")
    chain = [ZMQSubscriber(name="eeg", endpoint="tcp://127.0.0.1:5556", topic="eeg", encoding="numpy",
                           nominal_srate=250.0, channel_count=2),
             Filter(name="band", order=4, cutoff=[1.0, 40.0], btype="bandpass", rate=250.0),
             Window(name="window", size=250, hop=125, input_ports=[{"name": "in", "capacity": 64}]),
             BandPower(name="power", bands={"theta": [4, 8], "alpha": [8, 13], "beta": [13, 30]}, rate=250.0)]
    for a, b in zip(chain, chain[1:]):
        python.connect(a, b)
    python.save(str(tmp_path / "python.json"))
    python.close()
    recorded = {}
    for name, graph in (("file", EXAMPLES / "offline_replay.toml"), ("python", tmp_path / "python.json")):
        out = tmp_path / f"{name}.mcap"
        result = velarix_command("replay", tmp_path / "eeg.mcap", "--pipeline", graph, "--speed", "max",
                                 "--record", out, "--allow-pickle", cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        recorded[name] = [m.value()["samples"] for m in RecordingReader(str(out), allow_pickle=True).messages()
                          if m.channel.topic == "power.out"]
    assert len(recorded["file"]) == 11
    assert all((a == b).all() for a, b in zip(recorded["file"], recorded["python"], strict=True))


def test_lsl_example_runs_from_its_graph_file_in_its_own_namespace(tmp_path):
    pytest.importorskip("scipy")
    pytest.importorskip("pylsl")
    from netns import run_confined

    result = run_confined([EXAMPLES / "lsl_bandpower.py", "--graph", EXAMPLES / "lsl_bandpower.toml"], tmp_path,
                          timeout=90, package_root=PACKAGE_ROOT)
    # The lines the Python-built pipeline gives (test_connect_lsl.py runs it).
    assert result.returncode == 0, result.stdout + result.stderr[-4000:]
    assert "reader: 4 samples of 24 channels (C0_theta, C0_alpha, ...)" in result.stdout
    assert "reader: strongest band on every channel: alpha" in result.stdout
    assert "pipeline: HEALTHY" in result.stdout
    assert "Traceback" not in result.stderr


def test_nodes_placed_on_workers_run_there(tmp_path):
    pytest.importorskip("zmq")
    text = replace(GOOD, "factor = 3", 'factor = 3\nworker = "w1"') + "\n[workers.w1]\n"
    pipeline = Pipeline.from_file(str(write(tmp_path, text)), overrides=["log_dir=''"])
    numbers, scale, sink = pipeline.get_nodes()
    cluster = pipeline.start.__self__  # the Cluster the file asked for
    try:
        assert cluster.where(scale) == "w1" and cluster.where(sink) is None
        with pipeline:
            pipeline.start()
            for n in range(3):
                numbers.cycle({"n": n})
            assert sink.wait_for(3)
            pipeline.stop()
        assert sink.seen == [0, 3, 6]
    finally:
        cluster.close()


def test_the_readme_graph_files_check_as_it_says(tmp_path):
    import re

    pytest.importorskip("zmq")
    pytest.importorskip("scipy")
    readme = (ROOT / "README.md").read_text()
    section = readme.split("## Graph files", 1)[1].split("\n## ", 1)[0]
    full, broken = re.findall(r"```toml\n(.*?)```", section, re.S)
    printed = re.search(r"`velarix check broken.toml` prints, and exits 2:\n\n```\n(.*?)```", section, re.S)[1]
    write(tmp_path, full, "full.toml")
    write(tmp_path, broken, "broken.toml")
    env = {key: value for key, value in os.environ.items() if key != "STREAM"}
    assert velarix_command("check", "full.toml", cwd=tmp_path, env=env).returncode == 0
    result = velarix_command("check", "broken.toml", cwd=tmp_path, env=env)
    assert result.returncode == 2 and result.stdout == printed


def test_resources_place_nodes_on_the_first_worker_that_has_them_left(tmp_path):
    pytest.importorskip("zmq")
    from velarix.graphfile._build import discard
    from velarix.graphfile._load import read

    text = (GOOD.replace("factor = 3", "factor = 3\nresources = { gpu = 1 }")
            .replace('class = "graphfile_nodes:Collect"', 'class = "graphfile_nodes:Collect"\nresources = { gpu = 1 }')
            + '\n[workers.w1]\nresources = { gpu = 1 }\n\n[workers.w2]\nresources = { gpu = 1, cores = 4 }\n')
    made = read(str(write(tmp_path, text)))
    assert made.placement == {"scale": "w1", "sink": "w2"}
    discard(made)
    crowded = text.replace('class = "graphfile_nodes:Numbers"', 'class = "graphfile_nodes:Numbers"\n'
                           'resources = { gpu = 1 }')
    problems = check(str(write(tmp_path, crowded)))
    assert [(p.line, p.column) for p in problems] == [(15, 13)]  # numbers and scale came first
    assert "node 'sink' needs gpu = 1, which no worker of [workers] has left" in problems[0].message


NUMBERS = '[nodes.a]\nclass = "graphfile_nodes:Numbers"\n'


@pytest.mark.parametrize("text, message", [
    ("nodes = 3\n", "nodes must be a table, not a number"),
    ('links = "a -> b"\n' + NUMBERS, "links must be a list"),
    ("links = [3]\n" + NUMBERS, 'expected a link "source.port -> target.port", got 3'),
    ('links = ["a.out -> "]\n' + NUMBERS, 'expected "node" or "node.port" on both sides of ->'),
    ("threads = true\n" + NUMBERS, "threads must be a whole number from 1 to 1024"),
    ("web = 3\n" + NUMBERS, "web must be true, false or a table"),
    ("record = 5\n" + NUMBERS, "record must be a table"),
    ('record = { path = "r.mcap", ports = ["a.zzz"] }\n' + NUMBERS, "node 'a' has no output port 'zzz'"),
    (NUMBERS + "inputs = 3\n", "inputs must be a list of port names or a table of ports"),
    (NUMBERS + 'inputs = ["in"]\n', "Numbers has no input ports"),
    (NUMBERS + 'name = "b"\n', "the node's name is the name of its table"),
    (NUMBERS + 'worker = ["w1"]\n', "which [workers] does not describe"),
    (NUMBERS + "resources = 3\n", "resources must be a table of names to amounts"),
    ('[nodes.a]\nclass = "os:path"\n', "os:path is not a node class"),
    ('[nodes.a]\nclass = "Numbers"\n', 'expected class = "package.module:Class"'),
    ('[nodes.a]\nrate = 3\n', "node 'a' has no class"),
])
def test_files_of_the_wrong_shape_are_problems_not_crashes(tmp_path, text, message):
    problems = check(str(write(tmp_path, text)))
    assert any(message in problem.message for problem in problems), problems
