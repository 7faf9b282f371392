"""Pipelines over worker processes against the same pipeline in one process.

- CPU: source -> burn -> burn -> sink, each burn about 200 us of Python CPU per
  value; the burns on two local workers against all four nodes in this process.
- Transport: source -> sink with the sink on a worker, over shared memory, over
  ipc:// (shared memory refused) and loopback TCP with CURVE, against the same
  two nodes in this process: small values per second, 64 KB and 1 MB numpy arrays
  in GB/s (values per second times their size), and the median latency of one hop
  at 1 kHz. Every value also runs the nodes' step cycles, deep copy included, on
  both sides. The ring alone (values pickled into it, read out and unpickled in
  another process, no nodes) against a plain memcpy of the same bytes through a
  buffer the ring's size, both measured here.
- Start-up: from start() to the first value at the sink with two local workers.
- On Ray (with the extra ray): source -> a -> b -> sink with a and b on two
  workers placed by Ray on one node (127.0.0.1) against the same on two spawn()ed
  workers, 64 KB arrays; across two network namespaces (one Ray node each, as
  two hosts), small values from here to a sink on a worker that Ray placed on
  the other host against one started there by hand (`velarix worker`, TCP with
  CURVE); the start-up of two Ray workers. `python cluster.py ray` runs these only.
"""

import contextlib
import json
import multiprocessing
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

try:
    import numpy
except ImportError:  # an older .venv: the array figures need the test extra
    numpy = None

from _cluster_nodes import Burn, Collect, Keep, Lag, Relay, Source
from common import feed
from velarix import Pipeline
from velarix.cluster import Cluster, shm, wire

BURN_US = 200
CPU_VALUES = 2000
SMALL_VALUES = 20000
ARRAY_VALUES = 3000
REPEAT = 3
CPU_REPEAT = 5
CPU_TARGET = 1.85
LATENCY_VALUES = 1000
LATENCY_RATE = 1000.0
TARGETS = {"64 KB": 3.0, "1 MB": 4.0}  # GB/s between two local processes
SMALL_TARGET = 200_000
LATENCY_TARGET = 30e-6
TCP_SMALL_TARGET, TCP_ARRAY_TARGET = 45_000, 0.370  # values/s; GB/s for 64 KB


def calibrate():
    """Loop turns of Burn that take BURN_US here (the best of many short runs, so
    other work on the machine does not shorten the burn)."""
    node = Burn(name="calibrate", iterations=20000)
    times = []
    for _ in range(30):
        start = time.perf_counter()
        node.step({"in": 0})
        times.append(time.perf_counter() - start)
    return max(1, int(BURN_US * 1e-6 / (min(times) / 20000)))


@contextlib.contextmanager
def running(nodes, placement=None, transport="shm"):
    """The chain of `nodes` as a started pipeline; `placement` maps a node to the
    local worker it runs on, `transport` says how: "shm" (ipc:// workers, links
    through shared memory), "ipc" (shared memory refused) or "tcp". Stopped, and
    its workers closed, on the way out."""
    pipeline = Pipeline(directory="")
    for upstream, downstream in zip(nodes, nodes[1:]):
        pipeline.connect(upstream, downstream)
    cluster = None
    refused = os.environ.get(shm.ENVIRONMENT)
    if transport == "ipc":
        os.environ[shm.ENVIRONMENT] = "0"  # for this process and the workers it spawns
    try:
        if placement:
            cluster = Cluster(pipeline)
            for name in sorted(set(placement.values())):
                cluster.spawn(name, transport="tcp" if transport == "tcp" else "ipc")
            for node, worker in placement.items():
                cluster.place(node, worker)
        pipeline.start()
        if cluster is not None:
            expected = "tcp" if transport == "tcp" else transport
            used = {link["transport"] for link in cluster.get_links()}
            if used != {expected}:
                raise RuntimeError(f"links went over {used}, not {expected}")
    finally:
        if refused is None:
            os.environ.pop(shm.ENVIRONMENT, None)
        else:
            os.environ[shm.ENVIRONMENT] = refused
    try:
        yield cluster
    finally:
        pipeline.stop()
        if cluster is not None:
            cluster.close()


def run_chain(middle, values, count, placement=(), transport="shm", repeat=REPEAT):
    """Values per second through source -> middle... -> sink; best of `repeat`."""
    source, sink = Source(), Collect()
    best = 0.0
    with running([source, *middle, sink], dict(zip(middle, placement)), transport):
        for _ in range(repeat):
            sink.count, sink.expected = 0, count
            sink.done.clear()
            begin = time.perf_counter()
            for _ in range(count):
                source.cycle({"x": values})
            if not sink.done.wait(120):
                raise RuntimeError(f"only {sink.count} of {count} values arrived")
            best = max(best, count / (time.perf_counter() - begin))
    return best


def cpu_figures():
    iterations = calibrate()
    burns = lambda: [Burn(name="a", iterations=iterations), Burn(name="b", iterations=iterations)]
    local = spread = own = 0.0
    previous = os.environ.get("VELARIX_CARRY")
    for _ in range(CPU_REPEAT):  # interleaved, so a busy spell on the machine hits all
        local = max(local, run_chain(burns(), 0, CPU_VALUES, repeat=1))
        spread = max(spread, run_chain(burns(), 0, CPU_VALUES, placement=("w1", "w2"), repeat=1))
        os.environ["VELARIX_CARRY"] = "0"  # the workers' burns on threads of their own
        try:
            own = max(own, run_chain(burns(), 0, CPU_VALUES, placement=("w1", "w2"), repeat=1))
        finally:
            if previous is None:
                os.environ.pop("VELARIX_CARRY", None)
            else:
                os.environ["VELARIX_CARRY"] = previous
    ratio = spread / local
    load = ", ".join(f"{x:.1f}" for x in os.getloadavg())
    print(f"CPU chain (2 x {BURN_US} us Python per value): one process {local:,.0f} values/s, "
          f"two local workers {spread:,.0f} values/s, ratio x{ratio:.2f} (target x{CPU_TARGET}; "
          f"{os.cpu_count()} cores, load average {load}); with the workers' nodes on threads of their "
          f"own x{own / local:.2f}")
    return ratio


def run_hop(value, count, transport=None):
    """Values per second from a source here to a sink (on a worker with `transport`)."""
    source, sink = Source(), Collect()
    best = 0.0
    with running([source, sink], {sink: "w1"} if transport else None, transport) as cluster:
        for _ in range(REPEAT):
            done = sink.get_counter() + count
            begin = time.perf_counter()
            for _ in range(count):
                source.cycle({"x": value})
            deadline = begin + 120
            while True:
                if cluster is not None:
                    cluster.get_load()  # asks the worker now: the sink's counter is fresh
                if sink.get_counter() >= done:
                    break
                if time.perf_counter() > deadline:
                    raise RuntimeError("the values did not arrive")
                time.sleep(0.002)
            best = max(best, count / (time.perf_counter() - begin))
    return best


def sleeps(pid):
    """How often the threads of process `pid` have gone to sleep so far (voluntary
    context switches: each is one operating-system wake-up later); None off Linux."""
    total = 0
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/status") as status:
                for line in status:
                    if line.startswith("voluntary_ctxt_switches:"):
                        total += int(line.split()[1])
    except OSError:
        return None
    return total


def run_latency(transport=None, carry=True, wakes=None):
    """The median of one hop's latency (push here to step on the worker) at 1 kHz.
    `carry` False: the worker's node steps on a thread of its own (a second wake-up
    per hop). `wakes`, a list: the worker's wake-ups per value go there."""
    source, lag, keep = Source(), Lag(), Keep()
    previous = os.environ.get("VELARIX_CARRY")
    os.environ["VELARIX_CARRY"] = "1" if carry else "0"  # read by the workers spawned now
    try:
        with running([source, lag, keep], {lag: "w1"} if transport else None, transport or "shm") as cluster:
            pid = cluster.get_workers()["w1"]["pid"] if cluster is not None else None
            before = sleeps(pid) if pid else None
            keep.expected = LATENCY_VALUES
            feed(lambda _: source.cycle({"x": time.perf_counter()}), LATENCY_VALUES, LATENCY_RATE)
            if not keep.done.wait(60):
                raise RuntimeError("the values did not arrive")
            after = sleeps(pid) if pid else None
            if wakes is not None and before is not None and after is not None:
                wakes.append((after - before) / LATENCY_VALUES)
    finally:
        if previous is None:
            os.environ.pop("VELARIX_CARRY", None)
        else:
            os.environ["VELARIX_CARRY"] = previous
    return statistics.median(keep.values[LATENCY_VALUES // 10:])  # past the first wake-ups


def memcpy_rate(size, span=shm.DEFAULT_BYTES):
    """GB/s of numpy copies of `size` bytes into successive places of a buffer the
    ring's size, as the ring is written (a copy of the same bytes over and over
    would stay in the cache)."""
    source = numpy.ones(size, dtype=numpy.uint8)
    target = numpy.empty(span, dtype=numpy.uint8)
    places = max(1, span // size)
    count = max(200, (256 << 20) // size)
    best = 0.0
    for _ in range(REPEAT):
        begin = time.perf_counter()
        for n in range(count):
            at = (n % places) * size
            numpy.copyto(target[at:at + size], source)
        best = max(best, count * size / (time.perf_counter() - begin) / 1e9)
    return best


def _ring_reader(path, count, lags):
    """Takes `count` values from the ring at `path`; with `lags` (a queue), the
    values are perf_counter stamps and the median of their ages goes there."""
    ring, why = shm.take(path, writer=False)
    if ring is None:
        raise SystemExit(why)
    ages = []
    taken = 0
    while taken < count:
        if ring.wait_data(50):
            for message in ring.records(256):
                value = wire.loads(message[0], message[1:])[1]
                if lags is not None:
                    ages.append(time.perf_counter() - value)
                taken += 1
    ring.close()
    if lags is not None:
        lags.put(statistics.median(ages[count // 10:]))


def ring_rate(value, count, pace=None):
    """Values per second pickled into a ring here and unpickled in another process;
    with `pace` (values per second), the median age of a value when read instead."""
    folder = tempfile.mkdtemp(prefix="velarix-bench-")
    path = os.path.join(folder, "ring.shm")
    offer = shm.Offer(path, shm.DEFAULT_BYTES, writer=True)
    context = multiprocessing.get_context("spawn")
    lags = context.Queue() if pace else None
    reader = context.Process(target=_ring_reader, args=(path, count + 1, lags))
    reader.start()
    try:
        ring = offer.result(30)
        if ring is None:
            raise RuntimeError(f"no ring: {offer.why}")
        ring.write(wire.dumps(wire.VALUE, time.perf_counter()), lambda: True)  # the reader is up
        begin = time.perf_counter()
        if pace:
            feed(lambda _: ring.write(wire.dumps(wire.VALUE, time.perf_counter()), lambda: True), count, pace)
            return lags.get(timeout=60)
        for _ in range(count):
            ring.write(wire.dumps(wire.VALUE, value), lambda: True)
        reader.join(60)
        return count / (time.perf_counter() - begin)
    finally:
        reader.join(10)
        if reader.is_alive():
            reader.kill()
        offer.close()
        os.rmdir(folder)


def verdict(ok):
    return "met" if ok else "NOT met"


def transport_figures():
    """Prints the figures; returns the targets that were not met."""
    missed = []
    kinds = [("small values", 1, SMALL_VALUES, None)]
    if numpy is None:
        print("Transport, arrays: skipped (numpy is not installed)")
    else:
        for label, size, count in (("64 KB", 64 * 1024, ARRAY_VALUES), ("1 MB", 1 << 20, ARRAY_VALUES // 6)):
            kinds.append((label, numpy.zeros(size, dtype=numpy.uint8), count, size))
    ways = (("shm", "shared memory"), ("ipc", "ipc://"), ("tcp", "TCP+CURVE"))
    for label, value, count, unit in kinds:
        figures = [("in-process", run_hop(value, count))]
        for transport, name in ways:
            if unit == 1 << 20 and transport != "shm":
                continue  # the sockets' 1 MB figures say nothing new and take long
            figures.append((name, run_hop(value, count, transport)))
        baseline = figures[0][1]
        rates = dict(figures)
        if unit is None:
            text = ", ".join(f"{name} {rate:,.0f}/s (x{rate / baseline:.2f})" for name, rate in figures)
            print(f"Transport, {label} (source here -> sink on a worker): {text}")
            ok = rates["shared memory"] >= SMALL_TARGET
            print(f"  target >= {SMALL_TARGET:,}/s over shared memory: {verdict(ok)}; TCP+CURVE >= "
                  f"{TCP_SMALL_TARGET:,}/s: {verdict(rates['TCP+CURVE'] >= TCP_SMALL_TARGET)}")
            missed += [] if ok else ["small values"]
            missed += [] if rates["TCP+CURVE"] >= TCP_SMALL_TARGET else ["TCP small values"]
            continue
        text = ", ".join(f"{name} {rate * unit / 1e9:,.2f} GB/s (x{rate / baseline:.2f})" for name, rate in figures)
        print(f"Transport, {label} arrays (source here -> sink on a worker): {text}")
        copy = memcpy_rate(unit)
        ring = ring_rate(value, count * 3) * unit / 1e9
        linked = rates["shared memory"] * unit / 1e9
        print(f"  memcpy of the same bytes {copy:,.2f} GB/s; the ring alone between two processes "
              f"{ring:,.2f} GB/s (x{ring / copy:.2f} of memcpy); node to node x{linked / copy:.2f} of memcpy")
        target = TARGETS[label]
        ok = linked >= target and linked * 2 >= copy
        line = f"  target >= {target:g} GB/s node to node and within 2x of memcpy: {verdict(ok)}"
        if label == "64 KB":
            tcp_ok = rates["TCP+CURVE"] * unit / 1e9 >= TCP_ARRAY_TARGET
            line += f"; TCP+CURVE >= {TCP_ARRAY_TARGET * 1e3:.0f} MB/s: {verdict(tcp_ok)}"
            missed += [] if tcp_ok else ["TCP 64 KB"]
        print(line)
        missed += [] if ok else [f"{label} arrays"]
    wakes, own_wakes = [], []
    own = run_latency("shm", carry=False, wakes=own_wakes)
    latencies = [("in-process", run_latency())] + [(name, run_latency(t, wakes=wakes if t == "shm" else None))
                                                   for t, name in ways]
    alone = ring_rate(None, LATENCY_VALUES, LATENCY_RATE)
    print(f"Latency of one hop at {LATENCY_RATE:g} Hz, median: "
          + ", ".join(f"{name} {value * 1e6:,.1f} us" for name, value in latencies)
          + f"; the ring alone (a wake-up of the reading process) {alone * 1e6:,.1f} us")
    shared = dict(latencies)["shared memory"]
    if wakes and own_wakes:
        print(f"  shared memory, the worker's node on a thread of its own: {own * 1e6:,.1f} us "
              f"(x{own / shared:.2f} of stepping on the receiving thread); the worker's wake-ups per hop "
              f"{own_wakes[0]:.2f} there, {wakes[0]:.2f} here")
    ok = dict(latencies)["shared memory"] < LATENCY_TARGET
    print(f"  target < {LATENCY_TARGET * 1e6:.0f} us over shared memory: {verdict(ok)}")
    missed += [] if ok else ["latency"]
    return missed


def startup_figure():
    source, a, b, sink = Source(), Relay(name="a"), Relay(name="b"), Collect()
    pipeline = Pipeline(directory="")
    pipeline.connect(source, a)
    pipeline.connect(a, b)
    pipeline.connect(b, sink)
    begin = time.perf_counter()
    cluster = Cluster(pipeline)
    cluster.spawn("w1")
    cluster.spawn("w2")
    cluster.place(a, "w1")
    cluster.place(b, "w2")
    spawned = time.perf_counter()
    pipeline.start()
    source.cycle({"x": 1})
    arrived = sink.arrived.wait(30)
    end = time.perf_counter()
    pipeline.stop()
    cluster.close()
    if not arrived:
        raise RuntimeError("no value arrived")
    print(f"Start-up with two local workers: start() to first value {(end - spawned) * 1e3:.0f} ms; "
          f"with spawning the workers {(end - begin) * 1e3:.0f} ms")


RAY_RATIO = 0.9  # Ray-placed workers against spawned or hand-started ones
TESTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests")


@contextlib.contextmanager
def chain_on(nodes, make_workers):
    """The chain of `nodes` started, its middle nodes on workers `make_workers(cluster)`
    names (one per middle node); stopped and closed on the way out."""
    pipeline = Pipeline(directory="")
    for upstream, downstream in zip(nodes, nodes[1:]):
        pipeline.connect(upstream, downstream)
    cluster = None
    try:
        cluster = make_workers(pipeline)
        pipeline.start()
        yield cluster
    finally:
        pipeline.stop()
        if cluster is not None:
            cluster.close()


def chain_rate(make_workers, value, count):
    """Values per second through source -> a -> b -> sink, a and b on workers; best of REPEAT."""
    source, a, b, sink = Source(), Relay(name="a"), Relay(name="b"), Collect()

    def placed(pipeline):
        cluster = make_workers(pipeline)
        cluster.place(a, "w1")
        cluster.place(b, "w2")
        return cluster

    best = 0.0
    with chain_on([source, a, b, sink], placed) as cluster:
        used = {link["transport"] for link in cluster.get_links()}
        if used != {"shm"}:
            raise RuntimeError(f"links went over {used}, not shared memory")
        for _ in range(REPEAT):
            sink.count, sink.expected = 0, count
            sink.done.clear()
            begin = time.perf_counter()
            for _ in range(count):
                source.cycle({"x": value})
            if not sink.done.wait(120):
                raise RuntimeError(f"only {sink.count} of {count} values arrived")
            best = max(best, count / (time.perf_counter() - begin))
    return best


def hop_rate(make_worker, value, count):
    """Values per second from a source here to a sink on the worker "w1"."""
    source, sink = Source(), Collect()

    def placed(pipeline):
        cluster = make_worker(pipeline)
        cluster.place(sink, "w1")
        return cluster

    best = 0.0
    with chain_on([source, sink], placed) as cluster:
        for _ in range(REPEAT):
            done = sink.get_counter() + count
            begin = time.perf_counter()
            for _ in range(count):
                source.cycle({"x": value})
            deadline = begin + 120
            while True:
                cluster.get_load()  # asks the worker now: the sink's counter is fresh
                if sink.get_counter() >= done:
                    break
                if time.perf_counter() > deadline:
                    raise RuntimeError("the values did not arrive")
                time.sleep(0.002)
            best = max(best, count / (time.perf_counter() - begin))
        transport = {link["transport"] for link in cluster.get_links()}
    return best, transport


def ray_figures():
    """The rows of Ray-placed workers; the targets not met."""
    sys.path.insert(0, TESTS)
    import ray_hosts

    why = ray_hosts.ray_missing()
    if why or numpy is None:
        print(f"On Ray: skipped ({why or 'numpy is not installed'})")
        return []
    missed = []
    home = tempfile.mkdtemp(prefix="vxr-home-")
    env = ray_hosts.ray_env(os.environ, home, loopback=True)
    os.environ.update({k: env[k] for k in ("RAY_USAGE_STATS_ENABLED", "RAY_AUTH_MODE", "RAY_AUTH_TOKEN",
                                           "RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "RAY_TMPDIR")})
    node = ray_hosts.RayNode("127.0.0.1", env, port=ray_hosts.free_port(), num_cpus=2)
    try:
        def spawned(pipeline):
            cluster = Cluster(pipeline)
            cluster.spawn("w1")
            cluster.spawn("w2")
            return cluster

        def on_ray(pipeline):
            cluster = Cluster(pipeline, ray_address=node.address)
            cluster.spawn_ray("w1")
            cluster.spawn_ray("w2")
            return cluster

        value = numpy.zeros(64 * 1024, dtype=numpy.uint8)
        local = ray = 0.0
        for _ in range(2):  # interleaved, so a busy spell on the machine hits both
            local = max(local, chain_rate(spawned, value, ARRAY_VALUES))
            ray = max(ray, chain_rate(on_ray, value, ARRAY_VALUES))
        ok = ray >= RAY_RATIO * local
        print(f"On Ray, 64 KB arrays through two workers on one host (all links shared memory): spawn()ed "
              f"{local * value.nbytes / 1e9:.2f} GB/s, placed by Ray {ray * value.nbytes / 1e9:.2f} GB/s "
              f"(x{ray / local:.2f}; target >= x{RAY_RATIO}: {verdict(ok)})")
        missed += [] if ok else ["Ray 64 KB"]
        source, a, b, sink = Source(), Relay(name="a"), Relay(name="b"), Collect()
        pipeline = Pipeline(directory="")
        for upstream, downstream in zip((source, a, b), (a, b, sink)):
            pipeline.connect(upstream, downstream)
        begin = time.perf_counter()
        cluster = on_ray(pipeline)
        cluster.place(a, "w1")
        cluster.place(b, "w2")
        spawned_at = time.perf_counter()
        pipeline.start()
        source.cycle({"x": 1})
        arrived = sink.arrived.wait(60)
        end = time.perf_counter()
        pipeline.stop()
        cluster.close()
        if not arrived:
            raise RuntimeError("no value arrived")
        print(f"On Ray, start-up of two workers: spawn_ray() x2 {spawned_at - begin:.2f} s, start() to the "
              f"first value {end - spawned_at:.2f} s, in all {end - begin:.2f} s (joining a running Ray)")
    finally:
        node.stop()
        for key in ("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER",):
            os.environ.pop(key, None)
    missed += two_hosts_figures(ray_hosts, home)
    shutil.rmtree(home, ignore_errors=True)
    return missed


def two_hosts_figures(ray_hosts, home):
    why = ray_hosts.namespaces_missing()
    if why:
        print(f"On Ray across two namespaces: skipped ({why})")
        return []
    spaces = ray_hosts.Namespaces()
    env = ray_hosts.ray_env(os.environ, home)
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(sys.modules["velarix"].__file__)))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (
        package_root, os.path.dirname(os.path.abspath(__file__)), TESTS, env.get("PYTHONPATH")) if p)
    nodes = []
    try:
        head, second = ray_hosts.Namespaces.ADDRESSES
        nodes.append(ray_hosts.RayNode(head, env, port=6379, num_cpus=1, prefix=spaces.prefix(0)))
        nodes.append(ray_hosts.RayNode(second, env, head=nodes[0].address, num_cpus=1, resources={"amp": 1},
                                       prefix=spaces.prefix(1)))
        done = subprocess.run([*spaces.prefix(0), sys.executable, os.path.abspath(__file__), "ray-hosts-driver",
                               nodes[0].address, " ".join(spaces.prefix(1)), second],
                              env=env, capture_output=True, text=True, timeout=600)
        found = [line for line in done.stdout.splitlines() if line.startswith("RESULT ")]
        if not found:
            raise RuntimeError(f"the driver in the namespace failed: {done.stdout[-2000:]}{done.stderr[-3000:]}")
        rates = json.loads(found[-1][len("RESULT "):])
    finally:
        for node in reversed(nodes):
            node.stop()
        spaces.remove()
    ok = rates["ray"] >= RAY_RATIO * rates["hand"]
    print(f"On Ray across two namespaces, small values here -> sink on the other host (TCP+CURVE): hand-started "
          f"worker {rates['hand']:,.0f}/s, placed by Ray {rates['ray']:,.0f}/s (x{rates['ray'] / rates['hand']:.2f}; "
          f"target >= x{RAY_RATIO}: {verdict(ok)})")
    return [] if ok else ["Ray across hosts"]


def ray_hosts_driver(head, second_prefix, second_ip):
    """In the first namespace: the small-value hop to the other host, to a worker
    started there by hand and to one Ray placed there, interleaved."""
    from velarix.cluster import make_keys
    from velarix.cluster.processes import read_endpoint, worker_environment

    folder = tempfile.mkdtemp(prefix="velarix-bench-keys-")
    make_keys(folder, ["hand"])

    def by_hand(pipeline):  # a hand-started worker serves one controller: a new one each time
        process = subprocess.Popen([*second_prefix.split(), sys.executable, "-m", "velarix.cluster", "worker",
                                    "--name", "hand", "--bind", f"tcp://{second_ip}:*", "--keys",
                                    os.path.join(folder, "workers", "hand"), "--idle-timeout", "120"],
                                   env=worker_environment(), stdout=subprocess.PIPE)
        workers.append(process)
        cluster = Cluster(pipeline, keys=os.path.join(folder, "controller"))
        cluster.add_worker("w1", read_endpoint(process, "hand"), key="hand")
        return cluster

    def on_ray(pipeline):
        cluster = Cluster(pipeline, ray_address=head)
        cluster.spawn_ray("w1", resources={"amp": 1})
        return cluster

    workers = []
    hand = ray = 0.0
    try:
        for _ in range(2):
            rate, used = hop_rate(by_hand, 1, SMALL_VALUES)
            hand = max(hand, rate)
            rate, used_on_ray = hop_rate(on_ray, 1, SMALL_VALUES)
            ray = max(ray, rate)
            if used != {"tcp"} or used_on_ray != {"tcp"}:
                raise RuntimeError(f"links went over {used} and {used_on_ray}, not TCP")
        print("RESULT " + json.dumps({"hand": hand, "ray": ray}), flush=True)
    finally:
        for process in workers:
            process.kill()
            process.wait(10)
            process.stdout.close()
        shutil.rmtree(folder, ignore_errors=True)


def main():
    if sys.argv[1:2] == ["ray-hosts-driver"]:
        return ray_hosts_driver(*sys.argv[2:5])
    if sys.argv[1:2] == ["ray"]:
        missed = ray_figures()
        if missed:
            print(f"Targets not met here: {', '.join(missed)}")
        return 0
    missed = ray_figures()
    startup_figure()
    missed += transport_figures()
    if cpu_figures() < CPU_TARGET:
        print(f"CPU chain below the x{CPU_TARGET:g} target")
        missed.append("CPU chain")
    if missed:
        print(f"Targets not met here: {', '.join(missed)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
