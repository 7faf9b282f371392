"""XDFReplay on recordings written by tests/xdf_writer.py."""

import threading
import time

import numpy as np
import pytest

pytest.importorskip("pyxdf")

from xdf_writer import write_xdf  # noqa: E402

from velarix import INode, LogType, Pipeline, PipelineError  # noqa: E402
from velarix.connect import XDFReplay  # noqa: E402

N = 250


@pytest.fixture
def recording(tmp_path):
    path = tmp_path / "rec.xdf"
    write_xdf(path, [
        dict(name="eeg", type="EEG", rate=100.0, format="float32", labels=["Fz", "Cz", "Pz"],
             samples=np.arange(N * 3).reshape(N, 3), timestamps=10 + np.arange(N) / 100),
        dict(name="markers", type="Markers", rate=0, format="string",
             samples=[["a"], ["bb"], ["c c"]], timestamps=[10.5, 11.0, 12.0]),
    ])
    return str(path)


class Collect(INode):
    def __init__(self, **entries):
        super().__init__(**entries)
        self.chunks = []
        self.metadata = None
        self.wanted = None
        self.done = threading.Event()

    def setup(self, data, metadata):
        self.metadata = metadata["in"]
        return {}

    def step(self, data):
        self.chunks.append(data["in"])
        if self.wanted is not None and sum(len(c["timestamps"]) for c in self.chunks) >= self.wanted:
            self.done.set()


def replay(wanted=None, **options):
    source, sink = XDFReplay(**options), Collect()
    sink.wanted = wanted
    pipeline = Pipeline(directory="")
    pipeline.connect(source, sink)
    return pipeline, source, sink


def until(check, seconds=10.0):
    deadline = time.monotonic() + seconds
    while not check():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def test_max_speed_replays_every_sample_with_the_description(recording, no_thread_leak):
    pipeline, source, sink = replay(path=recording, stream="eeg", speed="max")
    with pipeline:
        pipeline.start()
        assert until(lambda: source.get_stats()["connector"]["finished"])
        assert until(lambda: sum(len(c["timestamps"]) for c in sink.chunks) == N)
        # The file's end ends the stream: the pipeline stops by itself.
        assert pipeline.wait(10) and pipeline.get_condition() == "HEALTHY"
        entries = [e["message"] for e in pipeline.get_logger().get_by_type(LogType.INFO)]
    samples = np.concatenate([c["samples"] for c in sink.chunks])
    stamps = np.concatenate([c["timestamps"] for c in sink.chunks])
    assert np.array_equal(samples, np.arange(N * 3).reshape(N, 3)) and samples.dtype == np.float32
    assert np.allclose(stamps, 10 + np.arange(N) / 100)
    assert all(len(c["timestamps"]) <= 6 for c in sink.chunks)  # 0.05 s at 100 Hz
    assert sink.metadata == {"channel_count": 3, "channel_names": ["Fz", "Cz", "Pz"], "nominal_srate": 100.0,
                             "channel_format": "float32", "stream": "eeg", "type": "EEG",
                             "source_id": "eeg-src"}
    assert any("replayed to its end" in e for e in entries)
    assert source.get_stats()["connector"] == {"values": len(sink.chunks), "samples": N, "loops": 0,
                                               "finished": True}


def test_strings_start_and_loop(recording):
    pipeline, source, sink = replay(wanted=5, path=recording, stream={"type": "Markers"}, speed="max",
                                    loop=True, start=0.5)
    with pipeline:
        pipeline.start()
        assert sink.done.wait(10)
    values = [c["samples"].tolist() for c in sink.chunks[:5]]
    stamps = [c["timestamps"].tolist() for c in sink.chunks[:5]]
    assert values == [[["bb"]], [["c c"]], [["bb"]], [["c c"]], [["bb"]]]
    # Each pass is shifted by the replayed part's length (12.0 - 11.0) and its mean spacing.
    assert stamps == [[11.0], [12.0], [13.0], [14.0], [15.0]]
    assert source.get_stats()["connector"]["loops"] >= 2


def test_real_time_pacing_follows_the_recording(recording):
    # 0.5 s of recording at speed 5 takes about 0.1 s; at speed 0.5 it would take 1 s.
    pipeline, source, sink = replay(wanted=50, path=recording, stream="eeg", speed=5.0)
    with pipeline:
        started = time.monotonic()
        pipeline.start()
        assert sink.done.wait(10)
        assert time.monotonic() - started >= 0.49 / 5
        assert not source.get_stats()["connector"]["finished"]  # still on its way


def test_a_selection_that_matches_nothing_or_several_fails_the_pipeline(recording):
    for stream, text in (("nope", "no stream matches 'nope'"), (None, "holds 2 streams")):
        pipeline, _, _ = replay(path=recording, stream=stream)
        with pytest.raises(PipelineError), pipeline:
            pipeline.start()
            pipeline.wait(10)
        assert text in str(pipeline.get_nodes()[0].get_last_exception())


@pytest.mark.parametrize("entries, error, text", [
    ({}, ValueError, "needs path="),
    ({"path": "/no/such.xdf"}, FileNotFoundError, "no file"),
    ({"stream": 1.5}, TypeError, "stream must be"),
    ({"speed": "fast"}, TypeError, "speed must be a number"),
    ({"speed": 0}, ValueError, "speed must be positive"),
    ({"loop": "yes"}, TypeError, "loop must be"),
    ({"start": -1}, ValueError, "start must be zero or more"),
])
def test_bad_options_are_refused(recording, entries, error, text):
    entries = dict(entries)
    if entries and "path" not in entries:
        entries["path"] = recording
    with pytest.raises(error, match=text):
        XDFReplay(**entries)


def test_connectors_save_and_load_by_module(recording, tmp_path):
    pytest.importorskip("pylsl")
    pytest.importorskip("paho.mqtt")
    from velarix.connect import LSLInlet, LSLOutlet, MQTTPublisher, MQTTSubscriber

    pipeline = Pipeline(directory="")
    pipeline.connect(XDFReplay(path=recording, stream="eeg", speed="max"), LSLOutlet(stream="o", channel_count=3))
    pipeline.connect(LSLInlet(query="type='EEG'", timeout=2.0), MQTTPublisher(topic="out", qos=2))
    pipeline.connect(MQTTSubscriber(topic=["a/#", "b"], encoding="raw"), Collect())
    pipeline.save(str(tmp_path / "p.json"))
    loaded = Pipeline.load(str(tmp_path / "p.json"), directory="", fresh_ids=True)
    pairs = [(type(n).__name__, {k: v for k, v in n.config.items() if k not in ("id", "output_ports", "input_ports")})
             for n in loaded.get_nodes()[:6]]
    original = [(type(n).__name__, {k: v for k, v in n.config.items() if k not in ("id", "output_ports", "input_ports")})
                for n in pipeline.get_nodes()[:6]]
    assert pairs == original
    assert type(loaded.get_nodes()[0]) is XDFReplay  # the library's own class, imported
    pipeline.close()
    loaded.close()


def test_stop_mid_replay_and_start_again(recording, no_thread_leak):
    pipeline, source, sink = replay(wanted=20, path=recording, stream="eeg", speed=1.0)
    with pipeline:
        pipeline.start()
        assert sink.done.wait(10)
        pipeline.stop()  # 2.5 s recording, stopped a fraction of the way in
        assert not source.get_stats()["connector"]["finished"]
        first_pass = source.get_stats()["connector"]["samples"]
        assert first_pass < N
        sink.done.clear()
        sink.wanted = first_pass + 20
        pipeline.start()  # from the start again, description kept
        assert sink.done.wait(10)
        stamps = np.concatenate([c["timestamps"] for c in sink.chunks])
        assert stamps[first_pass] == 10.0
        assert sink.metadata["channel_names"] == ["Fz", "Cz", "Pz"]
