"""Pipelines: a graph of nodes that starts, stops, watches and saves itself."""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any, Optional

from .imp import PipelineImp

if TYPE_CHECKING:
    from .logger import LogEntry, Logger
    from .node import Node
    from .o_node import ONode
    from .i_node import INode


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
                and an `INode`.
        """
        self._imp.connect_ports(output_node, output_node_port, input_node, input_node_port)

    def connect(self, output_node: ONode, input_node: INode) -> None:
        """Link the default ports: "out" of `output_node` to "in" of `input_node`."""
        self._imp.connect(output_node, input_node)

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

    # Serialisation
    def serialize(self) -> dict[str, Any]:
        """{"nodes": [each node's serialised form], "connections": [(output port
        id, input port id), ...]}."""
        return self._imp.serialize()

    @staticmethod
    def deserialize(data: dict[str, Any]) -> Pipeline:
        """A new, stopped pipeline re-created from `serialize()`'s form. Runs the
        class source stored in `data`: only for data you trust.

        Raises:
            TypeError: `data` is not a dict, or a link cannot be made.
            KeyError: an entry is missing.
        """
        return PipelineImp.deserialize(data)

    def save(self, path: str) -> None:
        """Write the pipeline to a JSON file."""
        with open(path, "w", encoding="utf-8") as file:
            json.dump(self.serialize(), file, indent=2)

    @staticmethod
    def load(path: str) -> Pipeline:
        """Re-create a pipeline from a JSON file written by save().

        Loading runs the class source stored in the file: load only files you trust.

        Raises:
            OSError: the file cannot be read.
            ValueError: the file is not JSON.
            TypeError, KeyError: the JSON is not a saved pipeline.
        """
        with open(path, encoding="utf-8") as file:
            return PipelineImp.deserialize(json.load(file))
