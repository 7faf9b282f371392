"""Nodes of bench/cluster.py. Workers re-create them from their class source, so
this module imports only the standard library and velarix."""

import threading
import time

from velarix import INode, IONode, ONode


class Source(ONode):
    def step(self, data):
        return {"out": data["x"]}


class Burn(IONode):
    """Spends about `iterations` loop turns of Python CPU on each value."""

    def step(self, data):
        total = 0
        for i in range(self.config["iterations"]):
            total += i * i
        return {"out": data["in"]}


class Relay(IONode):
    def step(self, data):
        return {"out": data["in"]}


class Collect(INode):
    def __init__(self, **entries):
        super().__init__(**entries)
        self.count = 0
        self.expected = 1
        self.first = None
        self.done = threading.Event()
        self.arrived = threading.Event()

    def step(self, data):
        self.count += 1
        self.arrived.set()
        if self.count == self.expected:
            self.done.set()


class Lag(IONode):
    """Passes on how long ago (perf_counter, the same clock in every process of
    the host) the value it got was stamped."""

    def step(self, data):
        return {"out": time.perf_counter() - data["in"]}


class Keep(INode):
    def __init__(self, **entries):
        super().__init__(**entries)
        self.values = []
        self.expected = 1
        self.done = threading.Event()

    def step(self, data):
        self.values.append(data["in"])
        if len(self.values) >= self.expected:
            self.done.set()
