"""Windowing nodes: sliding windows over a stream, and the power in frequency
bands of each window."""

from __future__ import annotations

import math
from typing import Any, Optional

from ._base import EXTRA_HINT, ChunkNode, check_int, check_rate
from ._design import check_detrend, check_window, window_argument
from .axes import (AXES, CHANNEL_COUNT, CHANNEL_FORMAT, CHANNEL_NAMES, FREQUENCIES, FREQUENCY, NOMINAL_SRATE, axes_of,
                   channel_format, make_chunk)

SAMPLE_RATE = "sample_rate"  # as spectra describe it

try:
    import numpy as np
    from scipy import signal  # type: ignore[import-untyped]
except ImportError as _error:  # pragma: no cover - the extra is installed by make test
    raise ImportError(EXTRA_HINT) from _error

#: Metadata keys Window adds: the window's length and hop, in input samples.
WINDOW_SIZE = "window_size"
WINDOW_HOP = "window_hop"


class Window(ChunkNode):
    """Sliding windows: window ``k`` is input samples ``k * hop`` up to
    ``k * hop + size`` (with their timestamps), given as one chunk once its last
    sample has arrived, so the windows are those of the concatenated input
    however it was cut into chunks. A chunk that completes several windows gives
    several values; ``hop`` above ``size`` leaves samples out between windows.

    Configuration keys, besides those of `IONode`:

    - ``size``: samples per window (int, at least 1). Required.
    - ``hop``: samples from one window's start to the next's (int, at least 1);
      default ``size`` (windows side by side).

    The description passed on keeps the input's (``nominal_srate`` is still the
    samples' rate) and adds ``window_size`` and ``window_hop``.

    Raises:
        TypeError, ValueError: a key of the wrong type or value.
    """

    class Configuration(ChunkNode.Configuration):
        """Adds ``size`` and ``hop``."""

        class Keys(ChunkNode.Configuration.Keys):
            SIZE = "size"
            HOP = "hop"

    def _check(self, entries: dict[str, Any]) -> None:
        owner = type(self).__name__
        keys = self.Configuration.Keys
        size = check_int(owner, keys.SIZE, entries.get(keys.SIZE))
        check_int(owner, keys.HOP, entries.setdefault(keys.HOP, size))

    def _configure(self, description: dict[str, Any]) -> dict[str, Any]:
        keys = self.Configuration.Keys
        self._size = int(self.config[keys.SIZE])
        self._hop = int(self.config[keys.HOP])
        self._samples: Optional[Any] = None
        self._times: Optional[Any] = None
        self._skip = 0  # input samples still to leave out before the next window starts
        description[WINDOW_SIZE] = self._size
        description[WINDOW_HOP] = self._hop
        return description

    def _process(self, samples: Any, timestamps: Any) -> list[dict[str, Any]]:
        if self._skip:
            dropped = min(self._skip, samples.shape[0])
            samples, timestamps = samples[dropped:], timestamps[dropped:]
            self._skip -= dropped
        if self._samples is None:
            buffered, times = samples, timestamps
        else:
            assert self._times is not None
            buffered = np.concatenate((self._samples, samples))
            times = np.concatenate((self._times, timestamps))
        size, hop = self._size, self._hop
        results = []
        start = 0
        while start + size <= buffered.shape[0]:
            # Copies: a window must not keep the whole buffer alive, nor share it.
            results.append(make_chunk(buffered[start:start + size].copy(), times[start:start + size].copy()))
            start += hop
        if start > buffered.shape[0]:
            self._skip = start - buffered.shape[0]
            start = buffered.shape[0]
        self._samples, self._times = buffered[start:], times[start:]
        return results


class BandPower(ChunkNode):
    """The mean power of each channel in each frequency band, once per input
    chunk (a window from `Window`, typically): the power spectral density of
    the chunk as ``scipy.signal.periodogram(samples, fs=rate, window=window,
    detrend=detrend, axis=0)`` gives it (``scaling="density"``), averaged over
    the frequencies ``f`` with ``low <= f <= high``.

    Given spectra (from `Welch` or `Spectrum`: chunks whose rows are the
    description's ``frequencies``), it averages their rows in each band instead.

    Each result is a chunk of one sample: channels in input order, each with its
    bands in the order given (``[c0_b0, c0_b1, ..., c1_b0, ...]``), stamped with
    the input chunk's last timestamp.

    Configuration keys, besides those of `IONode`:

    - ``bands``: ``{name: [low, high]}`` in Hz, or a list of ``[low, high]``
      (named ``"low-high"``). Required.
    - ``rate``: the input's sample rate in Hz; default: the input metadata's
      ``nominal_srate`` (given, it wins).
    - ``window``: the periodogram's window (default ``"hann"``).
    - ``detrend``: ``"constant"`` (default), ``"linear"`` or false.

    The description passed on has ``channel_count`` channels times bands,
    ``channel_names`` ``"<channel>_<band>"`` (channels named ``"0"``, ``"1"``...
    without names), ``channel_format`` ``"double64"``, ``bands``, and
    ``nominal_srate`` the input rate divided by the window's hop when the input
    comes from `Window`, else 0 (irregular).

    Raises:
        TypeError, ValueError: a key of the wrong type or value; a band that holds
            no frequency of the periodogram fails the first step.
    """

    class Configuration(ChunkNode.Configuration):
        """Adds ``bands``, ``rate``, ``window`` and ``detrend``."""

        class Keys(ChunkNode.Configuration.Keys):
            BANDS = "bands"
            RATE = "rate"
            WINDOW = "window"
            DETREND = "detrend"

    def _check(self, entries: dict[str, Any]) -> None:
        owner = type(self).__name__
        keys = self.Configuration.Keys
        bands = entries.get(keys.BANDS)
        if isinstance(bands, (list, tuple)):
            bands = {f"{_number(pair, 0)}-{_number(pair, 1)}" if _is_pair(pair) else str(index): pair
                     for index, pair in enumerate(bands)}
        if not isinstance(bands, dict) or not bands:
            raise TypeError(f"{owner}: {keys.BANDS} must be {{name: [low, high]}} or a list of [low, high], "
                            f"got {entries.get(keys.BANDS)!r}.")
        for name, pair in bands.items():
            if not isinstance(name, str) or not _is_pair(pair):
                raise TypeError(f"{owner}: band {name!r} must be named by a str and be [low, high] in Hz, "
                                f"got {pair!r}.")
            if not 0 <= pair[0] <= pair[1]:
                raise ValueError(f"{owner}: band {name!r} needs 0 <= low <= high, got {list(pair)}.")
        entries[keys.BANDS] = {name: [pair[0], pair[1]] for name, pair in bands.items()}
        check_rate(owner, keys.RATE, entries.get(keys.RATE))
        check_window(owner, entries)
        check_detrend(owner, entries, "constant")

    def _configure(self, description: dict[str, Any]) -> dict[str, Any]:
        keys = self.Configuration.Keys
        spectra = axes_of(description)[0] == FREQUENCY and isinstance(description.get(FREQUENCIES), list)
        self._fs = float(description.get(SAMPLE_RATE) or 0.0) if spectra else self._rate(keys.RATE, description)
        self._bands: dict[str, list[float]] = self.config[keys.BANDS]
        self._masks: Optional[list[Any]] = None
        self._length = -1
        self._window = window_argument(self.config[keys.WINDOW])
        self._detrend = self.config[keys.DETREND]
        names = description.get(CHANNEL_NAMES)
        count = description.get(CHANNEL_COUNT)
        if isinstance(names, list) and names:
            channels = [str(name) for name in names]
        elif isinstance(count, int) and count > 0:
            channels = [str(index) for index in range(count)]
        else:
            channels = []
        self._given = None  # the frequencies of spectra given as input
        if spectra:
            self._given = np.asarray(description[FREQUENCIES], dtype=np.float64)
            self._masks = self._band_masks(self._given, len(self._given))
        hop = description.get(WINDOW_HOP)
        out = dict(description)
        out.pop(WINDOW_SIZE, None)
        out.pop(WINDOW_HOP, None)
        if self._given is not None:  # spectra: already one per window
            for key in (AXES, FREQUENCIES, SAMPLE_RATE):
                out.pop(key, None)
        else:
            out[NOMINAL_SRATE] = self._fs / hop if isinstance(hop, int) and hop > 0 else 0.0
        out[CHANNEL_FORMAT] = channel_format(np.float64)
        out["bands"] = {name: list(pair) for name, pair in self._bands.items()}
        if channels:
            out[CHANNEL_COUNT] = len(channels) * len(self._bands)
            out[CHANNEL_NAMES] = [f"{channel}_{band}" for channel in channels for band in self._bands]
        else:
            out.pop(CHANNEL_NAMES, None)
        return out

    def _band_masks(self, freqs: Any, length: int) -> list[Any]:
        return _masks_of(self._owner(), self._bands, freqs, length, self._fs)

    def _process(self, samples: Any, timestamps: Any) -> list[dict[str, Any]]:
        if samples.shape[0] == 0:
            return []
        if self._given is not None:
            density = samples
        else:
            freqs, density = signal.periodogram(samples, fs=self._fs, window=self._window,
                                                detrend=self._detrend, axis=0)
            if samples.shape[0] != self._length or self._masks is None:
                self._masks = self._band_masks(freqs, samples.shape[0])
                self._length = samples.shape[0]
        assert self._masks is not None
        # float64 whatever the input, as the description says (a float32 window's
        # periodogram is float32).
        powers = np.stack([density[mask].mean(axis=0) for mask in self._masks], axis=1).astype(np.float64)
        return [make_chunk(powers.reshape(1, -1), np.asarray(timestamps[-1:], dtype=np.float64))]


def _masks_of(owner: str, bands: dict[str, list[float]], freqs: Any, length: int, fs: float) -> list[Any]:
    masks = []
    for name, (low, high) in bands.items():
        mask = (freqs >= low) & (freqs <= high)
        if not mask.any():
            raise ValueError(
                f"{owner}: band {name!r} ({low}-{high} Hz) holds no frequency of a "
                f"{length}-sample window at {fs} Hz (they are {fs / max(length, 1):g} Hz apart).")
        masks.append(mask)
    return masks


def _is_pair(pair: Any) -> bool:
    return (isinstance(pair, (list, tuple)) and len(pair) == 2
            and all(isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v) for v in pair))


def _number(pair: Any, index: int) -> str:
    return f"{pair[index]:g}"


__all__ = ["Window", "BandPower", "WINDOW_SIZE", "WINDOW_HOP"]
