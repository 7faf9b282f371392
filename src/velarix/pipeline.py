"""Pipelines: a graph of nodes that starts, stops, watches and saves itself."""

from __future__ import annotations

import json
import time
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal, Optional

from .constants import Constants
from .errors import NotANodeError, PipelineError
from .imp import PipelineImp

if TYPE_CHECKING:
    from .logger import LogEntry, Logger
    from .monitor.web import WebMonitor
    from .node import Node
    from .o_node import ONode
    from .i_node import INode

# How often wait() looks at the state while the stop event stays unset (a restart
# clears it); a stop sets the event and ends the wait at once.
_WAIT_SLICE = 0.1


class Pipeline:
    """Holds the nodes and their links, runs them together and watches them.

    A monitoring thread runs while the pipeline runs: it stops the pipeline, with
    condition ERROR, at its next pass (every second) after an ERROR entry appears
    in the pipeline's log, or when a node's load exceeds 95 % more than 10 s after
    the start (a load over 80 % writes a warning). A pipeline stopped with ERROR
    cannot be started again.

    Args:
        directory: the log folder (None: the default folder; "": memory only).
    """

    _imp: PipelineImp

    def __init__(self, directory: Optional[str] = None) -> None:
        self._imp = PipelineImp(directory)
        # wait() and run() raise a node's failure with its traceback, so the log's
        # bridge need not print that traceback to stderr too.
        setattr(self._imp._logger._imp, "_tracebacks_raised", True)

    # Graph
    def add_node(self, node: Node) -> None:
        """Add `node` and hand it the pipeline's logger.

        Raises:
            ValueError: "Node already exists in pipeline."
        """
        self._imp.add_node(node)

    def remove_node(self, node: Node) -> None:
        """Take `node` out of the pipeline; its links stay."""
        self._imp.remove_node(node)

    def connect_ports(self, output_node: ONode, output_node_port: str,
                      input_node: INode, input_node_port: str) -> None:
        """Link the output port `output_node_port` of `output_node` to the input
        port `input_node_port` of `input_node`, adding both nodes when missing.

        Raises:
            ValueError: a port name is unknown.
            TypeError: a port name is not a str, or the nodes are not an `ONode`
                and an `INode` (an argument that is no node at all gets a
                NotANodeError, which is also an AttributeError).
        """
        try:
            self._imp.connect_ports(output_node, output_node_port, input_node, input_node_port)
        except AttributeError:
            _explain_non_nodes(output_node, input_node)
            raise

    def connect(self, output_node: ONode, input_node: INode) -> None:
        """Link the default ports: "out" of `output_node` to "in" of `input_node`."""
        try:
            self._imp.connect(output_node, input_node)
        except AttributeError:
            _explain_non_nodes(output_node, input_node)
            raise

    def disconnect_ports(self, output_node: ONode, output_node_port: str,
                         input_node: INode, input_node_port: str) -> None:
        """Remove the link between two named ports.

        Raises:
            ValueError: a node is not in the pipeline or a port name is unknown.
            TypeError: as for `connect_ports`.
        """
        self._imp.disconnect_ports(output_node, output_node_port, input_node, input_node_port)

    def disconnect(self, output_node: ONode, input_node: INode) -> None:
        """Remove the link between the default ports."""
        self._imp.disconnect(output_node, input_node)

    # Run control
    def start(self) -> None:
        """Start every node in the order added, then the monitoring thread. Does
        nothing (but log) when running or stopped with condition ERROR."""
        self._imp.start()

    def stop(self) -> None:
        """Stop every node. On a pipeline stopped with ERROR, waits for the
        monitoring thread that stopped it."""
        self._imp.stop()

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Block until the pipeline is stopped: True, or False when `timeout`
        seconds pass first (None: no limit).

        Raises:
            PipelineError: the pipeline was stopped with condition ERROR; its
                `__cause__` is the failing node's exception, with the traceback of
                the line that raised it.
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

    def run(self, seconds: Optional[float] = None) -> None:
        """Start, wait until the pipeline stops (or `seconds` pass), then stop.

        Ctrl-C stops the pipeline cleanly and lets the KeyboardInterrupt go on.

        Raises:
            PipelineError: as wait() does, when the run ended with an error.
        """
        self.start()
        try:
            self.wait(seconds)
        finally:
            self.stop()
        self._raise_if_failed()

    def close(self) -> None:
        """Stop the pipeline if it runs and stop its logger (its queue drained and
        its file closed). Calling it again does nothing more."""
        if self.get_state() == Constants.States.RUNNING:
            self.stop()
        monitor = self._imp._monitor_thread
        if monitor is not None and monitor.ident is not None:
            # Its last line ("Monitoring thread terminated.") belongs in the file.
            monitor.join(timeout=5.0)
        self.get_logger().stop()

    def __enter__(self) -> Pipeline:
        return self

    def __exit__(self, exc_type: Optional[type[BaseException]], exc: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> Literal[False]:
        self.close()
        return False

    def get_state(self) -> str:
        """`Constants.States.RUNNING` or `STOPPED`."""
        return self._imp.get_state()

    def get_condition(self) -> str:
        """`Constants.Conditions.HEALTHY`, or `ERROR` once monitoring stopped it."""
        return self._imp.get_condition()

    def get_last_error(self) -> Optional[LogEntry]:
        """The newest ERROR entry of the pipeline's log, or None."""
        return self._imp.get_last_error()

    def get_elapsed_time(self) -> float:
        """Seconds since the current run started; 0.0 while stopped."""
        return self._imp.get_elapsed_time()

    def get_load(self) -> list[dict[str, Any]]:
        """The load report: one {"class", "name", "load"} dict per node (load in
        percent), then one named "Pipeline" holding the highest node load."""
        return self._imp.get_load()

    def get_stats(self) -> list[dict[str, Any]]:
        """Every node's get_stats(), in node order."""
        return [node.get_stats() for node in self.get_nodes()]

    def serve(self, port: int = 0, host: str = "127.0.0.1") -> WebMonitor:
        """Serve a live, read-only page of this pipeline (graph, load and rate charts,
        recent log) and return its WebMonitor, whose `url` says where. Listens on
        127.0.0.1 unless another host is given; stops with the pipeline. Needs the
        extra velarix[monitor]."""
        from .monitor.web import WebMonitor

        return WebMonitor(self, host=host, port=port).start()

    def to_dot(self) -> str:
        """The graph as Graphviz DOT text: nodes with class and name, links labelled
        with port names and timing; once the pipeline has run, nodes coloured by
        load and condition and links labelled with their rates."""
        from .graph import to_dot

        return to_dot(self)

    def to_mermaid(self) -> str:
        """The graph as Mermaid flowchart text, as to_dot() draws it."""
        from .graph import to_mermaid

        return to_mermaid(self)

    def draw(self, path: str) -> str:
        """Draw the graph into `path` (.svg, .png, ...) through Graphviz's `dot`.

        Raises:
            RuntimeError: Graphviz is not installed, or dot fails.
        """
        from .graph import draw

        return draw(self, path)

    def write_log(self, entry: str) -> None:
        """Write `entry` to the pipeline's log as an INFO entry.

        Raises:
            TypeError: `entry` is not a str.
        """
        self._imp.write_log(entry)

    def get_logger(self) -> Logger:
        """The pipeline's logger, shared by its nodes."""
        return self._imp._logger

    def get_nodes(self) -> list[Node]:
        """The nodes, in the order they were added (a new list)."""
        return list(self._imp._nodes)

    def _raise_if_failed(self) -> None:
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
    def serialize(self) -> dict[str, Any]:
        """{"nodes": [each node's serialised form], "connections": [(output port
        id, input port id), ...]}."""
        return self._imp.serialize()

    @staticmethod
    def deserialize(data: dict[str, Any], directory: Optional[str] = None) -> Pipeline:
        """A new, stopped pipeline re-created from `serialize()`'s form, logging to
        `directory` as the constructor does. Runs the class source stored in
        `data`: only for data you trust.

        Raises:
            TypeError: `data` is not a dict, or a link cannot be made.
            KeyError: an entry is missing.
        """
        if directory is None:
            return PipelineImp.deserialize(data)
        return PipelineImp.deserialize(data, directory)

    def save(self, path: str) -> None:
        """Write the pipeline to a JSON file.

        Checks first that every stored class source runs on its own (with only its
        module's imports and the builtins) and that every configuration can be
        written as JSON. The file is replaced in one step, so a failed save leaves
        any earlier file as it was.

        Raises:
            ValueError: a class or a configuration cannot be saved; the message
                names it.
            OSError: the file cannot be written.
        """
        from ._saving import check_loadable, to_json, write_atomically

        data = self.serialize()
        check_loadable(data)
        write_atomically(path, to_json(data))

    @staticmethod
    def load(path: str, directory: Optional[str] = None) -> Pipeline:
        """Re-create a pipeline from a JSON file written by save(), logging to
        `directory` as the constructor does.

        Loading runs the class source stored in the file: load only files you trust.

        Raises:
            OSError: the file cannot be read.
            ValueError: the file is not JSON.
            TypeError, KeyError: the JSON is not a saved pipeline.
        """
        with open(path, encoding="utf-8") as file:
            return Pipeline.deserialize(json.load(file), directory)


def _explain_non_nodes(output_node: object, input_node: object) -> None:
    """A connection failed on a missing attribute: when an argument is not a node
    at all, say which and what it is instead (the pipeline has left nothing added).
    Anything that looks like a node keeps the pipeline's own error."""
    from .node import Node

    for value, argument, kind in ((output_node, "output_node", "ONode"), (input_node, "input_node", "INode")):
        if not (isinstance(value, Node) or (hasattr(value, "set_logger") and hasattr(value, "get_name"))):
            raise NotANodeError(f"{argument} must be a node (an {kind}), got {type(value).__name__}.") from None


def _failed_node(nodes: list[Node], message: str) -> Optional[Node]:
    """The node in condition ERROR whose caught exception gave the error entry's
    message, or None (an overload, say)."""
    failed = [node for node in nodes
              if node.get_condition() == Constants.Conditions.ERROR and node.get_last_exception() is not None]
    for node in failed:
        exception = node.get_last_exception()
        assert exception is not None
        if exception.args and str(exception.args[0]) == message:
            return node
    for node in failed:
        if type(node.get_last_exception()).__name__ == message:
            return node
    return None
