"""A pipeline's graph as text: Graphviz DOT and Mermaid.

`describe(pipeline)` reads the graph once into plain records (nodes with their
ports, links between ports); `to_dot` and `to_mermaid` render those records. A new
rendering, or extra attributes per node (load, rate), is a function over the same
records.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Mapping, Optional, Sequence

from .constants import Constants
from .i_node import INode
from .o_node import ONode

if TYPE_CHECKING:
    from .pipeline import Pipeline

__all__ = ["PortInfo", "NodeInfo", "LinkInfo", "GraphInfo", "describe", "unlinked", "unlinked_ports",
           "to_dot", "to_mermaid", "draw", "fill_colour"]


@dataclass(frozen=True)
class PortInfo:
    """A port by its configured name and timing (`Constants.Timing`); an input port
    with a `capacity` also has its `overflow` policy (`Constants.Overflow`)."""

    name: str
    timing: str
    capacity: Optional[int] = None
    overflow: Optional[str] = None


@dataclass(frozen=True)
class NodeInfo:
    """One node of the pipeline. `key` is unique within the graph (n0, n1, ...)."""

    key: str
    name: str
    class_name: str
    inputs: tuple[PortInfo, ...] = ()
    outputs: tuple[PortInfo, ...] = ()
    rate: Optional[float] = None
    # Once the pipeline has run: load in percent, condition, values out per second.
    load: Optional[float] = None
    condition: Optional[str] = None
    rate_out: Optional[float] = None
    # Median seconds from push to step, per input port, once values were taken.
    latency_p50: Mapping[str, Optional[float]] = field(default_factory=dict)


@dataclass(frozen=True)
class LinkInfo:
    """A link from an output port to an input port; `timing` is the input port's:
    SYNC keeps every value, ASYNC only the newest."""

    source: str
    source_port: str
    target: str
    target_port: str
    timing: str


@dataclass
class GraphInfo:
    """Nodes in pipeline order and links in the order the pipeline saves them.
    Links to nodes outside the pipeline are left out."""

    nodes: list[NodeInfo] = field(default_factory=list)
    links: list[LinkInfo] = field(default_factory=list)

    def node(self, key: str) -> Optional[NodeInfo]:
        return next((node for node in self.nodes if node.key == key), None)


def _ports(node: Any, key: str) -> tuple[PortInfo, ...]:
    return tuple(PortInfo(str(p["name"]), str(p["timing"]), *_bound(p)) for p in node.config.get(key, ()))


def _bound(port: Mapping[str, Any]) -> tuple[Optional[int], Optional[str]]:
    """A bounded input port's capacity and overflow policy (the default spelled out)."""
    capacity = port.get("capacity")
    if capacity is None:
        return None, None
    return capacity, str(port.get("overflow") or Constants.Overflow.BLOCK)


def describe(pipeline: Pipeline, stats: Optional[Sequence[Mapping[str, Any]]] = None) -> GraphInfo:
    """Read the nodes and links of `pipeline` (running or not). `stats`, one entry
    per node as pipeline.get_stats() gives them, draws an earlier reading instead of
    the nodes' figures now."""
    graph = GraphInfo()
    inputs: dict[int, tuple[str, str, str]] = {}  # id(input port) -> node key, port, timing
    nodes = pipeline.get_nodes()
    if stats is None or len(stats) != len(nodes):  # none, or a reading of another set of nodes
        stats = [node.get_stats() for node in nodes] if any(node.get_counter() for node in nodes) else None
    elif not any(entry.get("steps") for entry in stats):
        stats = None  # read before the run: nothing to draw
    for index, node in enumerate(nodes):
        figures = stats[index] if stats is not None else None
        info = NodeInfo(
            key=f"n{index}", name=str(node.get_name()), class_name=type(node).__name__,
            inputs=_ports(node, INode.Configuration.Keys.INPUT_PORTS),
            outputs=_ports(node, ONode.Configuration.Keys.OUTPUT_PORTS),
            rate=node.config.get(ONode.Configuration.Keys.RATE),
            load=figures["load"] if figures else None,
            condition=str(figures["condition"]) if figures else None,
            rate_out=figures["rate_out"] if figures else None,
            latency_p50=_latency_p50(figures))
        graph.nodes.append(info)
        if isinstance(node, INode):
            for port in info.inputs:
                inputs[id(INode.get_port(node, port.name))] = (info.key, port.name, port.timing)
    for info, node in zip(graph.nodes, nodes):
        if not isinstance(node, ONode):
            continue
        for port in info.outputs:
            for linked in ONode.get_port(node, port.name)._connected_ports:
                target = inputs.get(id(linked))
                if target is not None:
                    graph.links.append(LinkInfo(info.key, port.name, *target))
    return graph


def unlinked(pipeline: Pipeline) -> tuple[list[tuple[int, str]], list[tuple[int, str]]]:
    """The output ports without a link and the input ports without a link, as
    (index of the node in pipeline order, port name), in node order. A link to a
    port outside the pipeline counts: values pass (the cluster's stand-ins are such)."""
    return _unlinked(pipeline.get_nodes())


def _unlinked(nodes: list[Any]) -> tuple[list[tuple[int, str]], list[tuple[int, str]]]:
    outputs: list[tuple[int, str]] = []
    inputs: list[tuple[int, str]] = []
    for index, node in enumerate(nodes):
        if isinstance(node, ONode):
            outputs.extend((index, port.name) for port in _ports(node, ONode.Configuration.Keys.OUTPUT_PORTS)
                           if not ONode.get_port(node, port.name)._connected_ports)
        if isinstance(node, INode):
            inputs.extend((index, port.name) for port in _ports(node, INode.Configuration.Keys.INPUT_PORTS)
                          if not INode.get_port(node, port.name)._connected_ports)
    return outputs, inputs


def unlinked_ports(pipeline: Pipeline) -> tuple[list[str], list[str]]:
    """`unlinked(pipeline)` as "node.port" texts: (outputs, inputs)."""
    nodes = pipeline.get_nodes()
    names = [str(node.get_name()) for node in nodes]
    outputs, inputs = _unlinked(nodes)
    return ([f"{names[i]}.{port}" for i, port in outputs], [f"{names[i]}.{port}" for i, port in inputs])


def _quote(text: str) -> str:
    # JSON string syntax is also valid DOT string syntax for what we emit.
    return json.dumps(text, ensure_ascii=False)


def _latency_p50(figures: Optional[Mapping[str, Any]]) -> dict[str, Optional[float]]:
    if not figures:
        return {}
    medians = {}
    for port, entry in figures.get("inputs", {}).items():
        latency = entry.get("latency")
        medians[port] = latency.get("p50") if isinstance(latency, Mapping) else None
    return medians


def _link_label(link: LinkInfo, graph: Optional[GraphInfo] = None) -> str:
    label = f"{link.source_port} → {link.target_port} ({link.timing})"
    source = graph.node(link.source) if graph is not None else None
    if source is not None and source.rate_out is not None:
        label += f"\n{source.rate_out:.1f}/s"
    target = graph.node(link.target) if graph is not None else None
    latency = target.latency_p50.get(link.target_port) if target is not None else None
    if latency is not None:
        label += f"\np50 {_duration(latency)}"
    return label


def _duration(seconds: float) -> str:
    """A latency as people read it: microseconds below a millisecond, else ms."""
    if seconds < 1e-3:
        return f"{seconds * 1e6:.0f} µs"
    return f"{seconds * 1e3:.1f} ms"


def _node_caption(node: NodeInfo) -> str:
    caption = f"{node.name}\n{node.class_name}"
    if node.rate is not None:
        caption += f"\n{node.rate:g}/s"
    if node.load is not None:
        caption += f"\nload {node.load:.1f}%"
    if node.condition is not None and node.condition != Constants.Conditions.HEALTHY:
        caption += f"\n{node.condition}"
    return caption


# Fill colours by load once a pipeline has run: calm, busy, near the warning and
# error thresholds; a node in condition ERROR is drawn red whatever its load.
_LOAD_COLOURS = ((50.0, "#d8f5d0"), (80.0, "#fff3b0"), (95.0, "#ffd6a5"))
_HOT, _FAILED = "#ffb3b3", "#ff6b6b"


def fill_colour(node: NodeInfo) -> Optional[str]:
    """The node's fill colour for its load and condition, or None before a run."""
    if node.condition is not None and node.condition != Constants.Conditions.HEALTHY:
        return _FAILED
    if node.load is None:
        return None
    for limit, colour in _LOAD_COLOURS:
        if node.load <= limit:
            return colour
    return _HOT


def to_dot(pipeline: Pipeline, name: str = "pipeline",
           stats: Optional[Sequence[Mapping[str, Any]]] = None) -> str:
    """The pipeline as a Graphviz DOT digraph: one box per node (name, class, rate),
    one edge per link labelled with its port names; ASYNC links are dashed. `stats`
    as for describe()."""
    graph = describe(pipeline, stats)
    lines = [f"digraph {_quote(name)} {{", "  rankdir=LR;", "  node [shape=box];"]
    for node in graph.nodes:
        colour = fill_colour(node)
        fill = f", style=filled, fillcolor={_quote(colour)}" if colour else ""
        lines.append(f"  {node.key} [label={_quote(_node_caption(node))}{fill}];")
    for link in graph.links:
        style = "" if link.timing == Constants.Timing.SYNC else ", style=dashed"
        lines.append(f"  {link.source} -> {link.target} [label={_quote(_link_label(link, graph))}{style}];")
    lines.append("}")
    return "\n".join(lines) + "\n"


def _mermaid_text(text: str) -> str:
    # Mermaid labels are quoted strings; quotes become their entity, lines <br/>.
    return '"' + text.replace('"', "#quot;").replace("\n", "<br/>") + '"'


def to_mermaid(pipeline: Pipeline) -> str:
    """The pipeline as a Mermaid flowchart (left to right); ASYNC links are dotted."""
    graph = describe(pipeline)
    lines = ["flowchart LR"]
    for node in graph.nodes:
        lines.append(f"  {node.key}[{_mermaid_text(_node_caption(node))}]")
    for link in graph.links:
        arrow = "-->" if link.timing == Constants.Timing.SYNC else "-.->"
        lines.append(f"  {link.source} {arrow}|{_mermaid_text(_link_label(link, graph))}| {link.target}")
    for node in graph.nodes:
        colour = fill_colour(node)
        if colour:
            lines.append(f"  style {node.key} fill:{colour}")
    return "\n".join(lines) + "\n"


def draw(pipeline: Pipeline, path: str) -> str:
    """Draw the pipeline into `path` through Graphviz's `dot`, in the format its
    extension names (.svg, .png, .pdf, ...); returns the path.

    Raises:
        RuntimeError: Graphviz is not installed (Debian: apt-get install graphviz)
            or `dot` fails.
    """
    dot = shutil.which("dot")
    if dot is None:
        raise RuntimeError("Drawing needs Graphviz's dot (Debian: apt-get install graphviz).")
    file_format = os.path.splitext(path)[1].lstrip(".").lower() or "svg"
    done = subprocess.run([dot, f"-T{file_format}", "-o", path], input=to_dot(pipeline).encode(),
                          capture_output=True, timeout=60)
    if done.returncode != 0:
        raise RuntimeError(f"dot could not draw {path}: {done.stderr.decode(errors='replace').strip()}")
    return path
