"""A live pipeline in the terminal.

A timed sensor (a source node with a rate) feeds a smoothing node, which feeds a display.
The pipeline runs for a few seconds under a live table (with velarix[monitor]; a
status line otherwise), prints its load report and log, draws its graph, saves
itself to JSON, loads that back into a fresh registry and runs again.
With --fail a node that breaks after a while joins in, and the monitoring thread
stops the pipeline with condition ERROR. With --web the run is also served as a
live page in the browser; --screenshot PATH saves a picture of that page (headless
Chromium).

    .venv/bin/python examples/demo.py [--fail] [--web] [--seconds N]

(after `make test` or `make install`, from the repository's root; `make demo`
builds and runs it in one step)
"""

import argparse
import contextlib
import math
import os
import random
import shutil
import time
from typing import Any, Iterator

from velarix import INode, IONode, ONode, Pipeline, PipelineError, Portable

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


@contextlib.contextmanager
def watched(pipeline: Pipeline) -> Iterator[None]:
    """The live table while the block runs, or a status line without rich."""
    try:
        from velarix.monitor import LiveMonitor
        import rich  # noqa: F401
    except ImportError:
        yield
        return
    with LiveMonitor(pipeline):
        yield


def run(pipeline: Pipeline, seconds: float) -> None:
    """Run the pipeline for `seconds` (or until it stops itself) under the live
    table; the sensor's rate drives it."""
    with watched(pipeline):
        try:
            pipeline.run(seconds)
        except PipelineError as error:
            print(f"\nPipelineError from node {error.node!r}: {error}")
    display: Any = next(node for node in pipeline.get_nodes() if node.get_name() == "display")
    print(f"\n{display.count} values shown, last level {display.last:+.2f}; "
          f"state {pipeline.get_state()}, condition {pipeline.get_condition()}")


def draw(pipeline: Pipeline, folder: str) -> None:
    """The graph's picture through Graphviz, or its DOT text without it."""
    if shutil.which("dot"):
        print(f"graph picture: {pipeline.draw(os.path.join(folder, 'demo-pipeline.svg'))}")
    else:
        path = os.path.join(folder, "demo-pipeline.dot")
        with open(path, "w", encoding="utf-8") as file:
            file.write(pipeline.to_dot())
        print(f"graph (DOT text; install Graphviz to draw it): {path}")


def screenshot(url: str, path: str) -> None:
    """A picture of the live page, taken by headless Chromium."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1100,1000"):
        options.add_argument(argument)
    browser = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "chromedriver"), options=options)
    try:
        browser.get(url)
        time.sleep(3.0)  # a few updates, so the charts have lines
        browser.save_screenshot(path)
    finally:
        browser.quit()
    print(f"\npage screenshot: {path}")


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
    parser.add_argument("--web", action="store_true", help="also serve the run as a live page")
    parser.add_argument("--screenshot", metavar="PATH", help="with --web: save a picture of the page")
    args = parser.parse_args()
    log_dir = os.path.abspath(args.log_dir)

    pipeline = Pipeline(log_dir)
    sensor, smooth, display = Sensor(name="sensor", rate=RATE), Smooth(name="smooth"), Display(name="display")
    pipeline.connect(sensor, smooth)
    pipeline.connect(smooth, display)
    if args.fail:
        pipeline.connect(smooth, Flaky(name="flaky"))
    print(f"running for {args.seconds:g} s{' (a node will fail)' if args.fail else ''}...")
    server = pipeline.serve() if args.web or args.screenshot else None
    if server is not None:
        print(f"live page: {server.url}")
        if args.screenshot:
            import threading

            threading.Thread(target=screenshot, args=(server.url, os.path.abspath(args.screenshot)),
                             daemon=True).start()
    run(pipeline, args.seconds)
    report(pipeline)
    draw(pipeline, log_dir)

    path = os.path.join(log_dir, "demo-pipeline.json")
    pipeline.save(path)
    pipeline.close()
    if server is not None:
        server.wait(10)
    print(f"\nsaved to {path}; loading it into a fresh registry and running again...")
    Portable.reset()
    with Pipeline.load(path, directory=log_dir) as loaded:
        run(loaded, 1.5)
        report(loaded)


if __name__ == "__main__":
    main()
