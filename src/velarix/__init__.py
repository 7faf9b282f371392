"""velarix: real-time data-flow pipelines with a C++ core."""

# TODO(before release): plain imports once all six modules are built.
import importlib as _importlib

for _module, _name in (
    ("constants", "Constants"),
    ("logger", "LogType"),
    ("logger", "Logger"),
    ("logger", "LogEntry"),
    ("portable", "Portable"),
    ("i_port", "IPort"),
    ("o_port", "OPort"),
    ("node", "Node"),
    ("i_node", "INode"),
    ("o_node", "ONode"),
    ("io_node", "IONode"),
    ("pipeline", "Pipeline"),
):
    try:
        globals()[_name] = getattr(_importlib.import_module(f"{__name__}.{_module}"), _name)
    except ImportError:
        pass

__all__ = [
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
]
