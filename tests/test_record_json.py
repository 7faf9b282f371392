"""Recordings other tools read: JSON messages with a schema, pickles only on request,
foreign MCAP files, arrays as JSON, and the tap's first-value ordering."""

import json
import math
import os
import pathlib
import pickle
import subprocess
import sys

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("mcap")

import velarix  # noqa: E402
from velarix import INode, ONode, Pipeline  # noqa: E402
from velarix.imp.portan import RecordBuffer, _read_chunk  # noqa: E402
from velarix.record import RecordingReader, Replay  # noqa: E402
from velarix.record._format import PickleRefused  # noqa: E402
from velarix.record._recorder import _make_tap  # noqa: E402

PACKAGE_ROOT = str(pathlib.Path(velarix.__file__).resolve().parents[1])

PLAIN = [
    0, -1, 2**31, 2**63 - 1, -2**63, 2**64, -10**40, True, False, None, 0.0, -0.0, 1.0, 0.1, 1e16, 1e-7,
    5e-324, 1.7976931348623157e308, 2.0**53 + 2, "", "plain", 'quote " back \\ slash', "\x00\x1f\x7f\n\t\r",
    "é☃😀", [], [1, "a", None, [2.5, [True]]], {}, {"a": 1, "b": {"c": [None, {"d": "e"}]}, "": 0},
    list(range(300)), {str(n): n for n in range(50)},
]


class Source(ONode):
    def step(self, data):
        return {"out": data["n"]}


class Collect(INode):
    def __init__(self, **entries):
        super().__init__(**entries)
        self.seen = []

    def step(self, data):
        self.seen.append(data["in"])


class Marker:
    """Unpickling it would create the file at `path`."""

    def __init__(self, path):
        self.path = path

    def __reduce__(self):
        return (open, (self.path, "w"))


def push_all(path, pushed, metadata=None, **options):
    source = Source(name="src")
    if metadata is not None:
        source.get_port("out").config.set_metadata(metadata)
    with Pipeline(directory="") as pipeline:
        pipeline.add_node(source)
        recording = pipeline.record(str(path), **options)
        pipeline.start()
        port = source.get_port("out")
        for value in pushed:
            port.push(value)
        pipeline.stop()
        infos = [e["message"] for e in pipeline.get_logger().get_by_type("INFO") if "pickled" in e["message"]]
    assert recording.get_stats()["dropped"] == 0
    return infos


def replayed(path, **entries):
    replay, sink = Replay(path=str(path), speed="max", **entries), Collect(name="sink")
    with Pipeline(directory="") as pipeline:
        pipeline.connect_ports(replay, next(iter(replay._imp._output_ports)), sink, "in")
        pipeline.start()
        assert replay.wait(10)
        total = replay.get_stats()["replay"]["total"]
        while len(sink.seen) < total and pipeline.get_state() == "RUNNING":
            pipeline.wait(0.05)
    return sink.seen


def same(a, b):
    """Equal with the same types all the way down (nan equal to nan)."""
    return pickle.dumps(a, 5) == pickle.dumps(b, 5) or (
        type(a) is type(b) is float and math.isnan(a) and math.isnan(b))


def run_cli(*args, cwd):
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    return subprocess.run([sys.executable, "-m", "velarix", *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=60)


READ_ALONE = r"""
import json, sys
import jsonschema, mcap.reader
with open(sys.argv[1], "rb") as file:
    found = [(schema, channel, json.loads(message.data))
             for schema, channel, message in mcap.reader.make_reader(file).iter_messages()]
for schema, channel, message in found:
    assert channel.message_encoding == "json" and schema.encoding == "jsonschema", channel
    assert (channel.metadata["node"], channel.metadata["port"]) == ("src", "out"), channel.metadata
    assert json.loads(channel.metadata["port_metadata_json"]) == {"unit": "V", "rate": 250}
    checked = json.loads(schema.data)
    jsonschema.Draft202012Validator.check_schema(checked)
    jsonschema.validate(message, checked)
    assert list(message) == ["value"], message
assert "velarix" not in sys.modules
json.dump([message["value"] for _, _, message in found], sys.stdout)
"""


def test_plain_values_are_json_that_the_mcap_package_and_jsonschema_read_alone(tmp_path):
    path = tmp_path / "plain.mcap"
    assert push_all(path, PLAIN, metadata={"unit": "V", "rate": 250}) == []
    done = subprocess.run([sys.executable, "-c", READ_ALONE, str(path)], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    decoded = json.loads(done.stdout)
    assert len(decoded) == len(PLAIN)
    for got, want in zip(decoded, PLAIN):
        assert same(got, want), (got, want)
    # ... and velarix, by default (no pickle in the file), gives back the same.
    assert all(same(a, b) for a, b in zip(replayed(path), PLAIN, strict=True))
    [channel] = RecordingReader(str(path)).contents().channels.values()
    assert channel.encoding == "json"
    assert Replay(path=str(path)).setup({}, {}) == {"src.out": {"unit": "V", "rate": 250}}  # as recorded


CHANGED_BY_JSON = [(1, 2), b"bytes", float("nan"), float("inf"), {1: "int key"}, "\ud800", {1, 2},
                   [1, (2,)], {"k": b"v"}, bytearray(b"x"), complex(1, 2), Marker("/nonexistent/x")]


@pytest.mark.parametrize("values", ["json", "pickle5"])
def test_mixed_values_replay_identically_in_order_with_allow_pickle(tmp_path, values):
    path = tmp_path / "mixed.mcap"
    mixed = [v for pair in zip(PLAIN, CHANGED_BY_JSON * 3) for v in pair]
    mixed = [m for m in mixed if not isinstance(m, Marker)]
    infos = push_all(path, mixed, values=values)
    if values == "json":  # once per port, naming the first type that needed it
        assert len(infos) == 1 and "src.out" in infos[0] and "tuple" in infos[0]
    encodings = {c.encoding for c in RecordingReader(str(path), allow_pickle=True).contents().channels.values()}
    assert encodings == ({"json", "pickle5"} if values == "json" else {"pickle5"})
    with pytest.raises(PickleRefused, match=r"src\.out.*allow_pickle"):
        Replay(path=str(path))
    for got, want in zip(replayed(path, allow_pickle=True), mixed, strict=True):
        assert same(got, want), (got, want)


def crafted_recording(path, marker):
    """A velarix-looking recording whose value and port metadata would run code."""
    import base64

    from velarix.record._format import PROFILE, DirectFile
    from velarix.record._writer import Writer

    stream = DirectFile(str(path))
    writer = Writer(stream, "zstd", 1 << 20)
    writer.start(PROFILE, "test")
    evil = base64.b64encode(pickle.dumps(Marker(str(marker)), 5)).decode()
    channel = writer.register_channel("src.out", "pickle5", 0, {"node": "src", "port": "out",
                                                                 "port_metadata": evil})
    writer.add_message(channel, 1000, pickle.dumps(Marker(str(marker)), 5))
    writer.finish()
    stream.close()


def test_a_file_whose_pickles_run_code_is_refused_everywhere_and_listed_safely(tmp_path):
    path, marker = tmp_path / "evil.mcap", tmp_path / "marker"
    crafted_recording(path, marker)
    for refused in (lambda: RecordingReader(str(path)), lambda: Replay(path=str(path))):
        with pytest.raises(PickleRefused, match=r"src\.out.*allow_pickle=True"):
            refused()
    info = run_cli("info", path, cwd=tmp_path)
    assert info.returncode == 0 and "pickle5" in info.stdout and "--allow-pickle" in info.stdout
    assert "port metadata" in info.stdout and "pickled" in info.stdout
    replay = run_cli("replay", path, cwd=tmp_path)
    assert replay.returncode == 2 and len(replay.stderr.strip().splitlines()) == 1
    assert "--allow-pickle" in replay.stderr and "src.out" in replay.stderr
    # Listing channels with the option set decodes nothing either.
    reader = RecordingReader(str(path), allow_pickle=True)
    assert [c.topic for c in reader.contents().channels.values()] == ["src.out"]
    assert not marker.exists()
    [message] = reader.messages()
    message.value()  # the crafted pickle is real: with the option it runs
    assert marker.exists()


def test_a_json_file_written_by_the_mcap_package_alone_replays_as_dicts(tmp_path):
    from mcap.writer import Writer

    path = tmp_path / "foreign.mcap"
    with open(path, "wb") as stream:
        writer = Writer(stream)
        writer.start(profile="", library="another tool")
        schema = writer.register_schema("Pose", "jsonschema", b'{"type": "object"}')
        channel = writer.register_channel("/robot/pose", "json", schema)
        for n in range(5):
            writer.add_message(channel, 1000 + n, json.dumps({"x": n, "y": [n, 0.5]}).encode(), 1000 + n)
        writer.finish()
    assert replayed(path, ports={"/robot/pose": "out"}) == [{"x": n, "y": [n, 0.5]} for n in range(5)]
    info = run_cli("info", path, cwd=tmp_path)
    assert info.returncode == 0 and "not a velarix recording" in info.stdout and "/robot/pose" in info.stdout


def test_arrays_recorded_as_json_read_back_as_arrays(tmp_path):
    path = tmp_path / "arrays.mcap"
    arrays = [np.arange(6, dtype=np.float32).reshape(2, 3), np.array([1, -2], dtype=np.int64),
              np.array([True, False]), np.array([np.nan, 1.0])]  # the last: not JSON, so .npy
    push_all(path, arrays, arrays="json")
    with open(path, "rb") as file:
        import mcap.reader

        raw = [(c.message_encoding, m.data) for _, c, m in mcap.reader.make_reader(file).iter_messages()]
    assert [encoding for encoding, _ in raw] == ["json", "json", "json", "npy"]
    assert json.loads(raw[0][1]) == {"value": [[0, 1, 2], [3, 4, 5]], "dtype": "<f4", "shape": [2, 3]}
    for got, want in zip(replayed(path), arrays, strict=True):
        assert got.dtype == want.dtype and np.array_equal(got, want, equal_nan=True)


def test_a_push_while_the_channel_is_made_keeps_its_place_behind_the_first_value():
    buffer = RecordBuffer(2, 10, 1 << 20, 1 << 20, None, True)
    first = Source(name="a")._imp._output_ports["out"]
    second = Source(name="b")._imp._output_ports["out"]
    first.connect(_make_tap(buffer, 0))
    second.connect(_make_tap(buffer, 1))
    asked = []

    def maker(tap, encoding, why):
        asked.append((tap, encoding, why))
        if len(asked) == 1:  # another first value and a value of this tap arrive meanwhile
            second.push("b1")
            first.push("a2")
        return (len(asked), None)

    buffer.set_channel_maker(maker)
    first.push("a1")
    first.push((1, 2))  # behind a waiting value: it waits too, pickled at its push
    assert asked == [(0, "json", "")]
    assert buffer.front()[0] == 1 and buffer.front_encoding() == "json"  # "b1" waits for its channel
    buffer.set_channel(1, 2, "json")  # as the writer makes them
    buffer.set_channel(0, 3, "pickle5")
    buffer.write_ready()
    buffer.close_chunk()
    [(data, *_)] = buffer.take()
    batch, _, stop = _read_chunk(data, 0, 0, {1: ("a", json.loads), 2: ("b", json.loads), 3: ("a", True)},
                                 pickle.loads)
    assert stop is None
    assert [(t, v) for t, _, v in batch] == [("a", {"value": "a1"}), ("b", {"value": "b1"}),
                                             ("a", {"value": "a2"}), ("a", (1, 2))]


MEMORY = r"""
import resource, sys
from velarix import ONode, Pipeline
class Source(ONode):
    def step(self, data):
        return {"out": 0}
big = "x" * (400 << 20)
source = Source(name="src")
with Pipeline(directory="") as pipeline:
    pipeline.add_node(source)
    recording = pipeline.record(sys.argv[1], chunk_size=1 << 30)
    pipeline.start()
    port = source.get_port("out")
    port.push(1)
    used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (used + (200 << 20), resource.RLIM_INFINITY))
    port.push(big)  # no room to frame it: dropped and counted, the recording goes on
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    port.push(2)
    pipeline.stop()
stats = recording.get_stats()
print(stats["recorded"], stats["dropped"], stats["error"])
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's allocator ends the process on a failed allocation, under any limit")
def test_a_value_without_memory_to_frame_it_is_dropped_and_counted(tmp_path):
    path = tmp_path / "memory.mcap"
    done = subprocess.run([sys.executable, "-c", MEMORY, str(path)], capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT))
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["2", "1", "None"]
    assert [m.value() for m in RecordingReader(str(path)).messages()] == [1, 2]


def test_ports_into_numpy_pandas_and_one_file_each(tmp_path):
    import csv

    path = tmp_path / "analysis.mcap"
    sources = {name: Source(name=name) for name in "abcd"}
    with Pipeline(directory="") as pipeline:
        for source in sources.values():
            pipeline.add_node(source)
        pipeline.record(str(path))
        pipeline.start()
        for n in range(4):
            sources["a"].get_port("out").push(n * 0.5)
            sources["d"].get_port("out").push(n - 2**62)
            sources["b"].get_port("out").push(np.full(3, n, dtype=np.int16))
            sources["c"].get_port("out").push({"x": n, "name": f"n{n}"})
        pipeline.stop()
    reader = RecordingReader(str(path))
    times, values = reader.to_numpy("a.out")
    assert times.dtype == np.int64 and list(np.diff(times) >= 0) == [True] * 3
    assert values.tolist() == [0.0, 0.5, 1.0, 1.5]
    times, values = reader.to_numpy("b.out")
    assert values.shape == (4, 3) and values.dtype == np.int16
    assert reader.to_numpy("d.out")[1].tolist() == [n - 2**62 for n in range(4)]  # ints that fit int64 stack
    assert reader.to_numpy("d.out")[1].dtype == np.int64
    with pytest.raises(KeyError, match="no port"):
        reader.to_numpy("nothing.out")
    frames = reader.to_pandas()
    assert list(frames["b.out"].columns) == ["time_ns", "value_0", "value_1", "value_2"]
    assert frames["c.out"]["name"].tolist() == ["n0", "n1", "n2", "n3"]
    for form in ("csv", "npz", "parquet"):
        out = tmp_path / form
        done = run_cli("export", path, "--format", form, "--out", out, cwd=tmp_path)
        assert done.returncode == 0, done.stderr
        assert sorted(p.name for p in out.iterdir()) == [f"{port}.out.{form}" for port in "abcd"]
    with open(tmp_path / "csv" / "c.out.csv") as file:
        rows = list(csv.reader(file))
    assert rows[0] == ["time_ns", "x", "name"] and rows[1][1:] == ["0", "n0"]
    assert np.load(tmp_path / "npz" / "b.out.npz")["value"].shape == (4, 3)
    import pyarrow.parquet

    table = pyarrow.parquet.read_table(tmp_path / "parquet" / "a.out.parquet")
    assert table.column_names == ["time_ns", "value"] and table.column("value").to_pylist()[-1] == 1.5


def test_the_readme_json_reader_reads_a_whole_and_a_cut_short_recording_alone(tmp_path):
    import re

    readme = (pathlib.Path(__file__).resolve().parents[1] / "README.md").read_text()
    script = re.search(r"```python\n(import sys, json\n.*?)```", readme, re.S).group(1)
    assert len(script.strip().splitlines()) <= 10
    path = tmp_path / "whole.mcap"
    push_all(path, list(range(300)), chunk_size=500)
    data = path.read_bytes()
    (tmp_path / "cut.mcap").write_bytes(data[:len(data) // 2])  # a kill -9 mid-write, torn too
    for name, complete in (("whole.mcap", True), ("cut.mcap", False)):
        done = subprocess.run([sys.executable, "-c", script + "\nassert 'velarix' not in sys.modules\n", name],
                              cwd=tmp_path, capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        values = [int(line.split()[2]) for line in done.stdout.splitlines()]
        assert values == list(range(len(values))) and (len(values) == 300) == complete and len(values) > 50
        assert ("ends early" in done.stderr) != complete


def test_json_messages_read_natively_give_what_json_loads_gives():
    import struct

    texts = ["null", "true", "false", "0", "-0", "-0.0", "12", "-9223372036854775809", "1" * 40, "1.5", "1e5",
             "1E-5", "2.5e+300", "1e400", '""', '"plain é"', '"esc\\"aped\\n"', '"\\u00e9"', "[1, 2]", '{"a": 1}',
             "01", "1.", "-", "+1", "nan", '"unterminated']
    payloads = [b'{"value":' + text.encode() + b"}" for text in texts]
    payloads += [b'{"value":"\xff"}', b'{"value":1,"dtype":"<i8","shape":[]}', b"[1]", b'{"other":1}']
    chunk = b"".join(struct.pack("<BQHIQQ", 0x05, 22 + len(p), 1, n, n, n) + p for n, p in enumerate(payloads))
    from velarix.record._format import _from_json

    for payload in payloads:
        route = {1: ("t", (_from_json,))}
        batch, _, stop = _read_chunk(struct.pack("<BQHIQQ", 0x05, 22 + len(payload), 1, 0, 0, 0) + payload,
                                     0, 0, route, pickle.loads)
        try:
            want = _from_json(payload)
        except ValueError as error:
            assert isinstance(stop, ValueError) and batch == [], (payload, error)
            continue
        assert stop is None and len(batch) == 1 and same(batch[0][2], want), (payload, batch, stop)
    assert len(_read_chunk(chunk, 0, 0, {1: ("t", (lambda data: "fallback",))}, pickle.loads)[0]) == len(payloads)


def test_ros2_and_protobuf_channels_of_another_tool_replay_decoded(tmp_path):
    ros2_writer = pytest.importorskip("mcap_ros2.writer")
    protobuf_writer = pytest.importorskip("mcap_protobuf.writer")
    from google.protobuf.timestamp_pb2 import Timestamp

    ros2 = tmp_path / "ros2.mcap"
    with open(ros2, "wb") as stream:
        writer = ros2_writer.Writer(stream)
        schema = writer.register_msgdef("demo_msgs/Reading", "int32 count\nstring label\nfloat64[] samples")
        for n in range(3):
            writer.write_message("/sensor", schema, {"count": n, "label": f"r{n}", "samples": [n, 0.5]},
                                 log_time=1000 + n)
        writer.finish()
    seen = replayed(ros2, ports={"/sensor": "out"})  # as dicts, as JSON channels play
    assert seen == [{"count": n, "label": f"r{n}", "samples": [n, 0.5]} for n in range(3)]

    protobuf = tmp_path / "protobuf.mcap"
    with open(protobuf, "wb") as stream:
        writer = protobuf_writer.Writer(stream)
        for n in range(3):
            writer.write_message("/clock", Timestamp(seconds=n, nanos=7), log_time=1000 + n)
        writer.finish()
    assert [(m.seconds, m.nanos) for m in replayed(protobuf, ports={"/clock": "out"})] == [(n, 7) for n in range(3)]
