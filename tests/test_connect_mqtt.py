"""MQTTSubscriber and MQTTPublisher against a real broker (Mosquitto, started per
test on a free loopback port)."""

import os
import threading
import time

import numpy as np
import pytest

mqtt = pytest.importorskip("paho.mqtt.client")

from mqtt_broker import Broker  # noqa: E402

from velarix import INode, LogType, ONode, Pipeline  # noqa: E402
from velarix.connect import MQTTPublisher, MQTTSubscriber  # noqa: E402
from velarix.connect.mqtt import decode, encode  # noqa: E402


@pytest.fixture
def broker(tmp_path):
    broker = Broker(tmp_path)
    yield broker
    broker.stop()


class Feed(ONode):
    def step(self, data):
        return {"out": data["v"]}


class Collect(INode):
    def __init__(self, **entries):
        super().__init__(**entries)
        self.values = []
        self.metadata = None
        self.changed = threading.Event()

    def setup(self, data, metadata):
        self.metadata = metadata["in"]
        return {}

    def step(self, data):
        self.values.append(data["in"])
        self.changed.set()


def until(check, seconds=10.0):
    deadline = time.monotonic() + seconds
    while not check():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def prime(feed, sink, probe="probe"):
    """Publishes `probe` until the subscriber has it: then its subscription stands."""
    def arrived():
        feed.cycle({"v": probe})
        return sink.changed.wait(0.1) and probe in sink.values
    assert until(arrived)
    sink.values.clear()


def loop(port, feed_options=None, sink_options=None, topic="velarix/test"):
    feed, sink = Feed(), Collect()
    publisher = MQTTPublisher(topic=topic, port=port, **(feed_options or {}))
    subscriber = MQTTSubscriber(topic=(sink_options or {}).pop("filter", topic), port=port, **(sink_options or {}))
    pipeline = Pipeline(directory="")
    pipeline.connect(feed, publisher)
    pipeline.connect(subscriber, sink)
    return pipeline, feed, publisher, subscriber, sink


def sockets():
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            count += os.readlink(f"/proc/self/fd/{fd}").startswith("socket:")
        except OSError:
            pass
    return count


@pytest.mark.parametrize("qos", [0, 1, 2])
def test_values_arrive_in_order_and_nothing_is_left_behind(broker, qos, no_thread_leak):
    before = sockets()
    pipeline, feed, publisher, subscriber, sink = loop(broker.port, {"qos": qos}, {"qos": qos})
    with pipeline:
        pipeline.start()
        prime(feed, sink)
        for n in range(100):
            feed.cycle({"v": {"n": n, "list": [n, n / 2]}})
        assert until(lambda: len(sink.values) >= 100)
        assert sink.values == [{"n": n, "list": [n, n / 2]} for n in range(100)]
        assert sink.metadata == {"topic": "velarix/test", "encoding": "json"}
        stats_out, stats_in = publisher.get_stats()["connector"], subscriber.get_stats()["connector"]
    assert stats_out["values"] >= 101 and stats_out["dropped"] == 0 and stats_out["connected"]
    assert stats_in["values"] >= 101 and stats_in["dropped"] == 0
    assert sockets() <= before


def test_chunks_arrays_wildcards_and_raw(broker):
    pipeline, feed, _, _, sink = loop(broker.port, sink_options={"filter": "lab/+/eeg", "with_topic": True},
                                      topic="lab/amp1/eeg")
    raw_feed, raw_sink = Feed(), Collect()
    pipeline.connect(raw_feed, MQTTPublisher(topic="lab/raw", port=broker.port, encoding="raw"))
    pipeline.connect(MQTTSubscriber(topic=["lab/raw", "lab/#"], port=broker.port, encoding="raw"), raw_sink)
    with pipeline:
        pipeline.start()
        assert until(lambda: (feed.cycle({"v": "probe"}), sink.changed.wait(0.1))[1])
        assert until(lambda: (raw_feed.cycle({"v": b"probe"}), raw_sink.changed.wait(0.1))[1])
        sink.values.clear()
        raw_sink.values.clear()
        chunk = {"samples": np.arange(6, dtype=np.float32).reshape(3, 2), "timestamps": np.array([1.0, 2.0, 3.0])}
        feed.cycle({"v": chunk})
        feed.cycle({"v": np.int64(7)})
        raw_feed.cycle({"v": np.array([1, 2], dtype="<i4")})
        raw_feed.cycle({"v": "text"})
        raw_sent = {np.array([1, 2], dtype="<i4").tobytes(), b"text"}
        assert until(lambda: len(sink.values) >= 2 and raw_sent <= set(raw_sink.values))
    got = sink.values[0]
    assert got["topic"] == "lab/amp1/eeg"
    assert np.array_equal(got["value"]["samples"], chunk["samples"])
    assert np.array_equal(got["value"]["timestamps"], chunk["timestamps"])
    assert sink.values[1] == {"topic": "lab/amp1/eeg", "value": 7}
    # Subscribed twice (lab/raw and lab/#): the broker may deliver each message twice.
    assert set(raw_sink.values) >= raw_sent


def test_undecodable_payloads_and_values_are_dropped_and_counted(broker):
    feed, sink = Feed(), Collect()
    raw = MQTTPublisher(topic="t", port=broker.port, encoding="raw")
    publisher = MQTTPublisher(topic="t", port=broker.port)
    subscriber = MQTTSubscriber(topic="t", port=broker.port)
    other = Feed()
    with Pipeline(directory="") as pipeline:
        pipeline.connect(feed, raw)
        pipeline.connect(other, publisher)
        pipeline.connect(subscriber, sink)
        pipeline.start()
        assert until(lambda: (other.cycle({"v": 1}), sink.changed.wait(0.1))[1])
        feed.cycle({"v": b"\xff not json"})
        feed.cycle({"v": 12})  # raw takes bytes, str or arrays only
        other.cycle({"v": object()})
        other.cycle({"v": "after"})
        assert until(lambda: "after" in sink.values)
        warnings = [e["message"] for e in pipeline.get_logger().get_by_type(LogType.WARNING)]
        assert subscriber.get_stats()["connector"]["dropped"] == 1
        assert raw.get_stats()["connector"]["dropped"] == 1
        assert publisher.get_stats()["connector"]["dropped"] == 1
    assert any("that is not json" in w for w in warnings)
    assert any("cannot hold" in w and "raw" in w for w in warnings)
    assert pipeline.get_condition() == "HEALTHY"


def test_broker_restart_is_a_warning_and_values_flow_again(broker):
    options = {"qos": 1, "reconnect_min": 0.05, "reconnect_max": 0.2}
    pipeline, feed, publisher, subscriber, sink = loop(broker.port, dict(options), dict(options))
    quick_feed = Feed()
    quick = MQTTPublisher(topic="velarix/other", port=broker.port, qos=0, reconnect_min=0.05, reconnect_max=0.2)
    pipeline.connect(quick_feed, quick)
    with pipeline:
        pipeline.start()
        prime(feed, sink)
        broker.stop()
        assert until(lambda: not subscriber.get_stats()["connector"]["connected"])
        assert until(lambda: not quick.get_stats()["connector"]["connected"])
        quick_feed.cycle({"v": "nobody hears this"})  # QoS 0 without a broker: dropped
        assert until(lambda: quick.get_stats()["connector"]["dropped"] == 1)
        logger = pipeline.get_logger()
        assert until(lambda: len([e for e in logger.get_by_type(LogType.WARNING)
                                  if "lost the connection" in e["message"]]) >= 3)
        broker.start()
        assert until(lambda: subscriber.get_stats()["connector"]["connected"]
                     and publisher.get_stats()["connector"]["connected"])
        prime(feed, sink, "again")
        feed.cycle({"v": "flowing"})
        assert until(lambda: "flowing" in sink.values)
        assert until(lambda: quick.get_stats()["connector"]["connected"])
        infos = [e["message"] for e in logger.get_by_type(LogType.INFO) if "reconnected" in e["message"]]
        assert len(infos) == 3
        assert any("dropped a message" in e["message"] for e in logger.get_by_type(LogType.WARNING))
        assert subscriber.get_stats()["connector"]["reconnects"] == 1
        assert pipeline.get_condition() == "HEALTHY"


def test_values_lost_while_the_broker_restarts_are_counted_and_plain_peers_still_work(broker):
    # The subscriber comes back seconds after the publisher: what is published in
    # between reaches nobody, and the numbers it skips say how much that was.
    pipeline, feed, publisher, subscriber, sink = loop(
        broker.port, {"reconnect_min": 0.05, "reconnect_max": 0.2}, {"reconnect_min": 3.0, "reconnect_max": 3.0})
    sent = []

    def send(value):
        sent.append(value)
        feed.cycle({"v": value})

    def send_until_one_arrives():
        """Sends until the subscription stands; from then on nothing is lost."""
        def arrived():
            if sent and sent[-1] in sink.values:
                return True
            send(len(sent))
            time.sleep(0.1)
            return False
        return until(arrived) and until(lambda: sent[-1] in sink.values)

    plain = mqtt.Client(callback_api_version=mqtt.CallbackAPIVersion.VERSION2, protocol=mqtt.MQTTv311)
    heard = []
    plain.on_message = lambda client, userdata, message: heard.append(message.payload)
    with pipeline:
        pipeline.start()
        assert send_until_one_arrives()
        for _ in range(10):
            send(len(sent))
        assert until(lambda: sent[-1] in sink.values)
        assert subscriber.get_stats()["connector"]["lost"] == 0
        broker.stop()
        assert until(lambda: not subscriber.get_stats()["connector"]["connected"]
                     and not publisher.get_stats()["connector"]["connected"])
        broker.start()
        assert until(lambda: publisher.get_stats()["connector"]["connected"])
        assert not subscriber.get_stats()["connector"]["connected"]  # still waiting out its delay
        for _ in range(5):
            send(len(sent))
        assert until(lambda: subscriber.get_stats()["connector"]["connected"])
        assert send_until_one_arrives()
        first = sent.index(sink.values[0])
        missing = len(sent) - first - len(set(sink.values))
        assert missing >= 5 and subscriber.get_stats()["connector"]["lost"] == missing
        assert publisher.get_stats()["connector"]["dropped"] == 0  # a publisher cannot tell

        # Another MQTT client, over MQTT 3.1.1: our payloads are plain to it, and its
        # unnumbered messages are values here that count nothing as lost.
        plain.connect("127.0.0.1", broker.port)
        plain.subscribe("velarix/test")
        plain.loop_start()
        try:
            assert until(lambda: heard or (send(len(sent)), time.sleep(0.1), heard)[2])
            assert heard[0] in {str(value).encode() for value in sent}  # the JSON text, nothing around it
            count = len(sink.values)
            plain.publish("velarix/test", b'"from elsewhere"')
            assert until(lambda: "from elsewhere" in sink.values)
            assert send_until_one_arrives() and len(sink.values) > count
        finally:
            plain.loop_stop()
            plain.disconnect()
        assert subscriber.get_stats()["connector"]["lost"] == missing


def test_broker_absent_at_start_is_a_warning_then_a_connection(tmp_path):
    from mqtt_broker import free_port

    port = free_port()
    sink = Collect()
    subscriber = MQTTSubscriber(topic="x", port=port, reconnect_min=0.05, reconnect_max=0.1)
    with Pipeline(directory="") as pipeline:
        pipeline.connect(subscriber, sink)
        pipeline.start()
        logger = pipeline.get_logger()
        assert until(lambda: any("cannot reach" in e["message"] or "lost the connection" in e["message"]
                                 for e in logger.get_by_type(LogType.WARNING)))
        assert not subscriber.get_stats()["connector"]["connected"]
        broker = Broker(tmp_path, port)
        try:
            assert until(lambda: subscriber.get_stats()["connector"]["connected"])
        finally:
            broker.stop()


@pytest.mark.parametrize("cls, entries, error, text", [
    (MQTTSubscriber, {}, ValueError, "needs topic="),
    (MQTTSubscriber, {"topic": "a/b#"}, ValueError, "whole last level"),
    (MQTTSubscriber, {"topic": "a/#/b"}, ValueError, "whole last level"),
    (MQTTSubscriber, {"topic": []}, ValueError, "at least one"),
    (MQTTSubscriber, {"topic": "a", "qos": 3}, ValueError, "qos must be from 0 to 2"),
    (MQTTPublisher, {"topic": "a", "max_queued": 0}, ValueError, "max_queued must be at least 1, got 0"),
    (MQTTSubscriber, {"topic": "a", "encoding": "xml"}, ValueError, "encoding must be one of"),
    (MQTTSubscriber, {"topic": "a", "port": "1883"}, TypeError, "port must be an int"),
    (MQTTSubscriber, {"topic": "a", "reconnect_min": 2, "reconnect_max": 1}, ValueError, "must not be below"),
    (MQTTPublisher, {"topic": "a/+"}, ValueError, "without"),
    (MQTTPublisher, {"topic": "a", "retain": "yes"}, TypeError, "retain must be"),
    (MQTTPublisher, {"topic": "a", "hots": "x"}, TypeError, "unknown option"),
    (MQTTPublisher, {"topic": "a", "protocol": "3"}, ValueError, "protocol must be one of '5', '3.1.1'"),
])
def test_bad_options_are_refused_at_the_constructor(cls, entries, error, text):
    with pytest.raises(error, match=text):
        cls(**entries)


def test_example_runs_against_the_broker(broker):
    import pathlib
    import subprocess
    import sys

    import velarix

    root = pathlib.Path(__file__).resolve().parents[1]
    env = dict(os.environ, PYTHONPATH=str(pathlib.Path(velarix.__file__).resolve().parents[1]))
    result = subprocess.run([sys.executable, str(root / "examples" / "mqtt_relay.py"), "--port", str(broker.port)],
                            env=env, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "every room arrived: True" in result.stdout
    assert "lab/kitchen/temperature: " in result.stdout and "lab/lab/temperature: " in result.stdout
    assert "Traceback" not in result.stderr


def test_readme_example_prints_what_it_says(broker, capsys):
    import pathlib
    import re

    readme = (pathlib.Path(__file__).resolve().parents[1] / "README.md").read_text()
    code = next(b for b in re.findall(r"```python\n(.*?)```", readme, re.S) if "MQTTSubscriber(" in b)
    exec(compile(code.replace("port=1883", f"port={broker.port}"), "README.md", "exec"), {"__name__": "readme"})
    assert capsys.readouterr().out.splitlines() == ["{'topic': 'lab/door/state', 'value': {'open': True}}"]


def test_encodings_round_trip():
    chunk = {"samples": np.eye(2), "timestamps": np.array([0.5, 1.5])}
    back = decode(encode(chunk, "json"), "json")
    assert np.array_equal(back["samples"], np.eye(2)) and back["timestamps"].tolist() == [0.5, 1.5]
    assert decode(encode({"a": np.float32(1.5), "b": [np.arange(2)]}, "json"), "json") == {"a": 1.5, "b": [[0, 1]]}
    assert encode(np.arange(3, dtype="<u2"), "raw") == b"\x00\x00\x01\x00\x02\x00"
    with pytest.raises(TypeError):
        encode({1, 2}, "json")
    with pytest.raises(ValueError):
        decode(b"{", "json")
