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
@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.int16])
def test_filters_equal_their_offline_call_however_the_stream_is_cut(name, dtype):
    make, offline = FILTERS[name]
    x, t = signal_data(samples=700, dtype=dtype)
    expected = offline(x)
    for seed in (1, 2):
        # The second run stops and starts the pipeline midway: the set-up run is
        # not repeated, so a node's state goes on with the stream as if unbroken.
        chunks, description, errors = run([make()], cut(x, t, seed), described(dtype),
                                          restart_after=None if seed == 1 else 5)
        assert errors == []
        y = joined(chunks)
        assert y.dtype == expected.dtype
        close(y, expected)
        step = {"decimate": 3, "downsample": 4}.get(name, 1)
        np.testing.assert_array_equal(joined(chunks, "timestamps"), t[::step])
        assert description["nominal_srate"] == RATE / step
        assert description["channel_format"] == vn.channel_format(y.dtype)


SOURCES = {
    "sine": (lambda: vn.Sine(rate=1000, chunk=20, channels=["a", "b"], frequency=[7, 50], phase=0.5),
             lambda n: np.sin(2 * np.pi * np.array([7.0, 50.0]) * (n[:, None] / 1000) + 0.5)),
    "square": (lambda: vn.Square(rate=1000, chunk=20, channels=2, frequency=30, duty=0.25, amplitude=3),
               lambda n: 3 * signal.square(2 * np.pi * 30.0 * (n[:, None] / 1000) + 0.0, 0.25) * np.ones(2)),
    "noise": (lambda: vn.Noise(rate=1000, chunk=20, channels=3, seed=5, amplitude=2),
              lambda n: 2 * np.random.default_rng(5).standard_normal((n[-1] + 1, 3))[n]),
    "counter": (lambda: vn.Counter(rate=1000, chunk=20), lambda n: n[:, None]),  # one channel by default
}




@pytest.mark.parametrize("name", sorted(SOURCES))
def test_sources_give_their_formula_of_the_sample_index_at_their_rate(name):
    import time

    from test_signal_nodes import Collect

    from velarix import Pipeline

    make, offline = SOURCES[name]
    source, sink = make(), Collect()
    with Pipeline(directory="") as pipeline:
        pipeline.connect(source, sink)
        pipeline.start()
        deadline = time.monotonic() + 10
        while len(sink.chunks) < 8 and time.monotonic() < deadline:
            time.sleep(0.02)
        pipeline.stop()
    t = joined(sink.chunks, "timestamps")
    n = np.rint((t - t[0]) * 1000).astype(np.int64)  # the sample indices, from the first
    assert len(t) == 20 * len(sink.chunks) and np.all(np.diff(n) >= 1) and np.allclose(t, t[0] + n / 1000)
    assert n[19] == 19 and sink.description["nominal_srate"] == 1000.0
    assert sink.description["channel_count"] == joined(sink.chunks).shape[1]
    close(joined(sink.chunks).astype(np.float64), np.asarray(offline(n), dtype=np.float64))


def adaptive_z(x, tau):
    """The adaptive z-score's recurrence, sample by sample."""
    a = 1 - np.exp(-1 / (tau * RATE))
    x = x.astype(np.float64)
    m, v, out = x[0].copy(), np.zeros(x.shape[1]), np.empty_like(x)
    for n, row in enumerate(x):
        m = (1 - a) * m + a * row if n else m
        v = (1 - a) * v + a * (row - m) ** 2
        out[n] = np.where(v > 0, (row - m) / np.sqrt(np.where(v > 0, v, 1)), 0)
    return out


def fixed_z(x, samples):
    calibration = x[:samples].astype(np.float64)
    return (x - calibration.mean(axis=0)) / calibration.std(axis=0)


def blocks(x, size, function):
    whole = len(x) // size * size
    return np.concatenate([function(x[k:k + size]) for k in range(0, whole, size)])


SCALING = {
    "scale": (lambda: [vn.Scale(factor=[1, -2, 0.5])], lambda x: x * np.array([1, -2, 0.5])),
    "offset": (lambda: [vn.Offset(offset=3)], lambda x: x + 3.0),
    "clip": (lambda: [vn.Clip(low=-50, high=80)], lambda x: np.clip(x, -50, 80)),
    "abs-log": (lambda: [vn.Abs(), vn.Log(base=10, offset=1)], lambda x: np.log10(np.abs(x) + 1.0)),
    "log2": (lambda: [vn.Abs(), vn.Log(base=2)], lambda x: np.log2(np.abs(x))),
    "rectify": (lambda: [vn.Rectify(mode="half")], lambda x: np.maximum(x, 0)),
    "moving average": (lambda: [vn.MovingAverage(size=8)],
                       lambda x: signal.lfilter(np.ones(8) / 8, 1.0, x, axis=0)),
    "rms": (lambda: [vn.RMS(size=20)],
            lambda x: np.sqrt(signal.lfilter(np.ones(20) / 20, 1.0, x.astype(np.float64) ** 2, axis=0))),
    "zscore adaptive": (lambda: [vn.ZScore(time_constant=0.5)], lambda x: adaptive_z(x, 0.5)),
    "zscore fixed": (lambda: [vn.ZScore(mode="fixed", calibration=1.0)], lambda x: fixed_z(x, 250)),
    "envelope": (lambda: [vn.Envelope(size=64)],
                 lambda x: blocks(x, 64, lambda b: np.abs(signal.hilbert(b, axis=0)))),
    "aggregate": (lambda: [vn.Aggregate(function="max")], lambda x: x.max(axis=1, keepdims=True)),
    "aggregate windows": (lambda: [vn.Window(size=50), vn.Aggregate(function="std", axis="time")],
                          lambda x: blocks(x, 50, lambda b: b.std(axis=0, keepdims=True))),
}


@pytest.mark.parametrize("name", sorted(SCALING))
def test_scaling_and_statistics_equal_numpy_however_the_stream_is_cut(name):
    make, offline = SCALING[name]
    x, t = signal_data(samples=600, dtype=np.float64)
    expected = offline(x)
    for seed in (3, 4):
        chunks, description, errors = run(make(), cut(x, t, seed), described(np.float64))
        assert errors == []
        y = joined(chunks)
        close(y, expected)
        assert description["channel_format"] == vn.channel_format(y.dtype)
        assert description["channel_count"] == y.shape[1]
    if name == "aggregate":
        assert description["channel_names"] == ["max"]
    if name == "aggregate windows":
        assert description["nominal_srate"] == RATE / 50


MATRIX = [[1, 0, -1], [0.5, 0.5, 0], [0.2, -0.3, 0.1], [0, 0, 2]]
CHANNELS = {
    "select": (lambda: vn.Select(channels=["Pz", 0]), lambda x: x[:, [2, 0]], ["Pz", "Fz"]),
    "average": (lambda: vn.Reference(), lambda x: x - x.mean(axis=1, keepdims=True), ["Fz", "Cz", "Pz"]),
    "channel": (lambda: vn.Reference(reference="Cz", drop=True), lambda x: (x - x[:, [1]])[:, [0, 2]],
                ["Fz", "Pz"]),
    "mastoids": (lambda: vn.Reference(reference=["Fz", "Pz"]), lambda x: x - x[:, [0, 2]].mean(axis=1, keepdims=True),
                 ["Fz", "Cz", "Pz"]),
    "affine": (lambda: vn.Affine(matrix=np.array(MATRIX), offset=[1, 2, 3, 4], names=list("abcd")),
               lambda x: x @ np.array(MATRIX).T + np.array([1, 2, 3, 4]), list("abcd")),
}


@pytest.mark.parametrize("name", sorted(CHANNELS))
def test_channel_nodes_equal_numpy_and_name_their_channels(name):
    make, offline, names = CHANNELS[name]
    x, t = signal_data(samples=300, dtype=np.float64)
    chunks, description, errors = run([make()], cut(x, t, 5), described(np.float64))
    assert errors == []
    close(joined(chunks), offline(x))
    assert description["channel_names"] == names and description["channel_count"] == len(names)


@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.int16])
def test_references_equal_numpys_to_the_bit_and_leave_the_senders_chunks_alone(dtype):
    # Reference works on its input in place where the type allows: that is its own copy.
    x, t = signal_data(samples=300, dtype=dtype)
    chunks = cut(x, t, 6)
    for k, chunk in enumerate(chunks[::3]):
        chunk["label"] = k  # a chunk's own key goes on with it
    sent = [c["samples"].copy() for c in chunks]
    out, _, errors = run([vn.Reference(), vn.Reference(reference=["Fz", "Pz"])], chunks, described(dtype))
    assert errors == []
    assert [c.get("label") for c in out] == [c.get("label") for c in chunks]
    average = x - x.mean(axis=1, keepdims=True)
    np.testing.assert_array_equal(joined(out), average - average[:, [0, 2]].mean(axis=1, keepdims=True))
    assert joined(out).dtype == average.dtype
    assert all((c["samples"] == s).all() for c, s in zip(chunks, sent, strict=True))


def run_merge(chunks_a, chunks_b, description_a, description_b):
    import time

    from test_signal_nodes import Collect, Stream

    from velarix import LogType, Pipeline

    a, b = Stream(description=description_a), Stream(description=description_b)
    node, sink = vn.Merge(), Collect()
    with Pipeline(directory="") as pipeline:
        pipeline.connect_ports(a, "out", node, "a")
        pipeline.connect_ports(b, "out", node, "b")
        pipeline.connect(node, sink)
        pipeline.start()
        for one, other in zip(chunks_a, chunks_b):
            a.cycle({"chunk": one})
            b.cycle({"chunk": other})
        deadline = time.monotonic() + 10
        while node.get_counter() < len(chunks_a) and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(0.05)
        pipeline.stop()
        errors = pipeline.get_logger().get_by_type(LogType.ERROR)
    return sink.chunks, sink.description, errors


def test_merge_aligns_two_streams_by_time_and_puts_their_channels_side_by_side():
    x, t = signal_data(samples=400, dtype=np.float64)
    y = -x[:, :2]
    lead = 7  # b starts 7 samples before a
    tb = np.arange(-lead, 400 - lead) / RATE
    ca, cb = cut(x, t, 8), cut(y, tb, 9)
    ca += [ca[-1]] * (len(cb) - len(ca))
    cb += [cb[-1]] * (len(ca) - len(cb))
    chunks, description, errors = run_merge(ca, cb, described(np.float64),
                                            described(np.float64, channel_count=2, channel_names=["Cz", "O1"]))
    assert errors == []
    merged = joined(chunks)
    rows = 400 - lead
    np.testing.assert_array_equal(merged, np.concatenate((x[:rows], y[lead:]), axis=1))
    np.testing.assert_array_equal(joined(chunks, "timestamps"), t[:rows])
    assert description["channel_names"] == ["Fz", "Cz", "Pz", "Cz_b", "O1"]
    # A second stream that states no rate (0) takes the first one's.
    _, description, errors = run_merge(ca[:3], cb[:3], described(np.float64),
                                       described(np.float64, channel_count=2, nominal_srate=0.0))
    assert errors == [] and description["nominal_srate"] == RATE


def per_window(x, size, hop, function):
    return [function(x[s:s + size]) for s in range(0, len(x) - size + 1, hop)]


def spectrogram_columns(x, **keys):
    _, _, columns = signal.spectrogram(x, fs=RATE, axis=0, **keys)
    return [columns[:, :, k] for k in range(columns.shape[2])]


def band_mean(f, p, bands):
    return np.stack([p[(f >= lo) & (f <= hi)].mean(axis=0) for lo, hi in bands], axis=1).reshape(1, -1)


# make nodes, offline(x) -> the list of spectra, the frequencies, the rate of spectra
SPECTRA = {
    "magnitude": (lambda: [vn.Window(size=64, hop=16), vn.Spectrum()],
                  lambda x: per_window(x, 64, 16, lambda w: np.abs(np.fft.rfft(signal.get_window("hann", 64)[:, None]
                                                                                 * w, axis=0))),
                  np.fft.rfftfreq(64, 1 / RATE), RATE / 16),
    "periodogram": (lambda: [vn.Window(size=50), vn.Spectrum(scaling="spectrum", window="hamming", detrend="linear")],
                    lambda x: per_window(x, 50, 50, lambda w: signal.periodogram(
                        w, fs=RATE, window="hamming", detrend="linear", scaling="spectrum", axis=0)[1]),
                    np.fft.rfftfreq(50, 1 / RATE), RATE / 50),
    "welch": (lambda: [vn.Window(size=128, hop=32), vn.Welch(segment=64, overlap=48)],
              lambda x: per_window(x, 128, 32, lambda w: signal.welch(w, fs=RATE, nperseg=64, noverlap=48, axis=0)[1]),
              np.fft.rfftfreq(64, 1 / RATE), RATE / 32),
    "spectrogram": (lambda: [vn.Spectrogram(segment=40, overlap=10)],
                    lambda x: spectrogram_columns(x, nperseg=40, noverlap=10), np.fft.rfftfreq(40, 1 / RATE), RATE / 30),
    "spectrogram magnitude": (lambda: [vn.Spectrogram(segment=32, overlap=0, window="hann", mode="magnitude")],
                              lambda x: spectrogram_columns(x, nperseg=32, noverlap=0, window="hann",
                                                            mode="magnitude"),
                              np.fft.rfftfreq(32, 1 / RATE), RATE / 32),
    "welch band power": (lambda: [vn.Window(size=128, hop=64), vn.Welch(segment=64),
                          vn.BandPower(bands={"alpha": [8, 12], "beta": [13, 30]})],
                         lambda x: per_window(x, 128, 64, lambda w: band_mean(
                             *signal.welch(w, fs=RATE, nperseg=64, axis=0), [(8, 12), (13, 30)])), None, RATE / 64),
}


@pytest.mark.parametrize("name", sorted(SPECTRA))
def test_spectra_equal_scipy_for_each_window_of_the_stream(name):
    nodes, offline, frequencies, rate = SPECTRA[name]
    x, t = signal_data(samples=500, dtype=np.float64)
    expected = offline(x)
    chunks, description, errors = run(nodes(), cut(x, t, 6), described(np.float64))
    assert errors == [] and len(chunks) == len(expected)
    for chunk, spectrum in zip(chunks, expected):
        close(chunk["samples"], spectrum)
        assert len(set(chunk["timestamps"])) == 1
    assert description["nominal_srate"] == pytest.approx(rate)
    if frequencies is not None:
        assert description["axes"] == ["frequency", "channel"]
        np.testing.assert_allclose(description["frequencies"], frequencies)
    else:
        assert description["channel_names"][:2] == ["Fz_alpha", "Fz_beta"] and "frequencies" not in description


def run_two(node, ports, chunk_lists, descriptions):
    """Feeds chunk lists (one per input port, as many each) through `node`."""
    import time

    from test_signal_nodes import Collect, Stream

    from velarix import LogType, Pipeline

    sources = [Stream(description=d) for d in descriptions]
    sink = Collect()
    with Pipeline(directory="") as pipeline:
        for source, port in zip(sources, ports):
            pipeline.connect_ports(source, "out", node, port)
        pipeline.connect(node, sink)
        pipeline.start()
        for chunks in zip(*chunk_lists):
            for source, chunk in zip(sources, chunks):
                source.cycle({"chunk": chunk})
        deadline = time.monotonic() + 10
        while node.get_counter() < len(chunk_lists[0]) and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(0.05)
        pipeline.stop()
        errors = [e["message"] for e in pipeline.get_logger().get_by_type(LogType.ERROR)]
    return sink.chunks, sink.description, errors


def markers_for(chunks, events):
    """A marker chunk per signal chunk: the events up to its last sample's time
    not sent yet."""
    out, sent = [], 0
    for chunk in chunks:
        t = chunk["timestamps"]
        inside = [(c, s) for c, s in events[sent:] if len(t) and s <= t[-1]]
        sent += len(inside)
        out.append(vn.make_chunk(np.array([[c] for c, _ in inside]).reshape(-1, 1),
                                 np.array([s for _, s in inside], dtype=np.float64)))
    return out


@pytest.mark.parametrize("keys,late", [({}, 0), ({"start": 0.1, "end": 0.5, "baseline": None, "late": 5}, 1),
                                       ({"start": -0.1, "end": 0.3, "baseline": [0.0, 0.2], "codes": [2], "late": 5},
                                        2),
                                       ({"start": 0.1, "end": 0.5, "baseline": None, "late": 0.05}, 1)])
def test_epochs_are_the_slices_around_each_event_less_their_baseline(keys, late):
    x, t = signal_data(samples=1200, dtype=np.float64)
    rng = np.random.default_rng(9)
    events = [(int(rng.integers(1, 3)), float(s)) for s in np.sort(rng.uniform(0.1, 4.6, 8)) + 0.0013]
    signal_chunks = cut(x, t, 10)
    marker_chunks = markers_for(signal_chunks, events)
    marker_chunks = [vn.make_chunk(np.zeros((0, 1)), np.zeros(0))] * late + marker_chunks[:len(marker_chunks) - late]
    node = vn.Epoch(**keys)
    chunks, description, errors = run_two(node, ["in", "markers"], [signal_chunks, marker_chunks],
                                          [described(np.float64), {"channel_count": 1}])
    assert errors == []
    start, end = keys.get("start", -0.2), keys.get("end", 0.8)
    baseline = keys.get("baseline", [-0.2, 0.0])
    expected = []
    for code, stamp in events:
        i = int(np.argmin(np.abs(t - stamp)))
        a, b = i + round(start * RATE), i + round(end * RATE)
        if code not in keys.get("codes", [code]) or a < 0 or b > len(x):
            continue
        epoch = x[a:b]
        if baseline is not None:
            epoch = epoch - x[i + round(baseline[0] * RATE):i + round(baseline[1] * RATE)].mean(axis=0)
        expected.append((code, stamp, epoch, t[a:b]))
    if keys.get("late") == 0.05:  # markers later than allowed: their samples may be gone, but no epoch is wrong
        cut_out = {(c["label"], c["event_time"]) for c in chunks}
        expected = [e for e in expected if (e[0], e[1]) in cut_out]
        assert 0 < len(expected) == len(chunks)
    assert [(c["label"], c["event_time"]) for c in chunks] == [(c, s) for c, s, _, _ in expected]
    for chunk, (_, _, epoch, stamps) in zip(chunks, expected):
        close(chunk["samples"], epoch)
        np.testing.assert_array_equal(chunk["timestamps"], stamps)
    assert description["epoch_length"] == round(end * RATE) - round(start * RATE)


def epochs_of(count, seed):
    """Labelled epochs: class 1 has more power in its second channel."""
    rng = np.random.default_rng(seed)
    labels = rng.integers(0, 2, count)
    x = rng.standard_normal((count, 40, 3))
    x[:, :, 1] *= 1 + 2 * labels[:, None]
    chunks = []
    for k, (epoch, label) in enumerate(zip(x, labels)):
        chunk = vn.make_chunk(epoch, k + np.arange(40) / RATE)
        chunk["label"] = int(label)
        chunks.append(chunk)
    return chunks, x, labels


@pytest.mark.parametrize("case", ["predict", "proba", "fit online"])
def test_learning_nodes_equal_the_estimator_called_offline_and_save_with_the_graph(case, tmp_path):
    pytest.importorskip("sklearn")
    from sklearn.linear_model import SGDClassifier
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import FunctionTransformer, StandardScaler

    from velarix import Pipeline

    train, x_train, y_train = epochs_of(60, 1)
    test, x_test, y_test = epochs_of(40, 2)
    squares = FunctionTransformer(np.square)
    if case == "fit online":
        node = vn.Fit(model=SGDClassifier(random_state=0), classes=[0, 1])
        offline = SGDClassifier(random_state=0)
        expected = []
        for k, (row, label) in enumerate(zip(x_test.reshape(40, -1), y_test)):
            expected.append(offline.predict(row[None])[0] if k else np.nan)
            offline.partial_fit(row[None], [label], classes=[0, 1])
        expected = np.array(expected, dtype=np.float64).reshape(-1, 1)
    else:
        model = make_pipeline(squares, StandardScaler(), SGDClassifier(loss="log_loss", random_state=0))
        node = vn.Predict.fit(model, train, proba=case == "proba")
        expected = (model.predict_proba if case == "proba" else model.predict)(x_test.reshape(40, -1))
        expected = np.asarray(expected).reshape(40, -1)
        assert (model.predict(x_test.reshape(40, -1)) == y_test).mean() > 0.8
    with Pipeline(directory="") as pipeline:  # saved and loaded with the graph before it runs
        pipeline.add_node(node)
        pipeline.save(str(tmp_path / "p.json"))
    with Pipeline.load(str(tmp_path / "p.json"), directory="", fresh_ids=True) as loaded:
        (again,) = loaded.get_nodes()
    chunks, description, errors = run([again], test, dict(described(np.float64), nominal_srate=RATE))
    assert errors == []
    close(joined(chunks).astype(np.float64), expected.astype(np.float64))
    assert [c["label"] for c in chunks] == list(y_test)  # the label goes on with the prediction
    assert description["channel_names"] == (["p_0", "p_1"] if case == "proba" else ["prediction"])
    if case == "fit online":
        learnt = vn.Fit(**{k: v for k, v in again.serialize()["config"].items()
                           if k not in ("id", "input_ports", "output_ports")}).model
        np.testing.assert_array_equal(learnt.coef_, offline.coef_)


def test_the_eeg_decoder_example_decodes_far_above_chance_and_saves_its_graph(tmp_path):
    # ...and its graph file, reading the model the example pickled, decodes the same.
    import os
    import pathlib
    import re
    import subprocess
    import sys

    import velarix
    from velarix import Pipeline

    pytest.importorskip("sklearn")
    root = pathlib.Path(__file__).resolve().parents[1]
    env = dict(os.environ, PYTHONPATH=str(pathlib.Path(velarix.__file__).resolve().parents[1]))
    result = subprocess.run([sys.executable, str(root / "examples" / "eeg_decoder.py"), str(tmp_path / "g.json"),
                             "--graph", str(root / "examples" / "eeg_decoder.toml")],
                            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=180)
    assert result.returncode == 0, result.stdout + result.stderr
    python, graph = (float(a) for a in re.findall(r"accuracy: ([0-9.]+)", result.stdout))
    assert python >= 0.8  # chance is 0.5
    assert graph == python and "the same predictions as the Python pipeline: True" in result.stdout
    assert "Traceback" not in result.stderr
    with Pipeline.load(str(tmp_path / "g.json"), directory="", fresh_ids=True) as loaded:
        (decoder,) = [n for n in loaded.get_nodes() if isinstance(n, vn.Predict)]
    assert hasattr(decoder.model, "classes_")  # fitted, as saved


@pytest.mark.parametrize("make,error,text", [
    (lambda: vn.Filter(order=2, cutof=20), TypeError, "did you mean 'cutoff'?"),
    (lambda: vn.Notch(frequncy=50), TypeError, "did you mean 'frequency'?"),
    (lambda: vn.Filter(kind="chebyshev", order=2, cutoff=10), ValueError, "kind"),
    (lambda: vn.Filter(kind="ellip", order=2, cutoff=10, ripple=-1), ValueError, "ripple"),
    (lambda: vn.FIR(taps=30, cutoff=10, btype="highpass", rate=250), ValueError, "cannot design the filter"),
    (lambda: vn.Comb(frequency=33, rate=250), ValueError, "cannot design the filter"),
    (lambda: vn.Decimate(factor=1), ValueError, "factor"),
    (lambda: vn.Sine(rate=100, channels=2, frequency=[1, 2, 3]), TypeError, "2 numbers"),
    (lambda: vn.Noise(seed=-1), ValueError, "seed"),
    (lambda: vn.Clip(), ValueError, "low, high"),
    (lambda: vn.ZScore(mode="median"), ValueError, "mode"),
    (lambda: vn.Aggregate(function="mode"), ValueError, "function"),
    (lambda: vn.Select(channels=[1.5]), TypeError, "channel names or indices"),
    (lambda: vn.Affine(matrix=[[1, 2], [3]]), TypeError, "matrix"),
    (lambda: vn.Welch(segment=64, overlap=64), ValueError, "overlap"),
    (lambda: vn.Spectrum(window="nowindow"), ValueError, "window"),
    (lambda: vn.Epoch(start=0.5, end=0.1), ValueError, "after start"),
    (lambda: vn.Epoch(baseline=[-1, 0]), ValueError, "baseline"),
    (lambda: vn.Merge(input_ports=[{"name": "a"}]), ValueError, "2 input"),
])
def test_bad_keys_fail_at_construction_saying_what_to_change(make, error, text):
    with pytest.raises(error, match=None) as caught:
        make()
    assert text in str(caught.value)


def test_learning_nodes_refuse_what_cannot_learn_or_predict():
    pytest.importorskip("sklearn")
    from sklearn.linear_model import LogisticRegression

    with pytest.raises(TypeError, match="no partial_fit"):
        vn.Fit(model=LogisticRegression())
    with pytest.raises(ValueError, match="model is required"):
        vn.Predict()


def test_a_model_file_gives_the_node_its_model_and_is_checked(tmp_path):
    pytest.importorskip("sklearn")
    import pickle

    from sklearn.linear_model import LogisticRegression

    model = LogisticRegression().fit([[0.0], [1.0], [2.0], [3.0]], [0, 0, 1, 1])
    (tmp_path / "m.pkl").write_bytes(pickle.dumps(model))
    (tmp_path / "bad.pkl").write_bytes(b"not a pickle")
    node = vn.Predict(model_file=str(tmp_path / "m.pkl"))
    assert node.model.predict([[2.5]]) == [1]
    assert "model_file" not in node.config and "model" in node.config  # saved with the graph, not by path
    for keys, text in ((dict(model_file=str(tmp_path / "missing.pkl")), "cannot read the model"),
                       (dict(model_file=str(tmp_path / "bad.pkl")), "cannot read the model"),
                       (dict(model_file=str(tmp_path / "m.pkl"), model=model), "not both")):
        with pytest.raises(ValueError, match=text):
            vn.Predict(**keys)


# nodes, chunks of (x, t), what the error says
WHAT_CAME = {
    "matrix": (lambda: [vn.Affine(matrix=[[1, 0], [0, 1]])], lambda x, t: [vn.make_chunk(x[:4], t[:4])],
               "matrix takes 2 channels, the stream has 3."),
    "spectrum chunk": (lambda: [vn.Spectrum(size=64)], lambda x, t: [vn.make_chunk(x[:10], t[:10])],
                       "a chunk has 10 samples (shape (10, 3)), the spectra 64."),
    "empty band": (lambda: [vn.Window(size=100), vn.BandPower(bands={"a": [1.1, 1.2]})],
                   lambda x, t: [vn.make_chunk(x[:100], t[:100])],
                   "band 'a' (1.1-1.2 Hz) holds no frequency of a 100-sample window at 250.0 Hz (they are 2.5 Hz "
                   "apart)."),
}


class Silent(vn.ChunkNode.__mro__[2]):  # an IONode of the application's own
    def step(self, data):
        return {"out": data["in"]}


class Passing(Silent):
    setup = vn.pass_description


@pytest.mark.parametrize("case", ["silent node before", "passing node before", "shape", "frequency rows",
                                  "matrix", "spectrum chunk", "empty band", "float32 band power"])
def test_a_stream_that_disagrees_with_its_description_fails_once_saying_what_came(case):
    x, t = signal_data(samples=300)
    if case in ("silent node before", "passing node before"):
        middle = (Silent if case.startswith("silent") else Passing)(name="gain")
        chunks, _, errors = run([middle, vn.Filter(order=2, cutoff=10)], cut(x, t, 1))
        if case.startswith("passing"):
            assert errors == [] and len(joined(chunks)) == len(x)
        else:
            assert len(errors) == 1 and "'gain' (Silent)" in errors[0] and "setup = velarix.nodes.pass_description" \
                in errors[0]
    elif case == "shape":
        _, _, errors = run([vn.Reference()], [vn.make_chunk(x[:10], t[:10]), vn.make_chunk(x[:, :2], t)])
        assert len(errors) == 1 and "(300, 2)" in errors[0] and "the stream 3" in errors[0]
    elif case == "frequency rows":
        spectra = dict(DESCRIPTION, axes=["frequency", "channel"], frequencies=[1.0, 2.0, 3.0], sample_rate=250.0)
        _, _, errors = run([vn.BandPower(bands={"a": [1, 2]})], [vn.make_chunk(x[:4], t[:4])], spectra)
        assert len(errors) == 1 and "4 rows" in errors[0] and "3 frequencies" in errors[0]
    elif case in WHAT_CAME:
        nodes, chunks, text = WHAT_CAME[case]
        _, _, errors = run(nodes(), chunks(x, t))
        assert len(errors) == 1 and text in errors[0], errors
    else:  # the samples are what the description says
        chunks, description, errors = run([vn.Window(size=100), vn.BandPower(bands={"a": [8, 12]})], cut(x, t, 2))
        assert errors == [] and description["channel_format"] == "double64"
        assert {c["samples"].dtype for c in chunks} == {np.dtype(np.float64)}


def test_every_library_node_saves_and_loads_with_its_keys(tmp_path):
    from velarix import Pipeline

    made = [vn.Filter(kind="ellip", order=3, cutoff=30), vn.FIR(taps=21, cutoff=30), vn.Notch(frequency=50),
            vn.Comb(frequency=50), vn.Decimate(factor=2), vn.Downsample(factor=2), vn.Scale(factor=2),
            vn.Offset(offset=[1, 2, 3]), vn.Clip(low=0), vn.Abs(), vn.Rectify(), vn.Log(base=10), vn.MovingAverage(size=3),
            vn.RMS(size=3), vn.ZScore(), vn.Envelope(size=20), vn.Aggregate(), vn.Select(channels=[0]),
            vn.Reference(reference="Cz"), vn.Affine(matrix=np.eye(1)), vn.Spectrogram(segment=16), vn.Epoch(),
            vn.Sine(rate=500, channels=["a"]), vn.Noise(seed=3), vn.Counter(), vn.Clock(), vn.Square()]
    with Pipeline(directory="") as pipeline:
        for node in made:
            pipeline.add_node(node)
        pipeline.save(str(tmp_path / "p.json"))
        saved = pipeline.serialize()
    assert all(node["source"] is None for node in saved["nodes"])
    with Pipeline.load(str(tmp_path / "p.json"), directory="", fresh_ids=True) as loaded:
        again = loaded.get_nodes()
    assert [type(n) for n in again] == [type(n) for n in made]
    for old, new in zip(made, again):
        assert {k: v for k, v in old.config.items() if k != "id" and not k.endswith("_ports")} == \
            {k: v for k, v in new.config.items() if k != "id" and not k.endswith("_ports")}
    assert again[22].get_rate() == 500 / 32  # a source's cycles: its samples per second over its chunk


def test_the_wavelet_transform_equals_pywavelets_block_by_block():
    pywt = pytest.importorskip("pywt")
    x, t = signal_data(samples=500, dtype=np.float64)
    frequencies = np.array([6.0, 10.0, 25.0])
    scales = pywt.central_frequency("cmor1.5-1.0") * RATE / frequencies
    for seed in (1, 2):
        chunks, description, errors = run([vn.CWT(frequencies=[6, 10, 25], size=100)], cut(x, t, seed),
                                          described(np.float64))
        assert errors == []
        expected = blocks(x, 100, lambda b: np.abs(pywt.cwt(b, scales, "cmor1.5-1.0", sampling_period=1 / RATE,
                                                            axis=0)[0]).transpose(1, 2, 0).reshape(100, -1))
        close(joined(chunks), expected)
        np.testing.assert_array_equal(joined(chunks, "timestamps"), t[:500])
    assert description["channel_names"][:3] == ["Fz_6", "Fz_10", "Fz_25"] and description["channel_count"] == 9
