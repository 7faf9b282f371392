"""The node library against numpy, scipy and scikit-learn run offline on the
concatenated stream, one suite per family, over random chunkings of a random
signal; and what holds for every node (metadata passed on, keys checked, saving)."""

import numpy as np
import pytest

signal = pytest.importorskip("scipy.signal")

from test_signal_nodes import DESCRIPTION, cut, joined, run, signal_data  # noqa: E402

from velarix import nodes as vn  # noqa: E402

RATE = DESCRIPTION["nominal_srate"]


def described(dtype, **changes):
    return dict(DESCRIPTION, channel_format=vn.channel_format(dtype), **changes)


def close(actual, expected):
    """Equal to 1e-10 relative (of the largest value: sums in another order)."""
    assert actual.shape == expected.shape
    np.testing.assert_allclose(actual, expected, rtol=1e-10, atol=1e-10 * max(1.0, np.abs(expected).max(initial=0)))


# node, offline(x) -> y, (the description's expected changes)
FILTERS = {
    "butter": (lambda: vn.Filter(order=4, cutoff=[5, 30], btype="bandpass"),
               lambda x: signal.sosfilt(signal.butter(4, [5, 30], "bandpass", fs=RATE, output="sos"), x, axis=0)),
    "cheby1": (lambda: vn.Filter(kind="cheby1", order=3, ripple=0.5, cutoff=20),
               lambda x: signal.sosfilt(signal.cheby1(3, 0.5, 20, fs=RATE, output="sos"), x, axis=0)),
    "cheby2": (lambda: vn.Filter(kind="cheby2", order=4, attenuation=30, cutoff=2, btype="highpass"),
               lambda x: signal.sosfilt(signal.cheby2(4, 30, 2, "highpass", fs=RATE, output="sos"), x, axis=0)),
    "ellip": (lambda: vn.Filter(kind="ellip", order=4, cutoff=[8, 12], btype="bandstop"),
              lambda x: signal.sosfilt(signal.ellip(4, 1, 40, [8, 12], "bandstop", fs=RATE, output="sos"), x,
                                       axis=0)),
    "bessel": (lambda: vn.Filter(kind="bessel", order=5, cutoff=40),
               lambda x: signal.sosfilt(signal.bessel(5, 40, fs=RATE, output="sos"), x, axis=0)),
    "fir": (lambda: vn.FIR(taps=31, cutoff=[4, 30], btype="bandpass"),
            lambda x: signal.lfilter(signal.firwin(31, [4, 30], pass_zero="bandpass", fs=RATE), 1.0, x, axis=0)),
    "notch": (lambda: vn.Notch(frequency=50, quality=20),
              lambda x: signal.lfilter(*signal.iirnotch(50, 20, fs=RATE), x, axis=0)),
    "peak": (lambda: vn.Notch(frequency=10, peak=True),
             lambda x: signal.lfilter(*signal.iirpeak(10, 30, fs=RATE), x, axis=0)),
    "comb": (lambda: vn.Comb(frequency=50, quality=10),
             lambda x: signal.lfilter(*signal.iircomb(50, 10, fs=RATE), x, axis=0)),
    "decimate": (lambda: vn.Decimate(factor=3),
                 lambda x: signal.decimate(x, 3, ftype="iir", zero_phase=False, axis=0)),
    "downsample": (lambda: vn.Downsample(factor=4), lambda x: x[::4]),
}


@pytest.mark.parametrize("name", sorted(FILTERS))
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_filters_equal_their_offline_call_however_the_stream_is_cut(name, dtype):
    make, offline = FILTERS[name]
    x, t = signal_data(samples=700, dtype=dtype)
    expected = offline(x)
    for seed in (1, 2):
        chunks, description, errors = run([make()], cut(x, t, seed), described(dtype))
        assert errors == []
        y = joined(chunks)
        assert y.dtype == expected.dtype
        close(y, expected)
        step = {"decimate": 3, "downsample": 4}.get(name, 1)
        np.testing.assert_array_equal(joined(chunks, "timestamps"), t[::step])
        assert description["nominal_srate"] == RATE / step
        assert description["channel_format"] == vn.channel_format(y.dtype)
