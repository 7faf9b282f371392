"""Ports and timing: named ports, metadata from the set-up run, SYNC and ASYNC.

A source pushes 100 values through two output ports. One consumer reads them on a
SYNC port (every value, in order); a slow one reads on an ASYNC port (only the
newest value waits, older ones are replaced), so it skips values but never falls
behind. The set-up run sends each output port's metadata downstream once.

    .venv/bin/python examples/ports_and_timing.py

(after `make test` or `make install`, from the repository's root)
"""

import threading
import time
from typing import Any, Optional

from velarix import INode, ONode, Pipeline


class Source(ONode):
    def __init__(self, **entries: Any) -> None:
        entries.setdefault("output_ports", [{"name": "all"}, {"name": "latest"}])
        super().__init__(**entries)

    def setup(self, data: dict[str, Any],
              metadata: dict[str, dict[str, Any]]) -> Optional[dict[str, dict[str, Any]]]:
        return {"all": {"unit": "count"}, "latest": {"unit": "count"}}

    def step(self, data: dict[str, Any]) -> dict[str, Any]:
        return {"all": data["n"], "latest": data["n"]}


class Reader(INode):
    def __init__(self, delay: float, **entries: Any) -> None:
        super().__init__(**entries)
        self.delay = delay
        self.values: list[int] = []
        self.unit: Any = None
        self.last = threading.Event()

    def setup(self, data: dict[str, Any],
              metadata: dict[str, dict[str, Any]]) -> Optional[dict[str, dict[str, Any]]]:
        self.unit = metadata["in"]["unit"]  # what the linked output port's set-up sent
        return {}

    def step(self, data: dict[str, Any]) -> None:
        time.sleep(self.delay)
        self.values.append(data["in"])
        if data["in"] == 99:
            self.last.set()


def main() -> int:
    pipeline = Pipeline(directory="")
    source = Source(name="source")
    every = Reader(0.0, name="every", input_ports=[{"name": "in", "timing": "SYNC"}])
    newest = Reader(0.005, name="newest", input_ports=[{"name": "in", "timing": "ASYNC"}])
    pipeline.connect_ports(source, "all", every, "in")
    pipeline.connect_ports(source, "latest", newest, "in")
    pipeline.start()
    for n in range(100):
        source.cycle({"n": n})
        time.sleep(0.001)
    done = every.last.wait(timeout=10) and newest.last.wait(timeout=10)
    pipeline.stop()
    print(f"SYNC port:  {len(every.values)} values, in order: {every.values == list(range(100))}")
    print(f"ASYNC port: {len(newest.values)} values, the last one: {newest.values[-1:]}")
    print(f"metadata seen downstream: unit = {every.unit!r}")
    return 0 if done and every.values == list(range(100)) else 1


if __name__ == "__main__":
    raise SystemExit(main())
