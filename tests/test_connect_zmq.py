"""The ZeroMQ connectors against plain pyzmq peers in other processes that know
nothing of velarix: every encoding both ways, malformed messages, a peer that
goes away and comes back, CURVE, and nothing left behind after stop()."""

import contextlib
import json
import os
import socket
import subprocess
import sys
import textwrap
import threading
import time

import pytest

zmq = pytest.importorskip("zmq")
np = pytest.importorskip("numpy")
msgpack = pytest.importorskip("msgpack")

from velarix import INode, LogType, ONode, Pipeline, PipelineError  # noqa: E402
from velarix.connect import ZMQPublisher, ZMQSubscriber  # noqa: E402

# A publisher as any program would write it: each topic in its encoding, again and
# again (subscribers that join late miss what went before), until killed.
PLAIN_PUBLISHER = textwrap.dedent("""
    import json, sys, time
    import msgpack, numpy as np, zmq
    pub = zmq.Context().socket(zmq.PUB)
    pub.bind(sys.argv[1])
    a = np.arange(6, dtype="<f4").reshape(2, 3)
    s, t = np.ones((3, 2), dtype="<f8"), np.array([0.5, 1.0, 1.5])
    chunk_header = {"arrays": [{"name": "samples", "dtype": s.dtype.str, "shape": list(s.shape)},
                               {"name": "timestamps", "dtype": t.dtype.str, "shape": list(t.shape)}]}
    messages = [
        [b"raw", b"\\x00\\x01bytes"],
        [b"json", json.dumps({"x": [1, 2.5], "s": "text"}).encode()],
        [b"json", b"{not json"],
        [b"json"],
        [b"msgpack", msgpack.packb({"x": b"\\xff", "n": [1, 2]}, use_bin_type=True)],
        [b"numpy", json.dumps({"dtype": a.dtype.str, "shape": [2, 3]}).encode(), a.tobytes()],
        [b"numpy", json.dumps({"dtype": "<f4", "shape": [5]}).encode(), b"short"],
        [b"numpy", json.dumps({"dtype": "O", "shape": [1]}).encode(), bytes(8)],
        [b"numpy", json.dumps({"shape": [1]}).encode(), bytes(8)],
        [b"numpy", b"[" * 100000, bytes(8)],
        [b"numpy", json.dumps({"dtype": "<f4", "shape": [-1]}).encode(), bytes(4)],
        [b"chunk", json.dumps(chunk_header).encode(), s.tobytes(), t.tobytes()],
        [b"parts", b"a", b"", b"c"],
    ]
    print("ready", flush=True)
    while True:
        for frames in messages:
            pub.send_multipart(frames)
        time.sleep(0.005)
""")

# A subscriber as any program would write it: reads n messages of one topic and
# prints what it decoded by hand, as JSON.
PLAIN_SUBSCRIBER = textwrap.dedent("""
    import json, sys
    import msgpack, numpy as np, zmq
    sub = zmq.Context().socket(zmq.SUB)
    sub.connect(sys.argv[1])
    sub.subscribe(sys.argv[2].encode())
    encoding, seen = sys.argv[3], []
    while len(seen) < 3:
        topic, *payload = sub.recv_multipart()
        if encoding == "raw":
            seen.append(payload[0].hex())
        elif encoding == "json":
            seen.append(json.loads(payload[0]))
        elif encoding == "msgpack":
            seen.append(repr(msgpack.unpackb(payload[0], raw=False)))
        else:
            header = json.loads(payload[0])
            arrays = header.get("arrays", [dict(header, name="")])
            seen.append({a["name"]: np.frombuffer(f, a["dtype"]).reshape(a["shape"]).tolist()
                         for a, f in zip(arrays, payload[1:])})
    print(json.dumps({"topic": topic.decode(), "seen": seen}), flush=True)
""")


def free_endpoint():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return f"tcp://127.0.0.1:{probe.getsockname()[1]}"


def start_plain(script, *args):
    process = subprocess.Popen([sys.executable, "-c", script, *args], stdout=subprocess.PIPE, text=True)
    return process


class Collect(INode):
    def __init__(self, **entries):
        super().__init__(**entries)
        self.values = []
        self.description = None
        self.arrived = threading.Event()

    def setup(self, data, metadata):
        self.description = metadata["in"]
        return {}

    def step(self, data):
        self.values.append(data["in"])
        if len(self.values) >= self.config.get("enough", 1):
            self.arrived.set()


class Values(ONode):
    def step(self, data):
        return {"out": self.config["values"][data["count"] % len(self.config["values"])]}


def entries_of(pipeline, log_type):
    return [entry["message"] for entry in pipeline.get_logger().get_by_type(log_type)]


def wait_for(condition, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def test_subscriber_decodes_what_a_plain_publisher_sends(no_thread_leak):
    endpoint = free_endpoint()
    publisher = start_plain(PLAIN_PUBLISHER, endpoint)
    try:
        assert publisher.stdout.readline().strip() == "ready"
        pairs = {}
        with Pipeline(directory="") as pipeline:
            for topic, encoding in [("raw", "raw"), ("json", "json"), ("msgpack", "msgpack"),
                                    ("numpy", "numpy"), ("chunk", "numpy"), ("parts", "raw")]:
                subscriber = ZMQSubscriber(name=f"sub-{topic}", endpoint=endpoint, topic=topic, encoding=encoding,
                                           nominal_srate=2.0, channel_count=2)
                sink = Collect(name=f"sink-{topic}", enough=3)
                pipeline.connect(subscriber, sink)
                pairs[topic] = (subscriber, sink)
            # Two prefixes on one socket, each value with its topic.
            both = ZMQSubscriber(name="sub-both", endpoint=endpoint, topic=["raw", "msg"], with_topic=True)
            both_sink = Collect(name="sink-both", enough=6)
            pipeline.connect(both, both_sink)
            pipeline.start()
            assert all(sink.arrived.wait(10) for _, sink in pairs.values())
            assert both_sink.arrived.wait(10)
            stats = {topic: sub.get_stats()["connector"] for topic, (sub, _) in pairs.items()}
            assert pipeline.get_condition() == "HEALTHY"
            pipeline.stop()
            warnings = entries_of(pipeline, LogType.WARNING)
    finally:
        publisher.kill()
        publisher.wait()
    assert pairs["raw"][1].values[0] == b"\x00\x01bytes"
    assert pairs["json"][1].values[0] == {"x": [1, 2.5], "s": "text"}
    assert pairs["msgpack"][1].values[0] == {"x": b"\xff", "n": [1, 2]}
    array = pairs["numpy"][1].values[0]
    assert array.dtype == np.float32 and array.tolist() == [[0, 1, 2], [3, 4, 5]]
    chunk = pairs["chunk"][1].values[0]
    assert chunk["samples"].shape == (3, 2) and chunk["timestamps"].tolist() == [0.5, 1.0, 1.5]
    # Frames of one message stay together, an empty one included.
    assert all(value == [b"a", b"", b"c"] for value in pairs["parts"][1].values)
    assert pairs["raw"][1].description == {"nominal_srate": 2.0, "channel_count": 2}
    # Bad JSON and a message without payload on "json", a short array on "numpy".
    assert stats["json"]["dropped"] >= 2 and stats["numpy"]["dropped"] >= 5 and stats["raw"]["dropped"] == 0
    assert stats["json"]["values"] >= 3 and stats["json"]["peers"] == 1
    assert sum("sub-json" in w and "dropped a message" in w for w in warnings) == 1
    assert {value["topic"] for value in both_sink.values} == {"raw", "msgpack"}
    assert all(type(value["value"]) is bytes for value in both_sink.values)


@pytest.mark.parametrize("encoding,values,expected", [
    ("raw", ["text", b"\x01\x02"], ["74657874", "0102"]),
    ("json", [{"a": 1}, np.arange(3)], [{"a": 1}, [0, 1, 2]]),
    ("msgpack", [{"b": b"\x00"}, (1, 2)], [repr({"b": b"\x00"}), repr([1, 2])]),
    ("numpy", [np.eye(2, dtype=np.int16), {"samples": np.zeros((1, 2)), "timestamps": np.array([3.0])}],
     [{"": [[1, 0], [0, 1]]}, {"samples": [[0.0, 0.0]], "timestamps": [3.0]}]),
])
def test_publisher_sends_what_a_plain_subscriber_decodes(encoding, values, expected, no_thread_leak):
    endpoint = free_endpoint()
    source = Values(values=values, rate=200)
    publisher = ZMQPublisher(endpoint=endpoint, bind=True, topic="out", encoding=encoding)
    with Pipeline(directory="") as pipeline:
        pipeline.connect(source, publisher)
        pipeline.start()
        reader = start_plain(PLAIN_SUBSCRIBER, endpoint, "out", encoding)
        try:
            line = reader.communicate(timeout=20)[0]
        finally:
            reader.kill()
        stats = publisher.get_stats()["connector"]
        pipeline.stop()
    got = json.loads(line)
    assert got["topic"] == "out"
    assert all(value in expected for value in got["seen"]) and set(map(repr, got["seen"])) == set(map(repr, expected))
    assert stats["values"] >= 3 and stats["dropped"] == 0


def test_a_peer_that_goes_away_is_a_warning_and_its_return_resumes_the_stream(no_thread_leak):
    endpoint = free_endpoint()
    publisher = start_plain(PLAIN_PUBLISHER, endpoint)
    sink = Collect(enough=1)
    subscriber = ZMQSubscriber(endpoint=endpoint, topic="raw")
    with Pipeline(directory="") as pipeline:
        pipeline.connect(subscriber, sink)
        pipeline.start()
        try:
            assert sink.arrived.wait(10)
            publisher.kill()
            publisher.wait()
            assert wait_for(lambda: any("went away" in w for w in entries_of(pipeline, LogType.WARNING)))
            sink.arrived.clear()
            sink.config["enough"] = len(sink.values) + 1
            publisher = start_plain(PLAIN_PUBLISHER, endpoint)
            assert sink.arrived.wait(10)
            assert wait_for(lambda: any("connected again" in e for e in entries_of(pipeline, LogType.INFO)))
        finally:
            publisher.kill()
            publisher.wait()
        assert pipeline.get_condition() == "HEALTHY"
        assert subscriber.get_stats()["connector"]["disconnects"] >= 1
        pipeline.stop()


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def test_stop_closes_every_socket_and_thread_and_start_opens_them_again(no_thread_leak):
    endpoint = free_endpoint()
    before = open_fds()
    source = Values(values=[b"x"], rate=500)
    publisher = ZMQPublisher(endpoint=endpoint, bind=True)
    sink = Collect(enough=2)
    subscriber = ZMQSubscriber(endpoint=endpoint)
    with Pipeline(directory="") as pipeline:
        pipeline.connect(source, publisher)
        pipeline.connect(subscriber, sink)
        for _ in range(2):
            sink.arrived.clear()
            pipeline.start()
            assert sink.arrived.wait(10)
            assert publisher._link.socket.linger == 200  # ms: the default linger, 0.2 s
            pipeline.stop()
            assert not [t for t in threading.enumerate() if t.name.startswith("velarix-zmq")]
    assert open_fds() == before
    # The port is free again: something else can bind it.
    with zmq.Context() as context, context.socket(zmq.PUB) as probe:
        probe.bind(endpoint)


def test_bad_configuration_is_one_clear_error(tmp_path):
    for make, error, text in [
        (lambda: ZMQSubscriber(endpoint="localhost:5556"), ValueError, "ZeroMQ endpoint"),
        # An unknown transport is refused here, not only when the socket opens at start.
        (lambda: ZMQSubscriber(endpoint="bogus://x"), ValueError, r"tcp://, ipc://.*got 'bogus://x'"),
        (lambda: ZMQPublisher(endpoint="tpc://127.0.0.1:1", bind=True), ValueError, "got 'tpc://127"),
        (lambda: ZMQSubscriber(endpoint="tcp://127.0.0.1:1", encoding="xml"), ValueError, "encoding"),
        (lambda: ZMQSubscriber(endpoint="tcp://127.0.0.1:1", topic=5), TypeError, "topic"),
        (lambda: ZMQSubscriber(endpoint="tcp://127.0.0.1:1", bind="yes"), TypeError, "bind"),
        (lambda: ZMQSubscriber(endpoint="tcp://127.0.0.1:1", rate=10), ValueError, "rate does not apply"),
        (lambda: ZMQPublisher(endpoint="tcp://127.0.0.1:1", hwm=-1), ValueError, "hwm"),
        (lambda: ZMQPublisher(endpoint="tcp://127.0.0.1:1", curve_clients=["k"]), ValueError, "CURVE server"),
        (lambda: ZMQPublisher(endpoint="tcp://127.0.0.1:1", linger=True), ValueError,
         r"linger must be seconds \(0 or more\) or None, got True\.$"),
    ]:
        with pytest.raises(error, match=text):
            make()
    endpoint = free_endpoint()
    with zmq.Context() as context, context.socket(zmq.PUB) as taken:
        taken.bind(endpoint)
        node = ZMQPublisher(endpoint=endpoint, bind=True)
        with pytest.raises(OSError, match="cannot bind"):
            node.start()
    assert node.get_state() == "STOPPED"
    node = ZMQSubscriber(endpoint="tcp://127.0.0.1:1", curve_server_key="/no/such.key")
    assert node.get_stats()["connector"] == {"endpoint": "tcp://127.0.0.1:1", "values": 0, "dropped": 0, "peers": 0,
                                             "disconnects": 0}
    with pytest.raises(ValueError, match="cannot read a public key"):
        node.start()
    # Keys read at start: a missing key pair, a folder of client keys that is none.
    _, secret = zmq.auth.create_certificates(str(tmp_path), "server")
    for keys, text in (({"curve_secret_key": "/no/such.key_secret"}, "cannot read a key pair from '/no/such.key_secret'"),
                       ({"curve_secret_key": secret, "curve_clients": str(tmp_path / "none")},
                        "is not a folder of public key files")):
        with pytest.raises(ValueError, match=text):
            ZMQPublisher(endpoint=free_endpoint(), bind=True, **keys).start()
    # What the numpy encoding cannot send: no arrays, keys other than str, not a dict.
    from velarix.connect._zmq_encoding import encode

    for value in ({}, {1: np.zeros(2)}, ["a"]):
        with pytest.raises(TypeError, match=r"sends a numpy array or a dict of arrays \(str keys\), not "):
            encode("numpy", value)


@pytest.mark.parametrize("node, accepted", [(ZMQSubscriber, "with_topic"), (ZMQPublisher, "linger")])
def test_a_misspelt_option_is_refused_naming_it_and_the_accepted_ones(node, accepted):
    with pytest.raises(TypeError, match=rf"{node.__name__} got unknown option\(s\) 'hwm_'; it takes bind, ") as raised:
        node(endpoint="tcp://127.0.0.1:1", hwm_=10)
    assert {"hwm", accepted, "curve_secret_key"} <= set(str(raised.value).rstrip(".").split(", "))


def test_a_value_the_encoding_cannot_hold_fails_the_publisher():
    source = Values(values=[{1, 2}], rate=100)
    publisher = ZMQPublisher(endpoint=free_endpoint(), bind=True, encoding="json")
    pipeline = Pipeline(directory="")
    try:
        pipeline.connect(source, publisher)
        pipeline.start()
        assert wait_for(lambda: publisher.get_condition() == "ERROR")
        pipeline.stop()
        assert "not JSON or MessagePack data" in str(publisher.get_last_exception())
    finally:
        with contextlib.suppress(PipelineError):  # the failure is what this test is about
            pipeline.close()


@pytest.mark.parametrize("seconds_apart, reported", [(1.0, [1, 11, 21, 31, 41]), (0.25, [1, 41])])
def test_failed_handshakes_are_reported_at_most_every_ten_seconds_with_the_count(seconds_apart, reported,
                                                                                monkeypatch):
    # 50 failed handshakes, one every `seconds_apart` by a patched clock, read off a
    # monitor socket stand-in.
    import struct
    import types

    from velarix.connect import _zmq_link

    clock = iter(seconds_apart * k for k in range(1, 51))
    monkeypatch.setattr(_zmq_link, "time", types.SimpleNamespace(monotonic=lambda: next(clock)))
    events = [[struct.pack("=hi", zmq.EVENT_HANDSHAKE_FAILED_AUTH, 0), b"tcp://127.0.0.1:9"]] * 50
    lines = []
    link = _zmq_link.Link.__new__(_zmq_link.Link)
    link.__dict__.update(peers=0, disconnects=0, lost=False, failed_handshakes=0, next_report=float("-inf"),
                         bind=True, monitor=types.SimpleNamespace(poll=lambda timeout: bool(events),
                                                                  recv_multipart=lambda flags=0: events.pop()),
                         node=types.SimpleNamespace(_owner=lambda: "pub", _log=lambda kind, line: lines.append(line)))
    link.read_events()
    assert lines == [f"pub: a handshake with tcp://127.0.0.1:9 failed (a CURVE key that does not match?); {n} so far."
                     for n in reported]


def test_curve_admits_the_named_client_only(tmp_path, no_thread_leak):
    import zmq.auth

    server_public, server_secret = zmq.auth.create_certificates(str(tmp_path), "server")
    good_public, good_secret = zmq.auth.create_certificates(str(tmp_path), "good")
    _, bad_secret = zmq.auth.create_certificates(str(tmp_path), "bad")
    endpoint = free_endpoint()
    source = Values(values=[b"secret"], rate=200)
    publisher = ZMQPublisher(endpoint=endpoint, bind=True, curve_secret_key=str(server_secret),
                             curve_clients=[zmq.auth.load_certificate(good_public)[0].decode()])
    good, bad = Collect(name="good"), Collect(name="bad")
    with Pipeline(directory="") as pipeline:
        pipeline.connect(source, publisher)
        pipeline.connect(ZMQSubscriber(name="good-sub", endpoint=endpoint, curve_server_key=str(server_public),
                                       curve_secret_key=str(good_secret)), good)
        pipeline.connect(ZMQSubscriber(name="bad-sub", endpoint=endpoint, curve_server_key=str(server_public),
                                       curve_secret_key=str(bad_secret)), bad)
        pipeline.start()
        assert good.arrived.wait(10)
        assert wait_for(lambda: any("bad-sub" in w and "handshake" in w
                                    for w in entries_of(pipeline, LogType.WARNING)))
        pipeline.stop()
    assert good.values[0] == b"secret" and bad.values == []


def test_connectors_save_by_module_and_load(tmp_path):
    with Pipeline(directory="") as pipeline:
        pipeline.connect(ZMQSubscriber(endpoint="ipc:///tmp/x", topic=["a", "b"], encoding="msgpack",
                                       channel_names=["x"]),
                         ZMQPublisher(endpoint="tcp://127.0.0.1:5", encoding="numpy"))
        pipeline.save(str(tmp_path / "p.json"))
    with Pipeline.load(str(tmp_path / "p.json"), directory="", fresh_ids=True) as loaded:
        subscriber, publisher = loaded.get_nodes()
    assert subscriber.config["topic"] == ["a", "b"] and subscriber.config["channel_names"] == ["x"]
    assert type(publisher) is ZMQPublisher and publisher.config["encoding"] == "numpy"


class StopsItself(ZMQSubscriber):
    def step(self, data):
        result = super().step(data)
        if "value" in data:
            self.stop()  # on the receiving thread itself: it must end and close on its own
        return result


@pytest.mark.parametrize("timing", ["SYNC", "ASYNC"])
def test_a_subscriber_stopped_from_its_own_step_or_with_async_ports_ends_cleanly(timing, no_thread_leak):
    endpoint = free_endpoint()
    before = open_fds()
    publisher = start_plain(PLAIN_PUBLISHER, endpoint)
    try:
        assert publisher.stdout.readline().strip() == "ready"
        node = StopsItself(endpoint=endpoint, topic="raw", output_ports=[{"name": "out", "timing": timing}])
        sink = Collect(input_ports=[{"name": "in", "timing": timing}])
        with Pipeline(directory="") as pipeline:
            pipeline.connect(node, sink)
            pipeline.start()
            assert sink.arrived.wait(10)
            assert wait_for(lambda: node._thread is not None and not node._thread.is_alive())
            pipeline.stop()
    finally:
        publisher.kill()
        publisher.wait()
        publisher.stdout.close()
    assert sink.values[0] == b"\x00\x01bytes" and node.get_condition() == "HEALTHY"
    assert open_fds() == before


def test_a_step_handler_set_by_the_application_is_kept(no_thread_leak):
    endpoint = free_endpoint()
    publisher = start_plain(PLAIN_PUBLISHER, endpoint)
    try:
        assert publisher.stdout.readline().strip() == "ready"
        node, sink = ZMQSubscriber(endpoint=endpoint, topic="raw"), Collect()
        node.set_step_handler(lambda data: {"out": len(data["value"])})
        with Pipeline(directory="") as pipeline:
            pipeline.connect(node, sink)
            pipeline.start()
            assert sink.arrived.wait(10)
            pipeline.stop()
    finally:
        publisher.kill()
        publisher.wait()
        publisher.stdout.close()
    assert sink.values[0] == len(b"\x00\x01bytes")


class Marked(ZMQPublisher):
    def step(self, data):
        return super().step({name: value + b"!" for name, value in data.items()})


def test_a_publisher_keeps_its_subclass_step_or_the_application_handler(no_thread_leak):
    endpoint = free_endpoint()
    marked = Marked(endpoint=endpoint, bind=True, topic="out")
    handled = []
    quiet = ZMQPublisher(endpoint=free_endpoint(), bind=True)
    quiet.set_step_handler(handled.append)
    with Pipeline(directory="") as pipeline:
        pipeline.connect(Values(values=[b"x"], rate=200), marked)
        pipeline.connect(Values(values=[b"y"], rate=200), quiet)
        # Twice: a restart opens a new socket, and sends through it.
        for _ in range(2):
            pipeline.start()
            reader = start_plain(PLAIN_SUBSCRIBER, endpoint, "out", "raw")
            try:
                line = reader.communicate(timeout=20)[0]
            finally:
                reader.kill()
            assert json.loads(line)["seen"] == [b"x!".hex()] * 3
            pipeline.stop()
    assert handled and all(data == {"in": b"y"} for data in handled)
    assert quiet.get_stats()["connector"]["values"] == 0


class Threads(Collect):
    def step(self, data):
        self.threads = getattr(self, "threads", set()) | {threading.current_thread().name}
        super().step(data)


def test_on_shared_threads_the_next_node_steps_on_the_receiving_thread(no_thread_leak):
    # As after cycle() or a timed source's tick: the values cross to the next node
    # without waking another thread, in order and all of them.
    endpoint = free_endpoint()
    with Pipeline(directory="", threads=1) as pipeline:
        subscriber = ZMQSubscriber(name="sub", endpoint=endpoint, bind=True, hwm=0)
        sink = Threads()
        pipeline.connect(subscriber, sink)
        pipeline.start()
        pub = zmq.Context.instance().socket(zmq.PUB)
        try:
            pub.sndhwm = 0
            pub.connect(endpoint)
            # Until the subscription has reached the publisher, what it sends is lost.
            assert wait_for(lambda: pub.send_multipart([b"", b"probe"]) or sink.values)
            for n in range(200):
                pub.send_multipart([b"", b"%d" % n])
            assert wait_for(lambda: sink.values[-1] == b"199")
        finally:
            pub.close(linger=0)
        pipeline.stop()
    assert [value for value in sink.values if value != b"probe"] == [b"%d" % n for n in range(200)]
    assert sink.threads <= {"velarix-zmq-sub", "velarix-scheduler-1"} and "velarix-zmq-sub" in sink.threads
