"""LSL scenarios, each run by tests/test_connect_lsl.py inside a private network
namespace: `python lsl_scenarios.py NAME` prints one JSON line of findings."""

import json
import os
import pathlib
import subprocess
import sys
import threading
import time

import numpy as np
import pylsl

from velarix import INode, LogType, Pipeline, PipelineError
from velarix.connect import LSLInlet, LSLOutlet, LSLStreamNotFound

HERE = pathlib.Path(__file__).resolve().parent


def device(name, channels, rate, count, first=0, go=False):
    process = subprocess.Popen([sys.executable, str(HERE / "lsl_device.py"), name, str(channels), str(rate),
                                str(count), str(first)] + (["go"] if go else []), stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert process.stdout.readline().strip() == "ready"
    return process


class Collect(INode):
    def __init__(self, **entries):
        super().__init__(**entries)
        self.chunks = []
        self.metadata = None
        self.arrived = threading.Event()
        self.wanted = 0

    def setup(self, data, metadata):
        self.metadata = metadata["in"]
        return {}

    def step(self, data):
        self.chunks.append(data["in"])
        if sum(len(c["timestamps"]) for c in self.chunks) >= self.wanted:
            self.arrived.set()


def connector_threads():
    return [t.name for t in threading.enumerate() if t.name.startswith("velarix-lsl")]


def sockets():
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            count += os.readlink(f"/proc/self/fd/{fd}").startswith("socket:")
        except OSError:  # the listing's own descriptor, gone already
            pass
    return count


def relay():
    """device -> LSLInlet -> LSLOutlet -> a plain pylsl inlet, 2000 samples x 8 channels."""
    channels, count = 8, 2000
    source = device("dev", channels, 1000.0, count, go=True)
    before = sockets()
    inlet = LSLInlet(query="name='dev' and type='EEG'", timeout=5.0)
    outlet = LSLOutlet(stream="relay", type="EEG", source_id="relay-1")
    pipeline = Pipeline(directory="")
    pipeline.connect(inlet, outlet)
    pipeline.start()
    found = pylsl.resolve_byprop("name", "relay", 1, 10.0)
    reader = pylsl.StreamInlet(found[0], processing_flags=pylsl.proc_clocksync)
    reader.open_stream(5.0)
    # The device's first sample made the relay's stream; now the ramp.
    source.stdin.write("go\n")
    source.stdin.flush()
    samples, stamps = [], []
    deadline = time.monotonic() + 20
    while sum(map(len, stamps)) < count and time.monotonic() < deadline:
        chunk, ts = reader.pull_chunk(timeout=0.2, max_samples=4096, as_numpy=True)
        keep = chunk[:, 0] >= 0 if len(ts) else []
        if len(ts) and keep.any():
            chunk, ts = chunk[keep], ts[keep]
            samples.append(chunk)
            stamps.append(ts)
    now = pylsl.local_clock()
    data = np.concatenate(samples) if samples else np.zeros((0, channels))
    ts = np.concatenate(stamps) if stamps else np.zeros(0)
    expected = (np.arange(count)[:, None] * channels + np.arange(channels)).astype(np.float32)
    info = reader.info(5.0)
    stats_in = inlet.get_stats()["connector"]
    stats_out = outlet.get_stats()["connector"]
    pipeline.close()
    del reader
    source.stdin.close()
    source.wait(10)
    time.sleep(0.2)
    print(json.dumps({
        "received": int(len(ts)),
        "equal": bool(data.shape == expected.shape and np.array_equal(data, expected)),
        "increasing": bool(np.all(np.diff(ts) > 0)),
        "recent": bool(len(ts) and 0 <= now - ts[-1] < 5),
        "channels": info.channel_count(), "rate": info.nominal_srate(),
        "format": info.channel_format(), "labels": info.get_channel_labels(),
        "type": info.type(), "source_id": info.source_id(),
        "stats_in": stats_in, "stats_out": stats_out,
        "condition": pipeline.get_condition(), "threads": connector_threads(),
        "sockets_left": sockets() - before,
    }))


def not_found():
    """No such stream: the pipeline stops with an error that says so."""
    inlet = LSLInlet(stream="nothing-here", timeout=0.3)
    sink = Collect()
    started = time.monotonic()
    result = {}
    with Pipeline(directory="") as pipeline:
        pipeline.connect(inlet, sink)
        pipeline.start()
        try:
            pipeline.wait(10)
        except PipelineError as error:
            result = {"cause": type(error.__cause__).__name__, "message": str(error.__cause__),
                      "is_lookup": isinstance(error.__cause__, LookupError)}
    result["seconds"] = time.monotonic() - started
    # A stop while the inlet is still looking ends its search at once.
    patient = LSLInlet(stream="nothing-here", timeout=60.0)
    with Pipeline(directory="") as pipeline:
        pipeline.connect(patient, Collect())
        pipeline.start()
        time.sleep(0.3)
        started = time.monotonic()
    result["stop_seconds"] = time.monotonic() - started
    result["threads"] = connector_threads()
    print(json.dumps(result))


def lost_and_back():
    """The device goes away and comes back: a WARNING, then values again."""
    channels = 4
    first = device("flaky", channels, 500.0, 100)
    inlet = LSLInlet(stream="flaky", timeout=5.0)
    sink = Collect()
    sink.wanted = 100
    pipeline = Pipeline(directory="")
    pipeline.connect(inlet, sink)
    pipeline.start()
    got_first = sink.arrived.wait(10)
    first.kill()
    first.wait()
    logger = pipeline.get_logger()

    def logged(kind, text):
        return any(text in e["message"] for e in logger.get_by_type(kind))

    deadline = time.monotonic() + 10
    while not logged(LogType.WARNING, "was lost") and time.monotonic() < deadline:
        time.sleep(0.05)
    warned = logged(LogType.WARNING, "was lost")
    connected_while_lost = inlet.get_stats()["connector"]["connected"]
    sink.arrived.clear()
    sink.wanted = 200
    second = device("flaky", channels, 500.0, 100, first=1000)
    got_second = sink.arrived.wait(15)
    back = logged(LogType.INFO, "is back")
    stats = inlet.get_stats()["connector"]
    condition = pipeline.get_condition()
    pipeline.close()
    second.stdin.close()
    second.wait(10)
    values = np.concatenate([c["samples"] for c in sink.chunks])
    print(json.dumps({
        "got_first": got_first, "warned": warned, "got_second": got_second, "back": back,
        "connected_while_lost": connected_while_lost, "stats": stats, "condition": condition,
        "first_values": values[:100, 0].tolist() == [k * channels for k in range(100)],
        "second_values": values[100:200, 0].tolist() == [k * channels for k in range(1000, 1100)],
        "metadata": sink.metadata, "threads": connector_threads(),
    }))


def markers():
    """A string stream in and out: values stay str, the format says so."""
    info = pylsl.StreamInfo("marks", "Markers", 2, pylsl.IRREGULAR_RATE, "string", "marks-1")
    device = pylsl.StreamOutlet(info)
    inlet = LSLInlet(stream="marks", timeout=5.0)
    sink = Collect()
    sink.wanted = 3
    outlet = LSLOutlet(stream="marks-out")
    pipeline = Pipeline(directory="")
    pipeline.connect(inlet, sink)
    pipeline.connect_ports(inlet, "out", outlet, "in")
    pipeline.start()
    deadline = time.monotonic() + 10
    while not device.have_consumers() and time.monotonic() < deadline:
        time.sleep(0.02)
    device.push_sample(["start", "trial 1"])
    found = pylsl.resolve_byprop("name", "marks-out", 1, 10.0)
    reader = pylsl.StreamInlet(found[0])
    reader.open_stream(5.0)
    time.sleep(0.2)
    device.push_sample(["stop", "trial 1"])
    device.push_sample(["ä ü", ""])
    arrived = sink.arrived.wait(10)
    got = []
    while len(got) < 2 and time.monotonic() < deadline + 5:
        sample, _ = reader.pull_sample(timeout=0.2)
        if sample is not None:
            got.append(sample)
    values = [row for chunk in sink.chunks for row in chunk["samples"].tolist()]
    kinds = {type(v).__name__ for row in values for v in row}
    result = {"arrived": arrived, "values": values, "kinds": sorted(kinds), "metadata": sink.metadata,
              "relayed": got, "format": reader.info(5.0).channel_format()}
    pipeline.close()
    print(json.dumps(result))


def outlet_checks():
    """Values of the wrong width or kind are dropped and counted; bare arrays pass."""
    from velarix import ONode

    class Feed(ONode):
        def step(self, data):
            return {"out": data["v"]}

    feed = Feed()
    outlet = LSLOutlet(stream="checked", channel_count=3, nominal_srate=0.0, channel_format="double64")
    pipeline = Pipeline(directory="")
    pipeline.connect(feed, outlet)
    pipeline.start()
    feed.cycle({"v": np.zeros((1, 3))})  # declares the stream
    found = pylsl.resolve_byprop("name", "checked", 1, 10.0)
    reader = pylsl.StreamInlet(found[0])
    reader.open_stream(5.0)
    time.sleep(0.3)
    # An empty chunk is nothing to push, not a drop; a value without time stamps is
    # stamped by the outlet as it goes.
    for value in ({"samples": np.ones((2, 3)), "timestamps": np.array([10.0, 11.0])},
                  np.ones((2, 4)), "text", np.zeros((0, 3))):
        feed.cycle({"v": value})
    pushed_at = pylsl.local_clock()
    feed.cycle({"v": [7.0, 8.0, 9.0]})
    rows, stamps = [], []
    deadline = time.monotonic() + 10
    while len(rows) < 3 and time.monotonic() < deadline:
        chunk, ts = reader.pull_chunk(timeout=0.2, as_numpy=True)
        # The declaring zeros reach the reader too when the outlet still buffers
        # them as it connects: whether they do is a race of no interest here.
        for row, stamp in zip(chunk.tolist(), ts.tolist()):
            if row != [0.0] * 3:
                rows.append(row)
                stamps.append(stamp)
    read_at = pylsl.local_clock()
    deadline = time.monotonic() + 5
    while outlet.get_stats()["connector"]["values"] < 3 and time.monotonic() < deadline:
        time.sleep(0.02)
    stats = outlet.get_stats()["connector"]
    warnings = [e["message"] for e in pipeline.get_logger().get_by_type(LogType.WARNING)]
    pipeline.close()
    print(json.dumps({"rows": rows, "stamps": stamps, "stats": stats, "warnings": warnings, "pushed_at": pushed_at,
                      "read_at": read_at}))


if __name__ == "__main__":
    globals()[sys.argv[1]]()
