"""Loading a hand-written graph file: a chain of 1,000 nodes (each with a setting and
its port written out) built by Pipeline.from_file, from TOML and from YAML. Baseline:
Pipeline.deserialize of the same pipeline's saved form, in the same process.
Target: under 2 s for 1,000 nodes."""

import os
import sys
import tempfile
import time

from velarix import Pipeline, Portable
from velarix.io_node import IONode
from velarix.o_node import ONode

SIZE = 1_000
TARGET = 2.0  # seconds for 1,000 nodes


class Feed(ONode):
    def step(self, data):
        return {"out": data["n"]}


class Pass(IONode):
    def step(self, data):
        return {"out": data["in"]}


def toml_text(size):
    lines = ["links = ["] + [f'  "n{i} -> n{i + 1}",' for i in range(size - 1)] + ["]"]
    lines += ["", "[nodes.n0]", 'class = "graph_file:Feed"', "rate = 10"]
    for i in range(1, size):
        lines += ["", f"[nodes.n{i}]", 'class = "graph_file:Pass"', f"gain = {i}",
                  'inputs = { in = { timing = "SYNC", capacity = 8 } }']
    return "\n".join(lines) + "\n"


def yaml_text(size):
    lines = ["links:"] + [f"  - n{i} -> n{i + 1}" for i in range(size - 1)]
    lines += ["nodes:", "  n0: {class: 'graph_file:Feed', rate: 10}"]
    lines += [f"  n{i}:\n    class: graph_file:Pass\n    gain: {i}\n    inputs: {{in: {{timing: SYNC, capacity: 8}}}}"
              for i in range(1, size)]
    return "\n".join(lines) + "\n"


def timed(build):
    start = time.perf_counter()
    pipeline = build()
    seconds = time.perf_counter() - start
    assert len(pipeline.get_nodes()) == SIZE
    pipeline.close()
    Portable.reset()
    return seconds


def main():
    sys.modules.setdefault("graph_file", sys.modules[__name__])  # the classes the files name
    folder = tempfile.mkdtemp()
    figures = {}
    for suffix, text in ((".toml", toml_text(SIZE)), (".yaml", yaml_text(SIZE))):
        path = os.path.join(folder, f"chain{suffix}")
        with open(path, "w", encoding="utf-8") as file:
            file.write(text)
        figures[suffix] = timed(lambda: Pipeline.from_file(path, overrides=["log_dir=''"]))
    saved = Pipeline.from_file(os.path.join(folder, "chain.toml"), overrides=["log_dir=''"])
    data = saved.serialize()
    saved.close()
    Portable.reset()
    baseline = timed(lambda: Pipeline.deserialize(data, ""))
    print(f"deserialize of the same pipeline (baseline): {baseline:.2f} s")
    for suffix, seconds in figures.items():
        print(f"graph file {suffix} of {SIZE:,} nodes: {seconds:.2f} s ({seconds / baseline:.1f} x baseline)")
        if seconds > TARGET:
            print(f"  above the {TARGET:.0f} s target")
    return 0


if __name__ == "__main__":
    sys.exit(main())
