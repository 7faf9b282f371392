"""The recorder's native path: taps that pickle on the pushing thread into the open
chunk, the buffer that bounds what waits, and the native reading of chunks."""

import errno
import gc
import os
import pickle
import sys
import threading
import time

import pytest

np = pytest.importorskip("numpy")
mcap_reader = pytest.importorskip("mcap.reader")

from velarix import ONode, Pipeline  # noqa: E402
from velarix.imp.portan import RecordBuffer, _pickle5, _read_chunk  # noqa: E402
from velarix.record import RecordingReader, Replay  # noqa: E402
from velarix.record._format import PROFILE, DirectFile  # noqa: E402
from velarix.record._recorder import _make_tap  # noqa: E402
from velarix.record._writer import Writer  # noqa: E402


class Source(ONode):
    def step(self, data):
        return {"out": data["v"]}


class Int(int):
    pass


class Dict(dict):
    pass


class Unpicklable:
    def __reduce__(self):
        raise TypeError("not for files")


def nested_lists(depth):
    top = inner = []
    for _ in range(depth):
        inner.append([])
        inner = inner[0]
    return top


def self_containing():
    items = []
    items.append(items)
    mapping = {}
    mapping["me"] = mapping
    holder = []
    tuple_in_itself = (holder,)
    holder.append(tuple_in_itself)
    return items, mapping, tuple_in_itself


SHARED = "shared text"

NATIVE = [
    None, True, False, 0, 1, 255, 256, 65535, 65536, -1, -129, 2**31 - 1, 2**31, -2**31, -2**31 - 1,
    2**39, -2**39, -2**39 - 1, 2**40, -2**40, 2**63 - 1, -2**63,
    0.0, -0.0, 1.5, float("inf"), float("nan"), 1e-310,
    "", "a", "é☃😀", "x" * 255, "x" * 256, b"", b"\x00" * 255, b"1" * 256, bytearray(b"ab"), bytearray(),
    "x" * 200, "x" * 201, "é" * 100, "é" * 101, b"z" * 200, b"z" * 201, 127, 128, -128, 0x7fff, 0x8000,
    [], [1], [1, 2], list(range(1000)), list(range(1001)), list(range(2500)),
    (), (1,), (1, 2), (1, 2, 3), (1, 2, 3, 4), ((),), {}, {"a": 1}, {"a": 1, "b": 2},
    {i: i for i in range(1000)}, {i: str(i) for i in range(2001)},
    [SHARED, SHARED, (SHARED,)], [(1, 2)] * 3, {"a": [1, (2, 3)], "b": {"c": b"x"}},
    [str(i) for i in range(300)] * 2, {(1, "k"): [None, 2.5]}, nested_lists(90),
    *self_containing()[:2],
]

# What only the pickle module writes: each still records and reads back.
FALLBACK = [
    2**63, -2**63 - 1, 2**64, 10**40, "x" * 70_000, b"y" * 70_000, "\ud800 lone surrogate",
    nested_lists(150), self_containing()[2], Int(3), Dict(a=1), [Int(3)], {"k": Dict()},
    {1, 2}, frozenset({3}), complex(1, 2), range(3),
]


def same(a, b):
    """Equality that also holds for nan and for values that contain themselves."""
    return pickle.dumps(a, 5) == pickle.dumps(b, 5)


# The native pickler ---------------------------------------------------------------

def test_native_pickles_are_byte_for_byte_the_pickle_modules():
    for value in NATIVE:
        assert _pickle5(value) == pickle.dumps(value, 5), repr(value)[:80]


def test_what_the_native_pickler_leaves_to_the_pickle_module():
    for value in FALLBACK:
        assert _pickle5(value) is None, repr(value)[:80]
    assert _pickle5([1, Unpicklable()]) is None
    assert _pickle5(np.arange(3)) is None  # arrays have their own encoding


# Recording through the native taps ------------------------------------------------

def record(path, values, **options):
    options.setdefault("values", "pickle5")  # the native pickler's path
    source = Source(name="src")
    with Pipeline(directory="") as pipeline:
        pipeline.add_node(source)
        recording = pipeline.record(str(path), **options)
        pipeline.start()
        port = source.get_port("out")  # no step: values reach the taps as they are
        for value in values:
            port.push(value)
        pipeline.stop()
        warnings = [e["message"] for e in pipeline.get_logger().get_by_type("WARNING")]
    return recording.get_stats(), warnings


def test_native_and_fallback_values_interleave_in_push_order(tmp_path):
    values = [v for pair in zip(NATIVE, FALLBACK * 4) for v in pair] + [7, 8]
    stats, _ = record(tmp_path / "mixed.mcap", values)
    assert (stats["recorded"], stats["dropped"]) == (len(values), 0)
    read = [m.value() for m in RecordingReader(str(tmp_path / "mixed.mcap"), allow_pickle=True).messages()]
    assert len(read) == len(values)
    for got, want in zip(read, values):
        assert type(got) is type(want) and same(got, want), repr(want)[:80]


def test_the_file_is_what_the_mcap_package_reads_through_its_indexes(tmp_path):
    values = [n if n % 7 else Unpicklable() for n in range(3000)] + [np.arange(4)] + list(range(5))
    stats, warnings = record(tmp_path / "indexed.mcap", values, chunk_size=4000)
    expected = [v for v in values if not isinstance(v, Unpicklable)]
    assert (stats["recorded"], stats["dropped"]) == (len(expected), len(values) - len(expected))
    assert sum("cannot be stored" in text for text in warnings) == 1
    with open(tmp_path / "indexed.mcap", "rb") as file:
        reader = mcap_reader.make_reader(file)
        summary = reader.get_summary()
        messages = list(reader.iter_messages())
    assert summary.statistics.message_count == len(expected) and len(summary.chunk_indexes) > 10
    assert [message.sequence for _, _, message in messages] == list(range(len(expected)))
    times = [message.log_time for _, _, message in messages]
    assert times == sorted(times) and all(m.publish_time == m.log_time for _, _, m in messages)
    assert sorted({channel.message_encoding for _, channel, _ in messages}) == ["npy", "pickle5"]
    for (_, channel, message), want in zip(messages, expected):
        if channel.message_encoding == "pickle5":
            assert pickle.loads(message.data) == want


def test_a_value_changed_after_its_push_is_recorded_as_pushed(tmp_path):
    source = Source(name="src")
    with Pipeline(directory="") as pipeline:
        pipeline.add_node(source)
        recording = pipeline.record(str(tmp_path / "changed.mcap"))
        pipeline.start()
        port = source.get_port("out")
        for n in range(3):  # the first is queued for the writer, the rest go straight in
            value = {"n": n, "items": [n]}
            port.push(value)
            value["items"].append("later")
            value["n"] = None
        recording.stop()
    read = [m.value() for m in RecordingReader(str(tmp_path / "changed.mcap"), allow_pickle=True).messages()]
    assert read == [{"n": n, "items": [n]} for n in range(3)]


def test_values_the_pickle_module_refuses_are_counted_not_fatal(tmp_path):
    values = [1, nested_lists(100_000), [Unpicklable()], 2, {"k": Unpicklable()}, 3]
    stats, warnings = record(tmp_path / "refused.mcap", values)
    assert (stats["recorded"], stats["dropped"]) == (3, 3)
    assert sum("a value of src.out cannot be stored" in text for text in warnings) == 1
    assert [m.value() for m in RecordingReader(str(tmp_path / "refused.mcap"), allow_pickle=True).messages()] == [1, 2, 3]


# The buffer on its own ----------------------------------------------------------------

def tapped_port(buffer):
    port = Source(name="src")._imp._output_ports["out"]
    tap = _make_tap(buffer, 0)
    port.connect(tap)
    return port, tap


def test_the_buffer_bounds_closed_chunks_and_waiting_values():
    buffer = RecordBuffer(1, 3, 100, 50)
    port, _ = tapped_port(buffer)
    for n in range(5):  # no channel yet: values wait for the writer, at most 3
        port.push(n)
    assert buffer.stats() == (0, 3, [(0, 2)])
    assert buffer.front()[2:] == (None, pickle.dumps(0, 5))
    while buffer.front() is not None:
        buffer.write_front(1)
    buffer.set_channel(0, 1)
    for n in range(20):  # straight into chunks of 50 bytes; past 100 bytes closed, dropped
        port.push(n)
    recorded, waiting, [(written, dropped)] = buffer.stats()
    assert (recorded, waiting, written) == (4, 0, 4) and dropped == 2 + 19 == buffer.dropped()
    chunks = buffer.take()
    assert len(chunks) == 2 and buffer.take() == []
    values = [value for data, *_ in chunks for _, _, value in _read_chunk(data, 0, 0, {1: ("t", True)},
                                                                          pickle.loads)[0]]
    assert values == [0, 1, 2, 0]
    for n in range(3):  # room again once the writer took the chunks
        port.push(n)
    assert buffer.stats()[0] == 7


def test_waiting_values_are_released_and_the_buffer_collected():
    held = object()
    buffer = RecordBuffer(1, 10, 1 << 20, 1 << 20)
    port, tap = tapped_port(buffer)
    before = sys.getrefcount(held)
    for _ in range(5):
        port.push(held)  # not for the native pickler: held by reference until written
    assert sys.getrefcount(held) == before + 5
    buffer.drop_front()
    assert sys.getrefcount(held) == before + 4
    assert buffer.stop() == 4 and sys.getrefcount(held) == before
    port.push(held)  # a stopped buffer takes nothing
    assert buffer.stats()[1] == 0 and sys.getrefcount(held) == before
    cycle = [buffer]
    port.push(cycle)
    del buffer, tap, cycle
    port.disconnect(port._connected_ports[0])
    gc.collect()
    assert sys.getrefcount(held) == before


def test_buffer_calls_are_checked():
    with pytest.raises(ValueError):
        RecordBuffer(1, 0, 1, 1)
    with pytest.raises(TypeError):
        RecordBuffer("one", 1, 1, 1)
    buffer = RecordBuffer(1, 1, 1, 1)
    with pytest.raises(RuntimeError):
        buffer.__init__(2, 1, 1, 1)  # a push may be waiting on one of its taps
    for bad in (0, 70_000):
        with pytest.raises(ValueError):
            buffer.set_channel(0, bad)
    with pytest.raises(IndexError):
        buffer.set_channel(1, 1)
    with pytest.raises(LookupError):
        buffer.write_front(1)
    with pytest.raises(TypeError):
        buffer.add_message(1, 0, "not bytes")
    with pytest.raises(TypeError):
        _make_tap(object(), 0)


# Reading chunks natively ----------------------------------------------------------------

def chunk_of(payloads, channel=1):
    buffer = RecordBuffer(0, 1, 1, 1 << 30)
    for n, data in enumerate(payloads):
        buffer.add_message(channel, 1000 + n, data)
    buffer.close_chunk()
    [(data, start, end, _)] = buffer.take()
    return data


def test_native_reading_gives_what_pickle_loads_gives():
    payloads = [pickle.dumps(v, protocol) for v in NATIVE + FALLBACK for protocol in (2, 5)]
    data = chunk_of(payloads)
    batch, position, stop = _read_chunk(data, 0, 0, {1: ("t", True)}, pickle.loads)
    assert (position, stop) == (len(data), None) and len(batch) == len(payloads)
    for (target, stamp, got), payload in zip(batch, payloads):
        want = pickle.loads(payload)
        assert target == "t" and type(got) is type(want) and same(got, want), repr(want)[:80]
    assert [stamp for _, stamp, _ in _read_chunk(data, 0, 1010, {1: ("t", None)}, None)[0]][0] == 1010
    assert _read_chunk(data, 0, 0, {1: None}, pickle.loads)[:2] == ([], len(data))
    assert _read_chunk(data, 0, 0, {}, pickle.loads) == ([], 0, 1)  # the caller routes channel 1


def test_broken_pickles_never_crash_the_native_reader():
    good = [pickle.dumps(v, 5) for v in ([1, "a", (2, b"b"), {"k": [None, 1.5]}], 2**40, "x" * 300)]
    broken = []
    for payload in good:
        broken += [payload[:cut] for cut in range(len(payload))]
        broken += [payload[:n] + bytes([byte]) + payload[n + 1:] for n in range(len(payload))
                   for byte in (0x00, 0x2E, 0x28, 0x94, 0x68, 0x73, 0x65, 0xFF)]
    broken += [b"\x80\x05)\x94s.", b"\x80\x05](K\x01K\x02u.", b"\x80\x05}\x94]\x94K\x01s.", b"\x80\x05h\x05."]
    for payload in broken:
        try:
            want = pickle.loads(payload)
        except Exception as error:
            want = error
        batch, _, stop = _read_chunk(chunk_of([payload]), 0, 0, {1: ("t", True)}, pickle.loads)
        if isinstance(want, Exception):
            assert batch == [] and type(stop) is type(want), (payload, stop, want)
        else:
            assert stop is None and same(batch[0][2], want), payload


# Writing chunks natively, and the Python fallback ------------------------------------------

def read_with_mcap(path):
    with open(path, "rb") as file:
        reader = mcap_reader.make_reader(file)
        summary = reader.get_summary()
        messages = [(channel.topic, message.sequence, pickle.loads(message.data))
                    for _, channel, message in reader.iter_messages()]
    return summary, messages


@pytest.mark.parametrize("compression", ["zstd", "lz4", "none"])
def test_native_and_python_chunk_writing_make_the_same_recording(tmp_path, monkeypatch, compression):
    values = [{"n": n, "text": str(n) * (n % 5)} for n in range(4000)]
    record(tmp_path / "native.mcap", values, compression=compression, chunk_size=10_000)
    monkeypatch.setattr(RecordBuffer, "can_write", lambda self, name: False, raising=False)
    record(tmp_path / "python.mcap", values, compression=compression, chunk_size=10_000)
    native, python = read_with_mcap(tmp_path / "native.mcap"), read_with_mcap(tmp_path / "python.mcap")
    assert native[1] == python[1] == [("src.out", n, value) for n, value in enumerate(values)]
    for summary in (native[0], python[0]):
        assert summary.statistics.message_count == len(values) and summary.statistics.chunk_count > 10
        assert summary.statistics.attachment_count == 0 and summary.statistics.chunk_count == len(summary.chunk_indexes)
        assert {index.compression for index in summary.chunk_indexes} == {"" if compression == "none" else compression}
    assert [i.uncompressed_size for i in native[0].chunk_indexes] == \
        [i.uncompressed_size for i in python[0].chunk_indexes]


def test_the_writer_sleeps_until_a_push_leaves_it_work():
    buffer = RecordBuffer(1, 10, 1 << 20, 100)  # a chunk closes at its third message
    port, _ = tapped_port(buffer)
    assert buffer.wait(0.01) is False  # nothing to do: the time passes
    buffer.wake()
    assert buffer.wait(10) is True and buffer.wait(0) is False  # one wake, one return
    port.push(1)  # a first value waits for the writer: it is told
    assert buffer.wait(10) is True
    buffer.write_front(1)
    buffer.set_channel(0, 1)
    port.push(2)  # into the open chunk: nothing for the writer yet
    assert buffer.wait(0.01) is False
    port.push(3)  # closes the chunk
    assert buffer.wait(10) is True and len(buffer.take()) == 1


def test_a_taps_first_value_makes_its_channel_on_the_pushing_thread():
    buffer = RecordBuffer(2, 10, 1 << 20, 1 << 20)
    port, _ = tapped_port(buffer)
    other = Source(name="other")._imp._output_ports["out"]
    other.connect(_make_tap(buffer, 1))
    asked = []
    record = b"\x03" + (4).to_bytes(8, "little") + b"chan"

    def maker(tap):
        asked.append(tap)
        return {0: (7, record), 1: (8, None)}[tap]

    buffer.set_channel_maker(maker)
    port.push(1)
    port.push([2, "two"])
    other.push(3)
    other.push(Unpicklable())  # for the writer: it waits, and the value behind it too
    port.push(4)
    assert asked == [0, 1] and buffer.stats() == (3, 2, [(2, 0), (1, 0)])
    assert buffer.write_ready() is False and buffer.front()[:1] == (1,)  # the unpicklable one stays first
    buffer.drop_front()
    assert buffer.write_ready() is False and buffer.stats()[:2] == (4, 0)
    buffer.close_chunk()
    [(data, *_)] = buffer.take()
    assert bytes(data).startswith(record)  # the channel's record before its first message
    batch, _, stop = _read_chunk(data, len(record), 0, {7: ("a", True), 8: ("b", True)}, pickle.loads)
    assert stop is None and [(t, v) for t, _, v in batch] == [("a", 1), ("a", [2, "two"]), ("b", 3), ("a", 4)]
    buffer.set_channel_maker(None)
    with pytest.raises(TypeError):
        buffer.set_channel_maker(3)


@pytest.mark.parametrize("answer", [None, (0, None), (70_000, None), (1, "not bytes"), ("1", None), (1,), "x",
                                    ValueError("refused")])
def test_a_channel_maker_that_makes_nothing_leaves_the_value_to_the_writer(answer):
    buffer = RecordBuffer(1, 10, 1 << 20, 1 << 20)
    port, _ = tapped_port(buffer)

    def maker(tap):
        if isinstance(answer, Exception):
            raise answer
        return answer

    buffer.set_channel_maker(maker)
    port.push(1)
    port.push(2)  # asked once: it queues behind the first
    assert buffer.stats() == (0, 2, [(0, 0)])
    assert buffer.front()[2:] == (None, pickle.dumps(1, 5))


def test_an_interrupt_in_the_channel_maker_reaches_the_pusher():
    buffer = RecordBuffer(1, 10, 1 << 20, 1 << 20)
    port, _ = tapped_port(buffer)

    def maker(tap):
        raise KeyboardInterrupt

    buffer.set_channel_maker(maker)
    with pytest.raises(KeyboardInterrupt):
        port.push(1)
    assert buffer.stats()[:2] == (0, 0)


def test_serve_writes_each_closed_chunk_and_returns_for_python_work(tmp_path):
    buffer = RecordBuffer(1, 10, 1 << 20, 100)  # a chunk closes at its second message
    port, _ = tapped_port(buffer)
    buffer.set_channel(0, 1)
    fd = os.open(tmp_path / "served", os.O_WRONLY | os.O_CREAT)
    try:
        assert buffer.serve(fd, 0, "none", 0.01) == (0, 0, [], False)  # nothing to do: the time passes
        for n in range(4):
            port.push("x" * 20)  # two chunks close; the writer is not told to run Python code
        position, error, written, woken = buffer.serve(fd, 0, "zstd", 0.05)
        assert (error, woken, len(written)) == (0, False, 2) and position == os.fstat(fd).st_size
        assert buffer.written_to() == position and [w[2] for w in written] == [0, written[0][3] + written[0][5]]
        buffer.wake()
        assert buffer.serve(fd, position, "none", 10)[3] is True
        port.push(Unpicklable())  # a value for the writer's Python code
        assert buffer.serve(fd, position, "none", 10)[3] is True
    finally:
        os.close(fd)
    with pytest.raises(ValueError):
        buffer.serve(-1, 0, "none", 0)
    with pytest.raises(ValueError):
        buffer.serve(fd, 0, "brotli", 0)


def test_serve_reports_a_failed_write_and_keeps_the_file_whole(tmp_path):
    buffer = RecordBuffer(1, 10, 1 << 20, 100)
    port, _ = tapped_port(buffer)
    buffer.set_channel(0, 1)
    for n in range(4):
        port.push("y" * 20)
    if os.path.exists("/dev/full"):
        fd = os.open("/dev/full", os.O_WRONLY)
        try:
            position, error, written, _ = buffer.serve(fd, 0, "none", 0.05)
        finally:
            os.close(fd)
        assert (position, error, written) == (0, errno.ENOSPC, [])
    for n in range(2):
        port.push("y" * 20)
    fd = os.open(tmp_path / "read-only", os.O_RDONLY | os.O_CREAT)
    try:
        position, error, written, _ = buffer.serve(fd, 0, "zstd", 0.05)
    finally:
        os.close(fd)
    assert (position, error, written) == (0, errno.EBADF, [])
    assert buffer.stats()[0] == 6 and not buffer.pending()  # chunks that failed are not retried


def test_values_from_many_threads_with_fallbacks_keep_each_threads_order(tmp_path):
    path = tmp_path / "threads.mcap"
    sources = [Source(name=f"s{n}") for n in range(3)]
    with Pipeline(directory="") as pipeline:
        for source in sources:
            pipeline.add_node(source)
        recording = pipeline.record(str(path), chunk_size=3000, values="pickle5")
        pipeline.start()

        def push(port, offset):
            for n in range(600):
                port.push(Int(offset + n) if n % 9 == 4 else offset + n)

        threads = [threading.Thread(target=push, args=(source.get_port("out"), 1000 * n))
                   for n, source in enumerate(sources)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        recording.stop()
    stats = recording.get_stats()
    assert (stats["recorded"], stats["dropped"]) == (1800, 0) and stats["bytes"] == path.stat().st_size
    by_topic = {}
    for message in RecordingReader(str(path), allow_pickle=True).messages():
        by_topic.setdefault(message.channel.topic, []).append(message.value())
    for n in range(3):
        assert by_topic[f"s{n}.out"] == [1000 * n + k for k in range(600)]
    summary, messages = read_with_mcap(path)
    # One pickle channel a port, whether the tap or the writer pickled its values.
    assert len(messages) == 1800 and summary.statistics.channel_count == 3


def test_stopping_while_the_writer_writes_finishes_a_readable_file(tmp_path):
    rng = np.random.default_rng(3)
    arrays = [rng.random(8192) for _ in range(8)]
    for attempt in range(3):
        path = tmp_path / f"stopped{attempt}.mcap"
        source = Source(name="src")
        with Pipeline(directory="") as pipeline:
            pipeline.add_node(source)
            recording = pipeline.record(str(path), chunk_size=50_000)
            pipeline.start()
            port = source.get_port("out")
            for n in range(60):
                port.push(arrays[n % 8] if n % 2 else n)
            recording.stop()  # chunks are being written natively meanwhile
        stats = recording.get_stats()
        assert stats["recorded"] + stats["dropped"] == 60 and stats["bytes"] == path.stat().st_size
        with open(path, "rb") as file:
            reader = mcap_reader.make_reader(file)
            count = sum(1 for _ in reader.iter_messages())
            assert reader.get_summary().statistics.message_count == count == stats["recorded"]


# Replay reading ahead ----------------------------------------------------------------------

def test_a_replay_plays_every_chunk_read_ahead_and_its_reading_thread_ends(tmp_path):

    values = list(range(5000))
    record(tmp_path / "many.mcap", values, chunk_size=2000)
    replay = Replay(allow_pickle=True, name="tape", path=str(tmp_path / "many.mcap"), speed="max")
    seen = []
    with Pipeline(directory="") as pipeline:
        pipeline.add_node(replay)
        replay.set_post_step_handler(lambda data: seen.append(data["src.out"]))
        pipeline.start()
        assert replay.wait(10)
    assert seen == values
    assert not [t for t in threading.enumerate() if t.name.startswith("velarix-replay-read-tape")]

    stopped = Replay(allow_pickle=True, name="cut", path=str(tmp_path / "many.mcap"), speed=0.001)  # would take hours
    played = threading.Event()
    with Pipeline(directory="") as pipeline:
        pipeline.add_node(stopped)
        stopped.set_post_step_handler(lambda data: played.set())
        pipeline.start()
        assert played.wait(10)  # past its set-up: stopped while it plays
        pipeline.stop()
    assert stopped.is_finished() and not stopped.wait(0)
    deadline = time.monotonic() + 5
    while [t for t in threading.enumerate() if t.name == "velarix-replay-read-cut"]:
        assert time.monotonic() < deadline, "the reading thread did not end"
        time.sleep(0.01)


def test_a_value_that_does_not_decode_ends_the_play_after_the_chunks_before_it(tmp_path):

    path = tmp_path / "bad.mcap"
    stream = DirectFile(str(path))
    writer = Writer(stream, "zstd", 1 << 20)
    writer.start(PROFILE, "test")
    channel = writer.register_channel("src.out", "pickle5", 0, {"node": "src", "port": "out"})
    for n in range(3):
        writer.add_message(channel, 1000 + n, pickle.dumps(n, 5))
    writer.flush()
    writer.add_message(channel, 2000, pickle.dumps(3, 5))
    writer.add_message(channel, 2001, b"\x80\x05not a pickle")
    writer.finish()
    stream.close()
    replay = Replay(allow_pickle=True, name="tape", path=str(path), speed="max")
    seen = []
    with Pipeline(directory="") as pipeline:
        pipeline.add_node(replay)
        replay.set_post_step_handler(lambda data: seen.append(data["src.out"]))
        pipeline.start()
        replay.wait(10)
        assert replay.is_finished()
    assert seen == [0, 1, 2]  # the chunk that holds the broken value is not played
    assert replay.get_stats()["replay"]["problem"].startswith("UnpicklingError")
