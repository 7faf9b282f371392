"""`velarix run`: load, start, watch, stop, report."""

from __future__ import annotations

import argparse
import sys
from typing import Any, Optional

from .. import graph
from ..graphfile import web_settings
from ..pipeline import Pipeline
from ._common import (EXIT_FAILED, CommandError, add_pipeline_command, exit_code, failure_report, load_pipeline,
                      load_report, start, stop_after_watch, undriven_note, unlinked_notes, watch)


def command_run(args: argparse.Namespace) -> int:
    """`velarix run`: load, start, watch, stop, report."""
    if args.seconds is not None and args.seconds < 0:
        raise CommandError("--seconds must not be negative")
    if args.threads is not None and not 1 <= args.threads <= 1024:
        raise CommandError("--threads must be from 1 to 1024")
    pipeline = load_pipeline(args.file, args.log_dir, args.overrides, run_parts=True)
    if args.threads is not None:
        pipeline._use_threads(args.threads)
    logger = pipeline.get_logger()
    note = undriven_note(pipeline)
    if note is not None:
        print(f"velarix run: {note}", file=sys.stderr)
    for text in unlinked_notes(*graph.unlinked_ports(pipeline)):
        print(f"velarix run: {text}", file=sys.stderr)
    pipeline._tell_stop_notices(lambda text: print(f"velarix run: {text}", file=sys.stderr, flush=True))
    try:
        if not start(pipeline, "run"):
            return EXIT_FAILED
        web = web_settings(pipeline)  # a graph file's `web = true`
        server = pipeline.serve(**(web or {})) if args.web or web is not None else None
        if server is not None:
            print(f"live page: {server.url}", file=sys.stderr)
        try:
            bridge = serve_foxglove(pipeline, args.foxglove)
        except CommandError:
            pipeline.stop()
            raise
        watch(pipeline, args.seconds, sys.stderr)
        if bridge is not None:
            bridge.stop()
        stop_after_watch(pipeline)
        if server is not None:
            server.stop()  # open pages get the last reading before the process ends
        print(load_report(pipeline))
        file_name = logger.get_file_name()
        if file_name:
            print(f"log: {file_name}")
        failure = failure_report(pipeline)
    finally:
        logger.stop()
    return exit_code(failure)


def serve_foxglove(pipeline: Pipeline, port: Optional[int]) -> Any:
    """The viewer bridge of `--foxglove [PORT]` (None without the option)."""
    if port is None:
        return None
    try:
        bridge = pipeline.serve_foxglove(port=port)
    except (ImportError, OSError) as error:
        raise CommandError(str(error)) from None
    print(f"viewer bridge: ws://127.0.0.1:{bridge.port}", file=sys.stderr)
    return bridge


def add_foxglove_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--foxglove", nargs="?", type=int, const=8765, metavar="PORT",
                        help="also publish the output ports to the live viewer over WebSocket "
                             "on 127.0.0.1:PORT (default 8765; needs velarix[foxglove])")


def add_command(commands: Any) -> None:
    """Add `velarix run` to the subcommands of the parser."""
    run = add_pipeline_command(
        commands, "run", command_run, help="run a saved pipeline or a graph file",
        description="Run a saved pipeline with a live status line until it stops itself, N seconds pass or "
        "Ctrl-C; then print the load report. Exits 1 with the failing node's traceback when a node failed. "
        "The current folder is on the import path, as with `python -m`, so the stored classes may import "
        "modules that lie there.")
    run.add_argument("--seconds", type=float, metavar="N", help="stop after N seconds")
    run.add_argument("--threads", type=int, metavar="N",
                     help="run the input nodes on N shared scheduler threads (default: as saved)")
    run.add_argument("--log-dir", metavar="DIR", help="folder for the log file (default: the "
                     "default log folder; an empty string keeps the log in memory)")
    run.add_argument("--web", action="store_true", help="also serve a live page of the run on "
                     "127.0.0.1 (needs velarix[monitor]); its address is printed")
    add_foxglove_option(run)
