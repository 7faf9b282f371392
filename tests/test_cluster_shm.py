"""Links between local processes through shared-memory rings, and their fallback."""

import fcntl
import os
import signal
import socket
import struct
import subprocess
import sys
import threading

import pytest

pytest.importorskip("zmq")
numpy = pytest.importorskip("numpy")

from cluster_nodes import Collect, Relay, Slow, Source  # noqa: E402
from test_cluster import ENV, ROOT, WAIT, chain, gone, reaper, wait_until  # noqa: E402,F401
from velarix.cluster import links, shm, wire  # noqa: E402


def memfds(pid="self"):
    """The ring mappings of process `pid`."""
    try:
        with open(f"/proc/{pid}/maps") as maps:
            return [line for line in maps if "memfd:velarix-link" in line]
    except (FileNotFoundError, ProcessLookupError):
        return []


def named_in_dev_shm():
    return [name for name in os.listdir("/dev/shm") if "velarix" in name] if os.path.isdir("/dev/shm") else []


def ring_pair(tmp_path, capacity=4096):
    """An offered ring and its taker in this process: (writer, reader, offer)."""
    offer = shm.Offer(str(tmp_path / "ring.shm"), capacity, writer=False)
    writer, why = shm.take(str(tmp_path / "ring.shm"), writer=True)
    assert why is None and offer.result(WAIT) is not None
    assert not os.path.exists(tmp_path / "ring.shm")  # named only until it is taken
    return writer, offer.ring, offer


def test_values_cross_shared_memory_in_order_whole_and_counted(reaper):
    """source -> relay (w1) -> slow (w2, ASYNC) and source -> relay -> sink here:
    small values, arrays and arrays larger than the ring, SYNC and ASYNC."""
    source, relay, sink = Source(), Relay(), Collect()
    slow = Slow(input_ports=[{"name": "in", "timing": "ASYNC"}])
    newest = Collect(name="newest")
    pipeline, cluster = chain(reaper, source, relay, sink, ring_bytes=64 * 1024)
    pipeline.connect(relay, slow)
    pipeline.connect(slow, newest)
    cluster.spawn("w1")
    cluster.spawn("w2")
    cluster.place(relay, "w1")
    cluster.place(slow, "w2")
    cluster.start()
    assert {link["transport"] for link in cluster.get_links()} == {"shm"}
    assert [(l["from"], l["to"], l["timing"]) for l in cluster.get_links()] == [
        ("Source.out", "Relay.in", "SYNC"), ("Relay.out", "Collect.in", "SYNC"), ("Relay.out", "Slow.in", "ASYNC"),
        ("Slow.out", "newest.in", "SYNC")]
    stats = {entry["name"]: entry for entry in cluster.get_stats()}
    assert stats["Relay"]["inputs"]["in"]["transport"] == "shm" and stats["Relay"]["outputs"]["out"]["transport"] == "shm"
    assert stats["newest"]["inputs"]["in"]["transport"] == "shm"  # from Slow on w2 to here
    workers = cluster.get_workers()
    assert all(memfds(w["pid"]) for w in workers.values()) and memfds()
    values = []
    for n in range(600):
        if n % 50 == 7:  # more than half the ring: by the socket, in its place
            values.append(numpy.full(20000, n, dtype=numpy.float64))
        elif n % 5 == 0:
            values.append({"n": n, "array": numpy.arange(n, n + 300, dtype=numpy.int32), "raw": bytes(range(n % 256))})
        else:
            values.append(n)
    for value in values:
        source.cycle({"x": value})
    assert sink.wait_for(lambda v: len(v) == len(values), WAIT)
    for got, sent in zip(sink.values, values):
        if isinstance(sent, dict):
            assert got["n"] == sent["n"] and numpy.array_equal(got["array"], sent["array"]) and got["raw"] == sent["raw"]
        elif isinstance(sent, numpy.ndarray):
            assert numpy.array_equal(got, sent)
        else:
            assert got == sent
    last = values[-1]
    assert newest.wait_for(lambda v: v and v[-1] == last, WAIT)
    assert len(newest.values) < len(values)  # ASYNC: what piled up was replaced by the newest
    assert relay.get_counter() == len(values) or wait_until(lambda: relay.get_counter() == len(values))
    pipeline.stop()
    assert pipeline.get_condition() == "HEALTHY"
    pids = [w["pid"] for w in workers.values()]
    cluster.close()
    assert all(gone(pid) for pid in pids) and memfds() == [] and named_in_dev_shm() == []


@pytest.mark.parametrize("how", ["environment", "ring_bytes", "too large"])
def test_refused_shared_memory_falls_back_to_ipc_and_says_why_once(reaper, monkeypatch, how):
    options = {}
    if how == "environment":
        monkeypatch.setenv(shm.ENVIRONMENT, "0")  # the workers inherit it
        reason = "shared memory refused by VELARIX_SHM=0"
    elif how == "ring_bytes":
        options["ring_bytes"] = 0
        reason = "the cluster's ring size is 0"
    else:
        options["ring_bytes"] = 1 << 50  # no mapping of that size
        reason = "the shared memory could not be set up: OSError: "
    source, a, b, sink = Source(), Relay(name="a"), Relay(name="b"), Collect()
    pipeline, cluster = chain(reaper, source, a, b, sink, **options)
    cluster.spawn("w1")
    cluster.place(a, "w1")
    cluster.place(b, "w1")
    extra = Collect(name="extra")
    pipeline.connect(a, extra)  # a second link out of w1: still one entry
    cluster.start()
    assert [link["transport"] for link in cluster.get_links()] == ["ipc", "ipc", "ipc"]
    assert {e["name"]: e["outputs"].get("out", {}).get("transport") for e in cluster.get_stats()} == {
        "Source": "ipc", "a": "ipc", "b": "ipc", "Collect": None, "extra": None}
    inside = next(e for e in cluster.get_stats() if e["name"] == "b")["inputs"]["in"]
    assert "transport" not in inside  # a -> b runs inside w1
    for n in range(200):
        source.cycle({"x": n})
    assert sink.wait_for(lambda v: len(v) == 200, WAIT) and sink.values == list(range(200))
    assert memfds(cluster.get_workers()["w1"]["pid"]) == []
    pipeline.stop()
    said = [e for e in pipeline.get_logger().get_all() if reason in e["message"]]
    assert [e["type"] for e in said] == ["INFO"]
    assert said[0]["message"].startswith("Worker w1: A link goes over ipc:// instead of shared memory")


def test_a_reader_killed_under_a_full_ring_stops_the_writer_and_the_pipeline(reaper):
    source, slow = Source(), Slow()
    pipeline, cluster = chain(reaper, source, slow, ring_bytes=16 * 1024)
    cluster.spawn("w1")
    cluster.place(slow, "w1")
    pipeline.start()
    pid = cluster.get_workers()["w1"]["pid"]
    pushed = threading.Event()

    def push():
        for n in range(100000):  # far more than the ring and the port hold
            source.cycle({"x": numpy.zeros(512)})
        pushed.set()

    threading.Thread(target=push, daemon=True).start()
    assert wait_until(lambda: slow.get_counter() > 3)
    os.kill(pid, signal.SIGKILL)
    assert wait_until(lambda: pipeline.get_state() == "STOPPED")
    assert pipeline.get_condition() == "ERROR"
    assert pushed.wait(WAIT)  # the blocked producer gave up
    cluster.close()
    assert memfds() == [] and named_in_dev_shm() == []


CONTROLLER = """
import sys
from cluster_nodes import Collect, Relay, Source
from velarix import Pipeline
from velarix.cluster import Cluster
source, a, b, sink = Source(), Relay(name="a"), Relay(name="b"), Collect()
pipeline = Pipeline(directory="")
pipeline.connect(source, a); pipeline.connect(a, b); pipeline.connect(b, sink)
cluster = Cluster(pipeline, heartbeat_interval=0.1, heartbeat_timeout=1.0)
cluster.spawn("w1"); cluster.spawn("w2")
cluster.place(a, "w1"); cluster.place(b, "w2")
pipeline.start()
for n in range(100):
    source.cycle({"x": n})
sink.wait_for(lambda v: len(v) == 100, 15)
print(len(sink.values), *(l["transport"] for l in cluster.get_links()), flush=True)
print(*(w["pid"] for w in cluster.get_workers().values()), flush=True)
sys.stdin.read()
"""


def test_kill_9_of_the_controller_leaves_no_ring_mapped_or_named(reaper, tmp_path):
    # The killed controller's private folder goes with tmp_path.
    process = subprocess.Popen([sys.executable, "-c", CONTROLLER], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, env=dict(ENV, TMPDIR=str(tmp_path)), cwd=ROOT)
    reaper[1].append(process)
    assert process.stdout.readline().split() == [b"100", b"shm", b"shm", b"shm"]
    pids = [int(p) for p in process.stdout.readline().split()]
    assert all(memfds(pid) for pid in [process.pid, *pids])
    process.kill()
    process.wait(WAIT)
    assert wait_until(lambda: all(gone(pid) for pid in pids))
    assert all(memfds(pid) == [] for pid in pids) and named_in_dev_shm() == []


def test_the_ring_wraps_blocks_when_full_and_sees_its_reader_go(tmp_path):
    writer, reader, offer = ring_pair(tmp_path, capacity=4096)
    try:
        # What came over the socket stays in this process: no child inherits it.
        assert not os.get_inheritable(writer.data_fd) and not os.get_inheritable(writer.space_fd)
        sent = [wire.dumps(wire.VALUE, bytes([n]) * (n * 37 % 1500)) for n in range(60)]
        got = []
        for frames in sent:  # record sizes that do not divide the ring: it wraps
            assert writer.fits(frames)
            assert writer.write(frames, lambda: False)
            got += [wire.loads(m[0], m[1:]) for m in reader.records(10)]
        assert got == [wire.loads(f[0], f[1:]) for f in sent]
        assert not writer.fits(wire.dumps(wire.VALUE, bytes(3000)))  # more than half the ring
        big = wire.dumps(wire.VALUE, bytes(1500))
        while writer.write(big, lambda: False):  # fills it: gives up once wait() says so
            pass
        released = threading.Event()
        threading.Timer(0.2, lambda: (list(reader.records(1)), released.set())).start()
        assert writer.write(big, lambda: True) and released.is_set()  # waited for room
        offer.close()  # the reader goes: a writer waiting for room hears of it
        with pytest.raises(shm.PeerGone):
            while writer.write(big, lambda: True):
                pass
    finally:
        writer.close()
        offer.close()


def corrupt(kind, reader, writer):
    data, capacity = reader.data, reader.capacity
    if kind == "writer count":
        struct.pack_into("=Q", writer.map, shm.TAIL_AT, reader.head + capacity + 64)
    elif kind == "record length":
        struct.pack_into("=Q", data, 8, 1 << 40)
    elif kind == "tag":
        struct.pack_into("=I", data, 0, 0xDEADBEEF)
    elif kind == "frame count":
        struct.pack_into("=I", data, 4, 0)
    elif kind == "frame length":
        struct.pack_into("=Q", data, 16, capacity * 4)
    elif kind == "wrap":
        struct.pack_into("=IIQ", data, 0, shm.WRAP, 0, 128)


@pytest.mark.parametrize("kind", ["writer count", "record length", "tag", "frame count", "frame length", "wrap"])
def test_a_corrupted_ring_is_refused_with_a_logged_error(tmp_path, kind):
    writer, reader, offer = ring_pair(tmp_path)
    sink = Collect(name="sink")
    try:
        writer.write(wire.dumps(wire.VALUE, b"x" * 100), lambda: False)
        corrupt(kind, reader, writer)
        with pytest.raises(shm.RingError):
            list(reader.records(10))
        # The same through a link: the node fails with the reason, nothing crashes.
        import zmq

        context = zmq.Context()
        pull = context.socket(zmq.PULL)
        receiver = links.Receiver(hwm=100)
        receiver.add(pull, sink._imp._input_ports["in"], "SYNC", sink, "shm", reader)
        receiver.start()
        os.eventfd_write(reader.data_fd, 1)
        assert wait_until(lambda: sink.get_condition() == "ERROR")
        entry = sink._imp._logger.get_all()[-1]
        assert entry["type"] == "ERROR" and "stopped receiving: RingError: " in entry["message"]
        assert receiver.get_stats()[0]["transport"] == "shm"
        receiver.close()
        context.term()
    finally:
        writer.close()
        offer.close()


def test_a_ring_that_could_shrink_or_lies_about_its_size_is_not_taken(tmp_path):
    unsealed = os.memfd_create("velarix-link")
    os.ftruncate(unsealed, shm.HEADER + 4096)
    events = [os.eventfd(0), os.eventfd(0)]
    try:
        with pytest.raises(shm.RingError, match="can be shrunk"):
            shm.Ring(unsealed, *events, None, writer=False)
        # An offer of that file: the taker says no, and why.
        path = str(tmp_path / "hostile.shm")
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(path)
        listener.listen(1)

        def offer(memfd, capacity):
            conn, _ = listener.accept()
            socket.send_fds(conn, [shm.MAGIC + struct.pack("=Q", capacity)], [memfd, *events])
            answers.append(conn.recv(512))
            conn.close()

        # A sealed ring whose header says 4096 bytes, offered as twice that.
        sealed = os.memfd_create("velarix-link", os.MFD_ALLOW_SEALING)
        os.ftruncate(sealed, shm.HEADER + 4096)
        os.pwrite(sealed, shm.MAGIC, 0)
        os.pwrite(sealed, struct.pack("=Q", 4096), shm.CAPACITY_AT)
        fcntl.fcntl(sealed, fcntl.F_ADD_SEALS, fcntl.F_SEAL_SHRINK | fcntl.F_SEAL_GROW)
        for memfd, capacity, reason in ((unsealed, 4096, "the memory file can be shrunk"),
                                        (sealed, 8192, "the ring's header and its offer disagree")):
            answers = []
            thread = threading.Thread(target=offer, args=(memfd, capacity))
            thread.start()
            ring, why = shm.take(path, writer=True)
            thread.join(WAIT)
            assert ring is None and why.endswith(f"RingError: {reason}") and answers[0] == b"N" + why.encode()
        listener.close()
        os.close(sealed)
    finally:
        for fd in (unsealed, *events):
            os.close(fd)


def test_bare_arrays_cross_without_pickling_and_bad_array_headers_are_refused():
    arrays = [numpy.arange(10.0), numpy.zeros((3, 4), numpy.int16), numpy.array([True, False]),
              numpy.array(["ab", "c"]), numpy.zeros((0, 5)), numpy.arange(6, dtype=">i4").reshape(2, 3),
              numpy.array([1 + 2j])]
    for array in arrays:
        frames = wire.dumps(wire.VALUE, array)
        assert frames[0][:1] == wire.ARRAY and len(frames) == 2
        kind, back = wire.loads(bytes(frames[0]), [bytearray(frames[1])])
        assert kind == wire.VALUE and back.dtype == array.dtype and numpy.array_equal(back, array)
    # What the fast way cannot carry whole goes pickled.
    for value in (numpy.arange(10)[::2], numpy.zeros(3, dtype=[("a", "f8")]), numpy.array(["2020"], dtype="M8[D]"),
                  numpy.float64(3.0), numpy.array([None])):
        frames = wire.dumps(wire.VALUE, value)
        assert frames[0][:1] == wire.VALUE
        back = wire.loads(frames[0], frames[1:])[1]
        assert type(back) is type(value) and back.tobytes() == value.tobytes()
    for header in (b"a\x03<f8" + b"\x05" * 8, b"a\x01O", b"a\x09zzzzzzzzz", b"a", b"a\x03<f8" + b"\xff" * 8,
                   b"a\x03<f8" + b"\x01\0\0\0\0\0\0\0" * 70):
        with pytest.raises((ValueError, TypeError)):
            wire.loads(header, [bytearray(8)])


def test_spawned_workers_tune_the_allocator_unless_told_otherwise(monkeypatch):
    from velarix.cluster import processes

    monkeypatch.delenv("GLIBC_TUNABLES", raising=False)
    assert processes.worker_environment()["GLIBC_TUNABLES"] == processes.MALLOC_TUNABLES
    monkeypatch.setenv("GLIBC_TUNABLES", "glibc.pthread.rseq=0")
    assert processes.worker_environment()["GLIBC_TUNABLES"] == "glibc.pthread.rseq=0:" + processes.MALLOC_TUNABLES
    monkeypatch.setenv("GLIBC_TUNABLES", "glibc.malloc.arena_max=2")
    assert processes.worker_environment()["GLIBC_TUNABLES"] == "glibc.malloc.arena_max=2"
    monkeypatch.delenv("GLIBC_TUNABLES")
    monkeypatch.setenv("MALLOC_ARENA_MAX", "2")
    assert "GLIBC_TUNABLES" not in processes.worker_environment()


def test_ring_bytes_must_be_a_whole_number_of_bytes():
    from velarix import Pipeline
    from velarix.cluster import Cluster

    for bad in (-1, 1.5, True, "8M"):
        with pytest.raises(ValueError, match="ring_bytes"):
            Cluster(Pipeline(directory=""), ring_bytes=bad)
