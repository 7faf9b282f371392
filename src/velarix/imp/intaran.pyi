"""Input nodes and their worker thread (compiled)."""

import threading
from typing import Any, ClassVar, Optional

from .portan import IPortImp
from .vertan import NodeImp

def _check_port_api(capsule: object) -> None:
    """Raise ImportError when this module would refuse `capsule` as the port table."""

class INodeImp(NodeImp):
    """A node with input ports, run by a worker thread when data arrives."""

    _GET_METADATA_TIMEOUT: ClassVar[float]
    _thread_event: threading.Event
    _is_thread_running: bool
    _thread: Optional[threading.Thread]
    _input_ports: dict[str, IPortImp]
    config: Any

    def __init__(self, config: Any) -> None:
        """Check the input-port list, set up the node and build its ports."""
    def start(self) -> None:
        """Start the node and its worker thread."""
    def stop(self) -> None:
        """Stop the worker thread, wait for it, then stop the node."""
    def get_port(self, port_name: str) -> IPortImp:
        """The input port named `port_name` (ValueError when unknown)."""
    def _is_data_available(self) -> bool: ...
    def _get_data(self) -> dict[str, Any]: ...
    def _get_metadata(self) -> dict[str, dict[str, Any]]: ...
    def _thread_function(self) -> None: ...
    def _run_ready(self, task: Any) -> int: ...
