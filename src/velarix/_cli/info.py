"""`velarix info`: what a recording holds."""

from __future__ import annotations

import argparse
import json
import os
from typing import Any

from ..monitor.terminal import visible
from ._common import EXIT_OK, table
from ._recordings import cut_short_note, open_recording, size_text


def info_text(path: str, contents: Any, size: int, profile: str = "velarix") -> str:
    """What `velarix info` prints about a recording (or any MCAP file)."""
    duration = ((contents.end or 0) - (contents.start or 0)) / 1e9
    stored = contents.metadata.get("velarix.pipeline", {}).get("json")
    nodes = "-"
    if stored:
        try:
            nodes = f"{len(json.loads(stored)['nodes'])} nodes"
        except (ValueError, KeyError, TypeError):
            nodes = "unreadable"
    lines = [f"file      {path}  ({size_text(size)}, "
             f"{'complete' if contents.complete else 'cut short'})",
             f"duration  {duration:.3f} s",
             f"values    {contents.messages}",
             f"pipeline  {nodes if stored else 'not stored'}"]
    if profile != "velarix":
        lines.append(f"profile   {profile or '(none)'}: not a velarix recording")
    if any(channel.encoding == "pickle5" for channel in contents.channels.values()):
        lines.append("pickled   yes: replaying it needs --allow-pickle (unpickling can run code)")
    lines.append("")
    from ..record._format import port_metadata_text

    rows = []
    described = [port_metadata_text(channel.metadata) for channel in contents.channels.values()]
    for channel_id, channel in sorted(contents.channels.items()):
        count = contents.counts.get(channel_id, 0)
        rate = f"{count / duration:.1f}" if duration > 0 else "-"
        row: tuple[str, ...] = (visible(channel.topic), channel.encoding, str(count), rate)
        if any(described):  # never unpickled: JSON text, or "pickled"
            row += (visible(port_metadata_text(channel.metadata) or "-"),)
        rows.append(row)
    head = ("channel", "encoding", "values", "rate /s") + (("port metadata",) if any(described) else ())
    lines.append(table(head, rows) if rows else "(no channels)")
    return "\n".join(lines)


def command_info(args: argparse.Namespace) -> int:
    """`velarix info`: channels, counts, duration, rates and size of a recording."""
    # Listing decodes no value and no port metadata: a file with pickles is safe here.
    reader = open_recording(args.file, allow_pickle=True)
    contents = reader.contents()
    print(info_text(args.file, contents, os.path.getsize(args.file), reader.profile))
    cut_short_note("info", args.file, contents.problem)
    return EXIT_OK


def add_command(commands: Any) -> None:
    """Add `velarix info` to the subcommands of the parser."""
    info = commands.add_parser("info", help="describe a recording",
                               description="Print a recording's channels with their encodings, "
                               "value counts and rates, its duration and size.")
    info.add_argument("file", metavar="REC.mcap")
    info.set_defaults(func=command_info)
