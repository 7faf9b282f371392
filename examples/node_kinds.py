"""Node kinds: a source (ONode, output ports only), a transform (IONode, input and
output ports) and a sink (INode, input ports only), run by a pipeline.

The source has a rate, so the pipeline drives it: 50 cycles a second from start to
stop. Its step gets {"count": k, "time": t}, the index and wall-clock time of the
deadline it runs for.

    .venv/bin/python examples/node_kinds.py

(after `make test` or `make install`, from the repository's root)
"""

import threading
from typing import Any

from velarix import INode, IONode, ONode, Pipeline


class Ticks(ONode):
    def step(self, data: dict[str, Any]) -> dict[str, Any]:
        return {"out": data["count"]}


class Square(IONode):
    def step(self, data: dict[str, Any]) -> dict[str, Any]:
        return {"out": data["in"] ** 2}


class Collect(INode):
    def __init__(self, wanted: int, **entries: Any) -> None:
        super().__init__(**entries)
        self.values: list[int] = []
        self.wanted = wanted
        self.done = threading.Event()

    def step(self, data: dict[str, Any]) -> None:
        self.values.append(data["in"])
        if len(self.values) == self.wanted:
            self.done.set()


def main() -> int:
    pipeline = Pipeline(directory="")  # "": the log stays in memory
    source, square, sink = Ticks(name="ticks", rate=50), Square(name="square"), Collect(10, name="sink")
    pipeline.connect(source, square)  # default ports: "out" -> "in"
    pipeline.connect(square, sink)
    pipeline.start()  # starts every node; the source's driver thread with it
    arrived = sink.done.wait(timeout=10)
    pipeline.stop()  # stops every node; the driver ends
    print("squares of the first ticks:", sink.values[:10])
    return 0 if arrived else 1


if __name__ == "__main__":
    raise SystemExit(main())
