"""Three nodes wired by hand, without a pipeline: a source that the application
drives with cycle(), a node that squares what arrives, and a sink that collects.

    .venv/bin/python examples/chain.py

(after `make test` or `make install`, from the repository's root)
"""

import threading
from typing import Any

from velarix import INode, IONode, ONode


class Numbers(ONode):
    """Emits the number it is handed on each cycle."""

    def step(self, data: dict[str, Any]) -> dict[str, Any]:
        return {"out": data["n"]}


class Square(IONode):
    def step(self, data: dict[str, Any]) -> dict[str, Any]:
        return {"out": data["in"] ** 2}


class Collect(INode):
    def __init__(self, expected: int, **entries: Any) -> None:
        super().__init__(**entries)
        self.values: list[int] = []
        self._expected = expected
        self.done = threading.Event()

    def step(self, data: dict[str, Any]) -> None:
        self.values.append(data["in"])
        if len(self.values) == self._expected:
            self.done.set()


def main(count: int = 10) -> int:
    source, square, sink = Numbers(), Square(), Collect(count)
    source.connect("out", square, "in")
    square.connect("out", sink, "in")

    # Downstream first, so every worker waits before the first value is pushed.
    for node in (sink, square, source):
        node.start()
    for n in range(count):
        source.cycle({"n": n})
    arrived = sink.done.wait(timeout=10)
    for node in (source, square, sink):
        node.stop()

    print("arrived:", sink.values if arrived else f"only {sink.values}")
    for node in (source, square, sink):
        print(f"{node.get_name():>8}: {node.get_counter()} cycles, load {node.get_load():.2f} %, "
              f"{node.get_condition()}")
    return 0 if arrived else 1


if __name__ == "__main__":
    raise SystemExit(main())
