"""The commands for graph files: `velarix check` and `velarix convert`, and the
`--set` option that run, show and graph take."""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any, Optional, Sequence

from .._saving import check_saved_pipeline, write_atomically
from ..errors import NotAPipelineError
from ._convert import ConvertError, to_graph_text
from ._document import YAML_SUFFIXES, is_graph_file
from ._load import FROM_FILE, assemble, attach_run_parts, read
from ._problems import GraphFileError

EXIT_OK, EXIT_PROBLEMS = 0, 2


class GraphCommandError(Exception):
    """A graph file the command cannot use; the message lists its problems."""


def add_set_option(parser: argparse.ArgumentParser) -> None:
    """`--set KEY=VALUE` (repeatable) on a command that reads graph files."""
    parser.add_argument("--set", action="append", default=[], metavar="KEY=VALUE", dest="overrides",
                        help="for a graph file: set a value, the key dotted from the top of the "
                        "file (nodes.filter.cutoff=40); the value is read as TOML, else as text")


def problems_text(error: GraphFileError) -> str:
    count = len(error.problems)
    return f"{count} problem{'s' if count != 1 else ''}:\n" + "\n".join(f"  {p}" for p in error.problems)


def load_for_command(path: str, log_dir: Optional[str], overrides: Optional[Sequence[str]] = None,
                     run_parts: bool = False) -> Any:
    """The graph file's pipeline for a command; `log_dir` None: as the file says.

    Raises:
        GraphCommandError: the file's problems, listed.
    """
    try:
        made = read(path, overrides)
    except GraphFileError as error:
        raise GraphCommandError(problems_text(error)) from None
    pipeline = assemble(made, FROM_FILE if log_dir is None else log_dir)
    if run_parts:
        try:
            attach_run_parts(pipeline, made)
        except Exception as error:
            raise GraphCommandError(f"{path}: {type(error).__name__}: {error}") from None
    return pipeline


def command_check(args: argparse.Namespace) -> int:
    """`velarix check`: build the graph without starting it; list every problem."""
    if not is_graph_file(args.file):
        print(f"velarix check: error: {args.file} is not a graph file (.toml, .yaml or .yml)", file=sys.stderr)
        return EXIT_PROBLEMS
    try:
        made = read(args.file, args.overrides)
    except GraphFileError as error:
        print(f"velarix check: {args.file}: {problems_text(error)}")
        return EXIT_PROBLEMS
    pipeline = assemble(made, "")
    pipeline.close()
    print(f"{args.file}: ok, {len(made.nodes)} nodes and {len(made.links)} links")
    return EXIT_OK


def command_convert(args: argparse.Namespace, fail: Any) -> int:
    """`velarix convert`: a saved pipeline's JSON to a graph file."""
    try:
        with open(args.file, encoding="utf-8") as file:
            data = json.load(file)
        check_saved_pipeline(data, args.file)
    except OSError as error:
        raise fail(f"cannot read {args.file}: {error.strerror or error}") from None
    except (ValueError, NotAPipelineError) as error:
        raise fail(str(error) if isinstance(error, NotAPipelineError) else f"{args.file} is not valid JSON: "
                   f"{error}") from None
    if not is_graph_file(args.to):
        raise fail(f"--to names the graph file to write: FILE.toml, FILE.yaml or FILE.yml, not {args.to}")
    try:
        text = to_graph_text(data, yaml=os.fspath(args.to).lower().endswith(YAML_SUFFIXES))
    except ConvertError as error:
        raise fail(f"{args.file}: {error}") from None
    try:
        write_atomically(args.to, text)
    except OSError as error:
        raise fail(f"cannot write {args.to}: {error.strerror or error}") from None
    print(f"wrote {args.to}: {len(data['nodes'])} nodes")
    return EXIT_OK


def add_commands(commands: Any, fail: Any) -> None:
    """Add `check` and `convert`; `fail` is the command line's one-line error."""
    check = commands.add_parser("check", help="check a graph file without starting it",
                                description="Build the pipeline of a graph file (.toml, .yaml) without "
                                "starting it and list every problem with its line and column. Exit 2 "
                                "when there are any.")
    check.add_argument("file", metavar="GRAPH.toml")
    add_set_option(check)
    check.set_defaults(func=command_check)

    convert = commands.add_parser("convert", help="write a saved pipeline as a graph file",
                                  description="Write a pipeline saved as JSON as a graph file (TOML or "
                                  "YAML, by the suffix of --to). Every class must import by its module's "
                                  "name; those that do not are named.")
    convert.add_argument("file", metavar="FILE.json")
    convert.add_argument("--to", required=True, metavar="GRAPH.toml")
    convert.set_defaults(func=lambda args: command_convert(args, fail))
