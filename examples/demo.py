"""A live pipeline in the terminal.

A timed sensor (a source node with a rate) feeds a smoothing node, which feeds a display.
The pipeline runs for a few seconds with a status line, prints its load report and
log, saves itself to JSON, loads that back into a fresh registry and runs again.
With --fail a node that breaks after a while joins in, and the monitoring thread
stops the pipeline with condition ERROR.
"""

import argparse
import math
import os
import random
import time
from typing import Any

import velarix.imp.scribon
from velarix import INode, IONode, ONode, Pipeline, Portable

RATE = 300  # sensor values per second


class Sensor(ONode):
    """A noisy sine at 0.5 Hz, sampled at the node's rate (its driver passes the
    deadline's time in data["time"])."""

    def step(self, data: dict[str, Any]) -> dict[str, Any]:
        t = data["time"]
        return {"out": math.sin(2 * math.pi * 0.5 * t) + random.gauss(0, 0.3)}


class Smooth(IONode):
    """Exponential moving average with weight `alpha` for the newest value."""

    def __init__(self, **entries: Any) -> None:
        entries.setdefault("alpha", 0.05)
        super().__init__(**entries)
        self.level: float | None = None

    def step(self, data: dict[str, Any]) -> dict[str, Any]:
        alpha, x = self.config["alpha"], data["in"]
        self.level = x if self.level is None else self.level + alpha * (x - self.level)
        return {"out": self.level}


class Display(INode):
    def __init__(self, **entries: Any) -> None:
        super().__init__(**entries)
        self.count, self.last = 0, 0.0

    def step(self, data: dict[str, Any]) -> None:
        self.count += 1
        self.last = data["in"]


class Flaky(INode):
    """Fails on its `fail_after`-th value."""

    def __init__(self, **entries: Any) -> None:
        # Literal defaults only: a saved pipeline keeps the class, not this module.
        entries.setdefault("fail_after", 600)
        super().__init__(**entries)
        self.count = 0

    def step(self, data: dict[str, Any]) -> None:
        self.count += 1
        if self.count == self.config["fail_after"]:
            raise RuntimeError(f"Flaky gave up after {self.count} values.")


def run(pipeline: Pipeline, seconds: float) -> None:
    """Start and watch the pipeline for `seconds` (or until it stops itself); the
    sensor's rate drives it."""
    nodes = {node.get_name(): node for node in pipeline.get_nodes()}
    # A loaded pipeline's Display is re-created from its saved source: another class.
    display: Any = nodes["display"]
    pipeline.start()
    while pipeline.get_elapsed_time() < seconds and pipeline.get_state() == "RUNNING":
        loads = "  ".join(f"{e['name']} {e['load']:4.1f}%" for e in pipeline.get_load()[:-1])
        print(f"\r{pipeline.get_elapsed_time():4.1f} s  {display.count:5d} values  "
              f"level {display.last:+.2f}  load: {loads}   ", end="", flush=True)
        time.sleep(0.1)
    print()
    pipeline.stop()
    print(f"state {pipeline.get_state()}, condition {pipeline.get_condition()}")
    error = pipeline.get_last_error()
    if error is not None:
        print(f"last error: {error['message']}")


def report(pipeline: Pipeline) -> None:
    print(f"\n{'class':<12} {'name':<10} {'load':>7}")
    for entry in pipeline.get_load():
        print(f"{entry['class']:<12} {entry['name']:<10} {entry['load']:>6.2f}%")
    print("\nlast log lines:")
    for line in pipeline.get_logger().get_all()[-12:]:
        print(f"  {line['type']:<8} {line['message']}")
    print(f"log file: {pipeline.get_logger().get_file_name()}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--fail", action="store_true", help="add a node that fails after a while")
    parser.add_argument("--log-dir", default="demo-logs", help="folder for log files and the saved pipeline")
    parser.add_argument("--seconds", type=float, default=4.0, help="length of the first run")
    args = parser.parse_args()
    log_dir = os.path.abspath(args.log_dir)
    # Pipelines re-created from a file log to the default folder: make it ours.
    velarix.imp.scribon.DEFAULT_DIR = log_dir

    pipeline = Pipeline(log_dir)
    sensor, smooth, display = Sensor(name="sensor", rate=RATE), Smooth(name="smooth"), Display(name="display")
    pipeline.connect(sensor, smooth)
    pipeline.connect(smooth, display)
    if args.fail:
        pipeline.connect(smooth, Flaky(name="flaky"))
    print(f"running for {args.seconds:g} s{' (a node will fail)' if args.fail else ''}...")
    run(pipeline, args.seconds)
    report(pipeline)

    path = os.path.join(log_dir, "demo-pipeline.json")
    pipeline.save(path)
    pipeline.get_logger().stop()
    print(f"\nsaved to {path}; loading it into a fresh registry and running again...")
    Portable.reset()
    loaded = Pipeline.load(path)
    run(loaded, 1.5)
    report(loaded)
    loaded.get_logger().stop()


if __name__ == "__main__":
    main()
