"""LSL inlet -> Window -> Filter -> LSL outlet at 1,000 samples/s x 64 channels
float32 for 10 s: is every sample delivered, and how much latency does the
pipeline add to a plain pylsl outlet -> inlet hop measured in the same run?

Runs itself inside a private network namespace (only lo up) with an LSL
configuration that keeps discovery on this machine; skips where that cannot be made.
A device process pushes 10-sample chunks every 10 ms stamped with their push time;
a reader process notes when each chunk's newest sample arrives.
"""

import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RATE, CHANNELS, SECONDS, BLOCK = 1000, 64, 10.0, 10
COUNT = int(RATE * SECONDS)
CONFIG = """[ports]
IPv6 = disable

[multicast]
ResolveScope = machine
AddressesOverride = {127.0.0.1}

[lab]
KnownPeers = {127.0.0.1}
"""


def device(folder):
    """Pushes one priming chunk (stamped near 0, so that readers can tell it), waits
    for "go" on stdin, then pushes COUNT samples in real time, each stamped with
    the time it is due; a chunk goes out when its newest sample is due."""
    import numpy as np
    import pylsl

    info = pylsl.StreamInfo("bench-src", "EEG", CHANNELS, RATE, "float32", "bench-src-1")
    outlet = pylsl.StreamOutlet(info)
    print("ready", flush=True)
    while not outlet.wait_for_consumers(0.1):
        pass
    data = np.random.default_rng(0).standard_normal((COUNT, CHANNELS)).astype(np.float32)
    outlet.push_chunk(data[:BLOCK], (np.arange(1, BLOCK + 1) / 1e4).tolist())
    sys.stdin.readline()
    origin = pylsl.local_clock() + 0.01
    stamps = origin + np.arange(COUNT) / RATE
    for k in range(0, COUNT, BLOCK):
        delay = stamps[k + BLOCK - 1] - pylsl.local_clock()
        if delay > 0:
            time.sleep(delay)
        outlet.push_chunk(data[k:k + BLOCK], stamps[k:k + BLOCK].tolist())
    np.save(os.path.join(folder, "pushed.npy"), stamps)
    print("done", flush=True)
    sys.stdin.readline()


def reader(folder, name):
    """Reads COUNT samples of `name`; saves their stamps and arrival times."""
    import numpy as np
    import pylsl

    inlet = pylsl.StreamInlet(pylsl.resolve_byprop("name", name, 1, 20.0)[0])
    inlet.open_stream(10.0)
    print("ready", flush=True)
    stamps, newest = [], []
    deadline = time.monotonic() + SECONDS + 20
    while sum(map(len, stamps)) < COUNT and time.monotonic() < deadline:
        _, ts = inlet.pull_chunk(timeout=0.2, max_samples=4096, min_samples=1, as_numpy=True)
        ts = ts[ts > 1.0]  # without the priming chunk
        if len(ts):
            arrived = pylsl.local_clock()
            stamps.append(ts)
            newest.append(arrived - ts[-1])
    np.save(os.path.join(folder, f"got-{name}.npy"), np.concatenate(stamps) if stamps else np.zeros(0))
    np.save(os.path.join(folder, f"latency-{name}.npy"), np.array(newest))


def start(role, folder, *args):
    process = subprocess.Popen([sys.executable, __file__, role, folder, *args],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert process.stdout.readline().strip() == "ready", role
    return process


def run(folder, through_pipeline):
    import numpy as np

    source = start("--device", folder)
    pipeline = None
    name = "bench-src"
    if through_pipeline:
        from velarix import Pipeline
        from velarix.connect import LSLInlet, LSLOutlet
        from velarix.nodes import Filter, Window

        pipeline = Pipeline(directory="")
        inlet = LSLInlet(stream="bench-src", timeout=10.0)
        window = Window(size=BLOCK, hop=BLOCK)
        lowpass = Filter(order=4, cutoff=100.0, btype="lowpass")
        outlet = LSLOutlet(stream="bench-out", channel_count=CHANNELS, nominal_srate=float(RATE),
                           channel_format="float32", source_id="bench-out-1")
        for a, b in ((inlet, window), (window, lowpass), (lowpass, outlet)):
            pipeline.connect(a, b)
        pipeline.start()
        name = "bench-out"
    consumer = start("--reader", folder, name)
    if pipeline is not None:
        deadline = time.monotonic() + 10
        # The priming chunk has been through every node (their set-up runs are done)
        # and the reader is connected: now the measured part.
        while not (outlet.get_stats()["connector"]["values"] >= 1 and outlet.has_consumers()):
            assert time.monotonic() < deadline, "the pipeline did not connect"
            time.sleep(0.01)
    source.stdin.write("go\n")
    source.stdin.flush()
    assert source.stdout.readline().strip() == "done"
    consumer.wait(SECONDS + 30)
    stats = None
    if pipeline is not None:
        stats = {"in": inlet.get_stats()["connector"], "out": outlet.get_stats()["connector"],
                 "load": {node.get_name(): round(node.get_load(), 1) for node in pipeline.get_nodes()}}
        pipeline.close()
    source.stdin.write("\n")
    source.stdin.close()
    source.wait(10)
    pushed = np.load(os.path.join(folder, "pushed.npy"))
    got = np.load(os.path.join(folder, f"got-{name}.npy"))
    latency = np.load(os.path.join(folder, f"latency-{name}.npy"))
    complete = len(got) == len(pushed) and np.all(np.diff(got) > 0) and np.max(np.abs(got - pushed)) < 1e-3
    if os.environ.get("BENCH_DEBUG"):
        print("debug", len(got), len(pushed), int(np.sum(np.diff(got) <= 0)),
              float(np.max(np.abs(got - pushed))) if len(got) == len(pushed) else None,
              np.argsort(latency)[-5:].tolist(), np.sort(latency)[-5:].tolist(), file=sys.stderr)
    return {"received": int(len(got)), "complete": bool(complete), "median": float(np.median(latency)),
            "p99": float(np.percentile(latency, 99)), "stats": stats}


def confined():
    with tempfile.TemporaryDirectory() as folder:
        base = run(folder, through_pipeline=False)
        ours = run(folder, through_pipeline=True)
    print(json.dumps({"base": base, "ours": ours}))


def main():
    if sys.platform != "linux":
        print("lsl: skipped (needs Linux network namespaces)")
        return 0
    try:
        import pylsl  # noqa: F401
        import scipy  # noqa: F401
    except ImportError as error:
        print(f"lsl: skipped ({error.name} is missing: the extras lsl and nodes)")
        return 0
    with tempfile.TemporaryDirectory() as folder:
        config = os.path.join(folder, "lsl_api.cfg")
        with open(config, "w") as file:
            file.write(CONFIG)
        env = dict(os.environ, LSLAPICFG=config)
        # As root -n alone; other users in a user namespace of their own (-r).
        for unshare in (["unshare", "-n"], ["unshare", "-r", "-n"]):
            try:
                probe = subprocess.run([*unshare, "true"], capture_output=True, timeout=10)
            except (OSError, subprocess.TimeoutExpired):
                continue
            if probe.returncode == 0:
                break
        else:
            print("lsl: skipped (cannot make a network namespace here)")
            return 0
        try:
            result = subprocess.run([*unshare, "sh", "-c", 'ip link set lo up && exec "$0" "$@"',
                                     sys.executable, __file__, "--confined"],
                                    env=env, capture_output=True, text=True, timeout=120)
        except (OSError, subprocess.TimeoutExpired) as error:
            print(f"lsl: failed to run in a namespace: {error}")
            return 1
    lines = result.stdout.strip().splitlines()
    if result.returncode != 0 or not lines:
        print(result.stdout + result.stderr[-3000:])
        return 1
    found = json.loads(lines[-1])
    base, ours = found["base"], found["ours"]
    added = ours["median"] - base["median"]
    print(f"plain pylsl outlet -> inlet: {base['received']}/{COUNT} samples, newest sample's latency "
          f"median {base['median'] * 1e3:.2f} ms, p99 {base['p99'] * 1e3:.2f} ms")
    print(f"through inlet -> Window -> Filter -> outlet: {ours['received']}/{COUNT} samples "
          f"(all, in order: {ours['complete']}), median {ours['median'] * 1e3:.2f} ms, "
          f"p99 {ours['p99'] * 1e3:.2f} ms")
    print(f"added latency (median): {added * 1e3:.2f} ms (target < 5 ms); node loads: {ours['stats']['load']}")
    ok = ours["complete"] and base["complete"] and added < 0.005
    print("lsl:", "ok" if ok else "MISSED")
    return 0 if ok else 1


if __name__ == "__main__":
    if sys.argv[1:2] == ["--device"]:
        device(sys.argv[2])
    elif sys.argv[1:2] == ["--reader"]:
        reader(sys.argv[2], sys.argv[3])
    elif sys.argv[1:2] == ["--confined"]:
        confined()
    else:
        sys.exit(main())
