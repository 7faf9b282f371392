"""Recording and replay, each against a baseline run here:

1. recording 64 KB arrays (MB/s into the file, memory) vs a bare loop of the mcap
   package's writer writing the same bytes with the same chunking and compression;
2. the 3-stage small-value chain fed by cycle() in a loop, with every port
   recorded vs without a recording (with the default queue, which holds what
   the writer cannot take at once, and with a small one, which drops it);
3. offline replay (speed max) of a recorded small-value stream through the same
   stages vs the chain fed by cycle() in a loop: once past the first value (the
   set-ups left out of both), and once from the start, where both figures count
   the pipeline's start (each node's set-up pause) and the first value: the chain's
   clock then starts before its pipeline.start() as the replay's does;
4. replay at speed 1: how far each push lies from its recorded offset.
"""

import os
import statistics
import tempfile
import threading
import time

import numpy as np
from common import percentile, rss_mib
from mcap.writer import CompressionType, Writer

from velarix import INode, IONode, ONode, Pipeline
from velarix.record import Replay

ARRAYS = 3000  # 64 KB each: about 200 MB
VALUES = 50_000
PACED = 1000
CHAIN_RUNS = 5


class Source(ONode):
    def step(self, data):
        return {"out": data["n"]}


class Transform(IONode):
    def step(self, data):
        return {"out": data["in"] * 2 + 1}


class Collect(INode):
    def __init__(self, **entries):
        super().__init__(**entries)
        self.expected = 0
        self.count = 0
        self.done = threading.Event()

    def step(self, data):
        self.count += 1
        if self.count == self.expected:
            self.done.set()


class Peak(threading.Thread):
    """Samples this process's resident memory while it runs."""

    def __init__(self):
        super().__init__(daemon=True)
        self.peak = rss_mib()
        self.stop = threading.Event()

    def run(self):
        while not self.stop.wait(0.01):
            self.peak = max(self.peak, rss_mib())


def arrays_bench(folder):
    rng = np.random.default_rng(0)
    # Half noise, half zeros: zstd has some work to do but the bytes are not trivial.
    arrays = [np.concatenate([rng.random(4096), np.zeros(4096)]) for _ in range(16)]
    size = arrays[0].nbytes * ARRAYS

    def bare():
        with open(os.path.join(folder, "bare.mcap"), "wb") as stream:
            writer = Writer(stream, chunk_size=1 << 20, compression=CompressionType.ZSTD)
            writer.start("velarix", "bench")
            channel = writer.register_channel("src.out", "npy", 0, {})
            start = time.perf_counter()
            for n in range(ARRAYS):
                stamp = time.time_ns()
                data = arrays[n % 16].tobytes()
                writer.add_message(channel, stamp, data, stamp, n)
            writer.finish()
            stream.flush()
            return time.perf_counter() - start

    def ours():
        source = Source(name="src")
        with Pipeline(directory="") as pipeline:
            pipeline.add_node(source)
            pipeline.start()
            recording = pipeline.record(os.path.join(folder, "ours.mcap"))
            port = source.get_port("out")
            peak = Peak()
            peak.start()
            start = time.perf_counter()
            for n in range(ARRAYS):
                while recording.get_stats()["queued"] > 512:  # keep within the queue: measure what the writer sustains
                    time.sleep(0.0002)
                port.push(arrays[n % 16])
            recording.stop()
            elapsed = time.perf_counter() - start
            peak.stop.set()
            stats = recording.get_stats()
        return elapsed, stats, peak.peak

    base = min(bare() for _ in range(2))
    before = rss_mib()
    runs = [ours() for _ in range(2)]
    elapsed, stats, peak = min(runs, key=lambda run: run[0])
    print(f"64 KB arrays: ours {size / elapsed / 1e6:.0f} MB/s, bare mcap writer {size / base / 1e6:.0f} MB/s, "
          f"ratio {base / elapsed:.2f}; {stats['recorded']} written, {stats['dropped']} dropped; "
          f"memory {before:.0f} MiB before, peak {peak:.0f} MiB")


def small_arrays_bench(folder, count=20_000):
    """64-sample float arrays written as .npy and as JSON: the writer's time per array
    (pushes kept within the queue), and what 1 kHz on one port costs of a core."""
    array = np.random.default_rng(1).random(64)

    def run(arrays):
        source = Source(name="src")
        with Pipeline(directory="") as pipeline:
            pipeline.add_node(source)
            pipeline.start()
            recording = pipeline.record(os.path.join(folder, f"small-{arrays}.mcap"), arrays=arrays)
            port = source.get_port("out")
            start = time.perf_counter()
            for _ in range(count):
                while recording.get_stats()["queued"] > 512:
                    time.sleep(0.0002)
                port.push(array)
            recording.stop()
            return (time.perf_counter() - start) / count

    npy, as_json = min(run("npy") for _ in range(2)), min(run("json") for _ in range(2))
    print(f"64-sample float arrays: npy {npy * 1e6:.1f} us each, json {as_json * 1e6:.1f} us each "
          f"(ratio {as_json / npy:.2f}); at 1 kHz on one port json takes {as_json * 1e5:.1f}% of a core "
          f"(npy {npy * 1e5:.1f}%)")


def chain_run(record_to=None, from_start=False, **options):
    """Seconds for VALUES values through the chain, from its first value on; with
    `from_start`, from before pipeline.start() (set-ups and first value included)."""
    source, middle, end = Source(name="src"), Transform(name="transform"), Collect(name="sink")
    with Pipeline(directory="") as pipeline:
        pipeline.connect(source, middle)
        pipeline.connect(middle, end)
        started = time.perf_counter()
        pipeline.start()
        end.expected = 1
        source.cycle({"n": -1})  # the set-up runs stay out of the figure
        end.done.wait(10)
        end.done.clear()
        end.count, end.expected = 0, VALUES
        recording = pipeline.record(record_to, **options) if record_to else None
        start = time.perf_counter()
        for n in range(VALUES):
            source.cycle({"n": n})
        assert end.done.wait(60)
        elapsed = time.perf_counter() - (started if from_start else start)
        if recording is not None:
            recording.stop()
            stats = recording.get_stats()
            chain_run.stats = stats
    return elapsed


def chain_bench(folder):
    path = os.path.join(folder, "chain.mcap")
    plain, recorded, pickled = [], [], []
    for _ in range(CHAIN_RUNS):  # interleaved: a slow spell of the host hits all three
        plain.append(chain_run())
        recorded.append(chain_run(path))
        stats = chain_run.stats
        pickled.append(chain_run(path, values="pickle5"))
    base, ours, old = min(plain), min(recorded), min(pickled)
    middle = statistics.median(recorded) / statistics.median(plain) - 1
    print(f"3-stage chain, {VALUES} values: plain {VALUES / base:.0f}/s, every port recorded "
          f"{VALUES / ours:.0f}/s, cost {100 * (ours / base - 1):.1f}% (best runs; medians "
          f"{100 * middle:.1f}%, plain runs spread {100 * (max(plain) / base - 1):.0f}%) "
          f"({stats['recorded']} written, {stats['dropped']} dropped)")
    print(f"  values as JSON (the default) vs pickled (values='pickle5'): {VALUES / ours:.0f}/s vs "
          f"{VALUES / old:.0f}/s, ratio {old / ours:.2f}")
    small = min(chain_run(path, queue_size=1024) for _ in range(3))
    stats = chain_run.stats
    print(f"  the same with queue_size=1024: {VALUES / small:.0f}/s, cost {100 * (small / base - 1):.1f}% "
          f"({stats['recorded']} written, {stats['dropped']} dropped)")
    # The replay's input: the source's port alone, with room for every value.
    chain_run(path, ports=["src.out"], queue_size=VALUES + 1)
    assert chain_run.stats["dropped"] == 0
    return path


def replay_run(path):
    replay = Replay(name="replay", path=path, speed="max", ports={"src.out": "out"})
    middle, end = Transform(name="transform"), Collect(name="sink")
    with Pipeline(directory="") as pipeline:
        pipeline.connect(replay, middle)
        pipeline.connect(middle, end)
        # As the chain's warm-up: the first value runs the set-ups, outside the figure.
        replay.pause()
        start = time.perf_counter()
        pipeline.start()
        end.expected = 1
        replay.step()
        assert end.done.wait(10)
        end.done.clear()
        end.expected = VALUES
        resumed = time.perf_counter()
        replay.resume()
        assert end.done.wait(60)
        done = time.perf_counter()
        return done - start, (done - resumed) * VALUES / (VALUES - 1)


def replay_bench(path):
    base = min(chain_run() for _ in range(3))
    base_whole = min(chain_run(from_start=True) for _ in range(3))
    runs = [replay_run(path) for _ in range(3)]
    whole, ours = min(run[0] for run in runs), min(run[1] for run in runs)
    print(f"offline replay, {VALUES} values through 3 stages: {VALUES / ours:.0f}/s, the chain fed by "
          f"cycle() {VALUES / base:.0f}/s, ratio {base / ours:.2f} (from the start, set-ups and the "
          f"file's opening included in both: {VALUES / whole:.0f}/s vs {VALUES / base_whole:.0f}/s, "
          f"ratio {base_whole / whole:.2f})")


def timing_bench(folder):
    path = os.path.join(folder, "paced.mcap")
    source = Source(name="src")
    with Pipeline(directory="") as pipeline:
        pipeline.add_node(source)
        pipeline.start()
        recording = pipeline.record(path)
        start = time.perf_counter()
        for n in range(PACED):
            left = start + n / PACED - time.perf_counter()
            if left > 0:
                time.sleep(left)
            source.cycle({"n": n})
        recording.stop()
    from velarix.record import RecordingReader

    offsets = [m.log_time / 1e9 for m in RecordingReader(path).messages()]
    offsets = [t - offsets[0] for t in offsets]
    pushed = []
    replay = Replay(name="replay", path=path, ports={"src.out": "out"})
    replay.set_post_step_handler(lambda data: pushed.append(time.monotonic()))
    with Pipeline(directory="") as pipeline:
        pipeline.connect(replay, Collect(name="sink"))
        pipeline.start()
        assert replay.wait(60)
    errors = [abs((p - pushed[0]) - o) * 1000 for p, o in zip(pushed, offsets)]
    print(f"replay at speed 1, {PACED} values at 1 kHz: offset error p50 {percentile(errors, 0.5):.3f} ms, "
          f"p99 {percentile(errors, 0.99):.3f} ms, max {max(errors):.3f} ms, "
          f"within 1 ms: {100 * sum(e <= 1.0 for e in errors) / len(errors):.1f}%")


def main():
    with tempfile.TemporaryDirectory(prefix="velarix-bench-record-") as folder:
        arrays_bench(folder)
        small_arrays_bench(folder)
        path = chain_bench(folder)
        replay_bench(path)
        timing_bench(folder)


if __name__ == "__main__":
    main()
