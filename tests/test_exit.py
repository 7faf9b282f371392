"""Leaving the interpreter while daemon threads are inside the modules.

Each script below exits with work in flight and without stopping anything. At exit
the interpreter ends every daemon thread that wants the interpreter lock back; one
that is inside a module's native code at that moment must leave the process intact.
A fault shows only in some runs, so every script runs several times, in parallel
processes, and each run must end with exit code 0.
"""

import os
import subprocess
import sys

import pytest

import velarix

RUNS = 6

# Classes of the node scripts: a source fed by the script, a node doing a little
# work per value, and a sink that tells the script once values have come through.
NODES = """
import sys, threading
from velarix import INode, IONode, ONode, Pipeline

class Source(ONode):
    def step(self, data):
        return {"out": data["v"]}

class Work(IONode):
    def step(self, data):
        total = 0
        for i in range(2000):
            total += i
        return {"out": data["in"]}

class Sink(INode):
    def __init__(self, **entries):
        super().__init__(**entries)
        self.count = 0
        self.flowing = threading.Event()

    def step(self, data):
        self.count += 1
        if self.count == 20:
            self.flowing.set()

def feed(source):
    v = 0
    while True:
        source.cycle({"v": v})
        v += 1

source, work, sink = Source(), Work(), Sink()
"""

SCRIPTS = {
    # The input workers, the output pushes and the feeding thread all mid-flow.
    "nodes without stop": NODES + """
source.connect("out", work, "in")
work.connect("out", sink, "in")
for node in (sink, work, source):
    node.start()
threading.Thread(target=feed, args=(source,), daemon=True).start()
sink.flowing.wait()
sys.exit(0)
""",
    # The same graph in a pipeline with a log file: workers, monitoring thread and
    # log writer all live at exit.
    "pipeline without stop": NODES + """
pipeline = Pipeline(sys.argv[1])
pipeline.connect(source, work)
pipeline.connect(work, sink)
pipeline.start()
threading.Thread(target=feed, args=(source,), daemon=True).start()
sink.flowing.wait()
sys.exit(0)
""",
    # A timed source's driver mid-cycle, with the workers and monitoring thread.
    "timed source without stop": NODES + """
class Timed(ONode):
    def step(self, data):
        return {"out": data["count"]}

pipeline = Pipeline(sys.argv[1])
pipeline.connect(Timed(name="timed", rate=2000), work)
pipeline.connect(work, sink)
pipeline.start()
sink.flowing.wait()
sys.exit(0)
""",
    # Writers keep logging while the file writer drains; nobody stops the logger.
    "file logger without stop": """
import sys, threading
from velarix import Logger, LogType

logger = Logger(sys.argv[1])
written = threading.Event()

def write():
    n = 0
    while True:
        logger.write(LogType.INFO, f"entry {n}")
        n += 1
        if n == 200:
            written.set()

for _ in range(2):
    threading.Thread(target=write, daemon=True).start()
written.wait()
logger.flush()
sys.exit(0)
""",
    # Only ASYNC output ports: start() runs the first cycle on a set-up thread,
    # whose step handler is asleep (waking often) when the script exits.
    "output node set-up thread mid-cycle": """
import sys, threading, time
from velarix import INode, ONode
from velarix.constants import Constants

inside = threading.Event()

class Slow(ONode):
    def step(self, data):
        inside.set()
        while True:
            time.sleep(0.001)

class Sink(INode):
    def step(self, data):
        pass

node = Slow(output_ports=[{"name": "out", "timing": Constants.Timing.ASYNC}])
sink = Sink()
node.connect("out", sink, "in")
sink.start()
node.start()
inside.wait()
sys.exit(0)
""",
}


# A run that crashes leaves no core file behind.
NO_CORE_DUMP = "import resource; resource.setrlimit(resource.RLIMIT_CORE, (0, 0))\n"


def run_in_parallel(script, runs, directory):
    """Exit code and error output of each of `runs` processes running `script`."""
    # The package the tests import, wherever it comes from (installed or in-tree).
    package_root = os.path.dirname(os.path.dirname(velarix.__file__))
    path = os.pathsep.join(p for p in (package_root, os.environ.get("PYTHONPATH")) if p)
    env = dict(os.environ, PYTHONPATH=path)
    processes = [
        subprocess.Popen([sys.executable, "-c", NO_CORE_DUMP + script, str(directory)], cwd=directory,
                         env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        for _ in range(runs)
    ]
    results = []
    for process in processes:
        try:
            _, errors = process.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            process.kill()
            _, errors = process.communicate()
            errors += "\n(hung at exit)"
        results.append((process.returncode, errors))
    return results


@pytest.mark.parametrize("name", list(SCRIPTS))
def test_exit_with_threads_in_flight_is_clean(name, tmp_path):
    results = run_in_parallel(SCRIPTS[name], RUNS, tmp_path)
    failures = [(code, errors[-2000:]) for code, errors in results if code != 0]
    assert not failures, f"{len(failures)} of {RUNS} runs failed: {failures[0]}"
