"""What both monitors read from a pipeline at each refresh: its state, condition and
the elapsed time of its run, kept after the run ends (the pipeline's own
get_elapsed_time() is 0.0 once it has stopped)."""

from __future__ import annotations

import datetime
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Optional

from ..constants import Constants

if TYPE_CHECKING:
    from ..pipeline import Pipeline

_STARTED_LINE = "Pipeline started."
_STOPPED_LINE = "Pipeline stopped."


@dataclass(frozen=True)
class Reading:
    state: str
    condition: str
    elapsed: float
    # The run ended while watched (a stopped pipeline that was seen running).
    ended: bool
    # Shared scheduler threads (Pipeline(threads=N)); None: a worker per input node.
    threads: Optional[int] = None

    def threads_text(self) -> str:
        """How the nodes run, for a pipeline on shared threads ("" otherwise)."""
        if self.threads is None:
            return ""
        return f"{self.threads} shared thread{'s' if self.threads != 1 else ''}"


def _logged_time(pipeline: Pipeline, line: str, after: float) -> Optional[float]:
    """Wall-clock time of the newest `line` entry later than `after`."""
    for entry in reversed(pipeline.get_logger().get_all()):
        if entry["message"] == line:
            try:
                moment = datetime.datetime.fromisoformat(entry["timestamp"]).timestamp()
            except (TypeError, ValueError):
                return None
            return moment if moment >= after else None
    return None


class RunClock:
    """Remembers when the watched run started, so that the last picture after a
    stop still says how long the run took."""

    def __init__(self) -> None:
        self._created = time.time()
        self._start: Optional[float] = None  # wall-clock start of the run seen running
        self._elapsed = 0.0
        self._ended = False

    def read(self, pipeline: Pipeline) -> Reading:
        # Elapsed first: a positive value proves the pipeline was running at that
        # moment even when the state read next already says STOPPED.
        elapsed = float(pipeline.get_elapsed_time())
        state = str(pipeline.get_state())
        condition = str(pipeline.get_condition())
        if elapsed > 0.0 and state == Constants.States.RUNNING:
            self._start = time.time() - elapsed
            self._elapsed, self._ended = elapsed, False
        elif state == Constants.States.STOPPED and not self._ended:
            # A run that began and ended between two readings is found in the log.
            start = self._start if self._start is not None else _logged_time(pipeline, _STARTED_LINE, self._created)
            if start is not None:
                # The log says when the stop happened; without it, the first reading
                # that saw it is at most one refresh late.
                stopped = _logged_time(pipeline, _STOPPED_LINE, start) or time.time()
                self._elapsed = max(self._elapsed, stopped - start)
                self._start, self._ended = None, True
        elif state == Constants.States.RUNNING:
            self._elapsed = elapsed
        threads = getattr(pipeline, "get_threads", None)
        return Reading(state, condition, self._elapsed, self._ended, threads() if threads is not None else None)
