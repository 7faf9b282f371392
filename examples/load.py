"""Load: the share of time a node spends in its steps, in percent.

A node busy for 4 ms of every 10 ms shows a load of 40 % or a little more. The pipeline's
report lists every node and, last, the highest load as the pipeline's. Above 80 %
the monitoring thread writes a warning; above 95 %, more than 10 s after the start,
it stops the pipeline.

    .venv/bin/python examples/load.py

(after `make test` or `make install`, from the repository's root)
"""

import threading
import time
from typing import Any

from velarix import INode, ONode, Pipeline


class Clock(ONode):
    def step(self, data: dict[str, Any]) -> dict[str, Any]:
        return {"out": data["time"]}


class Busy(INode):
    def __init__(self, **entries: Any) -> None:
        super().__init__(**entries)
        self.seen = 0
        self.enough = threading.Event()

    def step(self, data: dict[str, Any]) -> None:
        end = time.perf_counter() + 0.004
        while time.perf_counter() < end:  # stands for real work
            pass
        self.seen += 1
        if self.seen == 150:
            self.enough.set()


def main() -> int:
    pipeline = Pipeline(directory="")
    busy = Busy(name="busy")
    pipeline.connect(Clock(name="clock", rate=100), busy)
    pipeline.start()
    busy.enough.wait(timeout=10)
    report = pipeline.get_load()  # read while running: the load since the start
    pipeline.stop()
    for entry in report:
        print(f"{entry['class']:<12} {entry['name']:<9} {entry['load']:6.1f} %")
    return 0 if report[-1]["name"] == "Pipeline" else 1


if __name__ == "__main__":
    raise SystemExit(main())
