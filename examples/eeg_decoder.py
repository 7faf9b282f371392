"""A decoder of alpha bursts: synthetic 8-channel EEG at 250 Hz with a marker
stream (code 1: an alpha burst over the back of the head follows, code 2: none),
band-passed at 8-12 Hz, cut into epochs after each marker, reduced to the log
standard deviation of each channel, and classified by a scikit-learn pipeline
fitted offline on a first session (the recording) and predicting online on a
second one.

    .venv/bin/python examples/eeg_decoder.py [graph.json] [--graph examples/eeg_decoder.toml]

(after `make test`, which installs the extras `nodes` and `learn`). With a path,
the decoding pipeline is saved there as a graph file. With `--graph`, the fitted
model is also pickled to eeg_decoder-model.pkl (in the current folder), and the
same pipeline written as a graph file decodes the second session too.
"""

import argparse
import pickle
import sys
import threading
from typing import Any, Optional

import numpy as np
from sklearn.linear_model import LogisticRegression
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

from velarix import INode, ONode, Pipeline
from velarix.nodes import Aggregate, Epoch, Filter, Log, Predict, describe, make_chunk

RATE, CHUNK, TRIALS = 250.0, 25, 60
CHANNELS = ["Fz", "C3", "Cz", "C4", "P3", "Pz", "P4", "Oz"]
BACK = [4, 5, 6, 7]  # where the alpha burst shows


def session(seed: int) -> tuple[Any, Any, list[tuple[int, float]]]:
    """Samples, timestamps and markers (code, time) of one synthetic session."""
    rng = np.random.default_rng(seed)
    trial = int(1.5 * RATE)
    x = 5.0 * rng.standard_normal((TRIALS * trial + CHUNK * 20, len(CHANNELS)))
    t = np.arange(len(x)) / RATE
    markers = []
    for k in range(TRIALS):
        onset = k * trial + int(0.3 * RATE)
        code = int(rng.integers(1, 3))
        markers.append((code, t[onset]))
        if code == 1:
            span = np.arange(int(0.1 * RATE), int(0.9 * RATE))
            burst = 2.0 * np.sin(2 * np.pi * rng.uniform(9, 11) * span / RATE + rng.uniform(0, 2 * np.pi))
            x[onset + span[:, None], BACK] += burst[:, None]
    return x, t, markers


class Session(ONode):
    """Plays a session: per cycle a chunk of the signal and one of the markers in it."""

    def setup(self, data: Any, metadata: Any) -> Any:
        return {"signal": describe(self.config["sample_rate"], self.config["channels"], units="uV"),
                "markers": {"channel_count": 1}}

    def step(self, data: Any) -> Any:
        a, b, x, t, markers = data["a"], data["b"], data["x"], data["t"], data["markers"]
        inside = [(code, stamp) for code, stamp in markers if t[a] <= stamp <= t[b - 1]]
        events = make_chunk(np.array([[code] for code, _ in inside]).reshape(-1, 1),
                            np.array([stamp for _, stamp in inside], dtype=np.float64))
        return {"signal": make_chunk(x[a:b], t[a:b]), "markers": events}


class Collect(INode):
    def __init__(self, **entries: Any) -> None:
        super().__init__(**entries)
        self.chunks: list[Any] = []
        self.done = threading.Event()

    def step(self, data: Any) -> None:
        self.chunks.append(data["in"])
        if len(self.chunks) >= self.config["expected"]:
            self.done.set()


Built = tuple[Pipeline, Any, Any]  # the pipeline, its source and its sink
MODEL_FILE = "eeg_decoder-model.pkl"  # the graph file's default model_file


def build(last: Optional[Predict]) -> Built:
    """Session -> Filter -> Epoch -> Aggregate -> Log -> [`last` ->] Collect."""
    source = Session(output_ports=[{"name": "signal"}, {"name": "markers"}], sample_rate=RATE, channels=CHANNELS)
    band = Filter(order=4, cutoff=[8, 12], btype="bandpass")
    epoch = Epoch(start=0.1, end=0.9, baseline=None)
    spread, log = Aggregate(function="std", axis="time"), Log()
    sink = Collect(expected=TRIALS)
    steps: list[Any] = [spread, log, *([last] if last else [])]
    pipeline = Pipeline(directory="")
    pipeline.connect_ports(source, "signal", band, "in")
    pipeline.connect_ports(band, "out", epoch, "in")
    pipeline.connect_ports(source, "markers", epoch, "markers")
    pipeline.connect(epoch, spread)
    for node, after in zip(steps, [*steps[1:], sink]):
        pipeline.connect(node, after)
    return pipeline, source, sink


def from_graph_file(path: str) -> Built:
    """The same pipeline written as a graph file (eeg_decoder.toml)."""
    pipeline = Pipeline.from_file(path)
    nodes = {node.get_name(): node for node in pipeline.get_nodes()}
    return pipeline, nodes["session"], nodes["sink"]


def play(built: Built, seed: int, save: Optional[str] = None) -> list[Any]:
    """One session through the pipeline; the chunks that reach its end."""
    x, t, markers = session(seed)
    pipeline, source, sink = built
    with pipeline:
        if save:
            pipeline.save(save)
        pipeline.start()
        for first in range(0, len(x) - CHUNK + 1, CHUNK):
            source.cycle({"a": first, "b": first + CHUNK, "x": x, "t": t, "markers": markers})
        sink.done.wait(60)
        pipeline.stop()
    chunks: list[Any] = sink.chunks
    return chunks


def accuracy(predictions: list[Any]) -> float:
    return float(np.mean([int(chunk["samples"][0, 0]) == chunk["label"] for chunk in predictions]))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("save", nargs="?", help="save the decoding pipeline to this JSON file")
    parser.add_argument("--graph", help="also decode with this graph file (eeg_decoder.toml)")
    args = parser.parse_args()
    # The recording: a first session's features, labelled by its markers.
    recorded = play(build(None), seed=1)
    model = make_pipeline(StandardScaler(), LogisticRegression())
    decoder = Predict.fit(model, recorded)  # saved with the graph, fitted
    # Online: a second session, predicted as it streams.
    predictions = play(build(decoder), seed=2, save=args.save)
    print(f"trials: {len(recorded)} recorded for fitting, {len(predictions)} decoded online; "
          f"accuracy: {accuracy(predictions):.2f} (chance 0.50)")
    if args.graph:
        with open(MODEL_FILE, "wb") as file:  # the graph file's decoder reads it
            pickle.dump(decoder.model, file)
        again = play(from_graph_file(args.graph), seed=2)
        same = [c["samples"].tolist() for c in again] == [c["samples"].tolist() for c in predictions]
        print(f"graph file: accuracy: {accuracy(again):.2f}; the same predictions as the Python pipeline: {same}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
