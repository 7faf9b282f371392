"""Nodes that graph files in the tests name by import path (graphfile_nodes:Name)."""

import threading

import numpy as np

from velarix import INode, IONode, ONode
from velarix.nodes._base import make_chunk

RATE = 250.0


class Numbers(ONode):
    """Driven from the test: each cycle({"n": n}) pushes n; timed, the count."""

    def step(self, data):
        value = data["n"] if "n" in data else data["count"]
        return {name: value for name in self._imp._output_ports}


class Scale(IONode):
    """Multiplies by its `factor` (default 1)."""

    def step(self, data):
        return {"out": data["in"] * self.config.get("factor", 1)}


class Collect(INode):
    def __init__(self, **entries):
        super().__init__(**entries)
        self.seen = []
        self.arrived = threading.Condition()

    def step(self, data):
        with self.arrived:
            self.seen.append(data["in"])
            self.arrived.notify_all()

    def wait_for(self, count, timeout=30):
        with self.arrived:
            return self.arrived.wait_for(lambda: len(self.seen) >= count, timeout)


def eeg_chunk(k, size=25):
    """Chunk k of a two-channel stream: 10 Hz on the first channel, 20 Hz on the second."""
    t = (k * size + np.arange(size)) / RATE
    samples = np.stack([np.sin(2 * np.pi * 10 * t), np.sin(2 * np.pi * 20 * t)], axis=1)
    return make_chunk(samples.astype(np.float32), t)


class EEG(ONode):
    """Driven from the test: cycle({"k": k}) pushes eeg_chunk(k)."""

    def setup(self, data, metadata):
        return {"out": {"channel_count": 2, "nominal_srate": RATE, "channel_format": "float32",
                        "channel_names": ["left", "right"]}}

    def step(self, data):
        return {"out": eeg_chunk(data["k"])}
