"""Band power of a live LSL stream, sent on as an LSL stream of its own.

Three processes, as in a lab: a synthetic 8-channel device (an LSL outlet with a
10 Hz rhythm in noise), this pipeline (LSLInlet -> Filter -> Window -> BandPower
-> LSLOutlet) and a plain pylsl reader of the result, which knows nothing of
velarix. Needs the extras lsl and nodes.

LSL finds streams by multicast; to keep it on this machine (as the tests do):

    LSLAPICFG=$PWD/lsl_api.cfg unshare -n sh -c 'ip link set lo up && exec python examples/lsl_bandpower.py'

with lsl_api.cfg as the README shows ("Connecting real streams"). With
`--graph examples/lsl_bandpower.toml` the pipeline comes from that graph file.
"""

import importlib
import subprocess
import sys
import time
from typing import Any

import numpy as np

from velarix import Pipeline
from velarix.connect import LSLInlet, LSLOutlet
from velarix.nodes import BandPower, Filter, Window

RATE, CHANNELS = 250.0, 8
BANDS = {"theta": [4, 8], "alpha": [8, 13], "beta": [13, 30]}
pylsl: Any = importlib.import_module("pylsl")  # a library without type information


def device() -> None:
    """The synthetic amplifier: 10 Hz sine plus noise on every channel, until killed."""
    info = pylsl.StreamInfo("synthetic-eeg", "EEG", CHANNELS, RATE, "float32", "synthetic-eeg-1")
    info.set_channel_labels([f"C{c}" for c in range(CHANNELS)])
    outlet = pylsl.StreamOutlet(info)
    rng = np.random.default_rng(0)
    k, start = 0, time.monotonic()
    while True:
        t = (k + np.arange(25)) / RATE
        chunk = np.sin(2 * np.pi * 10 * t)[:, None] + 0.3 * rng.standard_normal((25, CHANNELS))
        outlet.push_chunk(chunk.astype(np.float32))
        k += 25
        time.sleep(max(0.0, start + k / RATE - time.monotonic()))


def reader(count: int) -> None:
    """A plain pylsl consumer of the band-power stream."""
    found = pylsl.resolve_byprop("name", "bandpower", 1, 20.0)
    if not found:
        sys.exit("reader: no band-power stream")
    inlet = pylsl.StreamInlet(found[0])
    info = inlet.info(5.0)
    names = info.get_channel_labels()
    rows: list[list[float]] = []
    while len(rows) < count:
        sample, _ = inlet.pull_sample(timeout=10.0)
        if sample is None:
            sys.exit("reader: the stream went quiet")
        rows.append(sample)
    power = np.mean(rows, axis=0).reshape(info.channel_count() // len(BANDS), len(BANDS))
    strongest = {list(BANDS)[i] for i in power.argmax(axis=1)}
    print(f"reader: {len(rows)} samples of {info.channel_count()} channels ({names[0]}, {names[1]}, ...)")
    print(f"reader: strongest band on every channel: {', '.join(sorted(strongest))}")


def build() -> tuple[Pipeline, Any, Any]:
    """The pipeline, its inlet and its outlet."""
    pipeline = Pipeline(directory="")
    inlet = LSLInlet(stream="synthetic-eeg", timeout=20.0)
    band = Filter(order=4, cutoff=[1.0, 40.0], btype="bandpass")
    window = Window(size=250, hop=125)                 # 1 s windows every 0.5 s
    power = BandPower(bands=BANDS)
    outlet = LSLOutlet(stream="bandpower", type="BandPower", source_id="bandpower-1")
    for a, b in ((inlet, band), (band, window), (window, power), (power, outlet)):
        pipeline.connect(a, b)
    return pipeline, inlet, outlet


def from_graph_file(path: str) -> tuple[Pipeline, Any, Any]:
    """The same pipeline written as a graph file (lsl_bandpower.toml)."""
    pipeline = Pipeline.from_file(path)
    nodes = {node.get_name(): node for node in pipeline.get_nodes()}
    return pipeline, nodes["inlet"], nodes["outlet"]


def main(graph: str | None = None) -> None:
    me = [sys.executable, __file__]
    amplifier = subprocess.Popen(me + ["--device"])
    consumer = subprocess.Popen(me + ["--reader"])
    pipeline, inlet, outlet = build() if graph is None else from_graph_file(graph)
    with pipeline:
        pipeline.start()
        try:
            consumer.wait(60)
        finally:
            pipeline.stop()                                # before the device goes away
            amplifier.kill()
            amplifier.wait()
        print("pipeline:", pipeline.get_condition(), "-", inlet.get_stats()["connector"]["samples"],
              "samples in,", outlet.get_stats()["connector"]["values"], "band-power values out")
    sys.exit(consumer.returncode)


if __name__ == "__main__":
    if sys.argv[1:] == ["--device"]:
        device()
    elif sys.argv[1:] == ["--reader"]:
        reader(4)
    elif sys.argv[1:2] == ["--graph"]:
        main(sys.argv[2])
    else:
        main()
