"""The continuous wavelet transform (Morlet), block by block, through PyWavelets
(the extra `wavelets`)."""

from __future__ import annotations

from typing import Any

from .._optional import import_or_explain
from ._base import EXTRA_HINT, ChunkNode, check_int, check_positive
from ._design import Blocks
from .axes import CHANNEL_FORMAT, channel_format, channel_labels, make_chunk, with_channels

try:
    import numpy as np
except ImportError as _error:  # pragma: no cover - the extra is installed by make test
    raise ImportError(EXTRA_HINT) from _error

WAVELETS_HINT = "CWT needs PyWavelets; install it with: pip install 'velarix[wavelets]'"


def _pywt() -> Any:
    return import_or_explain("pywt", WAVELETS_HINT)


class CWT(ChunkNode):
    """The magnitude of the continuous wavelet transform at given frequencies,
    block by block: the stream is cut into blocks of ``size`` samples (whatever
    its chunks) and each complete block gives ``abs(pywt.cwt(block, scales,
    wavelet, sampling_period=1 / rate, axis=0)[0])`` with ``scales =
    pywt.central_frequency(wavelet) * rate / frequencies``, as rows of the block's
    samples and a channel per input channel and frequency (``"Cz_10"``). Like the
    Hilbert envelope, the transform needs the whole of what it transforms: it is
    exact per block, with edge effects at block boundaries, late by up to a block.

    Keys, besides those of `IONode`: ``frequencies`` (Hz, required), ``size``
    (samples per block, required), ``wavelet`` (default ``"cmor1.5-1.0"``, a
    complex Morlet), ``rate`` (as for `Filter`). Output float64.
    """

    class Configuration(ChunkNode.Configuration):
        """Adds ``frequencies``, ``size``, ``wavelet`` and ``rate``."""

        class Keys(ChunkNode.Configuration.Keys):
            FREQUENCIES = "frequencies"
            SIZE = "size"
            WAVELET = "wavelet"
            RATE = "rate"

    def _check(self, entries: dict[str, Any]) -> None:
        owner = type(self).__name__
        frequencies = entries.get("frequencies")
        if not isinstance(frequencies, (list, tuple)) or not frequencies:
            raise TypeError(f"{owner}: frequencies must be a list of Hz, got {frequencies!r}.")
        entries["frequencies"] = [check_positive(owner, "frequencies", f) for f in frequencies]
        check_int(owner, "size", entries.get("size"), least=2)
        wavelet = entries.setdefault("wavelet", "cmor1.5-1.0")
        try:
            _pywt().ContinuousWavelet(wavelet)
        except ValueError as error:
            raise ValueError(f"{owner}: wavelet {wavelet!r} is no continuous wavelet PyWavelets knows.") from error

    def _configure(self, description: dict[str, Any]) -> dict[str, Any]:
        self._pywt = _pywt()
        rate = self._rate("rate", description)
        self._size = int(self.config["size"])
        self._wavelet = self.config["wavelet"]
        self._period = 1.0 / rate
        frequencies = np.asarray(self.config["frequencies"], dtype=np.float64)
        self._scales = self._pywt.central_frequency(self._wavelet) * rate / frequencies
        self._blocks = Blocks(self._size)
        names = channel_labels(description)
        out = with_channels(description, [f"{c}_{f:g}" for c in names for f in frequencies]) if names else \
            dict(description)
        out.pop("units", None)
        out[CHANNEL_FORMAT] = channel_format(np.float64)
        out["wavelet_frequencies"] = frequencies.tolist()
        return out

    def _process(self, samples: Any, timestamps: Any) -> list[dict[str, Any]]:
        samples, timestamps, whole = self._blocks.whole(samples, timestamps)
        if whole == 0:
            return []
        results = []
        for start in range(0, whole, self._size):
            block = samples[start:start + self._size]
            coefficients, _ = self._pywt.cwt(block, self._scales, self._wavelet, sampling_period=self._period,
                                             axis=0)
            magnitude = np.abs(coefficients).transpose(1, 2, 0).reshape(self._size, -1)  # time, channel, scale
            results.append(make_chunk(magnitude, timestamps[start:start + self._size]))
        return results


__all__ = ["CWT"]
