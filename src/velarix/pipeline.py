"""Pipelines: a graph of nodes that starts, stops, watches and saves itself."""

import json
import os
import tempfile
import time

from .constants import Constants
from .errors import NotANodeError, PipelineError
from .imp import PipelineImp

# How often wait() looks at the state while the stop event stays unset (a restart
# clears it); a stop sets the event and ends the wait at once.
_WAIT_SLICE = 0.1


class Pipeline:
    """Holds the nodes and their links, runs them together and watches them.
    `directory` is the log folder (None: the default folder; "": memory only)."""

    def __init__(self, directory=None):
        self._imp = PipelineImp(directory)

    # Graph
    def add_node(self, node):
        self._imp.add_node(node)

    def remove_node(self, node):
        self._imp.remove_node(node)

    def connect_ports(self, output_node, output_node_port, input_node, input_node_port):
        try:
            self._imp.connect_ports(output_node, output_node_port, input_node, input_node_port)
        except AttributeError:
            _explain_non_nodes(output_node, input_node)
            raise

    def connect(self, output_node, input_node):
        try:
            self._imp.connect(output_node, input_node)
        except AttributeError:
            _explain_non_nodes(output_node, input_node)
            raise

    def disconnect_ports(self, output_node, output_node_port, input_node, input_node_port):
        self._imp.disconnect_ports(output_node, output_node_port, input_node, input_node_port)

    def disconnect(self, output_node, input_node):
        self._imp.disconnect(output_node, input_node)

    # Run control
    def start(self):
        self._imp.start()

    def stop(self):
        self._imp.stop()

    def wait(self, timeout=None):
        """Block until the pipeline is stopped: True, or False when `timeout`
        seconds pass first (None: no limit).

        Raises PipelineError when the pipeline was stopped with condition ERROR; its
        `__cause__` is the failing node's exception, with the traceback of the line
        that raised it.
        """
        deadline = None if timeout is None else time.monotonic() + timeout
        event = self._imp._stop_event
        while self.get_state() != Constants.States.STOPPED:
            remaining = _WAIT_SLICE if deadline is None else min(_WAIT_SLICE, deadline - time.monotonic())
            if remaining <= 0:
                return False
            event.wait(remaining)
        self._raise_if_failed()
        return True

    def run(self, seconds=None):
        """Start, wait until the pipeline stops (or `seconds` pass), then stop.

        Ctrl-C stops the pipeline cleanly and lets the KeyboardInterrupt go on.
        Raises PipelineError, as wait() does, when the run ended with an error.
        """
        self.start()
        try:
            self.wait(seconds)
        finally:
            self.stop()
        self._raise_if_failed()

    def close(self):
        """Stop the pipeline if it runs and stop its logger (its queue drained and
        its file closed). Calling it again does nothing more."""
        if self.get_state() == Constants.States.RUNNING:
            self.stop()
        monitor = self._imp._monitor_thread
        if monitor is not None and monitor.ident is not None:
            # Its last line ("Monitoring thread terminated.") belongs in the file.
            monitor.join(timeout=5.0)
        self.get_logger().stop()

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, traceback):
        self.close()
        return False

    def get_state(self):
        return self._imp.get_state()

    def get_condition(self):
        return self._imp.get_condition()

    def get_last_error(self):
        return self._imp.get_last_error()

    def get_elapsed_time(self):
        return self._imp.get_elapsed_time()

    def get_load(self):
        return self._imp.get_load()

    def get_stats(self):
        """Every node's get_stats(), in node order."""
        return [node.get_stats() for node in self.get_nodes()]

    def serve(self, port=0, host="127.0.0.1"):
        """Serve a live, read-only page of this pipeline (graph, load and rate charts,
        recent log) and return its WebMonitor, whose `url` says where. Listens on
        127.0.0.1 unless another host is given; stops with the pipeline. Needs the
        extra velarix[monitor]."""
        from .monitor.web import WebMonitor

        return WebMonitor(self, host=host, port=port).start()

    def write_log(self, entry):
        self._imp.write_log(entry)

    def get_logger(self):
        return self._imp._logger

    def get_nodes(self):
        """The nodes, in the order they were added (a new list)."""
        return list(self._imp._nodes)

    def _raise_if_failed(self):
        if self.get_condition() != Constants.Conditions.ERROR:
            return
        entry = self.get_last_error()
        message = entry["message"] if entry is not None else "Pipeline stopped with an error."
        node = _failed_node(self.get_nodes(), message)
        error = PipelineError(message, node=node.get_name() if node is not None else None, entry=entry)
        cause = node.get_last_exception() if node is not None else None
        if cause is not None:
            raise error from cause
        raise error

    # Serialisation
    def serialize(self):
        return self._imp.serialize()

    @staticmethod
    def deserialize(data, directory=None):
        """Re-create a pipeline (stopped) from serialize()'s dictionary; `directory`
        is its log folder, as for the constructor."""
        if directory is None:
            return PipelineImp.deserialize(data)
        return PipelineImp.deserialize(data, directory)

    def save(self, path):
        """Write the pipeline to a JSON file.

        Checks first that every stored class source runs on its own (with only its
        module's imports and the builtins) and that every configuration can be
        written as JSON, raising ValueError otherwise. The file is replaced in one
        step, so a failed save leaves any earlier file as it was.
        """
        from ._saving import check_loadable, to_json, write_atomically

        data = self.serialize()
        check_loadable(data)
        write_atomically(path, to_json(data))

    @staticmethod
    def load(path, directory=None):
        """Re-create a pipeline from a JSON file written by save(); `directory` is
        its log folder, as for the constructor.

        Loading runs the class source stored in the file: load only files you trust.
        """
        with open(path, encoding="utf-8") as file:
            return Pipeline.deserialize(json.load(file), directory)


def _explain_non_nodes(output_node, input_node):
    """A connection failed on a missing attribute: when an argument is not a node
    at all, say which and what it is instead (the pipeline has left nothing added).
    Anything that looks like a node keeps the pipeline's own error."""
    from .node import Node

    for value, argument, kind in ((output_node, "output_node", "ONode"), (input_node, "input_node", "INode")):
        if not (isinstance(value, Node) or (hasattr(value, "set_logger") and hasattr(value, "get_name"))):
            raise NotANodeError(f"{argument} must be a node (an {kind}), got {type(value).__name__}.") from None


def _failed_node(nodes, message):
    """The node in condition ERROR whose caught exception gave the error entry's
    message, or None (an overload, say)."""
    failed = [node for node in nodes
              if getattr(node, "get_last_exception", None) is not None
              and node.get_condition() == Constants.Conditions.ERROR
              and node.get_last_exception() is not None]
    for node in failed:
        exception = node.get_last_exception()
        if exception.args and str(exception.args[0]) == message:
            return node
    for node in failed:
        if type(node.get_last_exception()).__name__ == message:
            return node
    return None
