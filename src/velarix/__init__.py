"""velarix: real-time data-flow pipelines with a C++ core."""

from importlib import metadata as _metadata

from .constants import Constants
from .logger import LogEntry, Logger, LogType
from .portable import Portable
from .i_port import IPort
from .o_port import OPort
from .node import Node
from .i_node import INode
from .o_node import ONode
from .io_node import IONode
from .pipeline import Pipeline
from .errors import ConfigurationWarning, PipelineError
from .imp import SKIP, SkipType
from ._tracing import get_tracing, set_tracing

try:
    __version__: str = _metadata.version("velarix")
except _metadata.PackageNotFoundError:  # a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "__version__",
    "Constants",
    "LogType",
    "Logger",
    "LogEntry",
    "Portable",
    "IPort",
    "OPort",
    "Node",
    "INode",
    "ONode",
    "IONode",
    "Pipeline",
    "PipelineError",
    "SKIP",
    "SkipType",
    "ConfigurationWarning",
    "set_tracing",
    "get_tracing",
]
