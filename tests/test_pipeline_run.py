"""Pipeline run control: the state table, the monitoring thread (logged errors,
overload, its own failures), the load report, and a clean process exit."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

import velarix
from velarix import Constants, LogType, Pipeline
from velarix.i_node import INode
from velarix.imp import ConstantsImp, PipelineImp

from nodes import Loaded, Relay, Sink, Source
from pipeline_helpers import INTERRUPTIBLE, WAIT, PassProbe, end_monitor, entries, messages

STOPPED, RUNNING = Constants.States.STOPPED, Constants.States.RUNNING
HEALTHY, ERROR = Constants.Conditions.HEALTHY, Constants.Conditions.ERROR


@pytest.fixture
def fast_monitor(monkeypatch):
    monkeypatch.setattr(ConstantsImp, "MONITORING_INTERVAL", 0.01)


def lines_of(p, action):
    """The lines `action` writes on this thread."""
    p.write_log("-- mark --")
    action()
    lines = messages(p, caller_only=True)
    return lines[len(lines) - lines[::-1].index("-- mark --"):]


def monitor_lines(p):
    thread = p._imp._monitor_thread
    return [e["message"] for e in p.get_logger().get_all() if e["thread"] == hex(thread.ident)]


# State table -------------------------------------------------------------------------


def test_state_table_walk(no_thread_leak):
    p, a = Pipeline(""), Loaded(name="a")
    p.add_node(a)
    assert (p.get_state(), p.get_condition(), p.get_elapsed_time()) == (STOPPED, HEALTHY, 0.0)

    assert lines_of(p, p.stop) == ["Stopping pipeline...", "Pipeline has already been stopped. Skipping."]
    assert lines_of(p, p.start) == ["Starting pipeline...", "Node a started.", "Pipeline started."]
    assert (p.get_state(), a.get_state()) == (RUNNING, RUNNING)
    assert isinstance(p.get_elapsed_time(), float) and p.get_elapsed_time() >= 0.0
    first_monitor = p._imp._monitor_thread
    assert first_monitor.daemon

    assert lines_of(p, p.start) == ["Starting pipeline...", "Pipeline running, skipping."]
    assert p._imp._monitor_thread is first_monitor

    assert lines_of(p, p.stop) == ["Stopping pipeline...", "Node a stopped.", "Pipeline stopped."]
    assert (p.get_state(), a.get_state(), p.get_elapsed_time()) == (STOPPED, STOPPED, 0.0)
    end_monitor(p)
    assert monitor_lines(p) == ["Monitoring thread started...", "Monitoring thread terminated."]

    # A healthy stopped pipeline starts again, with a new monitoring thread.
    assert lines_of(p, p.start) == ["Starting pipeline...", "Node a started.", "Pipeline started."]
    assert p._imp._monitor_thread is not first_monitor
    p.stop()


def test_a_node_that_fails_to_start_leaves_the_pipeline_stopped(no_thread_leak):
    class WontStart(Loaded):
        def start(self):
            raise RuntimeError("no power")

    p, a, b, c = Pipeline(""), Loaded(name="a"), WontStart(name="b"), Loaded(name="c")
    for node in (a, b, c):
        p.add_node(node)
    with pytest.raises(RuntimeError, match="no power"):
        p.start()
    assert (a.get_state(), c.get_state()) == (RUNNING, STOPPED)
    assert (p.get_state(), p._imp._monitor_thread) == (STOPPED, None)
    a.stop()


class HeldCheck:
    """A logger whose first error check is held, keeping the first monitoring
    thread in its pass, until a later check arrives or half a second has passed."""

    def __init__(self, inner):
        self.write = inner.write
        self.checks = 0
        self.first_held = threading.Event()
        self.release = threading.Event()

    def get_last_error(self):
        self.checks += 1
        if self.checks == 1:
            self.first_held.set()
            self.release.wait(0.5)
        else:
            self.release.set()
        return None


def test_a_restart_waits_for_the_last_runs_monitoring_thread(monkeypatch, no_thread_leak):
    # A long interval: a thread that missed its stop would sit in its wait.
    monkeypatch.setattr(ConstantsImp, "MONITORING_INTERVAL", 30.0)
    p = Pipeline("")
    p._imp._logger = logger = HeldCheck(p.get_logger())
    p.start()
    assert logger.first_held.wait(WAIT)  # the first thread is mid-pass
    first = p._imp._monitor_thread
    p.stop()
    p.start()
    assert not first.is_alive()
    assert [t for t in threading.enumerate() if "_monitoring_fun" in t.name] == [p._imp._monitor_thread]
    p.stop()
    end_monitor(p)


# Monitoring -------------------------------------------------------------------------


class Faulty(INode):
    def step(self, data):
        if data["in"] == 3:
            raise RuntimeError("sensor failed")


def test_a_logged_error_stops_the_pipeline_for_good(fast_monitor, no_thread_leak):
    p, src, faulty = Pipeline(""), Source(name="src"), Faulty(name="faulty")
    p.connect(src, faulty)
    p.start()
    for i in range(5):
        src.cycle({"x": i})
    end_monitor(p)  # the monitoring thread ends after stopping the pipeline

    assert (p.get_state(), p.get_condition()) == (STOPPED, ERROR)
    assert p.get_last_error()["message"] == "sensor failed"
    lines = messages(p)
    assert lines[lines.index("sensor failed"):] == [
        "sensor failed", "Stopping pipeline...", "Node src stopped.", "Node faulty stopped.",
        "Pipeline stopped.", "Monitoring thread terminated."]

    assert lines_of(p, p.start) == ["Starting pipeline...", "Pipeline not healthy, skipping."]
    assert p.get_state() == STOPPED
    for _ in range(2):
        assert lines_of(p, p.stop) == [
            "Stopping pipeline...", "Pipeline has already been stopped due to an error. Skipping."]
        assert p._imp._monitor_thread is None


def test_load_is_judged_after_the_grace_time_against_the_current_thresholds(
        fast_monitor, monkeypatch, no_thread_leak):
    monkeypatch.setattr(ConstantsImp, "LOAD_WARNING_THRESHOLD", 50)
    monkeypatch.setattr(ConstantsImp, "LOAD_ERROR_THRESHOLD", 70.0)
    p, a, b = Pipeline(""), Loaded(name="a"), Loaded(name="b")
    p.add_node(a)
    p.add_node(b)
    probe = p._imp._stop_event = PassProbe()
    a.load, b.load = 99.0, 3.054

    p.start()
    probe.await_passes(3)  # within the first 10 s nothing is judged
    assert entries(p, "WARNING") == entries(p, "ERROR") == []

    p._imp._start_time -= 11  # as if the run were 11 s old
    a.load = 50  # equal to a threshold is not above it
    probe.await_passes(2)
    assert entries(p, "WARNING") == []

    a.load = 60.0
    probe.await_passes(2)
    warnings = entries(p, "WARNING")
    assert warnings and set(warnings) == {"Pipeline load exceeds 50%. Consider simplifying your code."}
    lines = messages(p)
    assert lines[lines.index(warnings[0]) + 1] == (
        "Load info: Loaded (a): 60.00%; Loaded (b): 3.05%; PipelineImp (Pipeline): 60.00%")

    a.load = 70.0
    probe.await_passes(2)
    assert p.get_state() == RUNNING

    a.load = 70.5
    end_monitor(p)
    lines = messages(p)
    error = "Pipeline load exceeds 70.0% and will be stopped. Consider simplifying your code."
    assert lines[lines.index(error):] == [
        error, "Load info: Loaded (a): 70.50%; Loaded (b): 3.05%; PipelineImp (Pipeline): 70.50%",
        "Stopping pipeline...", "Node a stopped.", "Node b stopped.", "Pipeline stopped.",
        "Monitoring thread terminated."]
    assert (p.get_state(), p.get_condition()) == (STOPPED, ERROR)


def test_an_overload_names_the_node_with_the_highest_load(fast_monitor, monkeypatch, no_thread_leak):
    monkeypatch.setattr(ConstantsImp, "LOAD_WARNING_THRESHOLD", 50)
    monkeypatch.setattr(ConstantsImp, "LOAD_ERROR_THRESHOLD", 70.0)
    p, a, b, c = Pipeline(""), Loaded(name="a"), Loaded(name="b"), Loaded(name="c")
    for node in (a, b, c):
        p.add_node(node)
    probe = p._imp._stop_event = PassProbe()
    a.load, b.load, c.load = 10.0, 60.0, 60.0  # of equal loads, the first counts
    p.start()
    p._imp._start_time -= 11
    probe.await_passes(2)
    warning = "Pipeline load exceeds 50%. Consider simplifying your code."
    lines = messages(p)
    assert lines[lines.index(warning) - 1] == "Highest load: node b (Loaded) at 60.00%."

    c.load = 80.0
    end_monitor(p)
    error = "Pipeline load exceeds 70.0% and will be stopped. Consider simplifying your code."
    lines = messages(p)
    assert lines[lines.index(error) - 1] == "Highest load: node c (Loaded) at 80.00%."
    assert p.get_last_error()["message"] == error
    with pytest.raises(velarix.PipelineError) as raised:
        p.wait(WAIT)
    assert (str(raised.value), raised.value.node, raised.value.__cause__) == (error, "c", None)


def test_a_failing_monitoring_pass_is_logged_not_lost(fast_monitor, no_thread_leak):
    p, a = Pipeline(""), Loaded(name="a")
    p.add_node(a)
    a.broken = True
    p.start()
    p._imp._start_time -= 11
    end_monitor(p)
    assert entries(p, "ERROR") == ["load probe broke"]
    assert p.get_last_error()["message"] == "load probe broke"
    assert "Monitoring thread terminated." not in messages(p)
    assert p.get_state() == RUNNING  # still running, now unwatched
    p.stop()


class StopsFirst:
    """A logger whose error check stops the pipeline first, as a stop() from the
    application racing with the monitoring thread's error check would."""

    def __init__(self, pipeline):
        self.pipeline, self.inner = pipeline, pipeline.get_logger()
        self.write = self.inner.write

    def get_last_error(self):
        self.pipeline.stop()
        return "an error"


def test_the_monitoring_thread_never_waits_for_itself(fast_monitor, no_thread_leak):
    p = Pipeline("")
    real = p.get_logger()
    p._imp._logger = StopsFirst(p)
    p.start()
    end_monitor(p)
    lines = [e["message"] for e in real.get_all()]
    assert lines[-3:] == [
        "Stopping pipeline...", "Pipeline has already been stopped due to an error. Skipping.",
        "Monitoring thread terminated."]
    assert not [e for e in real.get_all() if e["type"] == LogType.ERROR.value]
    p.stop()  # the application's stop waits for it and lets it go
    assert p._imp._monitor_thread is None


# Load report and log pass-through ---------------------------------------------------------


def test_load_report():
    class Named(PipelineImp):
        pass

    assert Named("").get_load() == [{"class": "Named", "name": "Pipeline", "load": 0.0}]
    p = Pipeline("")
    a, b, c = Loaded(name="a"), Loaded(name="b"), Loaded(name=None)
    for node, load in ((a, 3.0), (b, 12.5), (c, 7)):
        node.load = load
        p.add_node(node)
    report = p.get_load()
    assert [list(e) for e in report] == [["class", "name", "load"]] * 4
    assert [(e["class"], e["name"], e["load"]) for e in report] == [
        ("Loaded", "a", 3.0), ("Loaded", "b", 12.5), ("Loaded", None, 7),
        ("PipelineImp", "Pipeline", 12.5)]


def test_a_node_leaving_during_the_load_walk_does_not_disturb_it():
    p = Pipeline("")

    class Leaving(Loaded):
        def get_load(self):
            if self in p._imp._nodes:
                p.remove_node(self)
            return 1.0

    first, second, third = Leaving(name="x"), Loaded(name="y"), Loaded(name="z")
    for node in (first, second, third):
        p.add_node(node)
    assert [e["name"] for e in p.get_load()] == ["x", "y", "z", "Pipeline"]
    assert p._imp._nodes == [second, third]


def test_write_log_and_last_error_go_to_the_pipelines_logger():
    p = Pipeline("")
    p.write_log("x" * 100_000)
    assert p.get_logger().get_all()[-1]["message"] == "x" * 100_000
    assert p.get_last_error() is None
    p.get_logger().write(LogType.ERROR, "bad")
    assert p.get_last_error()["message"] == "bad"
    p._imp._logger = None
    p.write_log("nowhere to go")  # no logger: nothing happens


# Process exit -------------------------------------------------------------------------------


def test_the_process_exits_cleanly_with_a_pipeline_stopped_or_still_running(tmp_path):
    # Daemon threads caught in native code by the interpreter's shutdown used to
    # crash the exit; run it a few times, the crash was not every time.
    script = tmp_path / "exit.py"
    script.write_text(textwrap.dedent("""
        from velarix import Pipeline
        from velarix.imp import ConstantsImp
        ConstantsImp.MONITORING_INTERVAL = 0.0005
        stopped, running = Pipeline(""), Pipeline("")
        stopped.start(); running.start()
        stopped.stop()
    """))
    # The velarix this test imported, wherever it lives (source tree or install).
    env = dict(os.environ, PYTHONPATH=str(Path(velarix.__file__).resolve().parents[1]))
    for _ in range(3):
        done = subprocess.run([sys.executable, str(script)], env=env,
                              capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr


class Failing(INode):
    def step(self, data):
        raise RuntimeError("step failed")


def test_closed_pipelines_free_their_nodes_and_ports(tmp_path, fast_monitor, no_thread_leak, monkeypatch):
    """The registry lets a closed pipeline's nodes and ports go; nothing else (log
    file writer, logging bridge, threads) keeps them: they form cycles only."""
    import gc
    import io
    import logging
    import weakref

    from velarix import Portable
    from velarix.imp import PortableImp

    # A handler that writes records out, not pytest's, which keeps them (and their
    # tracebacks' frames) for its report.
    bridge = logging.getLogger("velarix")
    text = io.StringIO()
    monkeypatch.setattr(bridge, "propagate", False)
    handler = logging.StreamHandler(text)
    monkeypatch.setattr(bridge, "handlers", [handler])
    refs = []
    survivor = Source()  # outside every closed pipeline: stays registered
    for round_ in range(20):
        p = Pipeline(directory=str(tmp_path / str(round_)) if round_ % 2 else "")
        source, relay, sink = Source(), Relay(), Sink()
        p.connect(source, relay)
        p.connect(relay, sink)
        failing = Failing()
        p.connect(relay, failing)  # an error entry with its exception on the way out
        sink.expected = 1
        p.start()
        source.cycle({"x": round_})
        assert sink.done.wait(WAIT)
        p.stop()
        p.close()
        for node in (source, relay, sink, failing):
            assert Portable.get_by_id(node.config["id"]) is None
            imp = node._imp
            ports = [*getattr(imp, "_input_ports", {}).values(), *getattr(imp, "_output_ports", {}).values()]
            assert ports and all(PortableImp.get_by_id(port.config["id"]) is None for port in ports)
            refs += [weakref.ref(node), weakref.ref(imp), *map(weakref.ref, ports)]
        p.close()  # again: nothing more
        del p, source, relay, sink, failing, node, imp, ports
    gc.collect()
    assert [r for r in refs if r() is not None] == []
    assert "step failed" in text.getvalue()
    assert Portable.get_by_id(survivor.config["id"]) is survivor._imp


def test_close_leaves_an_id_that_names_another_object_now():
    from velarix import Portable

    p = Pipeline(directory="")
    old = Source(id="same")
    p.add_node(old)
    Portable.reset()
    new = Source(id="same")
    p.close()
    assert Portable.get_by_id("same") is new._imp


# Mistakes that used to pass in silence -------------------------------------------------


def test_a_run_with_unlinked_ports_starts_with_one_warning(no_thread_leak):
    p, src, sink, lonely = Pipeline(""), Source(name="src"), Sink(name="sink"), Sink(name="lonely")
    p.connect(src, sink)
    assert lines_of(p, p.start) == [
        "Starting pipeline...", "Node src started.", "Node sink started.", "Pipeline started."]
    p.stop()
    extra = velarix.IONode(name="extra", output_ports=[{"name": "out"}, {"name": "spare"}])
    p.add_node(lonely)
    p.connect_ports(src, "out", extra, "in")
    assert lines_of(p, p.start) == [
        "Starting pipeline...", "Node src started.", "Node sink started.", "Node lonely started.",
        "Node extra started.", "Pipeline started.",
        "Unlinked ports: outputs extra.out, extra.spare linked to nothing; input lonely.in fed by "
        "nothing (a node steps only when every input holds a value)."]
    assert entries(p, "WARNING")[-1].startswith("Unlinked ports")
    # Only a start that starts writes it.
    assert lines_of(p, p.start) == ["Starting pipeline...", "Pipeline running, skipping."]
    p.stop()
    end_monitor(p)


def wait_for(predicate):
    deadline = time.monotonic() + WAIT
    while not predicate():
        assert time.monotonic() < deadline, "the condition never came"
        time.sleep(0.01)


def test_leaving_a_with_block_after_a_node_failed_raises(monkeypatch, no_thread_leak):
    # A long interval: the monitoring thread's next pass comes after the block.
    monkeypatch.setattr(ConstantsImp, "MONITORING_INTERVAL", 60.0)
    with pytest.raises(velarix.PipelineError, match="sensor failed") as raised:
        with Pipeline("") as p:
            src, faulty = Source(name="src"), Faulty(name="faulty")
            p.connect(src, faulty)
            p.start()
            src.cycle({"x": 3})
            wait_for(lambda: faulty.get_condition() == ERROR)
            assert p.get_condition() == HEALTHY
    assert raised.value.node == "faulty" and isinstance(raised.value.__cause__, RuntimeError)
    assert p.get_state() == STOPPED

    # An exception in flight passes unchanged; an error wait() raised is not raised again.
    with pytest.raises(KeyError):
        with Pipeline("") as p:
            p.connect(src2 := Source(name="src"), faulty2 := Faulty(name="faulty"))
            p.start()
            src2.cycle({"x": 3})
            wait_for(lambda: faulty2.get_condition() == ERROR)
            raise KeyError("mine")
    monkeypatch.setattr(ConstantsImp, "MONITORING_INTERVAL", 0.01)
    with Pipeline("") as p:
        p.connect(src3 := Source(name="src"), Faulty(name="faulty"))
        p.start()
        src3.cycle({"x": 3})
        with pytest.raises(velarix.PipelineError):
            p.wait(WAIT)
    with Pipeline("") as p:  # a healthy block
        p.connect(Source(name="src"), Sink(name="sink"))
        p.start()


class Held(INode):
    """Its step waits until the test lets it go."""

    def __init__(self, **entries):
        super().__init__(**entries)
        self.entered, self.release = threading.Event(), threading.Event()

    def step(self, data):
        self.entered.set()
        self.release.wait(WAIT)


@pytest.mark.parametrize("threads", [None, 1])
def test_a_stop_held_up_by_a_step_says_which_node_it_waits_for(monkeypatch, no_thread_leak, threads):
    import velarix.pipeline

    monkeypatch.setattr(velarix.pipeline, "STOP_NOTICE_AFTER", 0.02)
    p, src, held = Pipeline("", threads=threads), Source(name="src"), Held(name="held")
    p.connect(src, held)
    notices = []
    p._stop_notice = notices.append
    p.start()
    # On a shared thread the cycle carries held's step: it runs on a thread of its own.
    driver = threading.Thread(target=src.cycle, args=({"x": 1},))
    driver.start()
    assert held.entered.wait(WAIT)
    stopper = threading.Thread(target=p.stop)
    stopper.start()
    wait_for(lambda: any(m.startswith("Stopping has waited") for m in entries(p, "WARNING")))
    held.release.set()
    stopper.join(WAIT)
    driver.join(WAIT)
    assert not stopper.is_alive() and p.get_state() == STOPPED
    notice = [m for m in entries(p, "WARNING") if m.startswith("Stopping has waited")]
    assert len(notice) == 1 and notice[0].endswith(" s for node held to finish its step.")
    assert notices == notice
    # A quick stop says nothing.
    p.start()
    p.stop()
    assert len([m for m in entries(p, "WARNING") if m.startswith("Stopping")]) == 1
    end_monitor(p)


def test_a_second_ctrl_c_while_run_stops_prints_one_line(tmp_path):
    script = tmp_path / "slow.py"
    script.write_text(textwrap.dedent("""
        import time
        import velarix.pipeline
        from velarix import INode, ONode, Pipeline
        velarix.pipeline.STOP_NOTICE_AFTER = 0.02

        class Ticks(ONode):
            def step(self, data):
                return {"out": data["count"]}

        class Slow(INode):
            def step(self, data):
                print("in step", flush=True)
                time.sleep(60)

        p = Pipeline("")
        p.connect(Ticks(name="ticks", rate=100), Slow(name="slow"))
        p.run()
    """))
    env = dict(os.environ, PYTHONPATH=str(Path(velarix.__file__).resolve().parents[1]))
    process = subprocess.Popen([*INTERRUPTIBLE, str(script)], env=env, text=True,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    lines, noticed = [], threading.Event()

    def read_errors():
        for line in process.stderr:
            lines.append(line)
            if "Stopping has waited" in line:
                noticed.set()

    reader = threading.Thread(target=read_errors, daemon=True)
    reader.start()
    try:
        assert process.stdout.readline() == "in step\n"
        process.send_signal(signal.SIGINT)
        assert noticed.wait(WAIT), "".join(lines)
        process.send_signal(signal.SIGINT)
        process.wait(WAIT)
        reader.join(WAIT)
    finally:
        process.kill()
        process.wait()
    errors = "".join(lines)
    assert process.returncode == 130, errors
    assert "Traceback" not in errors
    assert errors.count("interrupted again") == 1
