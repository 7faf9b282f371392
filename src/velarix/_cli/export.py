"""`velarix export`: a recording's values per port as CSV, npz or parquet files."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from ._common import EXIT_OK, CommandError
from ._recordings import cut_short_note, open_recording


def command_export(args: argparse.Namespace) -> int:
    """`velarix export`: a recording's values per port as CSV, npz or parquet files."""
    reader = open_recording(args.file, args.allow_pickle)
    from ..record._export import export

    total = reader.contents().messages
    out = sys.stderr
    tty = out.isatty()

    def progress(done: int) -> None:
        if tty:
            share = done / total if total else 1.0
            bar = "#" * int(share * 30)
            out.write(f"\r[{bar:<30}] {100 * share:3.0f}%  {done}/{total} values ")
            out.flush()

    try:
        written = export(reader, args.format, args.out, progress)
    except (ImportError, ValueError) as error:
        raise CommandError(str(error)) from None
    except OSError as error:
        raise CommandError(f"cannot write {args.out}: {error.strerror or error}") from None
    if tty:
        out.write("\n")
    cut_short_note("export", args.file, reader.problem)
    print(f"exported {len(written)} ports of {args.file} to {args.out} as {args.format}")
    return EXIT_OK


def add_command(commands: Any) -> None:
    """Add `velarix export` to the subcommands of the parser."""
    export = commands.add_parser("export", help="write a recording's values as CSV, npz or parquet files",
                                 description="Write each port of a recording (or any MCAP file with "
                                 "JSON channels) to a file of its own in DIR, the times (ns) in the "
                                 "first column; parquet needs pyarrow (velarix[analysis]).")
    export.add_argument("file", metavar="REC.mcap", help="a recording")
    export.add_argument("--format", choices=["csv", "npz", "parquet"], default="csv", help="the files' format")
    export.add_argument("--out", required=True, metavar="DIR", help="the folder to write to")
    export.add_argument("--allow-pickle", action="store_true", help="read pickled values too (unpickling "
                        "can run any code: only for files you trust)")
    export.set_defaults(func=command_export)
