"""Misuse of the ports, the shared scheduler and tracing from Python: objects of
the wrong kind where a queue, a task or a scheduler belongs, calls from places no
caller should make them. Whatever the outcome (an error, nothing at all), the
interpreter lives on, and no thread is left behind.

Each case runs in an interpreter of its own: a crash fails the case instead of
ending the test run."""

import os
import subprocess
import sys
import textwrap

import pytest

import velarix

HERE = os.path.dirname(os.path.abspath(__file__))

PRELUDE = """\
import resource, sys, threading
resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
from velarix.imp import portan
from nodes import Relay, Sink, Source


def port(name="p"):
    return Sink(name=name)._imp._input_ports["in"]


def leftover_threads():
    return [t.name for t in threading.enumerate() if t is not threading.main_thread()]
"""


def run_isolated(body, setup="", timeout=60):
    """Runs `body` (after PRELUDE and `setup`) in a new interpreter; returns its output. Fails
    on a crash, a hang, or an exit without the body's last line "done"."""
    package_root = os.path.dirname(os.path.dirname(velarix.__file__))
    path = os.pathsep.join(p for p in (package_root, HERE, os.environ.get("PYTHONPATH")) if p)
    script = PRELUDE + setup + textwrap.dedent(body) + '\nprint("done", flush=True)\n'
    try:
        result = subprocess.run([sys.executable, "-X", "dev", "-c", script], cwd=HERE, capture_output=True,
                                text=True, timeout=timeout, env=dict(os.environ, PYTHONPATH=path))
    except subprocess.TimeoutExpired as hung:
        pytest.fail(f"hung; output so far: {hung.stdout!r} {hung.stderr!r}")
    assert result.returncode == 0, f"exit code {result.returncode}: {result.stderr[-3000:]}"
    assert result.stdout.rstrip().endswith("done"), result.stdout + result.stderr
    return result.stdout


# A queue held by nothing but the attribute lookup ---------------------------------


@pytest.mark.parametrize("method", ["data_available", "get", "get_stats", "_receive"])
def test_a_values_property_that_makes_a_new_queue_each_time(method):
    # The queue lives only as long as the lookup's result: a port method that let
    # go of it before use read freed memory.
    run_isolated(f"""
        class Fickle(portan.IPortImp):
            @property
            def _values(self):
                return portan.PortQueue()

            @_values.setter
            def _values(self, value):
                pass

        fickle = Fickle.__new__(Fickle)
        method = getattr(fickle, {method!r})
        for i in range(5000):
            try:
                method(i) if {method!r} == "_receive" else method()
            except (LookupError, AttributeError):
                pass  # get(): the new queue is empty; the bare port has no name to give
    """)


def test_a_value_released_while_samples_are_made_may_take_values_itself():
    # The values taken outside a step wait for a step to be sampled, each holding
    # its queue; letting the queues go when too many wait can free a queue whose
    # values take more again, from inside the making of room for one.
    out = run_isolated("""
        held, other = port("held"), port("other")

        class TakesMore:
            def __del__(self):
                for _ in range(64):
                    other.get()

        for round in range(20):
            for i in range(200):
                other._receive(i)
            held._receive(0)
            held._receive(TakesMore())
            held.get()
            held._values = portan.PortQueue()  # the trace now holds the old queue alone
            for _ in range(64):
                other.get()
            while other.data_available():
                other.get()
        print(other.get_stats()["received"])
    """)
    assert out.split()[0] == "4000"


# The shared scheduler -------------------------------------------------------------

# A pipeline on two shared threads: a source cycled here, a node with a thread of
# its own, so the steps of `step` (defined by each case) run on a scheduler thread.
SHARED_STEP = """
import time
from velarix import Pipeline
from velarix.io_node import IONode


class Step(IONode):
    def step(self, data):
        step(self, data["in"])
        return {"out": data["in"]}


pipeline = Pipeline("", threads=2)
source, lead, node, sink = Source(name="src"), Relay(name="lead", own_thread=True), Step(name="step"), Sink(name="sink")
pipeline.connect(source, lead)
pipeline.connect(lead, node)
pipeline.connect(node, sink)
scheduler = pipeline._scheduler
"""


def test_a_step_that_starts_its_scheduler_while_another_thread_stops_it():
    # The stopping thread holds the scheduler's turn and joins its threads, this
    # one among them: the step's start() must not wait for that turn. The stop
    # then wins, as if the start had come first.
    out = run_isolated("""
        entered = threading.Event()

        def step(self, value):
            if value == 0:
                entered.set()
                while scheduler.is_running():
                    time.sleep(0.001)
                time.sleep(0.1)  # the stopping thread is in its join by now
                scheduler.start()

        pipeline.start()
        source.cycle({"x": 0})
        assert entered.wait(10)
        scheduler.stop()
        print(scheduler.is_running())
        pipeline.stop()
        for thread in threading.enumerate():
            if thread is not threading.main_thread():
                thread.join(10)
        print(leftover_threads())
    """, SHARED_STEP)
    assert out.split("\n")[:2] == ["False", "[]"]


def test_a_schedulers_loop_is_refused_on_a_thread_that_already_runs_nodes():
    # A second loop on a scheduler thread, or under a carried call, would take
    # over the thread's runner from the one already running there.
    out = run_isolated("""
        refused = []

        def attempt():
            try:
                scheduler._run()
            except RuntimeError as error:
                refused.append(str(error))

        def step(self, value):
            attempt()

        pipeline.start()
        source.cycle({"x": 0})
        while not sink.values:  # the step ran on a scheduler thread
            time.sleep(0.001)
        portan.carried(attempt)
        pipeline.stop()
        print(len(refused), sink.values)
        for thread in threading.enumerate():
            if thread is not threading.main_thread():
                thread.join(10)
        print(leftover_threads())
    """, SHARED_STEP)
    assert out.split("\n")[:2] == ["2 [0]", "[]"]


@pytest.mark.parametrize("threads", [None, 2], ids=["workers", "shared"])
def test_two_steps_that_stop_each_others_node(threads):
    # Each stop waits for the other node's step (or worker) to end, unless that
    # thread is itself waiting for this one: then it goes on, and both end.
    out = run_isolated("""
        import time
        from velarix import Pipeline
        from velarix.io_node import IONode

        both = threading.Barrier(2)

        class StopsTheOther(IONode):
            def step(self, data):
                both.wait(10)
                self.other.stop()
                return {"out": data["in"]}

        pipeline = Pipeline("", threads=threads)
        source = Source(name="src")
        a, b = StopsTheOther(name="a"), StopsTheOther(name="b")
        a.other, b.other = b, a
        for name, node in (("a", a), ("b", b)):
            lead = Relay(name=f"lead-{name}", own_thread=True)  # the steps run on two threads
            pipeline.connect(source, lead)
            pipeline.connect(lead, node)
            pipeline.connect(node, Sink(name=f"sink-{name}"))
        pipeline.start()
        source.cycle({"x": 1})
        while "RUNNING" in (a.get_state(), b.get_state()):
            time.sleep(0.01)
        pipeline.stop()
        for thread in threading.enumerate():
            if thread is not threading.main_thread():
                thread.join(10)
        print(leftover_threads())
    """, f"threads = {threads}\n")
    assert out.split("\n")[0] == "[]"

