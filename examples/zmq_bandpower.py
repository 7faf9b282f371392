"""A stream in and results out over ZeroMQ: a device (here a thread with plain
pyzmq, as any program would publish) sends chunks of a two-channel 250 Hz signal;
the pipeline subscribes, filters, windows and computes band power, and publishes
each result as JSON, which a plain pyzmq subscriber reads.

    .venv/bin/python examples/zmq_bandpower.py

(after `make test`, which installs the extras `zmq` and `nodes`)
"""

import json
import socket
import threading

import numpy as np
import zmq

from velarix import Pipeline
from velarix.connect import ZMQPublisher, ZMQSubscriber
from velarix.nodes import BandPower, Filter, Window

RATE = 250.0


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port: int = probe.getsockname()[1]
        return port


def device(endpoint: str, stop: threading.Event) -> None:
    """10 Hz on channel "left", 20 Hz on "right", in chunks of 25 samples: each
    message [topic, header, samples, timestamps], the "numpy" encoding."""
    with zmq.Context() as context, context.socket(zmq.PUB) as pub:
        pub.bind(endpoint)
        sent = 0
        while not stop.wait(0.01):
            t = (sent + np.arange(25)) / RATE
            samples = np.stack([np.sin(2 * np.pi * 10 * t), np.sin(2 * np.pi * 20 * t)], axis=1)
            samples = samples.astype(np.float32)
            header = {"arrays": [{"name": "samples", "dtype": samples.dtype.str, "shape": list(samples.shape)},
                                 {"name": "timestamps", "dtype": t.dtype.str, "shape": list(t.shape)}]}
            pub.send_multipart([b"eeg", json.dumps(header).encode(), samples.tobytes(), t.tobytes()])
            sent += 25


def main() -> int:
    stream, results = f"tcp://127.0.0.1:{free_port()}", f"tcp://127.0.0.1:{free_port()}"
    stop = threading.Event()
    sender = threading.Thread(target=device, args=(stream, stop))
    sender.start()

    inlet = ZMQSubscriber(endpoint=stream, topic="eeg", encoding="numpy", nominal_srate=RATE,
                          channel_count=2, channel_names=["left", "right"])
    band = Filter(order=4, cutoff=[4, 30], btype="bandpass")
    window = Window(size=125, hop=25)
    power = BandPower(bands={"alpha": [8, 12], "beta": [18, 22]})
    outlet = ZMQPublisher(endpoint=results, bind=True, topic="bandpower", encoding="json")

    with Pipeline(directory="") as pipeline, zmq.Context() as context, context.socket(zmq.SUB) as reader:
        for a, b in [(inlet, band), (band, window), (window, power), (power, outlet)]:
            pipeline.connect(a, b)
        pipeline.start()
        reader.connect(results)
        reader.subscribe(b"bandpower")
        reader.rcvtimeo = 10_000
        powers = []
        for _ in range(20):  # the first windows still hold the filter's start
            topic, payload = reader.recv_multipart()
            powers.append(json.loads(payload)["samples"][0])
        pipeline.stop()
        stats = inlet.get_stats()["connector"]
    stop.set()
    sender.join()

    left_alpha, left_beta, right_alpha, right_beta = powers[-1]
    print(f"results received: {len(powers)}, chunks received: {stats['values']}, dropped: {stats['dropped']}")
    print(f"left  (10 Hz): alpha {left_alpha:.3f}, beta {left_beta:.3f}")
    print(f"right (20 Hz): alpha {right_alpha:.3f}, beta {right_beta:.3f}")
    print("alpha leads on the left, beta on the right:", left_alpha > left_beta and right_beta > right_alpha)
    return 0 if pipeline.get_condition() == "HEALTHY" else 1


if __name__ == "__main__":
    raise SystemExit(main())
