"""A pipeline over two local worker processes: a source and a sink here, a
CPU-heavy node on each worker. Prints the values received and every node's load
with the process it ran in.

    .venv/bin/python examples/two_workers.py

(after `make test`, which installs the extra `cluster` too, from the repository's
root)
"""

import os
import threading
from typing import Any

from velarix import INode, IONode, ONode, Pipeline
from velarix.cluster import Cluster


class Numbers(ONode):
    def step(self, data: dict[str, Any]) -> dict[str, Any]:
        return {"out": data["n"]}


class Square(IONode):
    def step(self, data: dict[str, Any]) -> dict[str, Any]:
        sum(i * i for i in range(2000))  # some real work per value
        return {"out": data["in"] ** 2}


class Negate(IONode):
    def step(self, data: dict[str, Any]) -> dict[str, Any]:
        return {"out": -data["in"]}


class Collect(INode):
    def __init__(self, **entries: Any) -> None:
        super().__init__(**entries)
        self.values: list[int] = []
        self.done = threading.Event()

    def step(self, data: dict[str, Any]) -> None:
        self.values.append(data["in"])
        if len(self.values) == 10:
            self.done.set()


def main() -> int:
    numbers, square, negate, collect = Numbers(), Square(), Negate(), Collect()
    pipeline = Pipeline(directory="")
    pipeline.connect(numbers, square)
    pipeline.connect(square, negate)
    pipeline.connect(negate, collect)

    with Cluster(pipeline) as cluster:
        cluster.spawn("w1")
        cluster.spawn("w2")
        cluster.place(square, "w1")
        cluster.place(negate, "w2")
        pipeline.start()
        for n in range(10):
            numbers.cycle({"n": n})
        received = collect.done.wait(timeout=20)
        print("values received:", collect.values)
        print(f"{'node':<10} {'ran in':<24} load")
        workers = cluster.get_workers()
        for entry in cluster.get_load():
            worker = entry["worker"]
            where = f"worker {worker} (pid {workers[worker]['pid']})" if worker else f"controller (pid {os.getpid()})"
            print(f"{entry['name']:<10} {where:<24} {entry['load']:.2f}%")
        pipeline.stop()
    return 0 if received and pipeline.get_condition() == "HEALTHY" else 1


if __name__ == "__main__":
    raise SystemExit(main())
