"""`velarix show`: the nodes and links of a pipeline, as tables."""

from __future__ import annotations

import argparse
from typing import AbstractSet, Any, Sequence

from .. import graph
from ..i_node import INode
from ..monitor.terminal import visible
from ..pipeline import Pipeline
from ._common import EXIT_OK, add_pipeline_command, load_pipeline, table, unlinked_notes

UNLINKED_MARK = "*"  # after a port in `show`'s table: linked to nothing / fed by nothing


def _port_list(ports: Sequence[graph.PortInfo], index: int, unlinked: AbstractSet[tuple[int, str]]) -> str:
    """The ports of the node at `index`, those in `unlinked` marked."""
    return ", ".join(f"{p.name} ({_port_terms(p)}){UNLINKED_MARK if (index, p.name) in unlinked else ''}"
                     for p in ports) or "-"


def _port_terms(port: graph.PortInfo) -> str:
    """The port's timing, and for a bounded one its capacity and overflow policy."""
    if port.capacity is None:
        return port.timing
    return f"{port.timing}, capacity {port.capacity}, {port.overflow}"


def describe_text(pipeline: Pipeline) -> str:
    """The nodes (name, class, ports with timing, rate) and the links, as tables;
    ports linked to nothing carry a "*" and are listed after the tables."""
    info = graph.describe(pipeline)
    outputs, inputs = graph.unlinked(pipeline)
    loose_out, loose_in = frozenset(outputs), frozenset(inputs)
    names = {node.key: node.name for node in info.nodes}
    nodes = [(n.name, n.class_name, _port_list(n.inputs, i, loose_in), _port_list(n.outputs, i, loose_out),
              "-" if n.rate is None else f"{n.rate:g}/s")
             for i, n in enumerate(info.nodes)]
    links = [(f"{names[l.source]}.{l.source_port}", "->", f"{names[l.target]}.{l.target_port}",
              l.timing) for l in info.links]
    text = "nodes\n" + table(("name", "class", "inputs", "outputs", "rate"), nodes)
    text += "\n\nlinks\n" + (table(("from", "", "to", "timing"), links) if links else "(none)")
    notes = unlinked_notes([f"{info.nodes[i].name}.{port}" for i, port in outputs],
                           [f"{info.nodes[i].name}.{port}" for i, port in inputs])
    if notes:
        text += "\n\n" + "\n".join(f"{UNLINKED_MARK} {note}" for note in notes)
    threads = _threads_text(pipeline)
    if threads:
        text += "\n\nthreads\n" + threads
    return text


def _threads_text(pipeline: Pipeline) -> str:
    """For a pipeline on shared scheduler threads: how many, and the nodes that
    keep a thread of their own ("" for a worker thread per input node)."""
    threads = pipeline.get_threads()
    if threads is None:
        return ""
    own = [visible(node.get_name()) for node in pipeline.get_nodes()
           if isinstance(node, INode) and node.has_own_thread()]
    text = f"input nodes run on {threads} shared scheduler thread{'s' if threads != 1 else ''}"
    return text + (f"; own thread: {', '.join(own)}" if own else "")


def command_show(args: argparse.Namespace) -> int:
    """`velarix show`: print the nodes and links of a saved pipeline."""
    pipeline = load_pipeline(args.file, "", args.overrides)
    print(describe_text(pipeline))
    return EXIT_OK


def add_command(commands: Any) -> None:
    """Add `velarix show` to the subcommands of the parser."""
    add_pipeline_command(
        commands, "show", command_show, help="list the nodes and links of a saved pipeline or a graph file",
        description="Print the nodes (name, class, ports with timing, rate) and the links of a saved pipeline.")
