"""ZeroMQ connectors against a bare pyzmq publish-subscribe loop, in the same run.

Each measurement runs a publisher and a subscriber in two processes (as peers
are): the subscriber binds, the publisher connects, sends `count` values as fast
as it can and an end marker, and the subscriber times from the first value to
the marker. Neither side drops (hwm 0), so the rate is what the slower side
sustains. Baseline: the same with plain pyzmq loops sending one value (the same
object each time); ours: a source driven with cycle() that returns that value
from its step -> ZMQPublisher in one process, ZMQSubscriber -> a counting sink
in the other (whose step gets its private copy, as every step does).

- small values (8 bytes, encoding "raw"): values per second; aim >= 80 %.
- 64 KB numpy arrays (encoding "numpy"): bandwidth; aim >= 80 %.

Figures are medians over interleaved rounds (`python connect_zmq.py [rounds]`),
with the range of the per-round ratios.
"""

import functools
import json
import logging
import socket
import statistics
import subprocess
import sys
import threading
import time

SMALL_COUNT = 200_000
ARRAY_COUNT = 20_000
ARRAY_FLOATS = 16_384  # 64 KB of float32
TARGET = 0.8
REPEAT = 7  # rounds; the first argument gives another number


def free_endpoint():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return f"tcp://127.0.0.1:{probe.getsockname()[1]}"


# The bare loops ---------------------------------------------------------------------

def bare_publisher(endpoint, kind, count):
    import numpy as np
    import zmq

    pub = zmq.Context().socket(zmq.PUB)
    pub.sndhwm = 0
    pub.connect(endpoint)
    time.sleep(0.5)  # the subscription reaches us
    if kind == "small":
        payload = b"12345678"
        for _ in range(count):
            pub.send_multipart([b"t", payload])
        pub.send_multipart([b"t", b"end"])
    else:
        array = np.ones(ARRAY_FLOATS, dtype=np.float32)
        header = json.dumps({"dtype": array.dtype.str, "shape": list(array.shape)}).encode()
        for _ in range(count):
            pub.send_multipart([b"t", header, array], copy=False)
        pub.send_multipart([b"t", json.dumps({"dtype": "<f4", "shape": [0]}).encode(), b""])
    pub.close(linger=-1)


def bare_subscriber(endpoint, kind):
    import numpy as np
    import zmq

    sub = zmq.Context().socket(zmq.SUB)
    sub.rcvhwm = 0
    sub.subscribe(b"t")
    sub.bind(endpoint)
    print("ready", flush=True)
    received, first = 0, None
    while True:
        if kind == "small":
            frames = sub.recv_multipart()
            if frames[1] == b"end":
                break
        else:
            frames = sub.recv_multipart(copy=False)
            header = json.loads(frames[1].bytes)
            array = np.frombuffer(frames[2].buffer, dtype=header["dtype"]).reshape(header["shape"])
            if array.size == 0:
                break
        if first is None:
            first = time.perf_counter()
        received += 1
    return received, time.perf_counter() - first


# Ours ----------------------------------------------------------------------------------

def our_publisher(endpoint, kind, count, threads=None):
    import numpy as np

    from velarix import ONode, Pipeline
    from velarix.connect import ZMQPublisher

    class Values(ONode):
        # A source makes its values in its step, as a device reader does: the
        # cycle's copy of its (empty) input costs nothing.
        value = None

        def step(self, data):
            return {"out": self.value}

    source = Values()
    publisher = ZMQPublisher(endpoint=endpoint, topic="t", hwm=0, linger=None,
                             encoding="raw" if kind == "small" else "numpy")
    with Pipeline(directory="", threads=threads) as pipeline:
        pipeline.connect(source, publisher)
        pipeline.start()
        time.sleep(0.5)
        if kind == "small":
            source.value, end = b"12345678", b"end"
        else:
            source.value, end = np.ones(ARRAY_FLOATS, dtype=np.float32), np.zeros(0, dtype=np.float32)
        cycle = source.cycle
        for _ in range(count):
            cycle()
        source.value = end
        cycle()
        # Everything reaches the publisher before it stops.
        while publisher.get_counter() < count + 1:
            time.sleep(0.01)
        pipeline.stop()


def our_subscriber(endpoint, kind, threads=None):
    from velarix import INode, Pipeline
    from velarix.connect import ZMQSubscriber

    done = threading.Event()

    class Count(INode):
        received = 0
        first = None
        last = None

        def step(self, data):
            value = data["in"]
            if (value == b"end") if kind == "small" else value.size == 0:
                self.last = time.perf_counter()
                done.set()
                return
            if self.first is None:
                self.first = time.perf_counter()
            self.received += 1

    subscriber = ZMQSubscriber(endpoint=endpoint, topic="t", bind=True, hwm=0,
                               encoding="raw" if kind == "small" else "numpy")
    sink = Count()
    with Pipeline(directory="", threads=threads) as pipeline:
        pipeline.connect(subscriber, sink)
        pipeline.start()
        print("ready", flush=True)
        while not done.wait(0.5):
            if pipeline.get_condition() != "HEALTHY":
                raise SystemExit(f"the subscriber failed: {pipeline.get_last_error()}")
        pipeline.stop()
    return sink.received, sink.last - sink.first


ROLES = {"bare": (bare_publisher, bare_subscriber), "ours": (our_publisher, our_subscriber),
         # The same pipelines on one shared scheduler thread each (Pipeline(threads=1)).
         "shared": (functools.partial(our_publisher, threads=1), functools.partial(our_subscriber, threads=1))}


def measure(which, kind, count):
    """Values per second the subscriber saw, with the publisher in another process."""
    endpoint = free_endpoint()
    subscriber = subprocess.Popen([sys.executable, __file__, "--subscribe", which, kind, endpoint],
                                  stdout=subprocess.PIPE, text=True)
    assert subscriber.stdout.readline().strip() == "ready"
    publisher = subprocess.Popen([sys.executable, __file__, "--publish", which, kind, endpoint, str(count)])
    out = subscriber.communicate(timeout=300)[0]
    publisher.wait(timeout=60)
    received, seconds = json.loads(out.strip().splitlines()[-1])
    if received != count:
        print(f"  {which} {kind}: {count - received} values lost")
    return received / seconds


def main(rounds=REPEAT):
    ok = True
    modes = (("ours", "thread per node"), ("shared", "one shared thread"))
    for kind, count, unit in [("small", SMALL_COUNT, "values/s"), ("array", ARRAY_COUNT, "MB/s")]:
        # Each round measures the baseline and both of ours back to back, in an
        # order that turns from round to round, so that a ratio compares runs
        # that met the same machine load; the medians over the rounds are the
        # figures, the spread says how far one round can be off.
        rates = {"bare": [], "ours": [], "shared": []}
        ratios = {"ours": [], "shared": []}
        order = ["bare", "ours", "shared"]
        for turn in range(rounds):
            measured = {}
            for which in order[turn % 3:] + order[:turn % 3]:
                measured[which] = measure(which, kind, count)
                rates[which].append(measured[which])
            for which in ratios:
                ratios[which].append(measured[which] / measured["bare"])
        scale = ARRAY_FLOATS * 4 / 1e6 if kind == "array" else 1.0
        label = "small values (8 B, raw)" if kind == "small" else "64 KB arrays (numpy)"
        bare = statistics.median(rates["bare"])
        for which, mode in modes:
            ratio = statistics.median(ratios[which])
            print(f"ZeroMQ pub/sub, {label}, {mode}: ours {statistics.median(rates[which]) * scale:,.0f} {unit}, "
                  f"bare pyzmq {bare * scale:,.0f} {unit}, {ratio:.0%} (aim >= {TARGET:.0%}; "
                  f"median of {rounds} rounds, {min(ratios[which]):.0%}-{max(ratios[which]):.0%})")
        ok = ok and max(statistics.median(ratios[which]) for which, _ in modes) >= TARGET
    return 0 if ok else 1


if __name__ == "__main__":
    # The log's warnings (a peer gone at the end, a port left unlinked) are not figures.
    logging.getLogger("velarix").setLevel(logging.ERROR)
    if sys.argv[1:2] == ["--publish"]:
        which, kind, endpoint, count = sys.argv[2:6]
        ROLES[which][0](endpoint, kind, int(count))
    elif sys.argv[1:2] == ["--subscribe"]:
        which, kind, endpoint = sys.argv[2:5]
        print(json.dumps(ROLES[which][1](endpoint, kind)), flush=True)
    else:
        sys.exit(main(*map(int, sys.argv[1:2])))
