"""Filtering nodes: a Butterworth filter and a polyphase resampler, both carrying
their state across chunks so that a stream gives what one offline call gives."""

from __future__ import annotations

import math
from fractions import Fraction
from typing import Any, Optional

from ._base import (CHANNEL_FORMAT, NOMINAL_SRATE, EXTRA_HINT, ChunkNode, channel_format,
                    check_int, check_rate, make_chunk)

try:
    import numpy as np
    from scipy import signal  # type: ignore[import-untyped]
except ImportError as _error:  # pragma: no cover - the extra is installed by make test
    raise ImportError(EXTRA_HINT) from _error

_BTYPES = ("lowpass", "highpass", "bandpass", "bandstop", "low", "high", "band", "pass", "stop",
           "lp", "hp", "bp", "bs")


class Filter(ChunkNode):
    """A Butterworth filter over each channel, as second-order sections.

    Designed exactly as ``scipy.signal.butter(order, cutoff, btype, fs=rate,
    output="sos")`` and applied as ``scipy.signal.sosfilt`` along time with its
    state (``zi``) carried from chunk to chunk, starting at rest: the stream's
    output equals ``sosfilt(sos, all_samples, axis=0)`` on the concatenated input.

    Configuration keys, besides those of `IONode`:

    - ``order``: the filter order (int, at least 1). Required.
    - ``cutoff``: the corner frequency in Hz, or ``[low, high]`` for band filters.
      Required.
    - ``btype``: ``"lowpass"`` (default), ``"highpass"``, ``"bandpass"`` or
      ``"bandstop"`` (or scipy's other spellings of them).
    - ``rate``: the input's sample rate in Hz; default: the ``nominal_srate`` of
      the input's metadata. Given, it wins (a differing description is a WARNING).

    The output is what sosfilt gives (float64 for float32 or integer input); the
    description passed on says ``channel_format: "double64"`` then.

    Raises:
        TypeError, ValueError: a key of the wrong type or value, or a design
            scipy refuses (a cutoff at or above half the rate, say).
    """

    class Configuration(ChunkNode.Configuration):
        """Adds ``order``, ``cutoff``, ``btype`` and ``rate``."""

        class Keys(ChunkNode.Configuration.Keys):
            ORDER = "order"
            CUTOFF = "cutoff"
            BTYPE = "btype"
            RATE = "rate"

    def _check(self, entries: dict[str, Any]) -> None:
        owner = type(self).__name__
        keys = self.Configuration.Keys
        check_int(owner, keys.ORDER, entries.get(keys.ORDER))
        cutoff = entries.get(keys.CUTOFF)
        if isinstance(cutoff, tuple):
            cutoff = entries[keys.CUTOFF] = list(cutoff)
        numbers = cutoff if isinstance(cutoff, list) else [cutoff]
        if not numbers or len(numbers) > 2 or not all(
                isinstance(c, (int, float)) and not isinstance(c, bool) and math.isfinite(c) for c in numbers):
            raise TypeError(f"{owner}: {keys.CUTOFF} must be a frequency in Hz or [low, high], got {cutoff!r}.")
        btype = entries.setdefault(keys.BTYPE, "lowpass")
        if btype not in _BTYPES:
            raise ValueError(f"{owner}: {keys.BTYPE} must be one of 'lowpass', 'highpass', 'bandpass', "
                             f"'bandstop', got {btype!r}.")
        rate = check_rate(owner, keys.RATE, entries.get(keys.RATE))
        if rate is not None:
            self._sos = _design(owner, entries, rate)  # a design scipy refuses fails here

    def _configure(self, description: dict[str, Any]) -> dict[str, Any]:
        rate = self._rate(self.Configuration.Keys.RATE, description)
        self._sos = _design(self._owner(), self.config, rate)
        self._zi: Optional[Any] = None
        description[CHANNEL_FORMAT] = channel_format(np.float64)
        return description

    def _process(self, samples: Any, timestamps: Any) -> list[dict[str, Any]]:
        if self._zi is None:
            dtype = np.result_type(self._sos, samples)
            self._zi = np.zeros((self._sos.shape[0], 2, samples.shape[1]), dtype=dtype)
        if samples.shape[0] == 0:  # sosfilt refuses an empty chunk
            return [make_chunk(np.zeros(samples.shape, dtype=self._zi.dtype), timestamps)]
        filtered, self._zi = signal.sosfilt(self._sos, samples, axis=0, zi=self._zi)
        return [make_chunk(filtered, timestamps)]


def _design(owner: str, config: Any, rate: float) -> Any:
    keys = Filter.Configuration.Keys
    try:
        return signal.butter(config[keys.ORDER], config[keys.CUTOFF], config[keys.BTYPE], fs=rate,
                             output="sos")
    except ValueError as error:
        raise ValueError(f"{owner}: cannot design the filter (order {config[keys.ORDER]}, cutoff "
                         f"{config[keys.CUTOFF]}, {config[keys.BTYPE]}, rate {rate} Hz): {error}") from error


class Resample(ChunkNode):
    """Changes the sample rate by a rational factor, polyphase, as
    ``scipy.signal.resample_poly(x, up, down, axis=0, window=window)`` does
    (``up / down`` is ``rate / input rate`` in lowest terms; zero padding).

    The node keeps the last input samples that later outputs need and filters
    them with the same filter (``firwin`` of ``2 * 10 * max(up, down) + 1`` taps,
    cutoff ``1 / max(up, down)``, times ``up``) through ``scipy.signal.upfirdn``
    on a buffer aligned to the offline output grid. Output sample ``m`` is the
    value at input position ``m * down / up`` and leaves once every input sample
    under the padded filter has arrived, about ``10 * max(up, down) / up`` input
    samples later. With ``half = 10 * max(up, down)`` and ``pad = down - half %
    down`` (resample_poly's own padding), after input samples ``0 .. n-1`` the
    node has given exactly the outputs ``m`` with ``m * down + half + pad < n *
    up``, and each of
    them equals ``resample_poly`` of the whole concatenated input at index ``m``
    (the same sums; any later input leaves them unchanged). The ones offline
    gives beyond that, at the very end, use zeros in place of samples that have
    not come yet: a stream that goes on never has them. An output's timestamp is
    the input timestamps interpolated linearly at ``m * down / up``.

    Configuration keys, besides those of `IONode`:

    - ``rate``: the output rate in Hz. Required.
    - ``input_rate``: the input's rate in Hz; default: the ``nominal_srate`` of
      the input's metadata (given, it wins).
    - ``window``: the FIR design window, as for ``resample_poly`` (default
      ``["kaiser", 5.0]``).

    The ratio must reduce to ``up`` and ``down`` of at most 1000 each.
    The description passed on gets ``nominal_srate: rate``.

    Raises:
        TypeError, ValueError: a key of the wrong type or value.
    """

    MAX_FACTOR = 1000

    class Configuration(ChunkNode.Configuration):
        """Adds ``rate``, ``input_rate`` and ``window``."""

        class Keys(ChunkNode.Configuration.Keys):
            RATE = "rate"
            INPUT_RATE = "input_rate"
            WINDOW = "window"

    def _check(self, entries: dict[str, Any]) -> None:
        owner = type(self).__name__
        keys = self.Configuration.Keys
        rate = check_rate(owner, keys.RATE, entries.get(keys.RATE), required=True)
        source = check_rate(owner, keys.INPUT_RATE, entries.get(keys.INPUT_RATE))
        window = entries.setdefault(keys.WINDOW, ["kaiser", 5.0])
        if isinstance(window, tuple):
            window = entries[keys.WINDOW] = list(window)
        try:
            signal.get_window(window if isinstance(window, str) else tuple(window), 8)
        except (TypeError, ValueError) as error:
            raise ValueError(f"{owner}: {keys.WINDOW} {window!r} is not a window scipy knows: {error}") from error
        if source is not None:
            assert rate is not None
            _factors(owner, rate, source)

    def _configure(self, description: dict[str, Any]) -> dict[str, Any]:
        owner = self._owner()
        keys = self.Configuration.Keys
        rate = float(self.config[keys.RATE])
        self._up, self._down = _factors(owner, rate, self._rate(keys.INPUT_RATE, description))
        self._h: Optional[Any] = None
        self._received = 0  # input samples so far
        self._start = 0  # input index of the buffer's first sample, a multiple of down
        self._next = 0  # the next output index
        self._buffer: Optional[Any] = None
        self._times: Optional[Any] = None
        description[NOMINAL_SRATE] = rate
        return description

    def _design(self, dtype: Any) -> None:
        up, down = self._up, self._down
        half_len = 10 * max(up, down)
        window = self.config[self.Configuration.Keys.WINDOW]
        h = signal.firwin(2 * half_len + 1, 1.0 / max(up, down),
                          window=window if isinstance(window, str) else tuple(window))
        # resample_poly filters floating input in its own dtype.
        h = np.asarray(h, dtype=dtype) if np.issubdtype(dtype, np.inexact) else np.asarray(h)
        h = h * up
        self._pre_pad = down - half_len % down
        self._pre_remove = (half_len + self._pre_pad) // down
        self._h = np.concatenate((np.zeros(self._pre_pad, dtype=h.dtype), h))

    def _process(self, samples: Any, timestamps: Any) -> list[dict[str, Any]]:
        if self._up == self._down:  # resample_poly copies the input then
            return [make_chunk(samples.copy(), timestamps.copy())]
        if self._h is None:
            self._design(samples.dtype)
            self._buffer = samples[:0]
            self._times = np.asarray(timestamps[:0], dtype=np.float64)
        assert self._h is not None and self._buffer is not None and self._times is not None
        up, down, h = self._up, self._down, self._h
        self._buffer = np.concatenate((self._buffer, samples))
        self._times = np.concatenate((self._times, timestamps))
        self._received += samples.shape[0]
        # Output m sits at upsampled position (m + pre_remove) * down of the padded
        # filter's output, and needs input up to that position // up.
        end = (self._received * up - 1) // down - self._pre_remove + 1
        results = []
        if end > self._next:
            filtered = signal.upfirdn(h, self._buffer, up, down, axis=0)
            shift = self._start * up // down - self._pre_remove  # output index of filtered[0]
            values = filtered[self._next - shift:end - shift]
            positions = np.arange(self._next, end, dtype=np.int64) * down
            index = positions // up - self._start
            fraction = (positions % up) / up
            before = self._times[index]
            after = self._times[np.minimum(index + 1, len(self._times) - 1)]
            results.append(make_chunk(values, before + fraction * (after - before)))
            self._next = end
        # Keep what the next output needs, from a multiple of down on, so that the
        # buffer's outputs stay on the offline grid.
        first = -(-((self._next + self._pre_remove) * down - len(h) + 1) // up)
        keep = max(self._start, (max(first, 0) // down) * down)
        if keep > self._start:
            self._buffer = self._buffer[keep - self._start:]
            self._times = self._times[keep - self._start:]
            self._start = keep
        return results


def _factors(owner: str, rate: float, source: float) -> tuple[int, int]:
    """up, down in lowest terms for `source` -> `rate` Hz."""
    ratio = (Fraction(rate) / Fraction(source)).limit_denominator(Resample.MAX_FACTOR)
    if abs(float(ratio) - rate / source) > 1e-9 * rate / source or max(ratio.numerator,
                                                                         ratio.denominator) > Resample.MAX_FACTOR:
        raise ValueError(f"{owner}: {source} Hz -> {rate} Hz is no ratio of whole numbers up to "
                         f"{Resample.MAX_FACTOR}.")
    return ratio.numerator, ratio.denominator


__all__ = ["Filter", "Resample"]
