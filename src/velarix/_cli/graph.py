"""`velarix graph`: a pipeline as DOT or Mermaid text."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from .. import graph
from ._common import EXIT_OK, add_pipeline_command, load_pipeline


def command_graph(args: argparse.Namespace) -> int:
    """`velarix graph`: print a saved pipeline as DOT or Mermaid text."""
    pipeline = load_pipeline(args.file, "", args.overrides)
    render = graph.to_mermaid if args.format == "mermaid" else graph.to_dot
    sys.stdout.write(render(pipeline))
    return EXIT_OK


def add_command(commands: Any) -> None:
    """Add `velarix graph` to the subcommands of the parser."""
    draw = add_pipeline_command(
        commands, "graph", command_graph, help="print a saved pipeline or a graph file as DOT or Mermaid",
        description="Print the graph of a saved pipeline as Graphviz DOT (default) or Mermaid text.")
    draw.add_argument("--format", choices=("dot", "mermaid"), default="dot")
