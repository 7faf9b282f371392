"""The `velarix` command (also `python -m velarix`): run, show and draw saved pipelines.

Loading a file runs the class source stored in it: use these commands only on
files you trust.
"""

from __future__ import annotations

import argparse
import importlib
import logging
import os
import sys
from typing import Any, Optional, Sequence

from . import __version__
from ._cli import export, graph, info, record, replay, run, show
from ._cli._common import (EXIT_FAILED as EXIT_FAILED, EXIT_OK as EXIT_OK, EXIT_USAGE, PIPELINE_FILE as PIPELINE_FILE,
                           STATUS_INTERVAL as STATUS_INTERVAL, CommandError, failure_report as failure_report,
                           load_pipeline as load_pipeline, load_report as load_report, status_line as status_line,
                           undriven_note as undriven_note)
from ._cli.export import command_export as command_export
from ._cli.graph import command_graph as command_graph
from ._cli.info import command_info as command_info, info_text as info_text
from ._cli.record import command_record as command_record
from ._cli.replay import command_replay as command_replay
from ._cli.run import command_run as command_run
from ._cli.show import UNLINKED_MARK as UNLINKED_MARK, command_show as command_show, describe_text as describe_text
from .graphfile import cli as graphfile_cli


def build_parser() -> argparse.ArgumentParser:
    """The argument parser with every subcommand; each sets `func(args) -> int`."""
    parser = argparse.ArgumentParser(
        prog="velarix", description="Run, inspect and draw saved velarix pipelines.",
        epilog="Loading a file runs the class source stored in it: use only files you trust. "
        "The current folder is put first on the import path, as `python -m` does, so the "
        "stored classes can import the project's own modules.")
    parser.add_argument("--version", action="version", version=f"velarix {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    for module in (run, show, graph, record, replay, export, info):  # in the order `--help` lists them
        module.add_command(commands)
    graphfile_cli.add_commands(commands, CommandError)
    _add_optional_commands(commands)
    return parser


def _add_optional_commands(commands: Any) -> None:
    """Commands of optional parts of the package, present when they import."""
    try:  # the cluster extra: `worker`, `keys`
        cluster_cli = importlib.import_module("velarix.cluster.cli")
    except ImportError:
        return
    cluster_cli.add_commands(commands)


def _import_from_current_folder() -> None:
    """Put the current folder first on sys.path, as `python -m velarix` has it; the
    installed `velarix` script starts with its own folder there instead."""
    folder = os.getcwd()
    if not any(entry in ("", folder) or os.path.abspath(entry) == folder for entry in sys.path):
        sys.path.insert(0, folder)


def _parse(parser: argparse.ArgumentParser, argv: Optional[Sequence[str]]) -> argparse.Namespace:
    """`parser.parse_args(argv)`, but an option the command does not take is reported
    with that command's usage (argparse would show the top-level one)."""
    args, unknown = parser.parse_known_args(argv)
    if unknown:
        commands = next(action for action in parser._actions if isinstance(action, argparse._SubParsersAction))
        command = commands.choices.get(args.command, parser)
        command.error(f"unrecognized arguments: {' '.join(unknown)}")
    return args


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line; returns the exit code (0 ok, 1 failed run, 2 usage
    or file error)."""
    args = _parse(build_parser(), argv)
    _import_from_current_folder()
    # The commands report failures themselves (one line, or the failing node's
    # traceback after a run), so the log's entries are not echoed to stderr too.
    logging.getLogger("velarix").disabled = True
    try:
        code: int = args.func(args)
        sys.stdout.flush()  # here, so a closed pipe is seen below and not at exit
    except CommandError as error:
        print(f"velarix {args.command}: error: {error}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:  # Ctrl-C outside a run's watch loop, e.g. while loading
        print(f"velarix {args.command}: interrupted", file=sys.stderr)
        return 128 + 2
    except BrokenPipeError:  # `velarix show f.json | head`: the reader has gone
        # What is still buffered would fail again at exit: send it nowhere.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 128 + 13
    return code


if __name__ == "__main__":
    raise SystemExit(main())
