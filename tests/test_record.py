"""Recording output ports to MCAP files, replaying them, offline runs and the
record / replay / info commands."""

import itertools
import os
import pathlib
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("mcap")

import velarix  # noqa: E402
from velarix import INode, IONode, ONode, Pipeline  # noqa: E402
from velarix.record import Recording, RecordingError, RecordingReader, Replay  # noqa: E402
from velarix.record._offline import run_offline  # noqa: E402

WAIT = 10.0
ROOT = pathlib.Path(__file__).resolve().parents[1]
PACKAGE_ROOT = str(pathlib.Path(velarix.__file__).resolve().parents[1])


class Source(ONode):
    def step(self, data):
        return {"out": data["v"]}


class Pair(ONode):
    """Pushes on two ports each step: "a" then "b"."""

    def __init__(self, **entries):
        entries.setdefault("output_ports", [{"name": "a"}, {"name": "b"}])
        super().__init__(**entries)

    def step(self, data):
        return {"a": data["v"], "b": -data["v"]}


class Scale(IONode):
    def step(self, data):
        return {"out": data["in"] * 3 + 1}


class Collect(INode):
    def __init__(self, **entries):
        super().__init__(**entries)
        self.seen = []
        self.count = threading.Semaphore(0)

    def step(self, data):
        self.seen.append(data["in"])
        self.count.release()

    def wait_for(self, n):
        for _ in range(n):
            assert self.count.acquire(timeout=10.0), f"only {len(self.seen)} of {n} values arrived"


class SlowToStore:
    """Pickles slowly, so the recorder's writer falls behind."""

    def __deepcopy__(self, memo):
        return self  # the step's copy stays quick: only storing it is slow

    def __reduce__(self):
        time.sleep(0.005)
        return (int, (0,))


class Unpicklable:
    def __deepcopy__(self, memo):
        return self

    def __reduce__(self):
        raise TypeError("not for files")


def values_of_every_kind():
    return [
        7, "text", b"\x00bytes", None, 2.5, {"a": [1, (2, 3)], "b": {"c": b"x"}},
        np.arange(12, dtype=np.float32).reshape(3, 4), np.ones((2, 3, 4), dtype=np.int16),
        np.array([True, False]), np.array([1 + 2j], dtype=np.complex128), np.zeros(0, dtype=np.uint8),
        np.asfortranarray(np.arange(6, dtype=np.int64).reshape(2, 3)),
        np.array([(1, 2.0)], dtype=[("i", "<i4"), ("f", "<f8")]),
        {"nested": [np.arange(3, dtype=np.uint32), {"deep": (b"y", 1)}]},
        np.array(["a", {"object": 1}], dtype=object),
    ]


def assert_same(got, want):
    assert type(got) is type(want)
    if isinstance(want, np.ndarray):
        assert got.dtype == want.dtype and got.shape == want.shape
        assert np.array_equal(got, want)
    elif isinstance(want, dict):
        assert got.keys() == want.keys()
        for key in want:
            assert_same(got[key], want[key])
    elif isinstance(want, (list, tuple)):
        assert len(got) == len(want)
        for a, b in zip(got, want):
            assert_same(a, b)
    else:
        assert got == want


def record_values(path, values, **options):
    source, sink = Source(name="src"), Collect(name="sink")
    with Pipeline(directory="") as pipeline:
        pipeline.connect(source, sink)
        recording = pipeline.record(str(path), **options)
        pipeline.start()
        for value in values:
            source.cycle({"v": value})
        sink.wait_for(len(values))
        pipeline.stop()
    assert not recording.is_recording()
    return recording, pipeline


def replay_into_sink(path, **entries):
    replay, sink = Replay(path=str(path), allow_pickle=True, **entries), Collect(name="sink")
    with Pipeline(directory="") as pipeline:
        pipeline.connect_ports(replay, next(iter(replay._imp._output_ports)), sink, "in")
        pipeline.start()
        assert replay.wait(WAIT)
        sink.wait_for(replay.get_stats()["replay"]["replayed"])
    return sink.seen, replay


# Recording and replaying ----------------------------------------------------------

def test_every_kind_of_value_round_trips_through_record_and_replay(tmp_path):
    path = tmp_path / "kinds.mcap"
    values = values_of_every_kind()
    recording, _ = record_values(path, values)
    stats = recording.get_stats()
    assert (stats["recorded"], stats["dropped"], stats["error"]) == (len(values), 0, None)
    assert recording._file.closed
    assert stats["ports"] == {"src.out": len(values)}

    reader = RecordingReader(str(path), allow_pickle=True)
    messages = list(reader.messages())
    assert reader.complete and reader.problem is None
    for message, want in zip(messages, values, strict=True):
        assert_same(message.value(), want)
    encodings = [m.channel.encoding for m in messages]
    assert encodings[6:13] == ["npy"] * 7 and encodings[14] == "pickle5"  # object arrays pickle
    assert {m.channel.topic for m in messages} == {"src.out"}

    seen, replay = replay_into_sink(path, speed="max", ports={"src.out": "out"})
    for got, want in zip(seen, values, strict=True):
        assert_same(got, want)
    figures = replay.get_stats()["replay"]
    assert (figures["replayed"], figures["total"], figures["finished"]) == (len(values), len(values), True)


def test_arrays_read_back_with_mcap_and_numpy_alone(tmp_path):
    """The README's reading script, run in an interpreter that never imports velarix."""
    path = tmp_path / "arrays.mcap"
    arrays = [np.arange(6, dtype=np.float64).reshape(2, 3), np.ones(4, dtype=np.int8)]
    record_values(path, arrays + [{"not": "an array"}])
    readme = (ROOT / "README.md").read_text()
    script = re.search(r"```python\n(import sys, io\n.*?)```", readme, re.S).group(1)
    assert len(script.strip().splitlines()) <= 10
    check = script + "\nassert 'velarix' not in sys.modules\n"
    result = subprocess.run([sys.executable, "-c", check, str(path)], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["src.out float64 (2, 3) 15.0", "src.out int8 (4,) 4"]


def test_the_file_describes_itself_and_taps_stay_out_of_the_graph(tmp_path):
    source, scale, sink = Source(name="src"), Scale(name="scale"), Collect(name="sink")
    with Pipeline(directory="") as pipeline:
        pipeline.connect(source, scale)
        pipeline.connect(scale, sink)
        saved = pipeline.serialize()
        pipeline.start()
        recording = pipeline.record(str(tmp_path / "r.mcap"), ports=["scale.out"])
        assert pipeline.serialize() == saved
        assert len(scale.get_output_port("out")._connected_ports) == 2
        assert "recorder" not in pipeline.to_dot()
        source.cycle({"v": 1})
        sink.wait_for(1)
        recording.stop()
        assert len(scale.get_output_port("out")._connected_ports) == 1
        source.cycle({"v": 2})  # after stop(): no longer recorded
        sink.wait_for(1)
    reader = RecordingReader(str(tmp_path / "r.mcap"), allow_pickle=True)
    assert [m.value() for m in reader.messages()] == [4]
    stored = Pipeline.deserialize(__import__("json").loads(reader.pipeline_json()), "", fresh_ids=True)
    assert [n.get_name() for n in stored.get_nodes()] == ["src", "scale", "sink"]
    channel = next(iter(reader.channels.values()))
    assert channel.metadata["node"] == "scale" and channel.metadata["port"] == "out"


def test_options_and_ports_are_checked(tmp_path):
    with Pipeline(directory="") as pipeline:
        pipeline.connect(Source(name="src"), Collect(name="sink"))
        with pytest.raises(ValueError, match="No output port 'src.nope'.*src.out"):
            pipeline.record(str(tmp_path / "x.mcap"), ports=["src.nope"])
        for bad in ({"compression": "gzip"}, {"queue_size": 0}, {"chunk_size": -1},
                    {"flush_interval": 0}, {"flush_interval": float("nan")}, {"flush_interval": "1"}):
            with pytest.raises(ValueError):
                pipeline.record(str(tmp_path / "x.mcap"), **bad)
        with pytest.raises(OSError):
            pipeline.record(str(tmp_path / "missing" / "x.mcap"))


def test_a_writer_that_falls_behind_drops_counts_and_warns(tmp_path):
    values = [SlowToStore() for _ in range(40)]
    source = Source(name="src")
    with Pipeline(directory="") as pipeline:
        pipeline.add_node(source)
        recording = pipeline.record(str(tmp_path / "slow.mcap"), queue_size=2)
        pipeline.start()
        for value in values:
            source.cycle({"v": value})
        pipeline.stop()
        warnings = [e["message"] for e in pipeline.get_logger().get_by_type("WARNING")]
    stats = recording.get_stats()
    assert stats["dropped"] > 0 and stats["recorded"] + stats["dropped"] == len(values)
    # Each warning counts the drops since the one before, and the last reaches the total.
    counts = [tuple(map(int, found.groups())) for found in
              (re.search(r": (\d+) values dropped \((\d+) in all\): the writer cannot keep up\.$", w) for w in warnings)
              if found]
    assert counts and [total for _, total in counts] == list(itertools.accumulate(n for n, _ in counts)), warnings
    assert counts[-1][1] == stats["dropped"]
    assert len(list(RecordingReader(str(tmp_path / "slow.mcap"), allow_pickle=True).messages())) == stats["recorded"]


def test_a_value_that_does_not_pickle_is_left_out_with_a_warning(tmp_path):
    source = Source(name="src")
    with Pipeline(directory="") as pipeline:
        pipeline.add_node(source)
        recording = pipeline.record(str(tmp_path / "odd.mcap"))
        pipeline.start()
        for value in (1, Unpicklable(), 2, Unpicklable(), 3):
            source.cycle({"v": value})
        pipeline.stop()
        warnings = [e["message"] for e in pipeline.get_logger().get_by_type("WARNING")]
    assert [m.value() for m in RecordingReader(str(tmp_path / "odd.mcap"), allow_pickle=True).messages()] == [1, 2, 3]
    assert recording.get_stats()["dropped"] == 2
    assert sum("a value of src.out cannot be stored (TypeError" in text for text in warnings) == 1


def test_the_queue_holds_a_bounded_number_of_bytes(tmp_path):
    source = Source(name="src")
    with Pipeline(directory="") as pipeline:
        pipeline.add_node(source)
        recording = pipeline.record(str(tmp_path / "bytes.mcap"), queue_bytes=2500)
        pipeline.start()
        source.cycle({"v": SlowToStore()})  # the writer is busy with it for a while
        for n in range(10):
            source.cycle({"v": bytes([n]) * 1000})
        pipeline.stop()
    stats = recording.get_stats()
    assert stats["dropped"] > 0 and stats["recorded"] + stats["dropped"] == 11
    values = [m.value() for m in RecordingReader(str(tmp_path / "bytes.mcap"), allow_pickle=True).messages()]
    assert values[0] == 0 and all(len(v) == 1000 for v in values[1:])


def test_compressions_and_a_recording_that_stops_with_its_pipeline(tmp_path):
    for compression in ("zstd", "lz4", "none"):
        path = tmp_path / f"{compression}.mcap"
        recording, pipeline = record_values(path, list(range(50)), compression=compression)
        assert recording.wait(WAIT)
        assert [m.value() for m in RecordingReader(str(path), allow_pickle=True).messages()] == list(range(50))


# Replay control ---------------------------------------------------------------------

def record_pairs(path, count):
    pair = Pair(name="pair")
    with Pipeline(directory="") as pipeline:
        pipeline.add_node(pair)
        recording = pipeline.record(str(path))
        pipeline.start()
        for v in range(count):
            pair.cycle({"v": v})
            time.sleep(0.001)  # spreads the recorded offsets over the run
        pipeline.stop()
    return recording


def test_replay_keeps_the_recorded_order_across_ports(tmp_path):
    record_pairs(tmp_path / "pairs.mcap", 30)
    replay = Replay(allow_pickle=True, name="replay", path=str(tmp_path / "pairs.mcap"), speed="max",
                    ports={"pair.a": "a", "pair.b": "b"})
    with Pipeline(directory="") as pipeline:
        pipeline.add_node(replay)
        again = pipeline.record(str(tmp_path / "again.mcap"))
        pipeline.start()
        assert replay.wait(WAIT)
        pipeline.stop()
    assert again.get_stats()["ports"] == {"pair.a": 30, "pair.b": 30}
    played = [(m.channel.topic, m.value()) for m in RecordingReader(str(tmp_path / "again.mcap"), allow_pickle=True).messages()]
    original = [(m.channel.topic, m.value()) for m in RecordingReader(str(tmp_path / "pairs.mcap"), allow_pickle=True).messages()]
    assert played == original
    assert played[:4] == [("pair.a", 0), ("pair.b", 0), ("pair.a", 1), ("pair.b", -1)]


class CollectThreads(Collect):
    def step(self, data):
        self.threads = getattr(self, "threads", set()) | {threading.current_thread().name}
        super().step(data)


def test_on_shared_threads_the_chain_steps_on_the_replays_thread(tmp_path):
    record_values(tmp_path / "values.mcap", list(range(100)))
    replay, sink = Replay(allow_pickle=True, name="replay", path=str(tmp_path / "values.mcap"), speed="max"), CollectThreads(name="sink")
    with Pipeline(directory="", threads=1) as pipeline:
        pipeline.connect_ports(replay, next(iter(replay._imp._output_ports)), sink, "in")
        pipeline.start()
        assert replay.wait(WAIT)
        sink.wait_for(100)
        pipeline.stop()
    assert sink.seen == list(range(100))
    # As after cycle(): no scheduler thread is woken for each value.
    assert "velarix-replay-replay" in sink.threads and sink.threads <= {"velarix-replay-replay", "velarix-scheduler-1"}


def test_pause_step_resume_loop_and_start(tmp_path):
    path = tmp_path / "pairs.mcap"
    record_pairs(path, 20)
    replay, sink = Replay(path=str(path), allow_pickle=True, ports={"pair.a": "out"}), Collect(name="sink")
    replay.pause()
    with Pipeline(directory="") as pipeline:
        pipeline.connect(replay, sink)
        pipeline.start()
        replay.step()
        sink.wait_for(1)
        replay.step()
        sink.wait_for(1)
        assert not sink.count.acquire(timeout=0.1)  # paused: nothing more comes
        assert sink.seen == [0, 1] and replay.get_stats()["replay"]["paused"]
        replay.resume()
        assert replay.wait(WAIT)
        sink.wait_for(18)
    assert sink.seen == list(range(20))

    looping, sink = Replay(path=str(path), allow_pickle=True, speed="max", loop=True, ports={"pair.b": "out"}), Collect()
    with Pipeline(directory="") as pipeline:
        pipeline.connect(looping, sink)
        pipeline.start()
        sink.wait_for(45)
    assert sink.seen[:45] == ([-v for v in range(20)] * 3)[:45]
    assert looping.get_stats()["replay"]["loops"] >= 2 and not looping.wait(0)

    offsets = [m.log_time for m in RecordingReader(str(path), allow_pickle=True).messages() if m.channel.topic == "pair.a"]
    later = (offsets[10] - offsets[0]) / 1e9
    seen, _ = replay_into_sink(path, speed="max", start=later, ports={"pair.a": "out"})
    assert seen == list(range(10, 20))


@pytest.mark.parametrize("speed", [1.0, 4.0])
def test_a_replay_keeps_the_recorded_spacing_at_its_speed_and_between_loops(tmp_path, monkeypatch, speed):
    # The replay's own clock is patched: each wait moves it to its deadline at once,
    # so the deadlines are exactly the schedule the replay keeps.
    import types

    from velarix.record import _replay

    path = tmp_path / "pairs.mcap"
    record_pairs(path, 10)
    offsets = [m.log_time for m in RecordingReader(str(path), allow_pickle=True).messages() if m.channel.topic == "pair.a"]
    now, deadlines = [1000.0], []

    def sleep_until(self, deadline):
        deadlines.append(deadline)
        now[0] = max(now[0], deadline)
        return True

    monkeypatch.setattr(_replay, "time", types.SimpleNamespace(monotonic=lambda: now[0], sleep=time.sleep))
    monkeypatch.setattr(Replay, "_sleep_until", sleep_until)
    replay, sink = Replay(path=str(path), allow_pickle=True, speed=speed, loop=True, ports={"pair.a": "out"}), Collect()
    with Pipeline(directory="") as pipeline:
        pipeline.connect(replay, sink)
        pipeline.start()
        sink.wait_for(20)
    recorded = [(t - offsets[0]) / 1e9 for t in offsets]
    # The next pass starts one mean spacing after the last value of this one.
    period = recorded[-1] + recorded[-1] / (len(recorded) - 1)
    played = [d - deadlines[0] for d in deadlines[:20]]
    assert played == pytest.approx([r / speed for r in recorded] + [(period + r) / speed for r in recorded])


@pytest.mark.parametrize("stopped", [False, True])
def test_a_replay_sleeps_to_just_before_its_deadline_then_yields(tmp_path, monkeypatch, stopped):
    import types

    from velarix.record import _replay

    now, waits = [0.0], []

    def wait(seconds):  # the stop event's wait: the clock moves on by that much
        waits.append(seconds)
        now[0] += seconds
        return stopped

    monkeypatch.setattr(_replay, "time", types.SimpleNamespace(
        monotonic=lambda: now[0], sleep=lambda seconds: now.__setitem__(0, now[0] + 1e-4)))
    path = tmp_path / "pairs.mcap"
    record_pairs(path, 2)
    replay = Replay(path=str(path), allow_pickle=True)
    monkeypatch.setattr(replay, "_halt", types.SimpleNamespace(wait=wait))
    assert replay._sleep_until(1.0) is not stopped
    assert waits == [pytest.approx(1.0 - _replay._SPIN)]
    if not stopped:  # the last stretch is spun through, ending at the deadline
        assert 1.0 <= now[0] < 1.0 + 2e-4
    assert replay._sleep_until(now[0] - 0.5) and len(waits) == 1  # a deadline passed: no wait


def test_replay_configuration_is_checked(tmp_path):
    path = tmp_path / "r.mcap"
    record_values(path, [1])
    for entries, error in (({"path": 3}, TypeError), ({"path": str(path), "speed": 0}, ValueError),
                           ({"path": str(path), "speed": "fast"}, TypeError),
                           ({"path": str(path), "loop": 1}, TypeError),
                           ({"path": str(path), "start": -1}, ValueError),
                           ({"path": str(path), "ports": {"nope.out": "out"}}, ValueError),
                           ({"path": str(path), "rate": 5}, ValueError),
                           ({"path": str(tmp_path / "missing.mcap")}, RecordingError)):
        with pytest.raises(error):
            Replay(**entries)
    # What each error says it wants is what it takes.
    for entries, message in (({"speed": None}, "speed must be a positive number or 'max', not NoneType."),
                             ({"speed": 1e-300}, "speed must be at least 1e-06, got 1e-300."),
                             ({"start": None}, "start must be a number of seconds, not NoneType.")):
        with pytest.raises((TypeError, ValueError)) as caught:
            Replay(path=str(path), **entries)
        assert str(caught.value) == message
    (tmp_path / "foreign.mcap").write_bytes(b"not an mcap file at all")
    with pytest.raises(RecordingError, match="not an MCAP file"):
        Replay(path=str(tmp_path / "foreign.mcap"))
    assert Replay(path=str(path)).config["output_ports"][0]["name"] == "src.out"


def test_a_pipeline_with_a_replay_saves_and_loads(tmp_path):
    path = tmp_path / "r.mcap"
    record_values(path, [5, 6])
    replay, sink = Replay(allow_pickle=True, name="tape", path=str(path), speed="max", loop=False), Collect(name="sink")
    with Pipeline(directory="") as pipeline:
        pipeline.connect_ports(replay, "src.out", sink, "in")
        pipeline.save(str(tmp_path / "p.json"))
    loaded = Pipeline.load(str(tmp_path / "p.json"), directory="", fresh_ids=True)
    with loaded:
        tape, collect = loaded.get_nodes()
        assert type(tape) is Replay and tape.config["ports"] == {"src.out": "src.out"}
        loaded.start()
        assert tape.wait(WAIT)
        collect.wait_for(2)
    assert collect.seen == [5, 6]


# Offline runs ------------------------------------------------------------------------

def test_two_offline_runs_of_a_deterministic_pipeline_give_the_same_values(tmp_path):
    source, scale, again, sink = Source(name="src"), Scale(name="scale"), Scale(name="again"), Collect()
    with Pipeline(directory="") as pipeline:
        pipeline.connect(source, scale)
        pipeline.connect(scale, again)
        pipeline.connect(scale, sink)
        saved = __import__("json").dumps(pipeline.serialize())
        recording = pipeline.record(str(tmp_path / "in.mcap"), ports=["src.out"])
        pipeline.start()
        for v in range(200):
            source.cycle({"v": v})
        sink.wait_for(200)
    assert recording.get_stats()["recorded"] == 200

    runs = []
    for n in range(2):
        loaded = Pipeline.deserialize(__import__("json").loads(saved), "", fresh_ids=True)
        out = str(tmp_path / f"out{n}.mcap")
        result = run_offline(loaded, str(tmp_path / "in.mcap"), speed="max", record=out, pipeline_json=saved)
        assert result["replaced"] == ["src"] and result["replay"]["replayed"] == 200
        by_port = {}
        for message in RecordingReader(out, allow_pickle=True).messages():
            by_port.setdefault(message.channel.topic, []).append(message.value())
        runs.append(by_port)
        loaded.close()
    assert runs[0] == runs[1]
    assert runs[0]["scale.out"] == [v * 3 + 1 for v in range(200)]
    assert runs[0]["again.out"] == [(v * 3 + 1) * 3 + 1 for v in range(200)]
    assert runs[0]["src.out"] == list(range(200))  # the replay records under the names it plays


# Files cut short ------------------------------------------------------------------------

CHILD = r"""
import sys, time
from velarix import ONode, Pipeline
class Count(ONode):
    def step(self, data):
        return {"out": data["n"]}
source = Count(name="count")
pipeline = Pipeline(directory="")
pipeline.add_node(source)
recording = pipeline.record(sys.argv[1], chunk_size=2000, flush_interval=0.05)
pipeline.start()
n = 0
while True:
    source.cycle({"n": n})
    n += 1
    if n == 3000:
        print("ready", flush=True)
    if n % 100 == 0:
        time.sleep(0.001)
"""


def test_a_process_killed_while_recording_leaves_a_file_that_reads_back(tmp_path):
    path = tmp_path / "killed.mcap"
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(path)], stdout=subprocess.PIPE, text=True,
                             env=env)
    try:
        assert child.stdout.readline() == "ready\n"
        deadline = time.monotonic() + WAIT
        while path.stat().st_size < 20_000 and time.monotonic() < deadline:
            time.sleep(0.01)
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()
        child.stdout.close()
    reader = RecordingReader(str(path), allow_pickle=True)
    values = [m.value() for m in reader.messages()]
    assert not reader.complete
    assert list(reader.contents().counts.values()) == [len(values)]  # counted by a scan, no summary
    assert len(values) > 100 and values == list(range(len(values)))  # a prefix, no gaps

    seen, replay = replay_into_sink(path, speed="max")
    assert seen == values
    result = run_cli("info", path, cwd=tmp_path)
    assert result.returncode == 0 and "cut short" in result.stdout
    assert "count.out" in result.stdout and re.search(r"cut short \(.*\); it reads up to", result.stderr)


def test_a_full_disk_ends_the_recording_with_a_warning_and_a_readable_file(tmp_path):
    mount = tmp_path / "small"
    mount.mkdir()
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(mount)],
                          capture_output=True, text=True)
    if done.returncode != 0:
        pytest.skip(f"cannot mount a small tmpfs: {done.stderr.strip() or done.returncode}")
    try:
        rng = np.random.default_rng(1)
        arrays = [rng.random(8192) for _ in range(40)]  # 64 KB each, incompressible: 2.5 MB in all
        source = Source(name="src")
        with Pipeline(directory="") as pipeline:
            pipeline.add_node(source)
            recording = pipeline.record(str(mount / "full.mcap"), chunk_size=100_000, queue_size=100)
            pipeline.start()
            for array in arrays:
                source.cycle({"v": array})
            # Chunks are written as they close, so the disk may fill before the last
            # push: the pushes after that are no longer the recording's.
            ended_early = recording.get_stats()["error"] is not None
            assert recording.wait(WAIT)
            warnings = [e["message"] for e in pipeline.get_logger().get_by_type("WARNING")]
        stats = recording.get_stats()
        assert stats["error"] == os.strerror(28)  # ENOSPC
        assert any("stopped: No space left on device" in text for text in warnings), warnings
        if ended_early:
            assert 0 < stats["recorded"] + stats["dropped"] <= len(arrays)
        else:  # every value is written or counted as dropped
            assert stats["recorded"] + stats["dropped"] == len(arrays)
        reader = RecordingReader(str(mount / "full.mcap"), allow_pickle=True)
        read = [m.value() for m in reader.messages()]
        assert 0 < len(read) <= stats["recorded"]
        assert not reader.complete and "ends without its summary" in reader.problem  # no torn record
        for got, want in zip(read, arrays):
            assert np.array_equal(got, want)
    finally:
        subprocess.run(["umount", str(mount)], check=False)


# The command line ---------------------------------------------------------------------

def run_cli(*args, cwd):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([PACKAGE_ROOT, str(cwd)]))
    return subprocess.run([sys.executable, "-m", "velarix", *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=60)


NODES = '''
from velarix import INode, IONode, ONode
class Ticks(ONode):
    def step(self, data):
        return {"out": data["count"]}
class Double(IONode):
    def step(self, data):
        return {"out": data["in"] * 2}
class Quiet(INode):
    def step(self, data):
        pass
'''


def test_record_replay_and_info_commands(tmp_path):
    (tmp_path / "clinodes.py").write_text(NODES)
    script = ("import clinodes\nfrom velarix import Pipeline\np = Pipeline(directory='')\n"
              "t, d = clinodes.Ticks(name='ticks', rate=200), clinodes.Double(name='double')\n"
              "p.connect(t, d); p.connect(d, clinodes.Quiet(name='quiet'))\np.save('p.json')\n")
    subprocess.run([sys.executable, "-c", script], cwd=tmp_path, check=True,
                   env=dict(os.environ, PYTHONPATH=os.pathsep.join([PACKAGE_ROOT, str(tmp_path)])))
    result = run_cli("record", "p.json", "--out", "rec.mcap", "--seconds", "0.5", "--ports", "ticks.out",
                     cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    recorded = int(re.search(r"recorded (\d+) values \(0 dropped\) of 1 ports", result.stdout).group(1))
    assert recorded > 10

    info = run_cli("info", "rec.mcap", cwd=tmp_path)
    assert info.returncode == 0 and "complete" in info.stdout and "3 nodes" in info.stdout
    assert re.search(rf"ticks\.out\s+json\s+{recorded}\s", info.stdout), info.stdout

    for pipeline, logs in (([], None), (["--pipeline", "p.json"], tmp_path / "logs")):
        done = run_cli("replay", "rec.mcap", *pipeline, "--speed", "max", "--record", "out.mcap",
                       *(["--log-dir", logs] if logs else []), cwd=tmp_path)
        assert done.returncode == 0, done.stderr
        assert f"replayed {recorded} values of rec.mcap in place of ticks" in done.stdout
        # The log stays in memory unless --log-dir names a folder; then the run says where it went.
        written = list(logs.glob("*.log")) if logs else []
        assert len(written) == (1 if logs else 0) and ("log: " in done.stdout) == bool(logs)
        out = RecordingReader(str(tmp_path / "out.mcap"), allow_pickle=True)
        doubled = [m.value() for m in out.messages() if m.channel.topic == "double.out"]
        ticks = [m.value() for m in RecordingReader(str(tmp_path / "rec.mcap"), allow_pickle=True).messages()]
        assert doubled == [2 * t for t in ticks]


def test_commands_refuse_missing_foreign_and_broken_files_in_one_line(tmp_path):
    (tmp_path / "foreign.mcap").write_text('{"nodes": []}')
    source = tmp_path / "good.mcap"
    record_values(source, [1, 2])
    (tmp_path / "header.mcap").write_bytes(source.read_bytes()[:12])
    (tmp_path / "p.json").write_text("{}")
    cases = [
        (("info", "missing.mcap"), "cannot read missing.mcap: No such file or directory"),
        (("info", "foreign.mcap"), "foreign.mcap is not an MCAP file"),
        (("info", "header.mcap"), "not a velarix recording"),
        (("replay", "foreign.mcap"), "not an MCAP file"),
        (("replay", "good.mcap", "--speed", "fast"), "--speed must be a positive number or max"),
        (("replay", "good.mcap", "--pipeline", "p.json"), "not a saved pipeline"),
        (("record", "missing.json", "--out", "x.mcap"), "cannot read missing.json"),
    ]
    for args, text in cases:
        result = run_cli(*args, cwd=tmp_path)
        assert result.returncode == 2, (args, result.stdout, result.stderr)
        lines = result.stderr.strip().splitlines()
        assert len(lines) == 1 and lines[0].startswith(f"velarix {args[0]}: error:") and text in lines[0], \
            (args, result.stderr)


def test_the_table_and_the_page_show_a_replays_position_speed_and_what_is_left(tmp_path):
    console_module = pytest.importorskip("rich.console")
    pytest.importorskip("aiohttp")
    import io

    from velarix.monitor import render
    from velarix.monitor.web import snapshot

    path = tmp_path / "pairs.mcap"
    record_pairs(path, 20)
    replay, sink = Replay(allow_pickle=True, name="tape", path=str(path), ports={"pair.a": "out"}), Collect()
    replay.pause()
    with Pipeline(directory="") as pipeline:
        pipeline.connect(replay, sink)
        pipeline.start()
        for _ in range(5):
            replay.step()
        sink.wait_for(5)
        console = console_module.Console(file=io.StringIO(), width=80)
        console.print(render(pipeline))
        text = console.file.getvalue()
        reading = snapshot(pipeline)
    line = next(line for line in text.splitlines() if line.startswith("replay tape"))
    assert re.match(r"replay tape: paused 0\.\d\d of 0\.\d\d s \(25% of 20 values\), speed 1x, 0\.\d\d s left$",
                    line.strip()), line
    play = next(node for node in reading["nodes"] if node["name"] == "tape")["replay"]
    assert (play["replayed"], play["total"], play["paused"], play["speed"]) == (5, 20, True, 1.0)
    assert play["remaining"] == pytest.approx(play["duration"] - play["position"])
