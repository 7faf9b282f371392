"""What a user sees when something goes wrong: the failing node's exception, the
bridge to the logging module, the exit without stop, run control from
several threads and clear errors for misuse."""

import _thread
import logging
import os
import random
import signal
import subprocess
import sys
import textwrap
import threading
import time
import traceback

import pytest

import velarix
from velarix import INode, IONode, LogType, Logger, ONode, Pipeline, PipelineError
from velarix.constants import Constants
from velarix.imp import ConstantsImp

from nodes import Merge, Sink, Source
from pipeline_helpers import WAIT

class Divide(IONode):
    def step(self, data):
        return {"out": 1 / data["in"]}


@pytest.fixture
def quick_monitor(monkeypatch):
    monkeypatch.setattr(ConstantsImp, "MONITORING_INTERVAL", 0.02)


def failing_pipeline(directory=""):
    source, divide, sink = Source(), Divide(name="divider"), Sink()
    pipeline = Pipeline(directory)
    pipeline.connect(source, divide)
    pipeline.connect(divide, sink)
    return pipeline, source, divide


# A pipeline whose node fails ---------------------------------------------------------


def test_wait_raises_with_the_failing_node_and_its_traceback(quick_monitor, caplog):
    pipeline, source, divide = failing_pipeline()
    assert divide.get_last_exception() is None
    with caplog.at_level(logging.INFO, logger="velarix"), pipeline:
        pipeline.start()
        assert pipeline.wait(0.01) is False  # still running
        source.cycle({"x": 0})
        with pytest.raises(PipelineError) as raised:
            pipeline.wait(WAIT)

    error = raised.value
    assert isinstance(error, RuntimeError)
    assert str(error) == "divider: division by zero" and error.node == "divider"
    assert error.entry["type"] == "ERROR" and error.entry["message"] == "division by zero"
    cause = error.__cause__
    assert isinstance(cause, ZeroDivisionError) and cause is divide.get_last_exception()
    last = traceback.extract_tb(cause.__traceback__)[-1]
    assert (last.name, last.line) == ("step", 'return {"out": 1 / data["in"]}')

    # Every entry reached logging; the guard's on "velarix.node", naming the node,
    # with exc_info (logging is set up here, so the record keeps the traceback).
    assert any(r.name == "velarix" and r.getMessage() == "Pipeline started." for r in caplog.records)
    failures = [r for r in caplog.records if r.levelno == logging.ERROR]
    assert [(r.name, r.velarix_node, r.exc_info[1]) for r in failures] == [("velarix.node", "divider", cause)]
    assert failures[0].getMessage() == "node divider: division by zero"
    assert failures[0].velarix_entry["message"] == "division by zero"


def test_run_stops_and_raises_and_an_error_without_a_node_has_no_cause(quick_monitor):
    pipeline, source, _ = failing_pipeline()
    threading.Timer(0.05, source.cycle, args=({"x": 0},)).start()
    with pytest.raises(PipelineError, match="division by zero"):
        pipeline.run(WAIT)
    assert pipeline.get_state() == Constants.States.STOPPED
    assert pipeline._imp._monitor_thread is None  # run() waited for it

    other = Pipeline("")
    other.add_node(Sink())
    other.start()
    other.get_logger().write(LogType.ERROR, "sensor unplugged")
    with pytest.raises(PipelineError) as raised:
        other.wait(WAIT)
    assert (str(raised.value), raised.value.node, raised.value.__cause__) == ("sensor unplugged", None, None)
    other.close()


def test_a_step_without_a_result_names_its_node_in_the_log_and_the_error(quick_monitor):
    class Forgets(IONode):
        def step(self, data):
            self.seen = data["in"]  # no return

    source, forgets, sink = Source(), Forgets(name="forgetful"), Sink()
    with Pipeline("") as pipeline:
        pipeline.connect(source, forgets)
        pipeline.connect(forgets, sink)
        pipeline.start()
        source.cycle({"x": 1})
        with pytest.raises(PipelineError) as raised:
            pipeline.wait(WAIT)
    message = "Argument 'data' has incorrect type (expected dict, got NoneType)"
    error = raised.value
    kinds = [(e["type"], e["message"]) for e in pipeline.get_logger().get_all()]
    warning = kinds[kinds.index(("ERROR", message)) - 1]
    assert warning[0] == "WARNING" and warning[1].startswith("Node forgetful: step() returned None. ")
    # What to return leads the error; the push's own error is its cause.
    assert (str(error), error.node) == ("forgetful: " + warning[1][len("Node forgetful: "):], "forgetful")
    assert "return" in str(error) and "SKIP" in str(error)
    assert isinstance(error.__cause__, TypeError) and str(error.__cause__) == message
    assert error.__cause__.__notes__ == [warning[1]] and not hasattr(error, "__notes__")


def test_skip_decimates_through_a_chain_and_shows_in_the_stats(quick_monitor):
    class EveryThird(IONode):
        def step(self, data):
            return {"out": data["in"]} if data["in"] % 3 == 0 else velarix.SKIP

    source, thin, sink = Source(), EveryThird(name="thin"), Sink()
    sink.expected = 4
    with Pipeline("") as pipeline:
        pipeline.connect(source, thin)
        pipeline.connect(thin, sink)
        pipeline.start()
        for x in range(10):
            source.cycle({"x": x})
        assert sink.done.wait(WAIT)  # the last value passes: every one before it was seen
    stats = {s["name"]: s for s in pipeline.get_stats()}  # the workers have ended
    assert sink.values == [0, 3, 6, 9] and pipeline.get_condition() == "HEALTHY"
    assert (stats["thin"]["steps"], stats["thin"]["skipped"]) == (10, 6)
    assert stats["thin"]["outputs"]["out"]["pushed"] == 4 and stats["thin"]["outputs"]["out"]["skipped"] == 6
    assert stats["Source"]["skipped"] == 0 and stats["Sink"]["inputs"]["in"]["received"] == 4


def test_ctrl_c_during_run_stops_the_pipeline_and_goes_on(no_thread_leak):
    pipeline = Pipeline("")
    pipeline.add_node(Sink())
    # Started with SIGINT ignored (a background job), Python handles no SIGINT and
    # interrupt_main does nothing: the handler a terminal's Ctrl-C meets, for the test.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        threading.Timer(0.1, _thread.interrupt_main).start()
        with pytest.raises(KeyboardInterrupt):
            pipeline.run()
    finally:
        signal.signal(signal.SIGINT, previous)
    assert pipeline.get_state() == Constants.States.STOPPED
    assert pipeline.get_condition() == Constants.Conditions.HEALTHY


def test_run_for_a_while_and_close_twice(tmp_path):
    pipeline = Pipeline(str(tmp_path))
    pipeline.add_node(Sink())
    pipeline.run(0.05)
    assert pipeline.get_state() == Constants.States.STOPPED
    with pipeline:
        pass
    pipeline.close()  # again: nothing more
    lines = open(pipeline.get_logger().get_file_name()).read().splitlines()
    assert lines[-1].split(" | ")[-1].strip() == "Logging ended."
    assert sum("Logging ended." in line for line in lines) == 1


def run_script(code, folder, *args):
    """Runs `code` from a file in `folder`, in a new interpreter that imports the
    package under test."""
    script = folder / "script.py"
    script.write_text(textwrap.dedent(code))
    package_root = os.path.dirname(os.path.dirname(velarix.__file__))
    env = dict(os.environ, PYTHONPATH=package_root)
    return subprocess.run([sys.executable, str(script), *args], capture_output=True, text=True,
                          timeout=60, env=env)


def test_without_logging_set_up_the_traceback_reaches_stderr(tmp_path):
    result = run_script("""
        import time
        from velarix import IONode, ONode
        class Source(ONode):
            def step(self, data):
                return {"out": data["x"]}
        class Broken(IONode):
            def step(self, data):
                return {"out": data["in"]["missing"]}
        source, broken = Source(), Broken()
        source.connect("out", broken, "in")
        broken.start(); source.start()
        source.cycle({"x": {}})
        while broken.get_last_exception() is None:
            time.sleep(0.01)
    """, tmp_path)
    assert result.returncode == 0
    assert "Traceback (most recent call last)" in result.stderr
    assert 'return {"out": data["in"]["missing"]}' in result.stderr
    assert "KeyError: 'missing'" in result.stderr
    assert result.stderr.startswith("node Broken: missing\n")  # no pipeline raises it: shown here


def test_without_logging_set_up_an_uncaught_failure_shows_its_traceback_once(tmp_path):
    result = run_script("""
        from velarix import INode, ONode, Pipeline
        class Source(ONode):
            def step(self, data):
                return {"out": data["x"]}
        class Broken(INode):
            def step(self, data):
                raise ValueError("bad value " + str(data["in"]))
        source, broken = Source(), Broken(name="checker")
        with Pipeline("") as pipeline:
            pipeline.connect(source, broken)
            pipeline.start()
            source.cycle({"x": 7})
            pipeline.wait()
    """, tmp_path)
    assert result.returncode == 1
    lines = result.stderr.splitlines()
    assert lines[0] == "node checker: bad value 7"  # the line logging prints names the node
    assert result.stderr.count('raise ValueError("bad value " + str(data["in"]))') == 1
    assert lines[-1] == "velarix.errors.PipelineError: checker: bad value 7"


@pytest.mark.parametrize("ending", [
    "pipeline.stop()",                       # start() and stop(), no wait() or run()
    "pass",                                  # the process ends with the pipeline running
    "pipeline.run(0.01)",                    # a run that ends before the monitor's next pass
    "pipeline.stop()  # logging set up",      # logging prints it with the record instead
])
def test_a_failure_nothing_raised_shows_its_traceback_once(tmp_path, ending):
    result = run_script(f"""
        import logging, time
        from velarix import INode, ONode, Pipeline
        from velarix.imp import ConstantsImp
        ConstantsImp.MONITORING_INTERVAL = 60.0
        if "logging set up" in {ending!r}:
            logging.basicConfig()
        class Source(ONode):
            def step(self, data):
                return {{"out": data["x"]}}
        class Broken(INode):
            def step(self, data):
                raise ValueError("bad value " + str(data["in"]))
        source, broken = Source(), Broken(name="checker")
        pipeline = Pipeline("")
        pipeline.connect(source, broken)
        pipeline.start()
        source.cycle({{"x": 7}})
        while broken.get_last_exception() is None:
            time.sleep(0.01)
        {ending}
    """, tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr.count('raise ValueError("bad value " + str(data["in"]))') == 1, result.stderr
    assert result.stderr.count("ValueError: bad value 7") == 1


def _step_returning(what):
    class Breaker(IONode):
        def step(self, data):
            if what == "raise":
                return {"out": 1 / data["in"]}
            return what
    return Breaker(name="breaker")


@pytest.mark.parametrize("what, headline, cause", [
    ("raise", "breaker: division by zero", ZeroDivisionError),
    (None, "breaker: step() returned None. A step returns a dict", TypeError),
    (7, "breaker: step() returned an int. A step returns a dict", TypeError),
    ([1], "breaker: step() returned a list. A step returns a dict", TypeError),
])
def test_the_raised_error_names_the_node_and_says_what_to_return(quick_monitor, what, headline, cause):
    source, breaker = Source(), _step_returning(what)
    with Pipeline("") as pipeline:
        pipeline.connect(source, breaker)
        pipeline.connect(breaker, Sink())
        pipeline.start()
        source.cycle({"x": 0})
        with pytest.raises(PipelineError) as raised:
            pipeline.wait(WAIT)
    error = raised.value
    assert str(error).startswith(headline) and error.node == "breaker"
    assert type(error.__cause__) is cause and error.__cause__ is breaker.get_last_exception()
    if cause is TypeError:
        assert "velarix.SKIP" in str(error)
        # The log's error entry keeps the exception's own text.
        assert error.entry["message"] == str(error.__cause__) != str(error)


@pytest.mark.parametrize("threads", [None, 2])
def test_slips_in_what_steps_return_and_joins_drifting_apart_are_warned_once(threads, no_thread_leak):
    class Extra(ONode):
        def step(self, data):
            return {"out": data["x"], "outt": data["x"], 3: None}

    # skewed: "a" gets 1100 values, "b" 1; even: both get 1100, from typo and c.
    a, b, c, typo = Source(name="a"), Source(name="b"), Source(name="c"), Extra(name="typo")
    skewed, even = Merge(name="skewed"), Merge(name="even")
    with Pipeline("", threads=threads) as pipeline:
        pipeline.connect_ports(a, "out", skewed, "a")
        pipeline.connect_ports(b, "out", skewed, "b")
        pipeline.connect_ports(typo, "out", even, "a")
        pipeline.connect_ports(c, "out", even, "b")
        for sink_of in (skewed, even):
            pipeline.connect(sink_of, Sink(name=f"{sink_of.get_name()}_sink"))
        pipeline.start()
        for n in range(1100):
            a.cycle({"x": n})
            typo.cycle({"x": n})
            c.cycle({"x": n})
        b.cycle({"x": 0})
        deadline = time.monotonic() + WAIT
        while not any("drifted" in m for m in _warnings(pipeline)) and time.monotonic() < deadline:
            time.sleep(0.01)
        warnings = _warnings(pipeline)
    assert [m for m in warnings if "names no output port" in m] == [
        "Node typo: step() returned a value for 'outt', which names no output port (its ports: ['out']); "
        "that value goes nowhere.",
        "Node typo: step() returned a value for 3, which names no output port (its ports: ['out']); "
        "that value goes nowhere."]
    drift = [m for m in warnings if "drifted" in m]
    assert len(drift) == 1 and drift[0].startswith("Node skewed: its input queues have drifted apart, 'a' holding")
    assert "'b' 0" in drift[0]


def _warnings(pipeline):
    return [e["message"] for e in pipeline.get_logger().get_by_type(LogType.WARNING)]


# Leaving without stop ----------------------------------------------------------------


@pytest.mark.parametrize("ending", ["sys.exit(0)", "raise RuntimeError('main thread crashed')"])
def test_exit_without_stop_keeps_every_entry(tmp_path, ending):
    result = run_script(f"""
        import logging, sys
        logging.getLogger("velarix").setLevel(logging.ERROR)
        from velarix import Logger, LogType
        logger = Logger(sys.argv[1])
        for n in range(5000):
            logger.write(LogType.INFO, f"entry {{n}}")
        {ending}
    """, tmp_path, str(tmp_path / "logs"))
    assert "main thread crashed" in result.stderr or result.returncode == 0
    (log,) = (tmp_path / "logs").iterdir()
    lines = log.read_text().splitlines()
    messages = [line.split(" | ")[-1].strip() for line in lines[2:]]
    assert messages == [f"entry {n}" for n in range(5000)] + ["Logging ended."]


def test_one_entry_is_one_file_line(tmp_path):
    logger = Logger(str(tmp_path))
    text = "first\nforged | ERROR | line\r\x1b[31mred\u2028"
    entry = logger.write(LogType.INFO, text)
    logger.stop()
    assert entry["message"] == text and logger.get_all()[0]["message"] == text
    lines = open(logger.get_file_name()).read().splitlines()
    assert len(lines) == 4  # title, rule, the entry, the closing entry
    assert lines[2].rstrip().endswith(r"first\nforged | ERROR | line\r\x1b[31mred\u2028")


# Run control from several threads ----------------------------------------------------


def monitors_of(pipeline):
    return [t for t in threading.enumerate()
            if getattr(t, "_target", None) == pipeline._imp._monitoring_fun and t.is_alive()]


@pytest.mark.slow
def test_concurrent_start_and_stop_keep_one_monitor(no_thread_leak):
    pipeline = Pipeline("")
    source, sink = Source(), Sink()
    pipeline.connect(source, sink)
    failures, seen = [], []
    end = threading.Event()

    def churn(seed):
        chance = random.Random(seed)
        try:
            while not end.is_set():
                (pipeline.start if chance.random() < 0.5 else pipeline.stop)()
                seen.append(len(monitors_of(pipeline)))
        except Exception as error:  # noqa: BLE001 - any error is the finding
            failures.append(error)

    threads = [threading.Thread(target=churn, args=(seed,)) for seed in range(4)]
    for thread in threads:
        thread.start()
    end.wait(2.0)
    end.set()
    for thread in threads:
        thread.join(WAIT)
        assert not thread.is_alive(), "run control deadlocked"
    pipeline.stop()
    assert failures == []
    assert seen and max(seen) <= 1
    assert pipeline.get_condition() == Constants.Conditions.HEALTHY


# Misuse ------------------------------------------------------------------------------


def test_misuse_is_explained():
    pipeline = Pipeline("")
    with pytest.raises(TypeError, match=r"^input_node must be a node \(an INode\), got int\.$") as raised:
        pipeline.connect(Source(), 3)
    assert isinstance(raised.value, AttributeError)  # as the missing set_logger failed before
    assert [type(n).__name__ for n in pipeline.get_nodes()] == ["Source"]

    class Forgetful(INode):
        def __init__(self, **entries):
            self.seen = []

    node = Forgetful()
    with pytest.raises(TypeError, match=r"^Forgetful is not initialised: .*super\(\)\.__init__"):
        node.get_name()
    assert not hasattr(node, "_imp")

    with pytest.raises(ValueError, match="Port timing must be"):
        Sink(input_ports=[{"name": "in", "timing": "sync"}])

    logger = Logger("")
    logger.write(LogType.ERROR, "e")
    assert logger.get_by_type("ERROR") == logger.get_by_type(LogType.ERROR) != []
    assert logger.has_entries("ERROR") and not logger.has_entries("WARNING")
    with pytest.raises(TypeError, match=r"pass a LogType member such as LogType\.ERROR"):
        logger.get_by_type("error")
