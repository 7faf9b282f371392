"""One log across processes.

A worker's logger keeps its entries in a deque that also hands every new entry to
the worker's outbox; the controller puts each received entry into the pipeline's
logger as the worker wrote it (its stack, thread and time, the time mapped into
the controller's clock once the worker's offset is known), with the worker named
in the message. Both go through the logger's own internal methods
(`_store_with`, `_keep_entry`).
"""

from __future__ import annotations

import logging
import math
import queue
from collections import deque
from typing import Any, Iterable, Optional

from ..logger import LogEntry, Logger, LogType
from . import clock


class _ForwardingLog(deque[Any]):
    """The logger's store: appends also go to `outbox` (a queue.Queue)."""

    def __init__(self, entries: Iterable[Any], maxlen: Optional[int], outbox: queue.Queue[Any]) -> None:
        super().__init__(entries, maxlen)
        self.outbox = outbox

    def append(self, entry: Any) -> None:
        super().append(entry)
        self.outbox.put(entry)


def forwarding_logger(outbox: queue.Queue[Any]) -> Logger:
    """A memory-only Logger whose every entry is also put into `outbox`."""
    logger = Logger("")
    logger._store_with(lambda store: _ForwardingLog(store, store.maxlen, outbox))
    return logger


def entry_record(entry: Any) -> tuple[str, str, str, str, str, Optional[float]]:
    """A log entry as plain values for the wire; last, its time on this process's
    clock (seconds since the epoch), which the controller maps into its own."""
    timestamp = entry["timestamp"]
    return (entry["type"], entry["stack"], entry["message"], clock.shifted_timestamp(timestamp),
            entry["thread"], clock.entry_time(timestamp))


# Each kind of entry at the `logging` level the controller's own entries use.
_LEVELS = {LogType.INFO: logging.INFO, LogType.WARNING: logging.WARNING, LogType.ERROR: logging.ERROR}


def _hand_to_logging(entry: LogEntry, log_type: LogType) -> None:
    """Pass a worker's entry on to the "velarix" logger, as the controller's own
    entries are: the record's message is the entry's, `velarix_entry` the entry.
    The worker's exception stays in its own process: its text is in the message."""
    target = logging.getLogger("velarix")
    level = _LEVELS.get(log_type, logging.INFO)
    if target.isEnabledFor(level):
        target.log(level, entry["message"], extra={"velarix_entry": entry})


def inject(logger: Logger, worker: str, record: tuple[Any, ...], offset: Optional[float] = None) -> LogEntry:
    """Add a worker's entry to `logger` as its writer saw it, the worker named first;
    its time on this process's clock once the worker's clock `offset` is known."""
    type_value, stack, message, timestamp, thread = record[:5]
    when = record[5] if len(record) > 5 else None
    if offset is not None and isinstance(when, float) and math.isfinite(when):
        timestamp = clock.local_timestamp(when - offset) or timestamp
    log_type = LogType(type_value)
    entry = LogEntry(log_type, stack, f"Worker {worker}: {message}")
    dict.update(entry._imp, timestamp=timestamp, thread=thread)
    logger._keep_entry(entry)
    _hand_to_logging(entry, log_type)
    return entry
