"""Nodes and probes shared by the pipeline tests."""

import threading

from velarix.i_node import INode
from velarix.io_node import IONode
from velarix.node import Node
from velarix.o_node import ONode

WAIT = 10  # seconds any single wait may take before the test fails


class Source(ONode):
    """Driven from outside: each cycle({"x": v}) pushes v."""

    def step(self, data):
        return {"out": data["x"]}


class Relay(IONode):
    def step(self, data):
        return {"out": data["in"] * 10}


class Merge(IONode):
    """Two inputs, one output: the pair of one value from each."""

    def __init__(self, **entries):
        entries.setdefault("input_ports", [{"name": "a"}, {"name": "b"}])
        super().__init__(**entries)

    def step(self, data):
        return {"out": (data["a"], data["b"])}


class Sink(INode):
    def __init__(self, **entries):
        super().__init__(**entries)
        self.values = []
        self.expected = None
        self.done = threading.Event()

    def step(self, data):
        self.values.append(data["in"])
        if len(self.values) == self.expected:
            self.done.set()


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


class PassProbe(threading.Event):
    """A pipeline's stop event that counts the monitoring thread's waits, one per
    pass, so a test can wait for passes instead of sleeping."""

    def __init__(self):
        super().__init__()
        self._changed = threading.Condition()
        self.passes = 0

    def wait(self, timeout=None):
        with self._changed:
            self.passes += 1
            self._changed.notify_all()
        return super().wait(timeout)

    def await_passes(self, count):
        """Wait until `count` more passes have begun and ended their checks."""
        with self._changed:
            target = self.passes + count
            assert self._changed.wait_for(lambda: self.passes >= target, WAIT)


def messages(pipeline, caller_only=False):
    """The pipeline log's messages, oldest first; `caller_only` keeps the lines
    written on this thread (the monitoring thread's lines come at any time)."""
    me = hex(threading.get_ident())
    return [e["message"] for e in pipeline.get_logger().get_all()
            if not caller_only or e["thread"] == me]


def entries(pipeline, kind):
    return [e["message"] for e in pipeline.get_logger().get_all() if e["type"] == kind]


def end_monitor(pipeline):
    thread = pipeline._imp._monitor_thread
    if thread is not None:
        thread.join(WAIT)
        assert not thread.is_alive()
