"""Pipelines: graph, run control, monitoring and serialisation (compiled)."""

import threading
from typing import Any, ClassVar, Optional

from ..logger import LogEntry, Logger
from ..node import Node
from ..pipeline import Pipeline
from . import Implementation

class PipelineImp(Implementation):
    """The nodes of one graph, run, watched and saved together."""

    class SerializationKeys:
        NODES: ClassVar[str]
        CONNECTIONS: ClassVar[str]

    _nodes: list[Node]
    _logger: Logger
    _state: str
    _condition: str
    _monitor_thread: Optional[threading.Thread]
    _stop_event: threading.Event
    _start_time: Optional[float]

    def __init__(self, directory: Optional[str] = None) -> None:
        """An empty, stopped pipeline with its own logger in `directory`."""
    def add_node(self, node: Any) -> None:
        """Add `node` and hand it the pipeline's logger."""
    def remove_node(self, node: Any) -> None:
        """Take `node` out of the pipeline; its links stay."""
    def connect_ports(self, output_node: Any, output_node_port: str, input_node: Any,
                      input_node_port: str) -> None:
        """Link an output port of `output_node` to an input port of `input_node`."""
    def connect(self, output_node: Any, input_node: Any) -> None:
        """Link the default output port to the default input port."""
    def disconnect_ports(self, output_node: Any, output_node_port: str, input_node: Any,
                         input_node_port: str) -> None:
        """Remove the link between two named ports."""
    def disconnect(self, output_node: Any, input_node: Any) -> None:
        """Remove the link between the default ports."""
    def start(self) -> None:
        """Start every node and the monitoring thread."""
    def stop(self) -> None:
        """Stop every node and end the monitoring thread."""
    def get_state(self) -> str:
        """RUNNING or STOPPED."""
    def get_condition(self) -> str:
        """HEALTHY, or ERROR once monitoring has stopped the pipeline."""
    def get_last_error(self) -> Optional[LogEntry]:
        """The newest ERROR entry of the pipeline's log, or None."""
    def get_elapsed_time(self) -> float:
        """Seconds since the start of the current run; 0.0 when stopped."""
    def get_load(self) -> list[dict[str, Any]]:
        """Load of every node in percent, and the highest as the pipeline's."""
    def write_log(self, entry: str) -> None:
        """Write `entry` to the pipeline's log as an INFO entry."""
    def _monitoring_fun(self) -> None: ...
    def serialize(self) -> dict[str, Any]:
        """The nodes' serialised forms and the port links, as one dict."""
    @staticmethod
    def deserialize(data: dict[str, Any], directory: Optional[str] = None) -> Pipeline:
        """A new, stopped Pipeline re-created from serialize()'s form, logging to `directory` when given."""

def _end_monitors() -> None:
    """End every monitoring thread that still runs (called at exit)."""
