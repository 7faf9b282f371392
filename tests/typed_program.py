"""A user program written against the typed API; mypy --strict must accept it.

It is also run by the tests, so what it does must hold as well as type-check."""

from __future__ import annotations

import threading
from typing import Any, Optional

import velarix
from velarix import Constants, INode, IONode, LogEntry, Logger, LogType, ONode, Pipeline
from velarix.graph import describe, to_dot


class Counter(ONode):
    """A timed source: counts its deadlines."""

    def step(self, data: dict[str, Any]) -> dict[str, Any]:
        count: int = data["count"]
        return {"out": count}


class Double(IONode):
    def setup(self, data: dict[str, Any],
              metadata: dict[str, dict[str, Any]]) -> Optional[dict[str, dict[str, Any]]]:
        return {"out": {"unit": "twice"}}

    def step(self, data: dict[str, Any]) -> dict[str, Any]:
        return {"out": 2 * data["in"]}


class Sink(INode):
    def __init__(self, wanted: int, **entries: Any) -> None:
        super().__init__(**entries)
        self.values: list[int] = []
        self.wanted = wanted
        self.done = threading.Event()

    def step(self, data: dict[str, Any]) -> None:
        self.values.append(data["in"])
        if len(self.values) >= self.wanted:
            self.done.set()


def run() -> list[int]:
    pipeline = Pipeline(directory="")
    source = Counter(name="counter", rate=200.0)
    double, sink = Double(name="double"), Sink(5, name="sink")
    pipeline.connect(source, double)
    pipeline.connect_ports(double, Constants.Defaults.PORT_OUT, sink, "in")
    pipeline.start()
    finished = sink.done.wait(timeout=10)
    pipeline.stop()
    assert finished, "the timed source did not drive the pipeline"
    logger: Logger = pipeline.get_logger()
    entries: list[LogEntry] = logger.get_by_type(LogType.INFO)
    assert entries and isinstance(entries[0]["message"], str)
    rate: Optional[float] = source.get_rate()
    assert rate == 200.0
    assert [node.name for node in describe(pipeline).nodes] == ["counter", "double", "sink"]
    assert to_dot(pipeline).startswith("digraph")
    load: float = max(entry["load"] for entry in pipeline.get_load())
    assert load >= 0.0 and isinstance(velarix.__version__, str)
    return sink.values[:5]


if __name__ == "__main__":
    print(run())
