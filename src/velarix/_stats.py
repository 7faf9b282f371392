"""A node's statistics as plain data, from the counters its implementation and its
ports keep (the step cycle records step times; the ports count values)."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Optional

if TYPE_CHECKING:
    from .node import Node

_NO_STEP_TIME = {"mean": None, "p50": None, "p99": None, "max": None}


def _port_counts(port: Any, keys: tuple[str, ...]) -> dict[str, Any]:
    counts = getattr(port, "get_stats", None)
    figures = counts() if counts is not None else {}
    entry: dict[str, Any] = {"timing": port.get_timing()}
    entry.update({key: figures.get(key) for key in keys})
    return entry


def _output_counts(port: Any) -> dict[str, Any]:
    entry = _port_counts(port, ("pushed", "skipped"))
    watch = getattr(port, "__dict__", {}).get("_watch")
    if watch is not None:  # a port the scope or the viewer bridge has looked at
        entry["watch_dropped"] = watch.dropped()
    return entry


def deepest_queue(stats: dict[str, Any]) -> Optional[int]:
    """The most values waiting on one input port of a node's stats, or None
    without input ports."""
    queued = [port["queued"] for port in stats["inputs"].values() if port["queued"] is not None]
    return max(queued) if queued else None


def oldest_input(stats: dict[str, Any]) -> Optional[float]:
    """The median age (seconds since origin) of the values a node took, on its
    input port where they were oldest; None before any (or without tracing)."""
    ages = [port["age"]["p50"] for port in stats["inputs"].values()
            if isinstance(port.get("age"), dict) and port["age"]["p50"] is not None]
    return max(ages) if ages else None


def _blocked_time(imp: Any) -> float:
    blocked = getattr(imp, "_time_blocked", 0.0)
    return blocked if type(blocked) is float else 0.0


def node_stats(node: Node) -> dict[str, Any]:
    imp: Any = node._imp
    steps = imp.get_step_stats()
    inputs = {name: _port_counts(port, ("received", "queued", "dropped", "latency", "age"))
              for name, port in getattr(imp, "_input_ports", {}).items()}
    outputs = {name: _output_counts(port) for name, port in getattr(imp, "_output_ports", {}).items()}
    step_time = {key: steps[key] for key in _NO_STEP_TIME}
    return {
        "name": node.get_name(),
        "class": type(node).__name__,
        "state": node.get_state(),
        "condition": node.get_condition(),
        "load": node.get_load(),
        "steps": node.get_counter(),
        "skipped": steps["skipped"],
        "step_time": step_time,
        # Seconds its pushes waited for room in full ports downstream: part of the
        # load, which counts the whole step, but not work of its own.
        "blocked_time": _blocked_time(imp),
        # Each step takes one value from every input port and pushes one to every
        # output port (unless it says SKIP), so both rates are the step rate where
        # the ports exist.
        "rate_in": steps["rate"] if inputs else 0.0,
        "rate_out": steps["rate"] if outputs else 0.0,
        # Seconds per second over the last few seconds: stepping, waiting for room
        # in full ports downstream, and neither (waiting for input, or not driven).
        "busy": steps["busy"],
        "blocked": steps["blocked"],
        "idle": max(0.0, 1.0 - steps["busy"] - steps["blocked"]),
        "inputs": inputs,
        "outputs": outputs,
    }
