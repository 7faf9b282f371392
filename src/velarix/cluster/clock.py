"""One clock across the processes of a cluster: the controller's.

The controller's heartbeat to a worker carries the time it was sent (t0, the
controller's clock); the worker answers it at once with the time it took the
heartbeat (t1) and the time it answered (t2), both on its own clock; the
controller notes when the answer came (t3). From the probe with the least round
trip among the latest KEEP, the worker's offset (its clock minus the
controller's) is ((t1 - t0) + (t2 - t3)) / 2, good to half that round trip.

Worker timestamps are mapped into the controller's clock with it: the log entries
a worker forwards, and the origin times of values on links. Origins travel in
the controller's clock: the sending process subtracts its own offset, the
receiving one adds its own (each worker hears its offset in every heartbeat).
"""

from __future__ import annotations

import math
import os
import threading
import time
from collections import deque
from datetime import datetime
from typing import Any, Optional

KEEP = 16  # probes the estimate chooses from: 4 s of heartbeats at the default interval
TEST_SHIFT_VARIABLE = "VELARIX_TEST_CLOCK_SHIFT"  # test hook: seconds added to a worker's clock


class Estimate:
    """A worker's clock offset and its uncertainty, from the latest probes."""

    def __init__(self) -> None:
        self.probes: deque[tuple[float, float]] = deque(maxlen=KEEP)  # (round trip, offset)
        self.best: Optional[tuple[float, float]] = None  # (offset, uncertainty), replaced whole
        self.count = 0  # probes taken so far
        self.changed = threading.Condition()

    def add(self, t0: Any, t1: Any, t2: Any, t3: float) -> bool:
        """One probe's four times (t1 and t2 as the worker sent them); False when
        they are no probe (not numbers, not finite, or the worker's answer came
        before the heartbeat it answers)."""
        times = (t0, t1, t2, t3)
        if not all(isinstance(t, (int, float)) and not isinstance(t, bool) and math.isfinite(t) for t in times):
            return False
        if t3 < t0 or t2 < t1:
            return False
        round_trip = (t3 - t0) - (t2 - t1)
        offset = ((t1 - t0) + (t2 - t3)) / 2
        with self.changed:
            self.probes.append((max(0.0, round_trip), offset))
            round_trip, offset = min(self.probes)
            self.best = (offset, round_trip / 2)
            self.count += 1
            self.changed.notify_all()
        return True

    @property
    def offset(self) -> Optional[float]:
        """The worker's clock minus the controller's, in seconds; None before a probe."""
        best = self.best
        return best[0] if best is not None else None

    @property
    def uncertainty(self) -> Optional[float]:
        """Half the round trip of the probe the offset comes from; None before a probe."""
        best = self.best
        return best[1] if best is not None else None

    def report(self) -> dict[str, Optional[float]]:
        """"clock_offset" and "clock_uncertainty", from the same probe."""
        best = self.best
        return {"clock_offset": best[0] if best is not None else None,
                "clock_uncertainty": best[1] if best is not None else None}

    def wait(self, count: int, timeout: float) -> bool:
        """Wait until `count` probes were taken; False when `timeout` passed first."""
        with self.changed:
            return self.changed.wait_for(lambda: self.count >= count, timeout)


# This process's clock ------------------------------------------------------

_shift = 0.0  # the test hook's shift; 0 outside tests
_offset = 0.0  # this process's clock minus the controller's (0 in the controller)


def use_test_shift() -> None:
    """In a worker process: read VELARIX_TEST_CLOCK_SHIFT (seconds, for tests
    only) and shift this worker's clock by it: the times its probes answer and the
    log timestamps it forwards. Values' origins are read on the unshifted clock and
    shifted to match."""
    global _shift
    text = os.environ.get(TEST_SHIFT_VARIABLE)
    try:
        shift = float(text) if text else 0.0
    except ValueError:
        shift = 0.0
    _shift = shift if math.isfinite(shift) else 0.0


def now() -> float:
    """This process's clock, as its probes answer: time.time() (plus the test shift)."""
    return time.time() + _shift


def set_offset(offset: Any) -> None:
    """The controller's latest estimate of this process's offset."""
    global _offset
    if isinstance(offset, (int, float)) and not isinstance(offset, bool) and math.isfinite(offset):
        _offset = float(offset)


def origin_to_controller(origin: float) -> float:
    """An origin time of this process (time.time() scale) on the controller's clock."""
    return origin + _shift - _offset


def origin_from_controller(origin: float) -> float:
    """An origin time on the controller's clock as this process's time.time()."""
    return origin - _shift + _offset


def from_controller_terms() -> tuple[float, float]:
    """(shift, offset): origin_from_controller(o) is o - shift + offset, for code that
    converts many origins at once (the native ring reader)."""
    return _shift, _offset


# Log timestamps ----------------------------------------------------------------

def entry_time(timestamp: str) -> Optional[float]:
    """A log entry's timestamp (local time, ISO 8601) on this process's clock."""
    try:
        return datetime.fromisoformat(timestamp).timestamp() + _shift
    except (TypeError, ValueError, OverflowError, OSError):
        return None


def shifted_timestamp(timestamp: str) -> str:
    """The entry's timestamp as this process's (shifted) clock reads."""
    if not _shift:
        return timestamp
    when = entry_time(timestamp)
    mapped = local_timestamp(when) if when is not None else None
    return mapped if mapped is not None else timestamp


def local_timestamp(when: float) -> Optional[str]:
    """A time.time() value as a log entry's timestamp in this process's local time;
    None when it is out of range."""
    try:
        return datetime.fromtimestamp(when).isoformat()
    except (ValueError, OverflowError, OSError):
        return None
