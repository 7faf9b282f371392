"""Epochs: the stretch of a stream around each event of a marker stream, with a
baseline correction, for event-related analysis and for classifiers."""

from __future__ import annotations

import copy
import math
from typing import Any, Optional

from ..constants import Constants
from ..imp import SKIP
from ..node import PortData, PortMetadata, StepResult
from ._base import EXTRA_HINT, ChunkNode
from .axes import NOMINAL_SRATE, make_chunk

try:
    import numpy as np
except ImportError as _error:  # pragma: no cover - the extra is installed by make test
    raise ImportError(EXTRA_HINT) from _error


def _seconds(owner: str, key: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise TypeError(f"{owner}: {key} must be a number of seconds, got {value!r}.")
    return float(value)


class Epoch(ChunkNode):
    """Cuts an epoch around each event: the input port ``in`` takes the signal's
    chunks, ``markers`` the marker stream's (a chunk per step each: the marker
    chunk's rows are events, its first column the event's code, its timestamp
    the event's time; an empty chunk when there were none).

    An event at time ``te`` falls on the signal's sample ``i`` whose timestamp is
    nearest ``te``; its epoch is samples ``i + round(start * rate)`` up to (not
    including) ``i + round(end * rate)``, less, with ``baseline = [b0, b1]``, the
    mean of each channel over samples ``i + round(b0 * rate)`` up to ``i +
    round(b1 * rate)``. It is given once its last sample has arrived, as a chunk
    with the epoch's samples and timestamps and the keys ``label`` (the event's
    code) and ``event_time``. Events whose epoch would begin before the samples
    kept (before the stream's start, or whose marker comes more than ``late``
    seconds after the signal's samples at its time) are left out.

    Keys, besides those of `IONode`: ``start`` and ``end`` (seconds from the
    event; default -0.2 and 0.8), ``baseline`` (``[b0, b1]`` seconds or None for
    none; default ``[start, 0]``), ``codes`` (the event codes to cut for;
    default all), ``late`` (seconds a marker may come after the signal's samples
    at its time, default 1), ``rate`` (as for `Filter`). The description is the signal's,
    with ``epoch_length`` (samples) and ``nominal_srate`` 0 (epochs come when
    events do).
    """

    INPUTS = ("in", "markers")

    class Configuration(ChunkNode.Configuration):
        """Adds ``start``, ``end``, ``baseline``, ``codes``, ``late`` and ``rate``."""

        class Keys(ChunkNode.Configuration.Keys):
            START = "start"
            END = "end"
            BASELINE = "baseline"
            CODES = "codes"
            LATE = "late"
            RATE = "rate"

    def _check(self, entries: dict[str, Any]) -> None:
        owner = type(self).__name__
        start = _seconds(owner, "start", entries.setdefault("start", -0.2))
        end = _seconds(owner, "end", entries.setdefault("end", 0.8))
        if end <= start:
            raise ValueError(f"{owner}: end ({end}) must be after start ({start}).")
        baseline = entries.setdefault("baseline", [start, 0.0] if start < 0 else None)
        if baseline is not None:
            if not isinstance(baseline, (list, tuple)) or len(baseline) != 2:
                raise TypeError(f"{owner}: baseline must be [b0, b1] seconds or None, got {baseline!r}.")
            b0, b1 = (_seconds(owner, "baseline", b) for b in baseline)
            if not start <= b0 < b1 <= end:
                raise ValueError(f"{owner}: baseline {[b0, b1]} must lie within [start, end] = {[start, end]}.")
            entries["baseline"] = [b0, b1]
        if _seconds(owner, "late", entries.setdefault("late", 1.0)) < 0:
            raise ValueError(f"{owner}: late must be at least 0 seconds.")
        codes = entries.setdefault("codes", None)
        if codes is not None and not isinstance(codes, list):
            raise TypeError(f"{owner}: codes must be a list of event codes or None.")

    def setup(self, data: PortData, metadata: PortMetadata) -> Optional[PortMetadata]:
        self._ready = False
        ports = [str(port["name"]) for port in self.config[self.Configuration.Keys.INPUT_PORTS]]
        self._in, self._markers = ports
        self._out = self._port_name(self.Configuration.Keys.OUTPUT_PORTS, Constants.Defaults.PORT_OUT)
        description = copy.deepcopy(dict(metadata.get(self._in) or {}))
        self._upstream = description
        self._shape = dict(description)
        rate = self._rate("rate", description)
        self._first = round(float(self.config["start"]) * rate)
        self._last = round(float(self.config["end"]) * rate)  # exclusive
        baseline = self.config["baseline"]
        self._baseline = None if baseline is None else (round(baseline[0] * rate) - self._first,
                                                        round(baseline[1] * rate) - self._first)
        self._codes = self.config["codes"]
        self._late = round(float(self.config["late"]) * rate)
        # How many of the newest samples an event still to come may reach back to.
        self._reach = max(0, -self._first) + self._late + 1
        self._store: Any = None  # made by the first chunk
        self._stamps: Any = None
        self._begin = self._end = 0  # the kept samples' rows in the store
        self._offset = 0  # stream index of the buffer's first sample
        self._pending: list[tuple[float, Any]] = []
        description["epoch_length"] = self._last - self._first
        description[NOMINAL_SRATE] = 0.0
        self._ready = True
        return {self._out: description}

    def step(self, data: PortData) -> StepResult:
        if not self._ready:
            return SKIP
        samples, timestamps = self._unpack(data[self._in])
        self._add_events(data[self._markers])
        self._append(samples, timestamps)
        # Most chunks bring no event and complete none: those only keep the samples.
        results = self._cut() if self._pending else None
        self._trim()
        return self._push(results) if results else SKIP

    def _append(self, samples: Any, timestamps: Any) -> None:
        """Add a chunk to the kept samples: into room left at the end, growing (or
        moving the kept ones to the front) only when there is none, so that a
        chunk costs its own copy, not the whole buffer's."""
        store, count = self._store, len(timestamps)
        begin, end = self._begin, self._end + count
        if store is None or end > len(store):
            kept = self._end - begin
            # Room for three times what is kept: the kept rows move to the front
            # once per twice their number added, half a row moved per row added.
            size = max(1024, 2 * count) if store is None else max(len(store), 3 * (kept + count))
            grown = np.empty((size, samples.shape[1]), dtype=samples.dtype if store is None else
                             np.result_type(store, samples))
            stamps = np.empty(size)
            if store is not None:
                grown[:kept], stamps[:kept] = store[begin:self._end], self._stamps[begin:self._end]
            self._store, self._stamps, self._begin, self._end = grown, stamps, 0, kept
            store, begin, end = grown, 0, kept + count
        store[self._end:end] = samples
        self._stamps[self._end:end] = timestamps
        self._end = end

    def _add_events(self, chunk: Any) -> None:
        if not isinstance(chunk, dict) or "samples" not in chunk or "timestamps" not in chunk:
            raise TypeError(f"{self._owner()}: markers must be chunks, dicts with 'samples' and 'timestamps', "
                            f"not {type(chunk).__name__}.")
        codes, stamps = chunk["samples"], chunk["timestamps"]
        if type(codes) is _ARRAY and type(stamps) is _ARRAY and not codes.size and not stamps.size:
            return  # no events: the usual marker chunk
        codes = np.asarray(codes)
        stamps = np.asarray(stamps, dtype=np.float64).reshape(-1)
        codes = codes.reshape(len(stamps), -1)[:, 0] if codes.size else codes.reshape(0)
        if len(codes) != len(stamps):
            raise ValueError(f"{self._owner()}: a marker chunk needs a timestamp per event, got samples of shape "
                             f"{np.shape(chunk['samples'])} and {len(stamps)} timestamps.")
        for code, stamp in zip(codes.tolist(), stamps.tolist()):
            if self._codes is None or code in self._codes:
                self._pending.append((stamp, code))

    def _cut(self) -> list[dict[str, Any]]:
        samples = self._store[self._begin:self._end]
        times, results, waiting = self._stamps[self._begin:self._end], [], []
        for stamp, code in self._pending:
            after = int(np.searchsorted(times, stamp))
            if after >= len(times):  # its nearest sample may not have come yet
                waiting.append((stamp, code))
                continue
            nearest = after - 1 if after > 0 and stamp - times[after - 1] <= times[after] - stamp else after
            if after == 0 and self._offset > 0 and stamp < times[0]:
                continue  # long gone
            begin, finish = nearest + self._first, nearest + self._last
            if begin < 0:
                continue  # before the samples kept
            if finish > len(times):
                waiting.append((stamp, code))
                continue
            epoch = samples[begin:finish]
            if self._baseline is not None:
                b0, b1 = self._baseline
                epoch = epoch - epoch[b0:b1].mean(axis=0)
            result = make_chunk(np.array(epoch), times[begin:finish].copy())
            result["label"] = code
            result["event_time"] = stamp
            results.append(result)
        self._pending = waiting
        return results

    def _trim(self) -> None:
        """Keep what an event still to come may need: ``-start`` samples back from
        the end, and everything a waiting event needs."""
        keep = self._end - self._begin - self._reach
        if self._pending:
            times = self._stamps[self._begin:self._end]
            for stamp, _ in self._pending:
                keep = min(keep, max(0, int(np.searchsorted(times, stamp)) - 1 + min(0, self._first)))
        if keep > 0:
            self._begin += keep
            self._offset += keep


_ARRAY = np.ndarray


__all__ = ["Epoch"]
