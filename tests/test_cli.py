"""The velarix command on saved pipeline files, run as a user runs it."""

import json
import logging
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import time

import pytest

import cli_nodes
from pipeline_helpers import INTERRUPTIBLE
import velarix
from velarix import Pipeline, cli
from velarix.graph import describe, to_dot, to_mermaid

WAIT = 60  # seconds a command may take before the test fails
PACKAGE_ROOT = str(pathlib.Path(velarix.__file__).resolve().parents[1])
TESTS = str(pathlib.Path(__file__).resolve().parent)


def velarix_command(*args, cwd, timeout=WAIT):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([PACKAGE_ROOT, TESTS]))
    return subprocess.run([sys.executable, "-m", "velarix", *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=timeout)


def save(path, failing=False, name="ticker"):
    pipeline = Pipeline(directory="")
    ticker = cli_nodes.Ticker(name=name, rate=50)
    pipeline.connect(ticker, cli_nodes.Quiet(name="quiet"))
    if failing:
        pipeline.connect(ticker, cli_nodes.Boom(name="boom"))
    pipeline.save(str(path))
    return path


def test_run_drives_a_saved_timed_pipeline_and_reports(tmp_path):
    path = save(tmp_path / "ok.json")
    logs = tmp_path / "logs"
    result = velarix_command("run", path, "--seconds", 1, "--log-dir", logs, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    report = result.stdout
    assert re.search(r"^Ticker\s+ticker\s+\d+\.\d\d%$", report, re.M)
    assert re.search(r"^PipelineImp\s+Pipeline\s+", report, re.M)
    log_files = list(logs.glob("*.log"))
    assert len(log_files) == 1 and f"log: {log_files[0]}" in report
    text = log_files[0].read_text()
    assert "Pipeline started." in text and "Pipeline stopped." in text
    assert "Traceback" not in result.stderr


def test_run_exits_1_naming_the_failing_node(tmp_path):
    path = save(tmp_path / "bad.json", failing=True)
    result = velarix_command("run", path, "--seconds", 20, "--log-dir", "", cwd=tmp_path)
    assert result.returncode == 1
    assert "node 'boom' (Boom) failed" in result.stderr
    assert "boom at three" in result.stderr
    # The traceback names the loaded class and file, and shows the line.
    assert 'File "<velarix: Boom from bad.json>", line ' in result.stderr
    assert 'raise RuntimeError("boom at three")' in result.stderr
    assert re.search(r"^Boom\s+boom\s+", result.stdout, re.M)  # the report still comes


def test_run_stops_cleanly_on_ctrl_c(tmp_path):
    path = save(tmp_path / "ok.json")
    logs = tmp_path / "logs"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([PACKAGE_ROOT, TESTS]))
    process = subprocess.Popen([*INTERRUPTIBLE, "-m", "velarix", "run", str(path), "--log-dir", str(logs)],
                               cwd=tmp_path, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + WAIT
        while not any("Monitoring thread started" in f.read_text() for f in logs.glob("*.log")):
            assert time.monotonic() < deadline and process.poll() is None, "the run never started"
            time.sleep(0.05)
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=WAIT)
    finally:
        process.kill()
    assert process.returncode == 0, err
    assert "Traceback" not in err and re.search(r"^Ticker\s+ticker", out, re.M)


def test_show_lists_nodes_ports_and_links(tmp_path):
    path = save(tmp_path / "ok.json")
    result = velarix_command("show", path, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert re.match(r"ticker\s+Ticker\s+-\s+out \(SYNC\)\s+50/s$", lines[2])
    assert re.match(r"quiet\s+Quiet\s+in \(SYNC\)\s+-\s+-$", lines[3])
    assert any(re.match(r"ticker\.out\s+->\s+quiet\.in\s+SYNC$", line) for line in lines)
    assert not list(tmp_path.glob("**/*.log"))  # showing writes no log file

    # Bounded input ports show their capacity and what a push into a full one does.
    pipeline = Pipeline(directory="")
    ticker = cli_nodes.Ticker(name="ticker")
    pipeline.connect(ticker, cli_nodes.Quiet(name="held", input_ports=[{"name": "in", "capacity": 4}]))
    pipeline.connect(ticker, cli_nodes.Quiet(name="newest", input_ports=[
        {"name": "in", "capacity": 1, "overflow": "drop_oldest", "timing": "ASYNC"}]))
    lines = cli.describe_text(pipeline).splitlines()
    assert re.match(r"held\s+Quiet\s+in \(SYNC, capacity 4, block\)\s+-\s+-$", lines[3])
    assert re.match(r"newest\s+Quiet\s+in \(ASYNC, capacity 1, drop_oldest\)\s+-\s+-$", lines[4])


def test_show_marks_unlinked_ports_and_run_says_what_is_missing(tmp_path):
    pipeline = Pipeline(directory="")
    pipeline.connect(cli_nodes.Ticker(name="ticker"), cli_nodes.Quiet(name="quiet"))
    pipeline.add_node(cli_nodes.Ticker(name="spare"))
    pipeline.add_node(cli_nodes.Quiet(name="idle"))
    pipeline.save(str(tmp_path / "loose.json"))
    shown = velarix_command("show", tmp_path / "loose.json", cwd=tmp_path)
    assert shown.returncode == 0, shown.stderr
    lines = shown.stdout.splitlines()
    assert re.match(r"ticker\s+Ticker\s+-\s+out \(SYNC\)\s+-$", lines[2])
    assert re.match(r"spare\s+Ticker\s+-\s+out \(SYNC\)\*\s+-$", lines[4])
    assert re.match(r"idle\s+Quiet\s+in \(SYNC\)\*\s+-\s+-$", lines[5])
    assert lines[-2:] == ["* outputs linked to nothing: spare.out",
                          "* inputs fed by nothing (their nodes never step): idle.in"]
    run = velarix_command("run", tmp_path / "loose.json", "--seconds", 0.2, "--log-dir", "", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert run.stderr.splitlines() == [
        "velarix run: nothing drives this pipeline: no source has a rate, so after the start no step "
        "runs (give a source rate=N to time it)",
        "velarix run: outputs linked to nothing: spare.out",
        "velarix run: inputs fed by nothing (their nodes never step): idle.in"]
    # A timed, fully linked pipeline gets neither note.
    timed = velarix_command("run", save(tmp_path / "ok.json"), "--seconds", 0.2, "--log-dir", "",
                            cwd=tmp_path)
    assert timed.returncode == 0 and timed.stderr == ""


def test_a_sink_with_a_start_of_its_own_drives_nothing(tmp_path):
    # A sink that opens something when it starts (a publisher) still steps only
    # when fed, so an untimed source feeding it leaves the pipeline undriven.
    pipeline = Pipeline(directory="")
    pipeline.connect(cli_nodes.Ticker(name="ticker"), cli_nodes.Opening(name="opening"))
    pipeline.save(str(tmp_path / "sink.json"))
    run = velarix_command("run", tmp_path / "sink.json", "--seconds", 0.2, "--log-dir", "", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert run.stderr.startswith("velarix run: nothing drives this pipeline")


def test_show_into_a_reader_that_goes_away_ends_quietly(tmp_path):
    # A name long enough that the output cannot all wait in the pipe.
    path = save(tmp_path / "long.json", name="t" * 300_000)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([PACKAGE_ROOT, TESTS]))
    show = subprocess.Popen([sys.executable, "-m", "velarix", "show", str(path)], cwd=tmp_path, env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    head = subprocess.Popen(["head", "-1"], stdin=show.stdout, stdout=subprocess.PIPE)
    show.stdout.close()  # head holds the only reading end
    try:
        first, _ = head.communicate(timeout=WAIT)
        _, errors = show.communicate(timeout=WAIT)
    finally:
        show.kill()
        head.kill()
    assert first == b"nodes\n"
    assert errors == b"" and show.returncode == 128 + signal.SIGPIPE


def test_graph_prints_dot_and_mermaid(tmp_path):
    path = save(tmp_path / "ok.json", failing=True)
    dot = velarix_command("graph", path, cwd=tmp_path)
    assert dot.returncode == 0, dot.stderr
    assert dot.stdout.startswith("digraph") and dot.stdout.count("->") == 2
    assert 'n0 -> n2 [label="out → in (SYNC)"];' in dot.stdout
    mermaid = velarix_command("graph", path, "--format", "mermaid", cwd=tmp_path)
    assert mermaid.returncode == 0 and mermaid.stdout.startswith("flowchart LR")
    assert mermaid.stdout.count("-->") == 2
    if shutil.which("dot"):
        parsed = subprocess.run(["dot", "-Tcanon"], input=dot.stdout, capture_output=True,
                                text=True, timeout=WAIT)
        assert parsed.returncode == 0, parsed.stderr


@pytest.mark.parametrize("content, message", [
    (None, "cannot read"),
    ("{not json", "not valid JSON"),
    ("[1, 2]", "not a saved pipeline: it holds a JSON array"),
    ('{"nodes": []}', 'not a saved pipeline: it has no "connections" entry'),
    ('{"settings": {"rate": 5}}', 'not a saved pipeline: it has no "nodes" entry'),
    ('{"nodes": [{"class": "X"}], "connections": []}', 'node 0 has no "module", "source", "config" entries'),
    ('{"nodes": [{"class": "X", "module": "m", "source": "class X(:", "config": {}}], '
     '"connections": []}', "not a loadable pipeline: SyntaxError"),
    ('{"nodes": [], "connections": [["a", "b"]]}', "not a loadable pipeline: TypeError"),
])
def test_bad_files_give_one_line_and_exit_2(tmp_path, content, message):
    path = tmp_path / "file.json"
    if content is not None:
        path.write_text(content)
    for command in ("show", "graph", "run"):
        result = velarix_command(command, path, "--log-dir", "", cwd=tmp_path) if command == "run" \
            else velarix_command(command, path, cwd=tmp_path)
        assert result.returncode == 2
        assert result.stdout == ""
        assert result.stderr.count("\n") == 1 and message in result.stderr, result.stderr


MYNODES = """
from velarix import INode, ONode


class Source(ONode):
    def step(self, data):
        return {"out": data}


class Sink(INode):
    def step(self, data):
        pass
"""


def test_stored_classes_import_modules_of_the_current_folder(tmp_path, monkeypatch):
    # A class saved from a project module that it imports by name, as a project's
    # own node classes do; the installed script (run like -P does) starts with its
    # own folder on the path, not the current one.
    project = tmp_path / "project"
    project.mkdir()
    (project / "mynodes.py").write_text(MYNODES)
    (project / "app_nodes.py").write_text("import mynodes\n\n\nclass Relay(mynodes.Sink):\n    pass\n")
    monkeypatch.syspath_prepend(str(project))
    try:
        import app_nodes

        pipeline = Pipeline(directory="")
        pipeline.connect(__import__("mynodes").Source(name="source"), app_nodes.Relay(name="relay"))
        pipeline.save(str(project / "app.json"))
    finally:
        sys.modules.pop("app_nodes", None)
        sys.modules.pop("mynodes", None)
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    result = subprocess.run([sys.executable, "-P", "-m", "velarix", "show", "app.json"], cwd=project,
                            env=env, capture_output=True, text=True, timeout=WAIT)
    assert result.returncode == 0, result.stderr
    assert re.search(r"^relay\s+Relay\s+in \(SYNC\)", result.stdout, re.M)
    helped = velarix_command("run", "--help", cwd=tmp_path)
    assert "current folder" in helped.stdout


def test_help_and_usage_errors(tmp_path):
    for command in ([], ["run"], ["show"], ["graph"]):
        result = velarix_command(*command, "--help", cwd=tmp_path)
        assert result.returncode == 0 and "usage: velarix" in result.stdout
        assert not command or "or a graph file (.toml, .yaml)" in " ".join(result.stdout.split())  # they take both
    version = velarix_command("--version", cwd=tmp_path)
    assert version.stdout.strip() == f"velarix {velarix.__version__}"
    for args in ([], ["draw"], ["graph", "x.json", "--format", "png"], ["run", "x.json", "--seconds", "soon"]):
        result = velarix_command(*args, cwd=tmp_path)
        assert result.returncode == 2 and "Traceback" not in result.stderr
    # An option the command does not take: that command's usage, not the top-level one.
    for args in (["run", "x.json", "--secnds", "2"], ["show", "x.json", "--seconds", "2"]):
        result = velarix_command(*args, cwd=tmp_path)
        assert result.returncode == 2 and result.stderr.startswith(f"usage: velarix {args[0]} ")
        assert result.stderr.rstrip().endswith(f"velarix {args[0]}: error: unrecognized arguments: {' '.join(args[2:])}")


def test_ctrl_c_outside_a_run_exits_130_with_the_current_folder_first_on_the_path(tmp_path, monkeypatch, capsys):
    def interrupted(*args):
        raise KeyboardInterrupt

    monkeypatch.setattr(logging.getLogger("velarix"), "disabled", False)  # main turns it off
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "path", [p for p in sys.path if p not in ("", str(tmp_path))])
    monkeypatch.setattr("velarix._cli.show.load_pipeline", interrupted)
    assert cli.main(["show", "x.json"]) == 130
    assert capsys.readouterr().err == "velarix show: interrupted\n"
    assert sys.path[0] == str(tmp_path)  # before the installed packages, as `python -m` has it


class TestGraphText:
    """DOT and Mermaid text of a live pipeline."""

    def pipeline(self, name="ticker"):
        pipeline = Pipeline(directory="")
        ticker = cli_nodes.Ticker(name=name, rate=20)
        sink = cli_nodes.Quiet(name="quiet", input_ports=[{"name": "in", "timing": "ASYNC"}])
        pipeline.connect(ticker, sink)
        ticker.connect("out", cli_nodes.Quiet(name="outside"), "in")  # not in the pipeline
        return pipeline

    def test_describe_reads_nodes_ports_and_links(self):
        graph = describe(self.pipeline())
        assert [(n.key, n.name, n.class_name, n.rate) for n in graph.nodes] == [
            ("n0", "ticker", "Ticker", 20), ("n1", "quiet", "Quiet", None)]
        assert [(p.name, p.timing) for p in graph.nodes[1].inputs] == [("in", "ASYNC")]
        assert [(l.source, l.source_port, l.target, l.target_port, l.timing) for l in graph.links] == [
            ("n0", "out", "n1", "in", "ASYNC")]

    def test_awkward_names_stay_valid_text(self):
        pipeline = self.pipeline(name='say "hi"\\n{x} | y')
        dot, mermaid = to_dot(pipeline), to_mermaid(pipeline)
        assert "style=dashed" in dot and "-.->" in mermaid
        assert '"' not in mermaid.split("[", 1)[1].split("]")[0][1:-1]
        if shutil.which("dot"):
            parsed = subprocess.run(["dot", "-Tcanon"], input=dot, capture_output=True, text=True,
                                    timeout=WAIT)
            assert parsed.returncode == 0, parsed.stderr
            assert "say \\\"hi\\\"" in parsed.stdout
        else:
            pytest.skip("Graphviz (dot) is not installed: DOT text not parsed")


class TestFailureReport:
    """What `velarix run` says about a failed run, with and without the nodes'
    own record of their last exception."""

    def failed_pipeline(self):
        pipeline = Pipeline(directory="")
        boom = cli_nodes.Boom(name="boom")
        pipeline.add_node(boom)
        pipeline.start()
        boom.get_port("in")._receive(5)  # the worker runs the failing step
        deadline = time.monotonic() + WAIT
        while boom.get_condition() != "ERROR" and time.monotonic() < deadline:
            time.sleep(0.01)
        pipeline.stop()
        return pipeline, boom

    def test_healthy_run_has_no_report(self):
        pipeline = Pipeline(directory="")
        pipeline.add_node(cli_nodes.Quiet(name="quiet"))
        assert cli.failure_report(pipeline) is None

    def test_logged_error_stands_in_for_the_traceback(self):
        pipeline, boom = self.failed_pipeline()
        boom.get_last_exception = lambda: None  # as for a node that kept none
        report = cli.failure_report(pipeline)
        assert report.splitlines()[:2] == ["a node failed", "node 'boom' (Boom) failed:"]
        assert "Message:   boom at three" in report

    def test_the_nodes_last_exception_gives_the_traceback(self):
        pipeline, boom = self.failed_pipeline()
        with pytest.raises(RuntimeError) as caught:
            boom.step({"in": 3})
        assert boom.get_last_exception() is not None  # the guard kept it
        boom.get_last_exception = lambda: caught.value
        report = cli.failure_report(pipeline)
        assert "Traceback (most recent call last):" in report
        assert "RuntimeError: boom at three" in report and "Message:" not in report


def test_run_can_serve_the_live_page(tmp_path):
    pytest.importorskip("aiohttp")
    path = save(tmp_path / "p.json")
    result = velarix_command("run", path, "--seconds", "1", "--log-dir", "", "--web", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert re.search(r"^live page: http://127\.0\.0\.1:\d+/$", result.stderr, re.M)
