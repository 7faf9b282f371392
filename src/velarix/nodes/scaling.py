"""Scaling and statistics: element-wise maps (scale, offset, clip, absolute
value, logarithm, rectification), moving statistics (moving average, RMS),
z-scores (adaptive, or fixed from a calibration period), the Hilbert envelope
block by block, and aggregates over channels or over a chunk."""

from __future__ import annotations

import math
from typing import Any, Callable, Optional

from ._base import EXTRA_HINT, ChunkNode, check_int, check_positive
from ._design import Blocks
from .axes import CHANNEL_FORMAT, NOMINAL_SRATE, channel_format, dtype_of, make_chunk, with_channels
from .sources import per_channel

try:
    import numpy as np
    from scipy import signal  # type: ignore[import-untyped]
except ImportError as _error:  # pragma: no cover - the extra is installed by make test
    raise ImportError(EXTRA_HINT) from _error


class Elementwise(ChunkNode):
    """Base of the nodes that map every sample on its own: the output of a chunk
    is ``_apply(samples)``, the same whatever the chunking."""

    def _configure(self, description: dict[str, Any]) -> dict[str, Any]:
        self._prepare(description)
        dtype = dtype_of(description)
        count = description.get("channel_count")
        if dtype is not None and isinstance(count, int):  # the output's type, from a probe
            description[CHANNEL_FORMAT] = channel_format(self._apply(np.ones((1, count), dtype=dtype)).dtype)
        return description

    def _prepare(self, description: dict[str, Any]) -> None:
        """Read what the map needs from the description."""

    def _apply(self, samples: Any) -> Any:
        raise NotImplementedError

    def _process(self, samples: Any, timestamps: Any) -> list[dict[str, Any]]:
        return [make_chunk(self._apply(samples), timestamps)]


def _numbers(owner: str, key: str, value: Any) -> Any:
    """A number, or a list of one per channel (checked against the stream later)."""
    if isinstance(value, (list, tuple)):
        return per_channel(owner, key, list(value), len(value))
    return per_channel(owner, key, value, 1)[0]


class Scale(Elementwise):
    """``samples * factor``; ``factor`` (required) is a number or one per channel."""

    class Configuration(ChunkNode.Configuration):
        """Adds ``factor``."""

        class Keys(ChunkNode.Configuration.Keys):
            FACTOR = "factor"

    def _check(self, entries: dict[str, Any]) -> None:
        entries["factor"] = _numbers(type(self).__name__, "factor", entries.get("factor"))

    def _apply(self, samples: Any) -> Any:
        return samples * np.asarray(self.config["factor"])


class Offset(Elementwise):
    """``samples + offset``; ``offset`` (required) is a number or one per channel."""

    class Configuration(ChunkNode.Configuration):
        """Adds ``offset``."""

        class Keys(ChunkNode.Configuration.Keys):
            OFFSET = "offset"

    def _check(self, entries: dict[str, Any]) -> None:
        entries["offset"] = _numbers(type(self).__name__, "offset", entries.get("offset"))

    def _apply(self, samples: Any) -> Any:
        return samples + np.asarray(self.config["offset"])


class Clip(Elementwise):
    """``numpy.clip(samples, low, high)``; either bound may be None (open)."""

    class Configuration(ChunkNode.Configuration):
        """Adds ``low`` and ``high``."""

        class Keys(ChunkNode.Configuration.Keys):
            LOW = "low"
            HIGH = "high"

    def _check(self, entries: dict[str, Any]) -> None:
        owner = type(self).__name__
        low, high = entries.setdefault("low", None), entries.setdefault("high", None)
        for key, value in (("low", low), ("high", high)):
            if value is not None:
                _numbers(owner, key, value)
        if low is None and high is None:
            raise ValueError(f"{owner}: give low, high or both.")

    def _apply(self, samples: Any) -> Any:
        return np.clip(samples, self.config["low"], self.config["high"])


class Abs(Elementwise):
    """``numpy.abs(samples)``."""

    def _apply(self, samples: Any) -> Any:
        return np.abs(samples)


class Rectify(Elementwise):
    """Full-wave (``abs``, the default) or half-wave (``numpy.maximum(samples,
    0)``) rectification: the key ``mode`` is ``"full"`` or ``"half"``."""

    class Configuration(ChunkNode.Configuration):
        """Adds ``mode``."""

        class Keys(ChunkNode.Configuration.Keys):
            MODE = "mode"

    def _check(self, entries: dict[str, Any]) -> None:
        if entries.setdefault("mode", "full") not in ("full", "half"):
            raise ValueError(f"{type(self).__name__}: mode must be 'full' or 'half', got {entries['mode']!r}.")

    def _apply(self, samples: Any) -> Any:
        return np.abs(samples) if self.config["mode"] == "full" else np.maximum(samples, 0)


class Log(Elementwise):
    """``log(samples + offset) / log(base)``: natural (``base`` None, the
    default), or to ``base`` (10 gives ``numpy.log10``, 2 ``numpy.log2``);
    ``offset`` (default 0) keeps zeros finite."""

    class Configuration(ChunkNode.Configuration):
        """Adds ``base`` and ``offset``."""

        class Keys(ChunkNode.Configuration.Keys):
            BASE = "base"
            OFFSET = "offset"

    def _check(self, entries: dict[str, Any]) -> None:
        base = entries.setdefault("base", None)
        if base is not None:
            check_positive(type(self).__name__, "base", base)
        entries["offset"] = _numbers(type(self).__name__, "offset", entries.get("offset", 0.0))

    def _apply(self, samples: Any) -> Any:
        base, offset = self.config["base"], self.config["offset"]
        shifted = samples + np.asarray(offset) if np.any(offset) else samples
        function: Callable[[Any], Any] = {None: np.log, 10: np.log10, 2: np.log2}.get(base, np.log)
        result = function(shifted)
        return result / math.log(base) if base not in (None, 10, 2) else result


class MovingAverage(ChunkNode):
    """The mean of each channel's last ``size`` samples (fewer zeros before the
    start): ``scipy.signal.lfilter(numpy.ones(size) / size, 1.0, x, axis=0)`` with
    its state carried across chunks.

    Configuration keys, besides those of `IONode`: ``size`` (samples, required).
    """

    class Configuration(ChunkNode.Configuration):
        """Adds ``size``."""

        class Keys(ChunkNode.Configuration.Keys):
            SIZE = "size"

    def _check(self, entries: dict[str, Any]) -> None:
        check_int(type(self).__name__, "size", entries.get("size"))

    def _configure(self, description: dict[str, Any]) -> dict[str, Any]:
        size = int(self.config["size"])
        self._taps = np.full(size, 1.0 / size)
        self._zi: Optional[Any] = None
        description[CHANNEL_FORMAT] = channel_format(np.float64)
        return description

    def _averaged(self, samples: Any) -> Any:
        if self._zi is None:
            self._zi = np.zeros((len(self._taps) - 1, samples.shape[1]), dtype=np.result_type(samples, self._taps))
        if samples.shape[0] == 0 or len(self._taps) == 1:
            return samples * self._taps[0]
        out, self._zi = signal.lfilter(self._taps, 1.0, samples, axis=0, zi=self._zi)
        return out

    def _process(self, samples: Any, timestamps: Any) -> list[dict[str, Any]]:
        return [make_chunk(self._averaged(samples), timestamps)]


class RMS(MovingAverage):
    """The root mean square of each channel's last ``size`` samples:
    ``sqrt(lfilter(ones(size) / size, 1.0, x ** 2, axis=0))``, state carried."""

    def _process(self, samples: Any, timestamps: Any) -> list[dict[str, Any]]:
        squared = np.square(samples, dtype=np.float64)
        return [make_chunk(np.sqrt(np.maximum(self._averaged(squared), 0.0)), timestamps)]


class ZScore(ChunkNode):
    """Each channel as z-scores, adaptive or fixed.

    ``mode="adaptive"`` (default) follows the signal with exponential weights of
    time constant ``time_constant`` seconds, ``a = 1 - exp(-1 / (time_constant *
    rate))``; for sample ``n`` of the stream::

        m[n] = (1 - a) * m[n-1] + a * x[n]           (m[0] = x[0])
        v[n] = (1 - a) * v[n-1] + a * (x[n] - m[n])**2   (v[-1] = 0)
        z[n] = (x[n] - m[n]) / sqrt(v[n])             (0 where v[n] is 0)

    computed as ``lfilter`` with its state carried, so any chunking gives the
    same as this recurrence on the whole stream. ``mode="fixed"`` takes the mean
    and standard deviation (``numpy.mean``, ``numpy.std``) of the first
    ``calibration`` seconds, gives nothing until they have arrived, then gives
    every sample from the first on as ``(x - mean) / std``.

    Configuration keys, besides those of `IONode`: ``mode``, ``time_constant``
    (seconds, default 10), ``calibration`` (seconds, default 10), ``rate`` (as
    for `Filter`). Output float64.
    """

    class Configuration(ChunkNode.Configuration):
        """Adds ``mode``, ``time_constant``, ``calibration`` and ``rate``."""

        class Keys(ChunkNode.Configuration.Keys):
            MODE = "mode"
            TIME_CONSTANT = "time_constant"
            CALIBRATION = "calibration"
            RATE = "rate"

    def _check(self, entries: dict[str, Any]) -> None:
        owner = type(self).__name__
        if entries.setdefault("mode", "adaptive") not in ("adaptive", "fixed"):
            raise ValueError(f"{owner}: mode must be 'adaptive' or 'fixed', got {entries['mode']!r}.")
        check_positive(owner, "time_constant", entries.setdefault("time_constant", 10.0))
        check_positive(owner, "calibration", entries.setdefault("calibration", 10.0))
        if entries.get("rate") is not None:
            check_positive(owner, "rate", entries["rate"])

    def _configure(self, description: dict[str, Any]) -> dict[str, Any]:
        rate = self._rate("rate", description)
        self._alpha = a = 1.0 - math.exp(-1.0 / (float(self.config["time_constant"]) * rate))
        self._adaptive = self.config["mode"] == "adaptive"
        self._ba = (np.array([a]), np.array([1.0, a - 1.0]))  # the recurrence as lfilter's coefficients
        self._needed = max(1, round(float(self.config["calibration"]) * rate))
        self._held: list[tuple[Any, Any]] = []
        self._stats: Optional[tuple[Any, Any]] = None
        self._zm: Optional[Any] = None
        self._zv: Optional[Any] = None
        description[CHANNEL_FORMAT] = channel_format(np.float64)
        return description

    def _process(self, samples: Any, timestamps: Any) -> list[dict[str, Any]]:
        x = np.asarray(samples, dtype=np.float64)
        if not self._adaptive:
            return self._fixed(x, timestamps)
        if x.shape[0] == 0:
            return [make_chunk(x, timestamps)]
        b, den = self._ba
        if self._zm is None:
            self._zm = (1.0 - self._alpha) * x[:1]
            self._zv = np.zeros((1, x.shape[1]))
        m, self._zm = signal.lfilter(b, den, x, axis=0, zi=self._zm)
        deviation = np.subtract(x, m, out=m)
        v, self._zv = signal.lfilter(b, den, np.square(deviation), axis=0, zi=self._zv)
        # (x - m) / sqrt(v) only where v > 0, so that no zero is divided by; 0 elsewhere.
        positive = v > 0
        np.sqrt(v, out=v, where=positive)
        return [make_chunk(np.where(positive, np.divide(deviation, v, out=deviation, where=positive), 0.0),
                           timestamps)]

    def _fixed(self, x: Any, timestamps: Any) -> list[dict[str, Any]]:
        if self._stats is None:
            self._held.append((x, timestamps))
            if sum(len(chunk) for chunk, _ in self._held) < self._needed:
                return []
            x = np.concatenate([chunk for chunk, _ in self._held])
            timestamps = np.concatenate([stamps for _, stamps in self._held])
            self._held = []
            calibration = x[:self._needed]
            self._stats = (calibration.mean(axis=0), calibration.std(axis=0))
        mean, std = self._stats
        with np.errstate(divide="ignore", invalid="ignore"):
            return [make_chunk(np.where(std > 0, (x - mean) / std, 0.0), timestamps)]


class Envelope(ChunkNode):
    """The Hilbert envelope, block by block: the stream is cut into blocks of
    ``size`` samples (samples ``k * size`` up to ``(k + 1) * size``, whatever its
    chunks) and each block gives ``abs(scipy.signal.hilbert(block, axis=0))`` once
    complete. The analytic signal needs the whole of what it transforms, so
    "streaming-exact" here is exact per block: the output equals the offline call
    on each block of the concatenated stream, late by up to a block, with the
    edge effects of the transform at every block boundary (choose blocks long
    against the slowest period of interest).

    Configuration keys, besides those of `IONode`: ``size`` (samples, required).
    Output float64.
    """

    class Configuration(ChunkNode.Configuration):
        """Adds ``size``."""

        class Keys(ChunkNode.Configuration.Keys):
            SIZE = "size"

    def _check(self, entries: dict[str, Any]) -> None:
        check_int(type(self).__name__, "size", entries.get("size"), least=2)

    def _configure(self, description: dict[str, Any]) -> dict[str, Any]:
        self._blocks = Blocks(int(self.config["size"]))
        description[CHANNEL_FORMAT] = channel_format(np.float64)
        return description

    def _process(self, samples: Any, timestamps: Any) -> list[dict[str, Any]]:
        samples, timestamps, whole = self._blocks.whole(samples, timestamps)
        if whole == 0:
            return []
        blocks = samples[:whole].reshape(-1, self._blocks.size, samples.shape[1])
        envelope = np.abs(signal.hilbert(blocks, axis=1)).reshape(whole, samples.shape[1])
        return [make_chunk(envelope, timestamps[:whole])]


_AGGREGATES: dict[str, Callable[..., Any]] = {"mean": np.mean, "max": np.max, "min": np.min, "sum": np.sum, "std": np.std,
               "median": np.median}


class Aggregate(ChunkNode):
    """One statistic along an axis: ``function`` (``"mean"``, the default,
    ``"max"``, ``"min"``, ``"sum"``, ``"std"`` or ``"median"``, as numpy's) over
    the channels of each sample (``axis="channel"``, the default: one channel
    named after the function) or over the samples of each chunk (``axis="time"``:
    one sample per chunk, stamped with its last timestamp; after `Window`, one
    per window)."""

    class Configuration(ChunkNode.Configuration):
        """Adds ``function`` and ``axis``."""

        class Keys(ChunkNode.Configuration.Keys):
            FUNCTION = "function"
            AXIS = "axis"

    def _check(self, entries: dict[str, Any]) -> None:
        owner = type(self).__name__
        if entries.setdefault("function", "mean") not in _AGGREGATES:
            raise ValueError(f"{owner}: function must be one of {', '.join(map(repr, _AGGREGATES))}, "
                             f"got {entries['function']!r}.")
        if entries.setdefault("axis", "channel") not in ("channel", "time"):
            raise ValueError(f"{owner}: axis must be 'channel' or 'time', got {entries['axis']!r}.")

    def _configure(self, description: dict[str, Any]) -> dict[str, Any]:
        self._function = _AGGREGATES[self.config["function"]]
        self._over_time = self.config["axis"] == "time"
        if self._over_time:
            hop = description.pop("window_hop", None)
            description.pop("window_size", None)
            rate = description.get(NOMINAL_SRATE)
            description[NOMINAL_SRATE] = rate / hop if isinstance(hop, int) and isinstance(rate, (int, float)) \
                else 0.0
            return description
        return with_channels(description, [str(self.config["function"])])

    def _process(self, samples: Any, timestamps: Any) -> list[dict[str, Any]]:
        if self._over_time:
            if samples.shape[0] == 0:
                return []
            return [make_chunk(self._function(samples, axis=0, keepdims=True), timestamps[-1:])]
        return [make_chunk(self._function(samples, axis=1, keepdims=True), timestamps)]


__all__ = ["Abs", "Aggregate", "Clip", "Elementwise", "Envelope", "Log", "MovingAverage", "Offset", "RMS",
           "Rectify", "Scale", "ZScore"]
