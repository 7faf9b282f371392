"""The node classes the tests share: a source driven from outside, relays, a
doubler, and sinks that collect what arrives. They live at module level, since a
saved pipeline stores its classes' source. (tests/cluster_nodes.py has its own:
it is sent to workers.)"""

import threading

from velarix.i_node import INode
from velarix.io_node import IONode
from velarix.node import Node
from velarix.o_node import ONode


class Source(ONode):
    """Driven from outside: each cycle({"x": v}) pushes v."""

    def step(self, data):
        return {"out": data["x"]}


class Relay(IONode):
    def step(self, data):
        return {"out": data["in"] * 10}


class Double(IONode):
    """Twice its input; None (no value yet on an ASYNC port) stays None."""

    def step(self, data):
        return {"out": None if data.get("in") is None else data["in"] * 2}


class Merge(IONode):
    """Two inputs, one output: the pair of one value from each."""

    def __init__(self, **entries):
        entries.setdefault("input_ports", [{"name": "a"}, {"name": "b"}])
        super().__init__(**entries)

    def step(self, data):
        return {"out": (data["a"], data["b"])}


class Sink(INode):
    """Collects the values of its port "in"; `done` is set once `expected` have come."""

    def __init__(self, expected=None, **entries):
        super().__init__(**entries)
        self.values = []
        self.expected = expected
        self.done = threading.Event()

    def step(self, data):
        self.values.append(data["in"])
        if len(self.values) == self.expected:
            self.done.set()


class GatedSink(Sink):
    """A Sink whose step first waits on `gate` when a test sets one, and which keeps
    in `backlog` the most values it saw waiting behind the one in hand."""

    def __init__(self, expected=None, **entries):
        super().__init__(expected, **entries)
        self.gate = None
        self.backlog = 0

    def step(self, data):
        if self.gate is not None:
            self.gate.wait(10)
        self.backlog = max(self.backlog, len(self._imp._input_ports["in"]._values))
        super().step(data)


class Loaded(Node):
    """A node whose load the test sets; `broken` makes the load probe fail."""

    def __init__(self, **entries):
        super().__init__(**entries)
        self.load = 0.0
        self.broken = False

    def step(self, data):
        return data

    def get_load(self):
        if self.broken:
            raise RuntimeError("load probe broke")
        return self.load


class Wrap(IONode):
    """Wraps each value as {"n": value, "hops": 0} for a chain of Hops."""

    def step(self, data):
        return {"out": {"n": data["in"], "hops": 0}}


class Hop(IONode):
    """Counts one more hop on a wrapped value; anything else goes on as it is."""

    def step(self, data):
        value = data["in"]
        return {"out": {"n": value["n"], "hops": value["hops"] + 1} if isinstance(value, dict) else value}
