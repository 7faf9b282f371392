"""Loading a large saved pipeline: a chain of 10,000 nodes (and 5,000, to show how
the time grows) serialised, the registry reset, and Pipeline.deserialize timed.
Target: under 2 s for 10,000 nodes."""

import sys
import time

from velarix import Pipeline, Portable
from velarix.io_node import IONode
from velarix.o_node import ONode

SIZES = (5_000, 10_000)
TARGET = 2.0  # seconds for 10,000 nodes


class Feed(ONode):
    def step(self, data):
        return {"out": data["n"]}


class Pass(IONode):
    def step(self, data):
        return {"out": data["in"]}


def saved_chain(size):
    pipeline = Pipeline(directory="")
    nodes = [Feed(name="feed")] + [Pass(name=f"pass{i}") for i in range(size - 1)]
    for upstream, downstream in zip(nodes, nodes[1:]):
        pipeline.connect(upstream, downstream)
    data = pipeline.serialize()
    pipeline.get_logger().stop()
    Portable.reset()
    return data


def load_seconds(size):
    data = saved_chain(size)
    start = time.perf_counter()
    loaded = Pipeline.deserialize(data)
    seconds = time.perf_counter() - start
    assert len(loaded._imp._nodes) == size and len(loaded.serialize()["connections"]) == size - 1
    loaded.get_logger().stop()
    Portable.reset()
    return seconds


def main():
    for size in SIZES:
        seconds = load_seconds(size)
        print(f"load of a saved pipeline of {size:,} nodes: {seconds:.2f} s")
    if seconds > TARGET:
        print(f"above the {TARGET:.0f} s target")
    return 0


if __name__ == "__main__":
    sys.exit(main())
