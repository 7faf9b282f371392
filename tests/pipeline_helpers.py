"""Probes and log readers shared by the pipeline tests (their nodes: nodes.py)."""

import sys
import threading

from nodes import Loaded, Merge, Relay, Sink, Source  # noqa: F401  (their earlier home)

WAIT = 10  # seconds any single wait may take before the test fails

# The command prefix for a child that a test interrupts with SIGINT. A child
# started while SIGINT is ignored (a background job, some CI runners) inherits the
# ignore, and Python then installs no KeyboardInterrupt handler in it: the prefix
# execs the real command with SIGINT at its default.
INTERRUPTIBLE = [sys.executable, "-c", "import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); "
                 "os.execv(sys.executable, [sys.executable, *sys.argv[1:]])"]


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
