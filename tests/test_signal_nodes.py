"""The processing nodes against scipy run offline on the concatenated stream,
however the stream is cut into chunks; their metadata, checks and saving."""

import pathlib
import re
import time

import pytest

np = pytest.importorskip("numpy")
signal = pytest.importorskip("scipy.signal")

from velarix import INode, LogType, ONode, Pipeline, PipelineError  # noqa: E402
from velarix.nodes import BandPower, Filter, Resample, Window, make_chunk  # noqa: E402

DESCRIPTION = {"nominal_srate": 250.0, "channel_count": 3, "channel_names": ["Fz", "Cz", "Pz"],
               "channel_format": "float32"}


class Stream(ONode):
    def setup(self, data, metadata):
        return {"out": self.config["description"]}

    def step(self, data):
        return {"out": data["chunk"]}


class Collect(INode):
    def __init__(self, **entries):
        super().__init__(**entries)
        self.chunks = []
        self.description = None

    def setup(self, data, metadata):
        self.description = metadata["in"]
        return {}

    def step(self, data):
        self.chunks.append(data["in"])


def signal_data(samples=1000, channels=3, seed=1, dtype=np.float32):
    rng = np.random.default_rng(seed)
    return (100 * rng.standard_normal((samples, channels))).astype(dtype), np.arange(samples) / 250.0


def cut(x, t, seed):
    """Chunks of random lengths (empty ones and single samples among them)."""
    rng = np.random.default_rng(seed)
    bounds = np.unique(np.concatenate(([0, 1, 1, len(x)], rng.integers(0, len(x), 12))))
    return [make_chunk(x[a:b], t[a:b]) for a, b in zip(bounds, bounds[1:])] + [make_chunk(x[:0], t[:0])]


def run(nodes, chunks, description=DESCRIPTION, restart_after=None):
    """Feeds the chunks through the chain of nodes; the sink's chunks, its
    metadata and the pipeline's error entries. With `restart_after`, the pipeline
    stops and starts again after that many chunks."""
    source, sink = Stream(description=description), Collect()
    pipeline = Pipeline(directory="")

    def settle(fed):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:  # until every value has gone through
            done = all(n.get_counter() == (fed if i == 0 else chain[i].get_stats()["outputs"]["out"]["pushed"])
                       for i, n in enumerate(chain[1:]))
            if done or pipeline.get_logger().get_by_type(LogType.ERROR):
                break
            time.sleep(0.01)

    try:
        chain = [source, *nodes, sink]
        for a, b in zip(chain, chain[1:]):
            pipeline.connect(a, b)
        pipeline.start()
        for fed, chunk in enumerate(chunks):
            if fed == restart_after:
                settle(fed)
                pipeline.stop()
                pipeline.start()
            source.cycle({"chunk": chunk})
        settle(len(chunks))
        pipeline.stop()
        errors = [entry["message"] for entry in pipeline.get_logger().get_by_type(LogType.ERROR)]
    finally:
        try:
            pipeline.close()
        except PipelineError:
            pass  # a failed node: the errors say why
    return sink.chunks, sink.description, errors


def joined(chunks, key="samples"):
    return np.concatenate([c[key] for c in chunks])


@pytest.mark.parametrize("keys,rate", [
    ({"order": 4, "cutoff": [5, 30], "btype": "bandpass"}, None),
    ({"order": 2, "cutoff": 40}, None),
    ({"order": 3, "cutoff": 1.5, "btype": "highpass", "rate": 250}, 250),
    ({"order": 2, "cutoff": [48, 52], "btype": "bandstop"}, None),
])
def test_filter_equals_sosfilt_over_the_whole_stream(keys, rate):
    x, t = signal_data()
    for seed in (1, 2):
        chunks, description, errors = run([Filter(**keys)], cut(x, t, seed))
        assert errors == []
        sos = signal.butter(keys["order"], keys["cutoff"], keys.get("btype", "lowpass"), fs=250, output="sos")
        np.testing.assert_array_equal(joined(chunks), signal.sosfilt(sos, x, axis=0))
        np.testing.assert_array_equal(joined(chunks, "timestamps"), t)
        assert description == dict(DESCRIPTION, channel_format="double64")


@pytest.mark.parametrize("source_rate,rate,dtype", [
    (250, 100, np.float32), (250, 375, np.float64), (250, 500, np.float32), (250, 250, np.float64),
    (256, 250, np.float64), (250, 100, np.int16)])
def test_resample_equals_resample_poly_where_the_stream_has_the_samples(source_rate, rate, dtype):
    x, t = signal_data(dtype=dtype)
    t = t * 250 / source_rate
    description = dict(DESCRIPTION, nominal_srate=float(source_rate))
    chunks, out, errors = run([Resample(rate=rate)], cut(x, t, 3), description)
    assert errors == []
    up, down = rate // np.gcd(rate, source_rate), source_rate // np.gcd(rate, source_rate)
    offline = signal.resample_poly(x, up, down, axis=0)
    y = joined(chunks)
    if up == down:
        expected = len(x)
    else:  # the outputs whose samples have all arrived
        half = 10 * max(up, down)
        pad = down - half % down
        expected = sum(1 for m in range(len(offline)) if m * down + half + pad < len(x) * up)
    assert len(y) == expected and y.dtype == offline.dtype
    np.testing.assert_array_equal(y, offline[:expected])
    np.testing.assert_allclose(joined(chunks, "timestamps"), np.arange(expected) / rate, rtol=0, atol=1e-9)
    assert out["nominal_srate"] == rate


@pytest.mark.parametrize("size,hop", [(64, 16), (50, 50), (10, 37), (1, 1)])
def test_windows_are_those_of_the_concatenated_stream(size, hop):
    x, t = signal_data(samples=500)
    chunks, description, errors = run([Window(size=size, hop=hop)], cut(x, t, 4))
    assert errors == []
    starts = range(0, len(x) - size + 1, hop)
    assert len(chunks) == len(starts)
    for chunk, start in zip(chunks, starts):
        np.testing.assert_array_equal(chunk["samples"], x[start:start + size])
        np.testing.assert_array_equal(chunk["timestamps"], t[start:start + size])
    assert description == dict(DESCRIPTION, window_size=size, window_hop=hop)


def test_band_power_of_each_window_equals_the_periodogram_mean():
    x, t = signal_data()
    bands = {"alpha": [8, 12], "beta": [13, 30]}
    chunks, description, errors = run(
        [Filter(order=2, cutoff=[1, 40], btype="bandpass"), Window(size=128, hop=32), BandPower(bands=bands)],
        cut(x, t, 5))
    assert errors == []
    filtered = signal.sosfilt(signal.butter(2, [1, 40], "bandpass", fs=250, output="sos"), x, axis=0)
    starts = list(range(0, len(x) - 128 + 1, 32))
    assert len(chunks) == len(starts)
    for chunk, start in zip(chunks, starts):
        f, p = signal.periodogram(filtered[start:start + 128], fs=250, window="hann", axis=0)
        expected = np.stack([p[(f >= lo) & (f <= hi)].mean(axis=0) for lo, hi in bands.values()], axis=1)
        # Equal to rounding: numpy's sums may round differently for a window at
        # another memory offset (its SIMD blocks), the values are the same.
        np.testing.assert_allclose(chunk["samples"], expected.reshape(1, -1), rtol=1e-13, atol=0)
        assert chunk["timestamps"].tolist() == [t[start + 127]]
    assert description["channel_names"] == ["Fz_alpha", "Fz_beta", "Cz_alpha", "Cz_beta", "Pz_alpha", "Pz_beta"]
    assert description["channel_count"] == 6 and description["nominal_srate"] == 250 / 32
    assert description["channel_format"] == "double64" and "window_hop" not in description


@pytest.mark.parametrize("make,error", [
    (lambda: Filter(order=0, cutoff=10), ValueError),
    (lambda: Filter(order=2.0, cutoff=10), TypeError),
    (lambda: Filter(order=2), TypeError),
    (lambda: Filter(order=2, cutoff="10"), TypeError),
    (lambda: Filter(order=2, cutoff=10, btype="notch"), ValueError),
    (lambda: Filter(order=2, cutoff=200, rate=250), ValueError),  # above half the rate
    (lambda: Filter(order=2, cutoff=[5, 30], btype="lowpass", rate=250), ValueError),
    (lambda: Resample(), ValueError),
    (lambda: Resample(rate=-1), ValueError),
    (lambda: Resample(rate=100, window="nowindow"), ValueError),
    (lambda: Resample(rate=100, input_rate=100 * 2 ** 0.5), ValueError),  # no small ratio
    (lambda: Window(size=0), ValueError),
    (lambda: Window(size=8, hop=True), TypeError),
    (lambda: BandPower(bands={}), TypeError),
    (lambda: BandPower(bands={"alpha": [12, 8]}), ValueError),
    (lambda: BandPower(bands={"alpha": [8, 12]}, detrend="quadratic"), ValueError),
    (lambda: Window(size=4, output_ports=[{"name": "a"}, {"name": "b"}]), ValueError),
])
def test_bad_keys_fail_at_construction(make, error):
    with pytest.raises(error):
        make()


def test_what_needs_the_stream_fails_the_node_once_with_a_clear_message():
    x, t = signal_data(samples=100)
    no_rate = {"channel_count": 3}
    _, _, errors = run([Filter(order=2, cutoff=10)], cut(x, t, 6), no_rate)
    assert len(errors) == 1 and "needs the input's sample rate" in errors[0] and "rate=" in errors[0]
    _, _, errors = run([Filter(order=2, cutoff=200)], cut(x, t, 6))  # 200 Hz at 250 Hz
    assert len(errors) == 1 and "cannot design the filter" in errors[0]
    _, _, errors = run([BandPower(bands={"narrow": [10.1, 10.2]})], [make_chunk(x[:50], t[:50])])
    assert len(errors) == 1 and "holds no frequency" in errors[0]
    _, _, errors = run([Window(size=4)], [{"samples": x[:, 0], "timestamps": t}])
    assert len(errors) == 1 and "2-D" in errors[0]
    _, _, errors = run([Window(size=4)], [make_chunk(x, t[:-1])])
    assert len(errors) == 1 and "one per sample" in errors[0]
    _, _, errors = run([Window(size=4)], [make_chunk(x[:, :2], t)])  # the description says 3 channels
    assert len(errors) == 1 and "2 channels" in errors[0]


def test_the_key_rate_wins_over_the_description_with_a_warning():
    x, t = signal_data(samples=200)
    node = Filter(order=2, cutoff=20, rate=200)
    source, sink = Stream(description=DESCRIPTION), Collect()
    with Pipeline(directory="") as pipeline:
        pipeline.connect(source, node)
        pipeline.connect(node, sink)
        pipeline.start()
        source.cycle({"chunk": make_chunk(x, t)})
        deadline = time.monotonic() + 10
        while not sink.chunks and time.monotonic() < deadline:
            time.sleep(0.01)
        warnings = [e["message"] for e in pipeline.get_logger().get_by_type(LogType.WARNING)]
    assert any("rate=200 differs" in w for w in warnings)
    sos = signal.butter(2, 20, fs=200, output="sos")
    np.testing.assert_array_equal(sink.chunks[0]["samples"], signal.sosfilt(sos, x, axis=0))


def test_nodes_save_by_module_and_load_with_their_keys(tmp_path):
    nodes = [Filter(order=3, cutoff=(1, 40), btype="bandpass"), Resample(rate=125),
             Window(size=64, hop=16), BandPower(bands=[[8, 12], [13, 30]], window=("tukey", 0.25))]
    with Pipeline(directory="") as pipeline:
        for a, b in zip(nodes, nodes[1:]):
            pipeline.connect(a, b)
        pipeline.save(str(tmp_path / "p.json"))
        saved = pipeline.serialize()
    assert all(node["source"] is None for node in saved["nodes"])
    with Pipeline.load(str(tmp_path / "p.json"), directory="", fresh_ids=True) as loaded:
        again = loaded.get_nodes()
    assert [type(n) for n in again] == [type(n) for n in nodes]
    assert again[0].config["cutoff"] == [1, 40] and again[0].get_rate() is None
    assert again[3].config["bands"] == {"8-12": [8, 12], "13-30": [13, 30]}
    x, t = signal_data()
    chunks, description, errors = run(again[2:], cut(x, t, 7))
    assert errors == [] and len(chunks) == (len(x) - 64) // 16 + 1


def test_the_readme_example_of_the_nodes_builds_them():
    readme = (pathlib.Path(__file__).resolve().parents[1] / "README.md").read_text()
    code = next(b for b in re.findall(r"```python\n(.*?)```", readme, re.S) if "velarix.nodes" in b)
    names = {}
    exec(compile(code, "README.md", "exec"), names)
    assert isinstance(names["band"], Filter) and names["window"].config["hop"] == 50
    assert names["power"].config["bands"] == {"alpha": [8, 12], "beta": [13, 30]}
