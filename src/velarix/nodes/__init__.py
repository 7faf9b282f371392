"""Processing nodes for sampled streams (the optional extra `nodes`: numpy, scipy).

    from velarix.nodes import Filter, Window, BandPower, Resample

Each passes *chunks*, ``{"samples": 2-D array (time x channels), "timestamps":
1-D array}``, and passes on the stream's description (``channel_count``,
``channel_names``, ``nominal_srate``, ``channel_format``, ``units``, ``axes``),
which travels as the ports' metadata; `velarix.nodes.axes` describes it.
Importing this package needs nothing beyond velarix; using a node needs numpy and
scipy (the learning nodes scikit-learn, the extra `learn`).
"""

from typing import TYPE_CHECKING

from .._lazy import lazy_exports

if TYPE_CHECKING:
    from ._base import ChunkNode
    from .axes import channel_format, describe, make_chunk, pass_description
    from .channels import Affine, Merge, Reference, Select
    from .epochs import Epoch
    from .filters import FIR, Comb, Decimate, Downsample, Filter, Notch, Resample
    from .fourier import Spectrogram, Spectrum, Welch
    from .learn import Fit, Predict
    from .scaling import Abs, Aggregate, Clip, Envelope, Log, MovingAverage, Offset, RMS, Rectify, Scale, ZScore
    from .sources import Clock, Counter, Noise, Sine, Source, Square
    from .wavelets import CWT
    from .windows import BandPower, Window

__all__ = ["CWT", "Fit", "Predict", "Epoch", "Spectrogram", "Spectrum", "Welch", "Affine", "Merge", "Reference", "Select", "Abs", "Aggregate", "Clip", "Envelope", "Log", "MovingAverage", "Offset", "RMS", "Rectify", "Scale",
           "ZScore", "BandPower", "ChunkNode", "Clock", "Counter", "Noise", "Sine", "Source", "Square", "Comb", "Decimate", "Downsample", "FIR", "Filter", "Notch", "Resample",
           "Window", "channel_format", "describe", "make_chunk", "pass_description"]

_EXPORTS = {
    "ChunkNode": "_base",
    "make_chunk": "axes",
    "channel_format": "axes",
    "describe": "axes",
    "pass_description": "axes",
    "Filter": "filters",
    "FIR": "filters",
    "Notch": "filters",
    "Comb": "filters",
    "Decimate": "filters",
    "Downsample": "filters",
    "Resample": "filters",
    "Window": "windows",
    "Abs": "scaling",
    "Aggregate": "scaling",
    "Clip": "scaling",
    "Envelope": "scaling",
    "Log": "scaling",
    "MovingAverage": "scaling",
    "Offset": "scaling",
    "RMS": "scaling",
    "Rectify": "scaling",
    "Scale": "scaling",
    "ZScore": "scaling",
    "Affine": "channels",
    "Merge": "channels",
    "Reference": "channels",
    "Select": "channels",
    "Spectrogram": "fourier",
    "Spectrum": "fourier",
    "Welch": "fourier",
    "Epoch": "epochs",
    "Fit": "learn",
    "Predict": "learn",
    "CWT": "wavelets",
    "Sine": "sources",
    "Square": "sources",
    "Noise": "sources",
    "Counter": "sources",
    "Clock": "sources",
    "Source": "sources",
    "BandPower": "windows",
}


__getattr__ = lazy_exports(__name__, _EXPORTS)
