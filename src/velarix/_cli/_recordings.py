"""What the commands on recordings share: the record extra, opening a file, sizes."""

from __future__ import annotations

import sys
from typing import Any, Optional

from ._common import CommandError


def record_module() -> Any:
    """velarix.record, or a CommandError saying which extra to install."""
    try:
        from .. import record
        from ..record._format import require_mcap

        require_mcap()
    except ImportError as error:
        raise CommandError(str(error)) from None
    return record


def open_recording(path: str, allow_pickle: bool = False) -> Any:
    record = record_module()
    try:
        return record.RecordingReader(path, allow_pickle)
    except record.RecordingError as error:
        raise CommandError(str(error)) from None


def size_text(size: float) -> str:
    for unit in ("B", "kB", "MB", "GB"):
        if size < 1000 or unit == "GB":
            return f"{size:.0f} {unit}" if unit == "B" else f"{size:.1f} {unit}"
        size /= 1000
    return f"{size:.1f} GB"


def cut_short_note(command: str, path: str, problem: Optional[str]) -> None:
    if problem is not None:
        print(f"velarix {command}: warning: {path} is cut short ({problem}); it reads up to its "
              f"last complete chunk", file=sys.stderr)
