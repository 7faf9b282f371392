"""Stand-ins shared by the node and port tests: a logger that records, a wake-up
event that tells when the worker has gone to wait, and scripted input ports."""

import threading

from velarix.constants import Constants

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
