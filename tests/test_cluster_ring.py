"""The native ends of a shared-memory ring: records checked against the ring,
small values delivered straight into a port, everything else handed back."""

import pickle
import struct
import threading

import pytest

zmq = pytest.importorskip("zmq")

from cluster_nodes import Collect  # noqa: E402
from test_cluster import WAIT, wait_until  # noqa: E402
from test_cluster_shm import ring_pair  # noqa: E402
from velarix.cluster import links, shm, wire  # noqa: E402


def put_record(ring, at, tag, lengths, size=None, payload=b""):
    """A record written by hand at byte `at` of the ring, as the layout says."""
    start = (16 + 8 * len(lengths) + 63) & -64
    size = size if size is not None else start + sum((n + 63) & -64 for n in lengths)
    struct.pack_into(f"=IIQ{len(lengths)}Q", ring.data, at, tag, len(lengths), size, *lengths)
    ring.data[at + start:at + start + len(payload)] = payload
    return size


def publish(ring, tail):
    struct.pack_into("=Q", ring.map, shm.TAIL_AT, tail)


HOSTILE = {
    # what the ring holds at 0 (written over a good record), the writer's count, the error
    "too many frames": (lambda r: put_record(r, 0, shm.FRAMES, [1, 1], size=128) and
                        struct.pack_into("=I", r.data, 4, shm.MAX_FRAMES + 1), 128,
                        "a record of 128 bytes with 65537 frames"),
    "frame past its record": (lambda r: put_record(r, 0, shm.FRAMES, [8, 4096], size=128), 128,
                              "frame 1 of 4096 bytes overruns its record of 128"),
    "lengths past their record": (lambda r: put_record(r, 0, shm.FRAMES, [8] * 9, size=64), 64,
                                  "a record of 64 bytes with 9 frames"),
    "record past the writer's count": (lambda r: put_record(r, 0, shm.FRAMES, [8], size=128), 64,
                                       "a record of 128 bytes at 0 in a ring of 4096"),
    "record past the end": (lambda r: put_record(r, 4032, shm.FRAMES, [8], size=128), 4032 + 64,
                            "a record of 128 bytes at 4032 in a ring of 4096"),
    "writer behind the reader": (lambda r: None, 0, "the writer's count is off by -4032 bytes"),
    "socket mark of odd size": (lambda r: put_record(r, 0, shm.SOCKET, [], size=96), 128,
                                "a record of 96 bytes at 0 in a ring of 4096"),
}


@pytest.mark.parametrize("kind", sorted(HOSTILE))
def test_a_hostile_record_is_refused_by_every_way_of_reading(tmp_path, kind):
    writer, reader, offer = ring_pair(tmp_path)
    try:
        damage, tail, text = HOSTILE[kind]
        if kind in ("record past the end", "writer behind the reader"):  # a reader some way in
            for _ in range(4032 // 64):
                assert writer.write_socket_mark(lambda: False)  # a record of 64 bytes
            assert len(list(reader.records(100))) == 63 and reader.head == 4032
        damage(reader)
        publish(reader, tail)
        head = reader.head
        with pytest.raises(shm.RingError) as raised:
            list(reader.records(10))
        assert str(raised.value) == text
        sink = Collect(name="sink")
        with pytest.raises(shm.RingError) as raised:
            reader.end.deliver(10, sink._imp._input_ports["in"], 100, 0.0, 0.0)
        assert str(raised.value) == text and reader.head == head and len(sink._imp._input_ports["in"]._values) == 0
    finally:
        reader.close()
        writer.close()
        offer.close()


def test_a_writer_refuses_a_reader_count_that_is_off_and_a_reader_one_that_starts_mid_record(tmp_path):
    writer, reader, offer = ring_pair(tmp_path)
    try:
        struct.pack_into("=Q", writer.map, shm.HEAD_AT, 1 << 20)
        with pytest.raises(shm.RingError, match=r"^the reader's count is off by -1048576 bytes$"):
            writer.write(wire.dumps(wire.VALUE, 1), lambda: False)
        other = shm.Offer(str(tmp_path / "other.shm"), 4096, writer=True)
        struct.pack_into("=Q", other.own.map, shm.HEAD_AT, 8)
        ring, why = shm.take(str(tmp_path / "other.shm"), writer=False)
        assert ring is None and why.endswith("RingError: the reader's count 8 is no record's start")
        other.close()
        with pytest.raises(TypeError, match="writing end"):
            writer.end.next()
        with pytest.raises(TypeError, match="reading end"):
            reader.end.put([b"x"], shm.FRAMES)
        with pytest.raises(TypeError):
            writer.end.put((b"x",), shm.FRAMES)
        with pytest.raises(TypeError):
            writer.end.put([object()], shm.FRAMES)
    finally:
        reader.close()
        writer.close()
        offer.close()
    with pytest.raises(ValueError, match="closed"):
        reader.end.next()
    with pytest.raises(ValueError, match="closed"):
        writer.end.put([b"x"], shm.FRAMES)


def test_records_written_by_hand_are_read_as_the_layout_says(tmp_path):
    """The layout is the contract between the two ends: a record made from it
    alone, with a wrap, reads back."""
    writer, reader, offer = ring_pair(tmp_path)
    try:
        first = wire.dumps(wire.VALUE, "first")[0]
        at = put_record(reader, 0, shm.FRAMES, [len(first)], payload=first)
        publish(reader, at)
        assert [wire.loads(m[0])[1] for m in reader.records(5)] == ["first"] and reader.head == at
        wrap = 4096 - at
        struct.pack_into("=IIQ", reader.data, at, shm.WRAP, 0, wrap)
        second = wire.dumps(wire.VALUE, "second")[0]
        size = put_record(reader, 0, shm.FRAMES, [len(second)], payload=second)
        publish(reader, at + wrap + size)
        assert [wire.loads(m[0])[1] for m in reader.records(5)] == ["second"]
        assert reader.head == at + wrap + size and reader.last_size == size
    finally:
        reader.close()
        writer.close()
        offer.close()


def test_a_link_over_a_ring_keeps_order_and_says_what_it_could_not_take(tmp_path):
    """Small values go into the port natively; metadata, batches, buffers, socket
    messages, stray frames and damaged streams take the Python way, in order."""
    writer, reader, offer = ring_pair(tmp_path, capacity=8192)
    context = zmq.Context()
    pull, push = context.socket(zmq.PULL), context.socket(zmq.PUSH)
    pull.bind("inproc://ring-side")
    push.connect("inproc://ring-side")
    sink = Collect(name="sink")
    port = sink._imp._input_ports["in"]
    receiver = links.Receiver(hwm=100000)
    receiver.add(pull, port, "SYNC", sink, "shm", reader)
    try:
        expected = []

        def send(frames, *values):
            assert writer.write(frames, lambda: True)
            expected.extend(values)

        send(wire.dumps(wire.METADATA, {"rate": 5}))
        send(wire.dumps(wire.VALUE, 0), 0)
        send([wire.one_origin(1.5) + wire.dumps(wire.VALUE, 1)[0]], 1)
        send(wire.with_origins(wire.dumps(wire.VALUES, [2, 3]), [None, 2.0]), 2, 3)
        send(wire.dumps(wire.VALUE, pickle.PickleBuffer(bytearray(b"buffer"))), bytearray(b"buffer"))
        send([b"stray"])
        send([b"v\x80\x05."])  # shaped like a value, the stream damaged
        big = wire.dumps(wire.VALUE, bytes(6000))  # more than half the ring: by the socket
        assert writer.write(big, lambda: True) is None and writer.write_socket_mark(lambda: True)
        push.send_multipart(big)
        expected.append(bytes(6000))
        receiver.start()
        # Many more, through wraps, while the link reads.
        feeder = threading.Thread(target=lambda: [send(wire.dumps(wire.VALUE, ("n", n)), ("n", n))
                                                  for n in range(3000)])
        feeder.start()
        got = []  # taken as they come: a port holds only what the ring's bytes would
        assert wait_until(lambda: (got.extend(port.get() for _ in range(len(port._values))),
                                   len(got) == 6 + 3000)[1])
        feeder.join(WAIT)
        assert got == expected
        assert receiver.inbound[0].source.get_metadata() == {"rate": 5}
        assert receiver.get_stats() == [{"node": "sink", "port": "in", "transport": "shm", "dropped": 1, "failed": 1}]
        entries = [(e["type"], e["message"]) for e in sink._imp._logger.get_all()]
        assert entries[0][1].startswith("Link into port 'in' of node 'sink': dropped a frame that is not a value "
                                        "message (5 bytes, starting b'stray')")
        assert entries[1][0] == "ERROR" and entries[1][1].startswith(
            "Link into port 'in' of node 'sink': cannot re-create a value: UnpicklingError: ")
    finally:
        receiver.close()
        push.close(linger=0)
        context.term()
        writer.close()
        offer.close()


def test_values_a_full_port_refuses_are_counted_and_the_rest_still_arrive(tmp_path):
    writer, reader, offer = ring_pair(tmp_path)
    context = zmq.Context()
    pull = context.socket(zmq.PULL)
    sink = Collect(name="sink", input_ports=[{"name": "in", "capacity": 1, "overflow": "raise"}])
    port = sink._imp._input_ports["in"]
    receiver = links.Receiver(hwm=100)
    receiver.add(pull, port, "SYNC", sink, "shm", reader)
    try:
        for n in range(3):
            writer.write(wire.dumps(wire.VALUE, n), lambda: False)
        receiver.start()
        assert wait_until(lambda: receiver.get_stats()[0]["failed"] == 2)
        assert port.get() == 0
        writer.write(wire.dumps(wire.VALUE, 3), lambda: False)
        assert wait_until(lambda: port.data_available()) and port.get() == 3
        errors = [e["message"] for e in sink._imp._logger.get_all() if e["type"] == "ERROR"]
        assert errors == ["Link into port 'in' of node 'sink': a value was not delivered: OverflowError: "
                          "Input port 'in' is full (capacity 1)."]
    finally:
        receiver.close()
        context.term()
        writer.close()
        offer.close()


def test_a_ring_closed_while_its_reader_waits_lets_go_once_the_wait_ends(tmp_path):
    writer, reader, offer = ring_pair(tmp_path)
    try:
        waited = []
        thread = threading.Thread(target=lambda: waited.append(reader.wait_data(300)))
        thread.start()
        assert wait_until(lambda: struct.unpack_from("=Q", reader.map, shm.READER_ASLEEP_AT)[0])
        end = reader.end
        reader.close()  # the mapping stays until the wait is over
        thread.join(WAIT)
        assert waited == [False]
        with pytest.raises(ValueError, match="closed"):
            end.wait(0)
    finally:
        writer.close()
        offer.close()


def test_a_value_pickled_into_the_ring_is_the_message_wire_makes(tmp_path):
    import numpy

    writer, reader, offer = ring_pair(tmp_path)
    try:
        for value, origin in ((1, None), ("text", 12.5), ({"a": [1, 2.0]}, None), (None, float("nan")),
                              (b"x" * 1000, 3.0), (("n", 7), 1)):
            assert writer.end.put_value(value, origin) is True
            frames = wire.dumps(wire.VALUE, value)
            if type(origin) is float:
                frames[0] = wire.one_origin(origin) + frames[0]
            assert next(reader.records(1)) == frames
        # Kinds wire.dumps makes otherwise: left to it, nothing written.
        for value in (numpy.arange(3), pickle.PickleBuffer(bytearray(b"oob"))):
            assert writer.end.put_value(value, None) is None
        with pytest.raises(TypeError, match="pickle"):
            writer.end.put_value(threading.Lock(), None)
        assert list(reader.records(10)) == []
        # No room now: the frames, for the general write.
        big = bytes(1500)
        while writer.end.put_value(big, 2.0) is True:
            pass
        assert writer.end.put_value(big, 2.0) == [wire.one_origin(2.0) + wire.dumps(wire.VALUE, big)[0]]
        assert writer.end.put_value(bytes(3000), None) == wire.dumps(wire.VALUE, bytes(3000))  # never fits
    finally:
        reader.close()
        writer.close()
        offer.close()
