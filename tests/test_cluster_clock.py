"""One clock across the cluster: offsets of real workers, worker log times and
value origins mapped into the controller's clock."""

import math
import threading
import time
from datetime import datetime

import pytest

pytest.importorskip("zmq")

from cluster_nodes import Collect, Double, Shout, Source  # noqa: E402
from test_cluster import WAIT, chain, reaper, wait_until  # noqa: E402,F401  (reaper: a fixture)
from velarix.cluster import clock, links, wire  # noqa: E402
from velarix.cluster.logs import inject  # noqa: E402
from velarix.logger import Logger  # noqa: E402

SHIFT = 2.5
MARGIN = 0.05  # seconds: float rounding and the microseconds of log timestamps


def test_offset_of_a_worker_with_a_shifted_clock_is_found_within_its_uncertainty(reaper, monkeypatch):
    source, shout, double, sink = Source(), Shout(), Double(), Collect()
    pipeline, cluster = chain(reaper, source, shout, double, sink)
    monkeypatch.setenv(clock.TEST_SHIFT_VARIABLE, str(SHIFT))
    cluster.spawn("shifted")
    monkeypatch.delenv(clock.TEST_SHIFT_VARIABLE)
    cluster.spawn("plain")
    cluster.place(shout, "shifted")
    cluster.place(double, "plain")
    assert {w["clock_offset"] for w in cluster.get_workers().values()} == {None}
    assert {w["clock_uncertainty"] for w in cluster.get_workers().values()} == {None}
    cluster.start()
    # Probes go with the heartbeats: a few more than the ones taken at hello.
    assert all(w.clock.wait(clock.KEEP // 2, WAIT) for w in cluster.workers.values())
    workers = cluster.get_workers()
    for name, expected in (("shifted", SHIFT), ("plain", 0.0)):
        offset, uncertainty = workers[name]["clock_offset"], workers[name]["clock_uncertainty"]
        assert 0 <= uncertainty < 1 and abs(offset - expected) <= uncertainty + MARGIN, (name, offset, uncertainty)

    # A log entry of the shifted worker is stamped on this process's clock, not 2.5 s ahead.
    before = time.time()
    source.cycle({"x": (1, [])})
    assert sink.wait_for(lambda values: len(values) == 1, WAIT)
    after = time.time()
    def shouted():
        return [e for e in pipeline.get_logger().get_all() if e["message"].startswith("Worker shifted: shout")]

    assert wait_until(shouted)
    entry = shouted()[0]
    stamped = datetime.fromisoformat(entry["timestamp"]).timestamp()
    # Bounded by the uncertainty at the time the entry came; a quarter second tells 2.5 s apart.
    assert before - 0.25 <= stamped <= after + 0.25, (before, stamped, after)
    pipeline.stop()


def test_the_estimate_keeps_the_probe_with_the_least_round_trip_among_the_latest():
    estimate = clock.Estimate()
    assert estimate.offset is None
    # The worker is 2.5 s ahead; the round trip is 0.2 s, 0.1 s of it spent answering.
    assert estimate.add(100.0, 102.6, 102.7, 100.3)
    assert estimate.report() == {"clock_offset": pytest.approx(2.5), "clock_uncertainty": pytest.approx(0.1)}
    # A slow, lopsided probe (1 s out, 0 s back) moves nothing: its round trip is longer.
    assert estimate.add(200.0, 203.5, 203.5, 201.0)
    assert estimate.offset == pytest.approx(2.5)
    # Not probes: non-numbers, non-finite times, an answer before its question.
    for times in (("x", 1.0, 1.0, 2.0), (True, 1.0, 1.0, 2.0), (math.nan, 1.0, 1.0, 2.0),
                  (1.0, math.inf, math.inf, 2.0), (3.0, 1.0, 1.0, 2.0), (1.0, 2.0, 1.5, 3.0)):
        assert not estimate.add(*times)
    assert estimate.count == 2
    # Once the best probe is older than the latest KEEP, the best of those counts.
    for n in range(clock.KEEP):
        estimate.add(300.0 + n, 301.0 + n, 301.0 + n, 300.5 + n)  # 0.5 s round trips, 0.75 s ahead
    assert estimate.report() == {"clock_offset": pytest.approx(0.75), "clock_uncertainty": pytest.approx(0.25)}


def test_worker_log_records_are_mapped_once_the_offset_is_known():
    logger = Logger("")
    when = datetime(2026, 3, 1, 10, 15, 30, 250000).timestamp()
    record = ("INFO", "stack", "hello", "2026-03-01T10:15:32.750000", "thread-1", when + 2.5)
    assert inject(logger, "w", record, 2.5)["timestamp"] == "2026-03-01T10:15:30.250000"
    assert inject(logger, "w", record)["timestamp"] == "2026-03-01T10:15:32.750000"  # no probe yet
    # A worker of an older build sends five values; a broken time is left alone.
    assert inject(logger, "w", record[:5], 2.5)["timestamp"] == "2026-03-01T10:15:32.750000"
    for broken in (math.inf, 1e300, "x"):
        assert inject(logger, "w", record[:5] + (broken,), 2.5)["timestamp"] == "2026-03-01T10:15:32.750000"


class OriginPort:
    """An input port of a core that takes an origin with each value."""

    def __init__(self):
        self._connected_ports = []
        self._values = []
        self.got = []
        self.changed = threading.Condition()

    def _receive(self, value, origin=None):
        with self.changed:
            self.got.append((value, origin))
            self.changed.notify_all()


def test_origins_travel_on_the_controllers_clock_and_land_on_the_receivers(monkeypatch):
    import zmq

    from velarix.o_port import OPort

    origins = iter([10.0, None, 12.0, 20.0])
    monkeypatch.setattr(links, "_current_origin", lambda: next(origins))
    monkeypatch.setattr(clock, "_shift", 1.0)  # the sending process: its clock 1 s ahead of time.time(),
    monkeypatch.setattr(clock, "_offset", 3.0)  # and 3 s ahead of the controller's
    context = zmq.Context()
    out_pull, out_push = context.socket(zmq.PULL), context.socket(zmq.PUSH)
    out_pull.bind("inproc://origins-out")
    out_push.connect("inproc://origins-out")
    busy = [True]
    sender = links.Sender(out_push, OPort(name="out")._imp, lambda: True, lambda: busy[0])
    receiver = links.Receiver(hwm=100)
    try:
        for n in range(2):
            sender._receive(n)
        busy[0] = False
        sender._receive(2)
        frames = out_pull.recv_multipart()
        assert wire.loads_origins(frames[0], frames[1:]) == (wire.VALUES, [0, 1, 2], (8.0, None, 10.0))
        sender._receive(3)
        single = out_pull.recv_multipart()
        assert wire.loads_origins(single[0]) == (wire.VALUE, 3, (18.0,))

        # The receiving process: its clock on time, 1 s behind the controller's.
        monkeypatch.setattr(clock, "_shift", 0.0)
        monkeypatch.setattr(clock, "_offset", -1.0)
        ports, pushes = {}, {}
        for timing in ("SYNC", "ASYNC"):
            pull, pushes[timing] = context.socket(zmq.PULL), context.socket(zmq.PUSH)
            pull.bind(f"inproc://origins-{timing}")
            pushes[timing].connect(f"inproc://origins-{timing}")
            ports[timing] = OriginPort()
            receiver.add(pull, ports[timing], timing, Collect(name=timing))
        pushes["SYNC"].send_multipart(frames)
        pushes["SYNC"].send_multipart(wire.with_origins(wire.dumps(wire.VALUES, [4, 5]), [1.0]))  # count off
        pushes["SYNC"].send_multipart(wire.dumps(wire.VALUE, 6))  # from a sender without origins
        pushes["ASYNC"].send_multipart(frames)  # before the link reads: it delivers the newest only
        receiver.start()
        for port, expected in ((ports["SYNC"], [(0, 7.0), (1, None), (2, 9.0), (4, None), (5, None), (6, None)]),
                               (ports["ASYNC"], [(2, 9.0)])):
            with port.changed:
                assert port.changed.wait_for(lambda: len(port.got) >= len(expected), WAIT)
            assert port.got == expected
        for push in pushes.values():
            push.close(linger=0)
    finally:
        receiver.close()
        sender.close()
        out_pull.close(linger=0)
        context.term()


def test_origin_frames_that_do_not_add_up_are_no_message():
    frames = wire.with_origins(wire.dumps(wire.VALUE, 7), [1.5])
    assert wire.loads_origins(frames[0]) == (wire.VALUE, 7, (1.5,))
    for damaged in (b"o", b"o\x01\x00", frames[0][:12], b"o\x00\x00\x00\x40" + frames[0][5:]):
        with pytest.raises(wire.NotAMessage):
            wire.loads_origins(damaged)
    array = pytest.importorskip("numpy").arange(4.0)
    frames = wire.with_origins(wire.dumps(wire.VALUE, array), [2.0])
    kind, value, origins = wire.loads_origins(frames[0], frames[1:])
    assert kind == wire.VALUE and value.tolist() == [0.0, 1.0, 2.0, 3.0] and origins == (2.0,)
