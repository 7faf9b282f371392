"""`velarix record`: run a pipeline as `run` does and record its output ports."""

from __future__ import annotations

import argparse
import sys
from typing import Any, Optional

from ..graphfile import is_graph_file
from ._common import (EXIT_FAILED, PIPELINE_FILE, CommandError, exit_code, failure_report, load_pipeline, start,
                      stop_after_watch, undriven_note, watch)
from ._recordings import record_module, size_text


def command_record(args: argparse.Namespace) -> int:
    """`velarix record`: run a saved pipeline and record its output ports."""
    if args.seconds is not None and args.seconds < 0:
        raise CommandError("--seconds must not be negative")
    record = record_module()
    pipeline = load_pipeline(args.file, args.log_dir)
    logger = pipeline.get_logger()
    try:
        try:
            # The file's own text: a loaded class saves again without its source.
            with open(args.file, encoding="utf-8") as file:
                saved: Optional[str] = file.read()
            if is_graph_file(args.file):
                saved = None  # the recording saves the pipeline it runs
            recording = record.Recording(pipeline, args.out, args.ports, pipeline_json=saved)
        except ValueError as error:
            raise CommandError(str(error)) from None
        except OSError as error:
            raise CommandError(f"cannot write {args.out}: {error.strerror or error}") from None
        note = undriven_note(pipeline)
        if note is not None:
            print(f"velarix record: {note}", file=sys.stderr)
        if not start(pipeline, "record", cleanup=recording.stop):
            return EXIT_FAILED
        watch(pipeline, args.seconds, sys.stderr)
        stop_after_watch(pipeline)
        recording.stop()
        stats = recording.get_stats()
        print(f"recorded {stats['recorded']} values ({stats['dropped']} dropped) of "
              f"{len(stats['ports'])} ports to {args.out}, {size_text(stats['bytes'])}")
        if stats["error"]:
            print(f"velarix record: the recording stopped early: {stats['error']}", file=sys.stderr)
        failure = failure_report(pipeline)
    finally:
        logger.stop()
    return exit_code(failure)


def add_command(commands: Any) -> None:
    """Add `velarix record` to the subcommands of the parser."""
    rec = commands.add_parser("record", help="run a saved pipeline and record its output ports",
                              description="Run a saved pipeline as `run` does and record its output "
                              "ports (all unless --ports names some) to an MCAP file. Needs "
                              "velarix[record].")
    rec.add_argument("file", metavar="FILE", help=PIPELINE_FILE)
    rec.add_argument("--out", required=True, metavar="REC.mcap", help="the recording to write")
    rec.add_argument("--seconds", type=float, metavar="N", help="stop after N seconds")
    rec.add_argument("--ports", nargs="+", metavar="NODE.PORT", help="the output ports to record")
    rec.add_argument("--log-dir", metavar="DIR", help="folder for the log file (as for run)")
    rec.set_defaults(func=command_record)
