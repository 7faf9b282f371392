"""Sources for trying pipelines out: sines, square waves, seeded noise and
counters, as chunks of several channels at a sample rate, timed as any timed
source is (a thread drives them from the node's start to its stop)."""

from __future__ import annotations

import math
import time
from typing import Any, Optional

from ..node import PortData, PortMetadata, StepResult
from ..o_node import ONode
from ._base import EXTRA_HINT, RATE, LibraryNode, check_int, check_rate
from .axes import describe, make_chunk

try:
    import numpy as np
    from scipy import signal  # type: ignore[import-untyped]
except ImportError as _error:  # pragma: no cover - the extra is installed by make test
    raise ImportError(EXTRA_HINT) from _error


class Source(LibraryNode, ONode):
    """Base of the test sources: every ``1 / (rate / chunk)`` seconds a chunk of
    ``chunk`` samples of every channel on the port ``"out"``. Sample ``n`` of the
    stream (counted from the start) is stamped ``start + (n + 1 - chunk) / rate``
    in wall-clock seconds, so a chunk's last sample carries its deadline; a
    deadline the driver skips after a stall leaves a gap of a whole chunk, and the
    samples after it are still those of their own index ``n``.

    Configuration keys, besides those of `ONode` (``rate`` here is the sample rate):

    - ``rate``: samples per second (default 250).
    - ``chunk``: samples per chunk (int, default 32).
    - ``channels``: a count (default 1) or a list of channel names.
    """

    class Configuration(ONode.Configuration):
        """Adds ``chunk`` and ``channels``; ``rate`` is the sample rate."""

        class Keys(ONode.Configuration.Keys):
            CHUNK = "chunk"
            CHANNELS = "channels"

    def _prepare_entries(self, entries: dict[str, Any]) -> None:
        rate = check_rate(type(self).__name__, RATE, entries.pop(RATE, 250.0))
        super()._prepare_entries(entries)
        entries[RATE] = rate
        owner = type(self).__name__
        keys = self.Configuration.Keys
        check_int(owner, keys.CHUNK, entries.setdefault(keys.CHUNK, 32))
        channels = entries.setdefault(keys.CHANNELS, 1)
        if isinstance(channels, tuple):
            channels = entries[keys.CHANNELS] = list(channels)
        if isinstance(channels, list):
            if not channels or not all(isinstance(name, str) for name in channels):
                raise TypeError(f"{owner}: {keys.CHANNELS} must be a count or a list of names, got {channels!r}.")
        else:
            check_int(owner, keys.CHANNELS, channels)
        self._check(entries, len(channels) if isinstance(channels, list) else channels)

    def _check(self, entries: dict[str, Any], channels: int) -> None:
        """Check the source's own keys."""

    def get_rate(self) -> Optional[float]:
        """Chunks per second: the sample rate over the chunk's length."""
        return float(self.config[RATE]) / int(self.config[self.Configuration.Keys.CHUNK])

    def _names(self) -> list[str]:
        channels = self.config[self.Configuration.Keys.CHANNELS]
        return list(channels) if isinstance(channels, list) else [str(i) for i in range(channels)]

    def setup(self, data: PortData, metadata: PortMetadata) -> Optional[PortMetadata]:
        self._rate_hz = float(self.config[RATE])
        self._chunk = int(self.config[self.Configuration.Keys.CHUNK])
        self._start: Optional[float] = None
        self._next = 0  # the next chunk's index
        names = self._names()
        self._width = len(names)
        self._begin()
        return {"out": describe(self._rate_hz, names, self._dtype())}

    def step(self, data: PortData) -> StepResult:
        count = data.get("count") if isinstance(data, dict) else None
        now = data.get("time") if isinstance(data, dict) else None
        if not isinstance(count, int) or not isinstance(now, float):  # cycled by hand
            count, now = self._next, time.time()
        if self._start is None:
            self._start = now - count * self._chunk / self._rate_hz
        if count > self._next:
            self._passed(count - self._next)
        self._next = count + 1
        first = count * self._chunk
        index = np.arange(first, first + self._chunk, dtype=np.int64)
        # ``start + (index + 1 - chunk) / rate``, with the ints made as such and the sum in place.
        stamps = np.arange(first + 1 - self._chunk, first + 1, dtype=np.int64) / self._rate_hz
        np.add(stamps, self._start, out=stamps)
        return {"out": make_chunk(self._values(index, stamps), stamps)}

    def _begin(self) -> None:
        """Set up the source's own state."""

    def _dtype(self) -> Any:
        return np.float64

    def _passed(self, chunks: int) -> None:
        """Skipped deadlines: `chunks` chunks that are not given."""

    def _values(self, index: Any, stamps: Any) -> Any:
        """Samples (time x channels) of the stream's samples `index`."""
        raise NotImplementedError


def per_channel(owner: str, key: str, value: Any, channels: int) -> list[float]:
    """A number for every channel: one for all, or a list of one each."""
    values = value if isinstance(value, (list, tuple)) else [value] * channels
    if len(values) != channels or not all(isinstance(v, (int, float)) and not isinstance(v, bool)
                                          and math.isfinite(v) for v in values):
        raise TypeError(f"{owner}: {key} must be a number or a list of {channels} numbers, got {value!r}.")
    return [float(v) for v in values]


class Sine(Source):
    """``amplitude * sin(2 pi frequency n / rate + phase)`` for sample ``n``, each
    key one number for all channels or a list of one per channel.

    Configuration keys, besides those of `Source`: ``frequency`` (Hz, default
    10), ``amplitude`` (default 1), ``phase`` (radians, default 0).
    """

    class Configuration(Source.Configuration):
        """Adds ``frequency``, ``amplitude`` and ``phase``."""

        class Keys(Source.Configuration.Keys):
            FREQUENCY = "frequency"
            AMPLITUDE = "amplitude"
            PHASE = "phase"

    _DEFAULTS = {"frequency": 10.0, "amplitude": 1.0, "phase": 0.0}

    def _check(self, entries: dict[str, Any], channels: int) -> None:
        for key, default in self._DEFAULTS.items():
            per_channel(type(self).__name__, key, entries.setdefault(key, default), channels)

    def _begin(self) -> None:
        owner, width = type(self).__name__, self._width
        self._f, self._a, self._p = (np.asarray(per_channel(owner, key, self.config[key], width))
                                     for key in ("frequency", "amplitude", "phase"))
        self._omega = 2 * np.pi * self._f  # as the formula groups it: the same bits
        self._unit = bool(np.all(self._a == 1.0))  # 1.0 * y is y

    def _argument(self, index: Any) -> Any:
        """``2 pi f (n / rate) + phase``, one array made."""
        argument = self._omega * (index[:, None] / self._rate_hz)
        return np.add(argument, self._p, out=argument)

    def _values(self, index: Any, stamps: Any) -> Any:
        values = self._argument(index)
        np.sin(values, out=values)
        return values if self._unit else np.multiply(values, self._a, out=values)


class Square(Sine):
    """``amplitude * scipy.signal.square(2 pi frequency n / rate + phase, duty)``.

    Configuration keys, besides those of `Sine`: ``duty`` (the share of each
    period at +amplitude, default 0.5).
    """

    class Configuration(Sine.Configuration):
        """Adds ``duty``."""

        class Keys(Sine.Configuration.Keys):
            DUTY = "duty"

    _DEFAULTS = {"frequency": 10.0, "amplitude": 1.0, "phase": 0.0, "duty": 0.5}

    def _values(self, index: Any, stamps: Any) -> Any:
        duty = np.asarray(per_channel(type(self).__name__, "duty", self.config["duty"], self._width))
        return self._a * signal.square(self._argument(index), duty)


class Noise(Source):
    """Gaussian noise, ``amplitude * numpy.random.default_rng(seed)
    .standard_normal((samples, channels))`` drawn in stream order: the stream's
    samples are the rows of one such draw (a skipped chunk's rows are drawn and
    left out).

    Configuration keys, besides those of `Source`: ``seed`` (int, default 0),
    ``amplitude`` (the standard deviation, default 1).
    """

    class Configuration(Source.Configuration):
        """Adds ``seed`` and ``amplitude``."""

        class Keys(Source.Configuration.Keys):
            SEED = "seed"
            AMPLITUDE = "amplitude"

    def _check(self, entries: dict[str, Any], channels: int) -> None:
        check_int(type(self).__name__, "seed", entries.setdefault("seed", 0), least=0)
        per_channel(type(self).__name__, "amplitude", entries.setdefault("amplitude", 1.0), channels)

    def _begin(self) -> None:
        self._rng = np.random.default_rng(self.config["seed"])
        self._a = np.asarray(per_channel(type(self).__name__, "amplitude", self.config["amplitude"], self._width))

    def _passed(self, chunks: int) -> None:
        self._rng.standard_normal((chunks * self._chunk, self._width))

    def _values(self, index: Any, stamps: Any) -> Any:
        return self._a * self._rng.standard_normal((len(index), self._width))


class Counter(Source):
    """The sample's index ``n`` in every channel (int64): shows order, gaps and
    timing."""

    def _dtype(self) -> Any:
        return np.int64

    def _values(self, index: Any, stamps: Any) -> Any:
        return np.repeat(index[:, None], self._width, axis=1)


class Clock(Source):
    """The sample's own timestamp (wall-clock seconds) in every channel."""

    def _values(self, index: Any, stamps: Any) -> Any:
        return np.repeat(stamps[:, None], self._width, axis=1)


__all__ = ["Clock", "Counter", "Noise", "Sine", "Source", "Square"]
