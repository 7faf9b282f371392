"""Nodes for the cluster tests. Workers re-create them from their class source, so
this module imports only what a worker has: the standard library and velarix."""

import os
import threading
import time

from velarix import INode, IONode, ONode
from velarix.logger import LogType


class Source(ONode):
    """Driven from the test: each cycle({"x": v}) pushes v."""

    def step(self, data):
        return {"out": data["x"]}


class Double(IONode):
    """Passes 2 * value on, and names the process it ran in."""

    def step(self, data):
        return {"out": (data["in"][0] * 2, data["in"][1] + [os.getpid()])}


class Slow(IONode):
    """Takes its time, so values pile up before it."""

    def step(self, data):
        time.sleep(0.002)
        return {"out": data["in"]}


class Fail(IONode):
    def step(self, data):
        raise RuntimeError("value rejected by Fail")


class Shout(IONode):
    """Writes a log entry for every value."""

    def step(self, data):
        self._imp._logger.write(LogType.WARNING, f"shout {data['in']}")
        return {"out": data["in"]}


class Collect(INode):
    def __init__(self, **entries):
        super().__init__(**entries)
        self.values = []
        self.changed = threading.Condition()

    def step(self, data):
        with self.changed:
            self.values.append(data["in"])
            self.changed.notify_all()

    def wait_for(self, test, timeout):
        """True once test(values) holds; False after `timeout` seconds."""
        with self.changed:
            return self.changed.wait_for(lambda: test(self.values), timeout)


class Sleepy(IONode):
    """Slow to make and to step: waits `pause` seconds in its constructor and in
    each step, which it announces in the log first."""

    def __init__(self, **entries):
        super().__init__(**entries)
        threading.Event().wait(self.config["pause"])

    def step(self, data):
        self._imp._logger.write(LogType.INFO, "step begins")
        threading.Event().wait(self.config["pause"])
        return {"out": data["in"]}


SCALE = 3


class Scaled(IONode):
    """Uses a global of this module, which its stored source does not carry."""

    def step(self, data):
        return {"out": data["in"] * SCALE}


class Gate(IONode):
    """Each step first makes the file `entered`, then waits (at most 15 s) for the
    file `gate`: the test holds the node inside its step across processes."""

    def step(self, data):
        open(self.config["entered"], "a").close()
        deadline = time.monotonic() + 15
        while not os.path.exists(self.config["gate"]) and time.monotonic() < deadline:
            time.sleep(0.005)
        return {"out": data["in"]}


class Relay(IONode):
    """Passes each value on as it came."""

    def step(self, data):
        return {"out": data["in"]}


class Named(IONode):
    """Passes the value on with the name of the thread that stepped it."""

    def step(self, data):
        return {"out": (data["in"][0], data["in"][1] + [threading.current_thread().name])}
