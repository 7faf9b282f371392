"""Objects that must be finished when the process ends (clusters, recordings,
pipelines that have run): each kind keeps its live ones in a weak set, and an exit
hook finishes them all."""

from __future__ import annotations

import weakref
from typing import Any


def finish_each(live: weakref.WeakSet[Any], method: str) -> None:
    """Call `method` of every object still in `live`; one that fails does not keep
    the others from theirs (the exit goes on)."""
    for item in list(live):
        try:
            getattr(item, method)()
        except Exception:
            continue
