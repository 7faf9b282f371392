"""Frequency-domain nodes: the magnitude or power spectrum of each chunk (a
window), Welch's average of it, and a streaming spectrogram (short-time Fourier
transform with overlap).

A spectrum is a chunk whose rows are frequencies: samples ``(frequencies x
channels)``, axes ``["frequency", "channel"]``, the frequencies in Hz listed in
the description's ``frequencies``, every row stamped with the timestamp of the
last sample it covers. ``nominal_srate`` is then the rate of the spectra (one per
window: the sample rate over the window's hop; 0 when irregular) and
``sample_rate`` the rate of the samples they came from.
"""

from __future__ import annotations

from typing import Any, Optional

from ._base import EXTRA_HINT, ChunkNode, check_int
from ._design import check_detrend, check_window, window_argument
from .axes import AXES, CHANNEL, CHANNEL_FORMAT, FREQUENCIES, FREQUENCY, NOMINAL_SRATE, channel_format, make_chunk

try:
    import numpy as np
    from scipy import signal  # type: ignore[import-untyped]
except ImportError as _error:  # pragma: no cover - the extra is installed by make test
    raise ImportError(EXTRA_HINT) from _error

#: The description's key for the rate of the samples a spectrum came from.
SAMPLE_RATE = "sample_rate"


class _Spectral(ChunkNode):
    """Base of the nodes that give spectra: the output description."""

    class Configuration(ChunkNode.Configuration):
        """Adds ``rate``, ``window`` and ``detrend``."""

        class Keys(ChunkNode.Configuration.Keys):
            RATE = "rate"
            WINDOW = "window"
            DETREND = "detrend"

    def _spectrum_description(self, description: dict[str, Any], frequencies: Any, hop: Optional[int]) -> \
            dict[str, Any]:
        out = dict(description)
        hop = out.pop("window_hop", None) if hop is None else hop
        out.pop("window_size", None)
        out[SAMPLE_RATE] = self._fs
        out[NOMINAL_SRATE] = self._fs / hop if isinstance(hop, int) and hop > 0 else 0.0
        out[AXES] = [FREQUENCY, CHANNEL]
        out[FREQUENCIES] = [float(f) for f in frequencies]
        out[CHANNEL_FORMAT] = channel_format(np.float64)
        return out


class Spectrum(_Spectral):
    """The spectrum of each input chunk (a window from `Window`, typically), all
    of the chunk's samples at once:

    - ``scaling="magnitude"`` (default): ``abs(numpy.fft.rfft(w * x, axis=0))``
      with ``w = scipy.signal.get_window(window, n)`` and ``x`` detrended as
      ``scipy.signal.detrend(x, axis=0, type=detrend)`` unless ``detrend`` is
      False (the default);
    - ``"density"`` or ``"spectrum"``: ``scipy.signal.periodogram(x, fs=rate,
      window=window, detrend=detrend, scaling=scaling, axis=0)``.

    Keys, besides those of `IONode`: ``scaling``, ``window`` (default
    ``"hann"``), ``detrend``, ``size`` (the samples each chunk has: needed to
    list the frequencies in the description; default the input's
    ``window_size``), ``rate`` (as for `Filter`).
    """

    class Configuration(_Spectral.Configuration):
        """Adds ``scaling`` and ``size``."""

        class Keys(_Spectral.Configuration.Keys):
            SCALING = "scaling"
            SIZE = "size"

    def _check(self, entries: dict[str, Any]) -> None:
        owner = type(self).__name__
        if entries.setdefault("scaling", "magnitude") not in ("magnitude", "density", "spectrum"):
            raise ValueError(f"{owner}: scaling must be 'magnitude', 'density' or 'spectrum'.")
        check_window(owner, entries)
        check_detrend(owner, entries, False)
        if entries.get("size") is not None:
            check_int(owner, "size", entries["size"], least=2)

    def _configure(self, description: dict[str, Any]) -> dict[str, Any]:
        self._fs = self._rate("rate", description)
        size = self.config.get("size") or description.get("window_size")
        if not isinstance(size, int):
            raise ValueError(f"{self._owner()} needs the chunks' length: give size= or put a Window before it.")
        self._size = size
        self._w = signal.get_window(window_argument(self.config["window"]), size)[:, None]
        return self._spectrum_description(description, np.fft.rfftfreq(size, 1.0 / self._fs), None)

    def _process(self, samples: Any, timestamps: Any) -> list[dict[str, Any]]:
        if samples.shape[0] == 0:
            return []
        if samples.shape[0] != self._size:
            raise ValueError(f"{self._owner()}: a chunk has {samples.shape[0]} samples (shape {samples.shape}), "
                             f"the spectra {self._size}.")
        scaling, detrend = self.config["scaling"], self.config["detrend"]
        if scaling == "magnitude":
            x = samples if detrend is False else signal.detrend(samples, axis=0, type=detrend)
            out = np.abs(np.fft.rfft(self._w * x, axis=0))
        else:
            _, out = signal.periodogram(samples, fs=self._fs, window=window_argument(self.config["window"]),
                                        detrend=detrend, scaling=scaling, axis=0)
        return [make_chunk(np.asarray(out, dtype=np.float64), np.full(out.shape[0], timestamps[-1]))]


class Welch(_Spectral):
    """Welch's power spectral density of each input chunk (a window):
    ``scipy.signal.welch(x, fs=rate, window=window, nperseg=segment,
    noverlap=overlap, detrend=detrend, scaling=scaling, average=average,
    axis=0)``.

    Keys, besides those of `IONode`: ``segment`` (samples per segment,
    required), ``overlap`` (default half the segment), ``window`` (default
    ``"hann"``), ``detrend`` (default ``"constant"``), ``scaling``
    (``"density"``, the default, or ``"spectrum"``), ``average`` (``"mean"`` or
    ``"median"``), ``rate`` (as for `Filter`). Each chunk needs at least
    ``segment`` samples.
    """

    class Configuration(_Spectral.Configuration):
        """Adds ``segment``, ``overlap``, ``scaling`` and ``average``."""

        class Keys(_Spectral.Configuration.Keys):
            SEGMENT = "segment"
            OVERLAP = "overlap"
            SCALING = "scaling"
            AVERAGE = "average"

    def _check(self, entries: dict[str, Any]) -> None:
        owner = type(self).__name__
        _check_segments(owner, entries, 2, "hann")
        if entries.setdefault("average", "mean") not in ("mean", "median"):
            raise ValueError(f"{owner}: average must be 'mean' or 'median'.")

    def _configure(self, description: dict[str, Any]) -> dict[str, Any]:
        self._fs = self._rate("rate", description)
        self._segment = int(self.config["segment"])
        self._keys = dict(fs=self._fs, window=_window(self.config["window"], self._segment), nperseg=self._segment,
                          noverlap=int(self.config["overlap"]), detrend=self.config["detrend"],
                          scaling=self.config["scaling"], average=self.config["average"], axis=0)
        return self._spectrum_description(description, np.fft.rfftfreq(self._segment, 1.0 / self._fs), None)

    def _process(self, samples: Any, timestamps: Any) -> list[dict[str, Any]]:
        if samples.shape[0] == 0:
            return []
        if samples.shape[0] < self._segment:
            raise ValueError(f"{self._owner()}: a chunk has {samples.shape[0]} samples (shape {samples.shape}), "
                             f"fewer than a segment ({self._segment}); put a Window of at least that before it.")
        _, density = signal.welch(samples, **self._keys)
        return [make_chunk(np.asarray(density, dtype=np.float64), np.full(density.shape[0], timestamps[-1]))]


class Spectrogram(_Spectral):
    """A streaming short-time Fourier transform: segments of ``segment`` samples
    every ``segment - overlap`` samples of the whole stream (however it is
    chunked), each given, once its last sample has arrived, as one spectrum
    equal to the matching column of ``scipy.signal.spectrogram(x, fs=rate,
    window=window, nperseg=segment, noverlap=overlap, detrend=detrend,
    scaling=scaling, mode=mode, axis=0)`` on the concatenated input, stamped
    with the segment's last timestamp. A chunk that completes several segments
    gives several values.

    Keys, besides those of `IONode`: ``segment`` (required), ``overlap``
    (default ``segment // 8``, as scipy's), ``window`` (default ``["tukey",
    0.25]``, as scipy's), ``detrend`` (default ``"constant"``), ``scaling``
    (``"density"`` or ``"spectrum"``), ``mode`` (``"psd"``, ``"magnitude"``),
    ``rate`` (as for `Filter`).
    """

    class Configuration(_Spectral.Configuration):
        """Adds ``segment``, ``overlap``, ``scaling`` and ``mode``."""

        class Keys(_Spectral.Configuration.Keys):
            SEGMENT = "segment"
            OVERLAP = "overlap"
            SCALING = "scaling"
            MODE = "mode"

    def _check(self, entries: dict[str, Any]) -> None:
        owner = type(self).__name__
        _check_segments(owner, entries, 8, ["tukey", 0.25])
        if entries.setdefault("mode", "psd") not in ("psd", "magnitude"):
            raise ValueError(f"{owner}: mode must be 'psd' or 'magnitude'.")

    def _configure(self, description: dict[str, Any]) -> dict[str, Any]:
        self._fs = self._rate("rate", description)
        self._segment = int(self.config["segment"])
        self._hop = self._segment - int(self.config["overlap"])
        self._keys = dict(fs=self._fs, window=_window(self.config["window"], self._segment), nperseg=self._segment,
                          noverlap=int(self.config["overlap"]), detrend=self.config["detrend"],
                          scaling=self.config["scaling"], mode=self.config["mode"], axis=0)
        self._samples: Optional[Any] = None
        self._times: Optional[Any] = None
        return self._spectrum_description(description, np.fft.rfftfreq(self._segment, 1.0 / self._fs), self._hop)

    def _process(self, samples: Any, timestamps: Any) -> list[dict[str, Any]]:
        if self._samples is not None and self._times is not None:
            samples = np.concatenate((self._samples, samples))
            timestamps = np.concatenate((self._times, timestamps))
        frames = (samples.shape[0] - self._segment) // self._hop + 1 if samples.shape[0] >= self._segment else 0
        used = (frames - 1) * self._hop + self._segment if frames else 0
        start = frames * self._hop
        self._samples, self._times = samples[start:], timestamps[start:]
        if not frames:
            return []
        _, _, columns = signal.spectrogram(samples[:used], **self._keys)  # (frequencies, channels, frames)
        spectra = np.ascontiguousarray(columns.transpose(2, 0, 1), dtype=np.float64)  # one block per frame
        return [make_chunk(spectra[k], np.full(spectra.shape[1], timestamps[k * self._hop + self._segment - 1]))
                for k in range(frames)]


def _window(window: Any, segment: int) -> Any:
    """The window's samples, made once: scipy takes them for the name it would
    otherwise make them from on every call."""
    return signal.get_window(window_argument(window), segment)


def _check_segments(owner: str, entries: dict[str, Any], share: int, window: Any) -> None:
    """The keys of a transform over overlapping segments: ``segment``,
    ``overlap`` (default ``segment // share``), ``window`` (default `window`),
    ``detrend`` and ``scaling``."""
    segment = check_int(owner, "segment", entries.get("segment"), least=2)
    overlap = check_int(owner, "overlap", entries.setdefault("overlap", segment // share), least=0)
    if overlap >= segment:
        raise ValueError(f"{owner}: overlap must be less than segment ({segment}), got {overlap}.")
    check_window(owner, entries, window)
    check_detrend(owner, entries, "constant")
    if entries.setdefault("scaling", "density") not in ("density", "spectrum"):
        raise ValueError(f"{owner}: scaling must be 'density' or 'spectrum'.")


__all__ = ["SAMPLE_RATE", "Spectrogram", "Spectrum", "Welch"]
