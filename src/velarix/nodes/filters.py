"""Filtering nodes: IIR (Butterworth, Chebyshev, elliptic, Bessel), FIR, notch
and comb filters, decimation and a polyphase resampler, all carrying their state
across chunks so that a stream gives what one offline call gives."""

from __future__ import annotations

import functools
import math
from fractions import Fraction
from typing import Any, Optional

from ._base import EXTRA_HINT, ChunkNode, check_int, check_positive, check_rate
from ._design import check_window, window_argument
from .axes import CHANNEL_FORMAT, NOMINAL_SRATE, channel_format, dtype_of, make_chunk

try:
    import numpy as np
    from scipy import signal  # type: ignore[import-untyped]
except ImportError as _error:  # pragma: no cover - the extra is installed by make test
    raise ImportError(EXTRA_HINT) from _error

_BTYPES = ("lowpass", "highpass", "bandpass", "bandstop", "low", "high", "band", "pass", "stop",
           "lp", "hp", "bp", "bs")


class _StatefulFilter(ChunkNode):
    """A linear filter over each channel whose state (``zi``) goes from chunk to
    chunk, starting at rest: second-order sections through ``sosfilt``, or ``b``,
    ``a`` through ``lfilter``. Subclasses design it for the input's rate."""

    class Configuration(ChunkNode.Configuration):
        """Adds ``rate``."""

        class Keys(ChunkNode.Configuration.Keys):
            RATE = "rate"

    def _check(self, entries: dict[str, Any]) -> None:
        rate = check_rate(type(self).__name__, self.Configuration.Keys.RATE, entries.get(self.Configuration.Keys.RATE))
        self._check_design(entries)
        if rate is not None:
            self._designed(type(self).__name__, entries, rate)  # a design scipy refuses fails here

    def _check_design(self, entries: dict[str, Any]) -> None:
        """Check and normalise the design's keys."""

    def _designed(self, owner: str, config: Any, rate: float) -> tuple[Any, ...]:
        try:
            return self._design(config, rate)
        except ValueError as error:
            keys = ", ".join(f"{k} {config[k]!r}" for k in self._design_keys() if k in config)
            raise ValueError(f"{owner}: cannot design the filter ({keys}, rate {rate} Hz): {error}") from error

    def _design_keys(self) -> tuple[str, ...]:
        return ()

    def _design(self, config: Any, rate: float) -> tuple[Any, ...]:
        """``("sos", sos)`` or ``("ba", b, a)`` for `rate` Hz."""
        raise NotImplementedError

    def _configure(self, description: dict[str, Any]) -> dict[str, Any]:
        self._fs = self._rate(self.Configuration.Keys.RATE, description)
        self._filter = self._designed(self._owner(), self.config, self._fs)
        self._zi: Optional[Any] = None
        description[CHANNEL_FORMAT] = channel_format(np.float64)
        return description

    def _filtered(self, samples: Any) -> Any:
        design = self._filter
        if self._zi is None:
            coefficients = design[1:]
            dtype = np.result_type(*coefficients, samples)
            if design[0] == "sos":
                self._zi = np.zeros((design[1].shape[0], 2, samples.shape[1]), dtype=dtype)
            else:
                order = max(len(design[1]), len(design[2])) - 1
                self._zi = np.zeros((order, samples.shape[1]), dtype=dtype)
        if samples.shape[0] == 0:  # sosfilt and lfilter refuse an empty chunk
            return np.zeros(samples.shape, dtype=self._zi.dtype)
        if design[0] == "sos":
            filtered, self._zi = signal.sosfilt(design[1], samples, axis=0, zi=self._zi)
        elif self._zi.shape[0] == 0:  # no state: a plain product
            filtered = signal.lfilter(design[1], design[2], samples, axis=0)
        else:
            filtered, self._zi = signal.lfilter(design[1], design[2], samples, axis=0, zi=self._zi)
        return filtered

    def _process(self, samples: Any, timestamps: Any) -> list[dict[str, Any]]:
        return [make_chunk(self._filtered(samples), timestamps)]


#: Filter's kinds of design, each the scipy.signal function of that name.
KINDS = ("butter", "cheby1", "cheby2", "ellip", "bessel")


class Filter(_StatefulFilter):
    """An IIR filter over each channel, as second-order sections: Butterworth by
    default, or Chebyshev type I or II, elliptic or Bessel.

    Designed exactly as scipy's function of the kind designs it, e.g.
    ``scipy.signal.butter(order, cutoff, btype, fs=rate, output="sos")`` or
    ``scipy.signal.ellip(order, ripple, attenuation, cutoff, btype, fs=rate,
    output="sos")``, and applied as ``scipy.signal.sosfilt`` along time with its
    state (``zi``) carried from chunk to chunk, starting at rest: the stream's
    output equals ``sosfilt(sos, all_samples, axis=0)`` on the concatenated input.

    Configuration keys, besides those of `IONode`:

    - ``order``: the filter order (int, at least 1). Required.
    - ``cutoff``: the corner frequency in Hz, or ``[low, high]`` for band filters.
      Required.
    - ``btype``: ``"lowpass"`` (default), ``"highpass"``, ``"bandpass"`` or
      ``"bandstop"`` (or scipy's other spellings of them).
    - ``kind``: ``"butter"`` (default), ``"cheby1"``, ``"cheby2"``, ``"ellip"`` or
      ``"bessel"``.
    - ``ripple``: the pass band's ripple in dB (cheby1, ellip; default 1).
    - ``attenuation``: the stop band's least attenuation in dB (cheby2, ellip;
      default 40).
    - ``rate``: the input's sample rate in Hz; default: the ``nominal_srate`` of
      the input's metadata. Given, it wins (a differing description is a WARNING).

    The output is what sosfilt gives (float64 for float32 or integer input); the
    description passed on says ``channel_format: "double64"`` then.

    Raises:
        TypeError, ValueError: a key of the wrong type or value, or a design
            scipy refuses (a cutoff at or above half the rate, say).
    """

    class Configuration(_StatefulFilter.Configuration):
        """Adds ``order``, ``cutoff``, ``btype``, ``kind``, ``ripple`` and ``attenuation``."""

        class Keys(_StatefulFilter.Configuration.Keys):
            ORDER = "order"
            CUTOFF = "cutoff"
            BTYPE = "btype"
            KIND = "kind"
            RIPPLE = "ripple"
            ATTENUATION = "attenuation"

    def _check_design(self, entries: dict[str, Any]) -> None:
        owner = type(self).__name__
        keys = self.Configuration.Keys
        check_int(owner, keys.ORDER, entries.get(keys.ORDER))
        _check_cutoff(owner, keys.CUTOFF, entries)
        _check_btype(owner, keys.BTYPE, entries)
        kind = entries.get(keys.KIND, "butter")
        if kind not in KINDS:
            raise ValueError(f"{owner}: {keys.KIND} must be one of {', '.join(map(repr, KINDS))}, got {kind!r}.")
        if kind in ("cheby1", "ellip"):
            check_positive(owner, keys.RIPPLE, entries.setdefault(keys.RIPPLE, 1.0))
        if kind in ("cheby2", "ellip"):
            check_positive(owner, keys.ATTENUATION, entries.setdefault(keys.ATTENUATION, 40.0))

    def _design_keys(self) -> tuple[str, ...]:
        keys = self.Configuration.Keys
        return (keys.KIND, keys.ORDER, keys.CUTOFF, keys.BTYPE)

    def _design(self, config: Any, rate: float) -> tuple[Any, ...]:
        keys = self.Configuration.Keys
        kind = config.get(keys.KIND, "butter")
        order, cutoff, btype = config[keys.ORDER], config[keys.CUTOFF], config[keys.BTYPE]
        specs = {"cheby1": (config.get(keys.RIPPLE),), "cheby2": (config.get(keys.ATTENUATION),),
                 "ellip": (config.get(keys.RIPPLE), config.get(keys.ATTENUATION))}.get(kind, ())
        return ("sos", getattr(signal, kind)(order, *specs, cutoff, btype, fs=rate, output="sos"))


class FIR(_StatefulFilter):
    """A windowed-sinc FIR filter over each channel: taps designed as
    ``scipy.signal.firwin(taps, cutoff, window=window, pass_zero=btype, fs=rate)``
    and applied as ``scipy.signal.lfilter(taps, 1.0, x, axis=0)`` with its state
    carried across chunks (equal to one offline call on the whole input).

    Configuration keys, besides those of `IONode`:

    - ``taps``: the number of taps (int, odd for high-pass and band-stop). Required.
    - ``cutoff``: Hz, or ``[low, high]``. Required.
    - ``btype``: ``"lowpass"`` (default), ``"highpass"``, ``"bandpass"``, ``"bandstop"``.
    - ``window``: firwin's window (default ``"hamming"``).
    - ``rate``: as for `Filter`.

    Raises:
        TypeError, ValueError: a bad key, or a design scipy refuses.
    """

    class Configuration(_StatefulFilter.Configuration):
        """Adds ``taps``, ``cutoff``, ``btype`` and ``window``."""

        class Keys(_StatefulFilter.Configuration.Keys):
            TAPS = "taps"
            CUTOFF = "cutoff"
            BTYPE = "btype"
            WINDOW = "window"

    def _check_design(self, entries: dict[str, Any]) -> None:
        owner = type(self).__name__
        keys = self.Configuration.Keys
        check_int(owner, keys.TAPS, entries.get(keys.TAPS))
        _check_cutoff(owner, keys.CUTOFF, entries)
        btype = _check_btype(owner, keys.BTYPE, entries)
        if btype not in ("lowpass", "highpass", "bandpass", "bandstop"):
            raise ValueError(f"{owner}: {keys.BTYPE} must be 'lowpass', 'highpass', 'bandpass' or 'bandstop'.")
        entries.setdefault(keys.WINDOW, "hamming")

    def _design_keys(self) -> tuple[str, ...]:
        keys = self.Configuration.Keys
        return (keys.TAPS, keys.CUTOFF, keys.BTYPE)

    def _design(self, config: Any, rate: float) -> tuple[Any, ...]:
        keys = self.Configuration.Keys
        taps = signal.firwin(config[keys.TAPS], config[keys.CUTOFF], pass_zero=config[keys.BTYPE], fs=rate,
                             window=window_argument(config[keys.WINDOW]))
        return ("ba", taps, np.ones(1))


class _Resonant(_StatefulFilter):
    """A second-order IIR design at one frequency with a quality (Q) factor,
    applied as ``lfilter`` with its state carried."""

    class Configuration(_StatefulFilter.Configuration):
        """Adds ``frequency`` and ``quality``."""

        class Keys(_StatefulFilter.Configuration.Keys):
            FREQUENCY = "frequency"
            QUALITY = "quality"

    def _check_design(self, entries: dict[str, Any]) -> None:
        owner = type(self).__name__
        keys = self.Configuration.Keys
        check_positive(owner, keys.FREQUENCY, entries.get(keys.FREQUENCY))
        check_positive(owner, keys.QUALITY, entries.setdefault(keys.QUALITY, 30.0))
        self._check_form(owner, entries)

    def _check_form(self, owner: str, entries: dict[str, Any]) -> None:
        """Check and normalise the key that picks the design's form."""

    def _design_keys(self) -> tuple[str, ...]:
        return (self.Configuration.Keys.FREQUENCY, self.Configuration.Keys.QUALITY)

    def _design(self, config: Any, rate: float) -> tuple[Any, ...]:
        keys = self.Configuration.Keys
        b, a = self._designer(config)(config[keys.FREQUENCY], config[keys.QUALITY], fs=rate)
        return ("ba", b, a)

    def _designer(self, config: Any) -> Any:
        """The scipy.signal function that designs ``b, a`` from the frequency,
        the quality and ``fs``."""
        raise NotImplementedError


class Notch(_Resonant):
    """A second-order IIR notch (or peak) at one frequency: ``b, a =
    scipy.signal.iirnotch(frequency, quality, fs=rate)`` (``iirpeak`` with
    ``peak=True``), applied as ``lfilter(b, a, x, axis=0)`` with its state carried.

    Configuration keys, besides those of `IONode`: ``frequency`` (Hz, required),
    ``quality`` (the Q factor, default 30), ``peak`` (default False), ``rate`` (as
    for `Filter`).
    """

    class Configuration(_Resonant.Configuration):
        """Adds ``frequency``, ``quality`` and ``peak``."""

        class Keys(_Resonant.Configuration.Keys):
            PEAK = "peak"

    def _check_form(self, owner: str, entries: dict[str, Any]) -> None:
        if not isinstance(entries.setdefault(self.Configuration.Keys.PEAK, False), bool):
            raise TypeError(f"{owner}: {self.Configuration.Keys.PEAK} must be True or False.")

    def _designer(self, config: Any) -> Any:
        return signal.iirpeak if config[self.Configuration.Keys.PEAK] else signal.iirnotch


class Comb(_Resonant):
    """An IIR comb at a frequency and its harmonics (mains hum, say): ``b, a =
    scipy.signal.iircomb(frequency, quality, ftype=comb, fs=rate)``, applied as
    ``lfilter`` with its state carried. ``rate / frequency`` must be a whole number.

    Configuration keys, besides those of `IONode`: ``frequency`` (Hz, required),
    ``quality`` (default 30), ``comb`` (``"notch"``, the default, or ``"peak"``),
    ``rate`` (as for `Filter`).
    """

    class Configuration(_Resonant.Configuration):
        """Adds ``frequency``, ``quality`` and ``comb``."""

        class Keys(_Resonant.Configuration.Keys):
            COMB = "comb"

    def _check_form(self, owner: str, entries: dict[str, Any]) -> None:
        if entries.setdefault(self.Configuration.Keys.COMB, "notch") not in ("notch", "peak"):
            raise ValueError(f"{owner}: {self.Configuration.Keys.COMB} must be 'notch' or 'peak'.")

    def _designer(self, config: Any) -> Any:
        return functools.partial(signal.iircomb, ftype=config[self.Configuration.Keys.COMB])


class Decimate(_StatefulFilter):
    """Anti-alias filter and keep every ``factor``-th sample, as
    ``scipy.signal.decimate(x, factor, n=order, ftype="iir", zero_phase=False,
    axis=0)``: a Chebyshev I low-pass (``cheby1(order, 0.05, 0.8 / factor,
    output="sos")`` in the input's float type) through ``sosfilt`` with its state
    carried, then samples ``0, factor, 2 * factor, ...`` of the whole stream.

    Configuration keys, besides those of `IONode`: ``factor`` (int, at least 2,
    required), ``order`` (default 8), ``rate`` (as for `Filter`; only for the
    description). The description passed on has ``nominal_srate / factor``.
    """

    class Configuration(_StatefulFilter.Configuration):
        """Adds ``factor`` and ``order``."""

        class Keys(_StatefulFilter.Configuration.Keys):
            FACTOR = "factor"
            ORDER = "order"

    def _check_design(self, entries: dict[str, Any]) -> None:
        owner = type(self).__name__
        check_int(owner, self.Configuration.Keys.FACTOR, entries.get(self.Configuration.Keys.FACTOR), least=2)
        check_int(owner, self.Configuration.Keys.ORDER, entries.setdefault(self.Configuration.Keys.ORDER, 8))

    def _design(self, config: Any, rate: float) -> tuple[Any, ...]:
        keys = self.Configuration.Keys
        return ("sos", signal.cheby1(config[keys.ORDER], 0.05, 0.8 / config[keys.FACTOR], output="sos"))

    def _configure(self, description: dict[str, Any]) -> dict[str, Any]:
        self._factor = int(self.config[self.Configuration.Keys.FACTOR])
        self._phase = 0  # input samples to pass over before the next one kept
        self._filter = self._design(self.config, 1.0)  # in units of the rate: needs none
        self._zi = None
        rate = self.config.get(self.Configuration.Keys.RATE) or description.get(NOMINAL_SRATE)
        if isinstance(rate, (int, float)) and rate > 0:
            description[NOMINAL_SRATE] = float(rate) / self._factor
        dtype = dtype_of(description)
        if dtype is not None and not np.issubdtype(dtype, np.floating):
            description[CHANNEL_FORMAT] = channel_format(np.float64)  # integers are filtered as float64
        return description

    def _process(self, samples: Any, timestamps: Any) -> list[dict[str, Any]]:
        if self._zi is None:  # decimate filters floating input in its own type
            dtype = samples.dtype if np.issubdtype(samples.dtype, np.floating) else np.float64
            self._filter = ("sos", np.asarray(self._filter[1], dtype=dtype))
        kept = _every(self._phase, self._factor, samples.shape[0])
        self._phase = (self._phase - samples.shape[0]) % self._factor
        return [make_chunk(self._filtered(samples)[kept], timestamps[kept])]


class Downsample(ChunkNode):
    """Keep every ``factor``-th sample, no filtering: samples ``0, factor, 2 *
    factor, ...`` of the whole stream (``x[::factor]`` offline).

    Configuration keys, besides those of `IONode`: ``factor`` (int, at least 1,
    required). The description passed on has ``nominal_srate / factor``.
    """

    class Configuration(ChunkNode.Configuration):
        """Adds ``factor``."""

        class Keys(ChunkNode.Configuration.Keys):
            FACTOR = "factor"

    def _check(self, entries: dict[str, Any]) -> None:
        check_int(type(self).__name__, self.Configuration.Keys.FACTOR, entries.get(self.Configuration.Keys.FACTOR))

    def _configure(self, description: dict[str, Any]) -> dict[str, Any]:
        self._factor = int(self.config[self.Configuration.Keys.FACTOR])
        self._phase = 0
        rate = description.get(NOMINAL_SRATE)
        if isinstance(rate, (int, float)) and rate > 0:
            description[NOMINAL_SRATE] = float(rate) / self._factor
        return description

    def _process(self, samples: Any, timestamps: Any) -> list[dict[str, Any]]:
        kept = _every(self._phase, self._factor, samples.shape[0])
        self._phase = (self._phase - samples.shape[0]) % self._factor
        return [make_chunk(samples[kept], timestamps[kept])]


def _every(phase: int, factor: int, length: int) -> slice:
    """The chunk's samples that fall on the stream's every `factor`-th, the first
    `phase` samples in."""
    return slice(phase, None, factor) if phase < length else slice(0, 0)


def _check_cutoff(owner: str, key: str, entries: dict[str, Any]) -> None:
    cutoff = entries.get(key)
    if isinstance(cutoff, tuple):
        cutoff = entries[key] = list(cutoff)
    numbers = cutoff if isinstance(cutoff, list) else [cutoff]
    if not numbers or len(numbers) > 2 or not all(
            isinstance(c, (int, float)) and not isinstance(c, bool) and math.isfinite(c) for c in numbers):
        raise TypeError(f"{owner}: {key} must be a frequency in Hz or [low, high], got {cutoff!r}.")


_BTYPE_NAMES = {"low": "lowpass", "lp": "lowpass", "high": "highpass", "hp": "highpass", "band": "bandpass",
                "pass": "bandpass", "bp": "bandpass", "stop": "bandstop", "bs": "bandstop"}


def _check_btype(owner: str, key: str, entries: dict[str, Any]) -> str:
    btype = entries.setdefault(key, "lowpass")
    if btype not in _BTYPES:
        raise ValueError(f"{owner}: {key} must be one of 'lowpass', 'highpass', 'bandpass', "
                         f"'bandstop', got {btype!r}.")
    return str(_BTYPE_NAMES.get(btype, btype))


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
        check_window(owner, entries, ["kaiser", 5.0])
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
        h = signal.firwin(2 * half_len + 1, 1.0 / max(up, down),
                          window=window_argument(self.config[self.Configuration.Keys.WINDOW]))
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


__all__ = ["Comb", "Decimate", "Downsample", "FIR", "Filter", "KINDS", "Notch", "Resample"]
