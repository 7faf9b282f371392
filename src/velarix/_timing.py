"""The driver thread of a timed source: calls the node's cycle at a fixed rate.

The first cycle runs at start; it may include the node's one-time set-up, so the
schedule is anchored when it ends: deadline k is that moment + k / rate on the
monotonic clock. Absolute deadlines keep the rate from drifting with the time each
cycle takes.

After a stall, the driver makes up the deadlines missed within the last
`catch_up` seconds, back to back, and skips older ones (a gap in the `count` the
step receives): a burst is at most catch_up * rate cycles beyond the one for the
latest deadline. The default makes up the ordinary jitter of a busy machine
(milliseconds) and skips real stalls.
"""

from __future__ import annotations

import math
import threading
import time
from typing import TYPE_CHECKING

from .constants import Constants
from .imp.portan import carried

if TYPE_CHECKING:
    from .o_node import ONode


DEFAULT_CATCH_UP = 0.02  # seconds


def check_number(key: str, value: object, positive: bool, unit: str = "") -> None:
    """None, or a finite number (positive or not negative) for the key `key`;
    `unit` (" of cycles per second") names what the number counts in the TypeError."""
    if value is None:
        return
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{key} must be a number{unit} or None, not {type(value).__name__}.")
    if not (math.isfinite(value) and (value > 0 if positive else value >= 0)):
        raise ValueError(f"{key} must be {'positive' if positive else 'zero or more'} and finite, got {value!r}.")


class Driver:
    """One run of a timed source, from the node's start to its stop."""

    def __init__(self, node: ONode, rate: float, catch_up: float = DEFAULT_CATCH_UP) -> None:
        self._node = node
        self._period = 1.0 / rate
        # Missed deadlines made up after a stall (the small epsilon keeps 0.02 s at
        # 1 kHz at 20 cycles despite rounding).
        self._keep = int(catch_up * rate + 1e-9)
        self._stop = threading.Event()
        self._thread = threading.Thread(
            target=self._run, name=f"velarix-rate-{node.get_name()}", daemon=True)

    def start(self) -> None:
        self._thread.start()

    def stop(self) -> None:
        """Ends the driver; waits for it unless called from the driver's own cycle."""
        self._stop.set()
        if threading.current_thread() is not self._thread and self._thread.is_alive():
            self._thread.join()

    def is_alive(self) -> bool:
        return self._thread.is_alive()

    def _running(self) -> bool:
        imp = self._node._imp
        return (not self._stop.is_set() and not self._node._ended
                and imp.get_state() == Constants.States.RUNNING
                and imp._condition != Constants.Conditions.ERROR)

    def _run(self) -> None:
        imp = self._node._imp
        # A node whose ports are all ASYNC runs one cycle of its own on a set-up
        # thread when it starts; let it finish so two threads never cycle at once.
        setup = getattr(imp, "_setup_thread", None)
        if setup is not None and setup is not threading.current_thread():
            setup.join()
        period = self._period
        origin = time.monotonic()
        wall_offset = time.time() - origin
        count = 0
        while self._running():
            deadline = origin + count * period
            delay = deadline - time.monotonic()
            if delay > 0 and self._stop.wait(delay):
                break
            # On a pipeline with shared scheduler threads, the nodes this step
            # makes ready then run on this thread, as for cycle().
            carried(imp._cycle, {"count": count, "time": wall_offset + deadline})
            if count == 0:
                # The first cycle may run the node's one-time set-up (which takes
                # 10 ms and more): the schedule starts when it is done.
                origin = time.monotonic()
            count += 1
            # Deadlines passed beyond the next one: make up the newest `keep`.
            passed = int((time.monotonic() - (origin + count * period)) / period)
            if passed > self._keep:
                count += passed - self._keep
