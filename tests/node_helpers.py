"""Stand-ins shared by the node and port tests: a logger that records, a wake-up
event that tells when the worker has gone to wait, scripted input ports, and
helpers that build bounded ports and run chains of nodes."""

import threading

from velarix.constants import Constants
from velarix.i_port import IPort

SYNC, ASYNC = Constants.Timing.SYNC, Constants.Timing.ASYNC


class Recorder:
    """A logger that keeps (log type, message) pairs; messages() filters by the
    type's value ("ERROR")."""

    def __init__(self):
        self.entries = []

    def write(self, log_type, message):
        self.entries.append((log_type, message))

    def messages(self, kind=None):
        return [m for k, m in self.entries if kind is None or k.value == kind]


class ProbeEvent(threading.Event):
    """A node's wake-up event that counts the worker's waits and the stop signals,
    so a test can wait for "the worker is idle" instead of sleeping."""

    def __init__(self):
        super().__init__()
        self._changed = threading.Condition()
        self.waits = 0
        self.sets = 0

    def wait(self, timeout=None):
        with self._changed:
            self.waits += 1
            self._changed.notify_all()
        return super().wait(timeout)

    def set(self):
        super().set()
        with self._changed:
            self.sets += 1
            self._changed.notify_all()

    def reached(self, attribute, count, timeout=5):
        with self._changed:
            return self._changed.wait_for(lambda: getattr(self, attribute) >= count, timeout)


def install_probe(node_imp):
    """Replace the node's event with a ProbeEvent, also for its real ports."""
    probe = ProbeEvent()
    node_imp._thread_event = probe
    for port in node_imp._input_ports.values():
        if hasattr(port, "set_event_handler"):
            port.set_event_handler(probe.set)
    return probe


class _Metadata:
    def has_metadata(self):
        return True

    def get_metadata(self):
        return {}


class ScriptedPort:
    """An input port holding `values`, with `timing`; `fail` is raised by data_available."""

    def __init__(self, values=(), timing=SYNC, fail=None):
        self.values = list(values)
        self.timing = timing
        self.fail = fail
        self.config = _Metadata()

    def data_available(self):
        if self.fail is not None:
            raise self.fail
        return bool(self.values)

    def get(self):
        return self.values.pop(0)

    def get_timing(self):
        return self.timing


class StrSub(str):
    pass


class DictSub(dict):
    pass


class ListSub(list):
    pass


class Unhashable:
    def __eq__(self, other):
        raise TypeError("no comparing")

    __hash__ = None


def bounded(capacity, overflow=None, name="in"):
    """A bounded input port's implementation."""
    entries = {"name": name, "capacity": capacity}
    if overflow is not None:
        entries["overflow"] = overflow
    return IPort(**entries)._imp


def drain(port):
    values = []
    while port.data_available():
        values.append(port.get())
    return values


def link_and_start(nodes, logger):
    """Each node's "out" to the next one's "in"; started from the end."""
    for node in nodes:
        node.set_logger(logger)
    for upstream, downstream in zip(nodes, nodes[1:]):
        upstream.connect("out", downstream, "in")
    for node in reversed(nodes):
        node.start()


def run_chain(nodes, count, logger):
    """Cycles the first node (a nodes.Source) `count` times, waits for the last one's `done`."""
    link_and_start(nodes, logger)
    try:
        for n in range(count):
            nodes[0].cycle({"x": n})
        assert nodes[-1].done.wait(30), "values were lost"
    finally:
        for node in nodes:
            node.stop()
