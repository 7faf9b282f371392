"""Output nodes: ports, links and pushes (compiled)."""

import threading
from typing import Any, Optional

from .portan import OPortImp
from .vertan import NodeImp

class ONodeImp(NodeImp):
    """A node with output ports, linked to the input ports of other nodes."""

    _output_ports: dict[str, OPortImp]
    _setup_thread: threading.Thread
    config: Any

    def __init__(self, config: Any) -> None:
        """Check the output-port list, set up the node and build its ports."""
    def start(self) -> None:
        """Start the node; with only ASYNC output ports, run one cycle on a set-up thread."""
    def _thread_function(self) -> None: ...
    def get_port(self, port_name: str) -> OPortImp:
        """The output port named `port_name` (ValueError when unknown)."""
    def connect(self, output_port: str, target: Any, input_port: str) -> None:
        """Link `output_port` to `input_port` of the input node `target`."""
    def disconnect(self, output_port: str, target: Any, input_port: str) -> None:
        """Undo a link made by connect()."""
    def _push_data(self, data: dict[str, Any]) -> None: ...
    def _push_metadata(self, port_metadata_out: Optional[dict[str, dict[str, Any]]]) -> None: ...
