"""The driver thread of a timed source: calls the node's cycle at a fixed rate.

The first cycle runs at start; it may include the node's one-time set-up, so the
schedule is anchored when it ends: deadline k is that moment + k / rate on the
monotonic clock. Absolute deadlines keep the rate from drifting with the time each
cycle takes. After a stall that misses deadlines, the
driver runs one cycle at once for the latest missed deadline and skips the older
ones: no burst of catch-up cycles, and the skipped deadlines show as a gap in the
`count` the step receives.
"""

from __future__ import annotations

import math
import threading
import time
from typing import TYPE_CHECKING

from .constants import Constants

if TYPE_CHECKING:
    from .o_node import ONode


def check_rate(rate: object) -> None:
    """A rate is None (not timed) or a positive, finite number of cycles per second."""
    if rate is None:
        return
    if isinstance(rate, bool) or not isinstance(rate, (int, float)):
        raise TypeError(f"rate must be a number of cycles per second or None, not {type(rate).__name__}.")
    if not (rate > 0 and math.isfinite(rate)):
        raise ValueError(f"rate must be positive and finite, got {rate!r}.")


class Driver:
    """One run of a timed source, from the node's start to its stop."""

    def __init__(self, node: ONode, rate: float) -> None:
        self._node = node
        self._period = 1.0 / rate
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
        return (not self._stop.is_set()
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
            imp._cycle({"count": count, "time": wall_offset + deadline})
            if count == 0:
                # The first cycle may run the node's one-time set-up (which takes
                # 10 ms and more): the schedule starts when it is done.
                origin = time.monotonic()
            count += 1
            # Behind by more than one period: jump to the latest deadline passed.
            late = time.monotonic() - (origin + count * period)
            if late >= period:
                count += int(late / period)
