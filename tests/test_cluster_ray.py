"""Workers as Ray actors on one Ray node on 127.0.0.1, started once for the module."""

import glob
import io
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
pytest.importorskip("zmq")

import ray_hosts  # noqa: E402

if ray_hosts.ray_missing():
    pytest.skip(ray_hosts.ray_missing(), allow_module_level=True)

from cluster_nodes import Collect, Double, Source  # noqa: E402
from test_cluster import ENV, WAIT, chain, gone, reaper, wait_until  # noqa: E402,F401
from velarix.cluster import Cluster, ClusterError  # noqa: E402
from velarix.cluster import on_ray  # noqa: E402
from velarix import Pipeline  # noqa: E402
from velarix.monitor.terminal import render  # noqa: E402
from velarix.monitor.web import snapshot  # noqa: E402

rich_console = pytest.importorskip("rich.console")
Console = rich_console.Console

HEARTBEAT_TIMEOUT = 2.0


@pytest.fixture(scope="module")
def ray_head():
    """One Ray node on 127.0.0.1 (2 CPUs, one "amp"), this process its driver."""
    home = tempfile.mkdtemp(prefix="vxr-home-")
    env = ray_hosts.ray_env(os.environ, home, loopback=True)
    saved = {key: os.environ.get(key) for key in env}
    node = ray_hosts.RayNode("127.0.0.1", env, port=ray_hosts.free_port(), num_cpus=2, resources={"amp": 1})
    os.environ.update({key: env[key] for key in ("RAY_USAGE_STATS_ENABLED", "RAY_AUTH_MODE", "RAY_AUTH_TOKEN",
                                                  "RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "RAY_TMPDIR")})
    try:
        yield node
    finally:
        try:
            import ray

            ray.shutdown()
            settle_descriptors()
        finally:
            node.stop()
            on_ray.remove_stale_folders()  # those of the workers killed here
            for key, value in saved.items():
                if key != "HOME":
                    os.environ.pop(key, None) if value is None else os.environ.__setitem__(key, value)
            shutil.rmtree(home, ignore_errors=True)


def settle_descriptors():
    """Ray's native threads close some of the driver's descriptors after its
    shutdown: wait until the count holds still, so that tests after this module
    that count descriptors see none go."""
    count, steady = -1, 0
    for _ in range(100):
        now = len(os.listdir("/proc/self/fd"))
        steady = steady + 1 if now == count else 0
        if steady >= 10:
            return
        count = now
        time.sleep(0.1)


def actors_dead(node, ids):
    """Whether Ray itself reports each of these actors dead (a driver of its own)."""
    import ray
    import ray._private.state as state

    ray.init(address=node.address, configure_logging=False, log_to_driver=False,
             _node_ip_address=node.address.rpartition(":")[0])
    try:
        return all(state.actors(actor_id)["State"] == "DEAD" for actor_id in ids)
    finally:
        ray.shutdown()


def thread_nice(pid):
    found = []
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/stat") as stat:
            found.append(int(stat.read().rsplit(")", 1)[1].split()[16]))
    return found


def own_folders():
    return set(glob.glob(os.path.join(tempfile.gettempdir(), on_ray.FOLDER_PREFIX + "*")))


def test_ray_workers_placed_by_resource_run_the_pipeline_and_leave_nothing(ray_head, reaper):
    before = own_folders()
    source, a, b, sink = Source(), Double(name="a"), Double(name="b"), Collect()
    pipeline, cluster = chain(reaper, source, a, b, sink, ray_address=ray_head.address,
                              heartbeat_timeout=HEARTBEAT_TIMEOUT)
    cluster.spawn_ray("amp", resources={"amp": 1})
    cluster.spawn_ray("plain", num_cpus=0.5, node="127.0.0.1")
    cluster.place(a, "amp")
    cluster.place(b, "plain")
    pipeline.start()
    count = 300
    for n in range(count):
        source.cycle({"x": (n, [])})
    assert sink.wait_for(lambda v: len(v) >= count, WAIT)
    assert [v[0] for v in sink.values] == [4 * n for n in range(count)]
    workers = cluster.get_workers()
    assert {tuple(v[1]) for v in sink.values} == {(workers["amp"]["pid"], workers["plain"]["pid"])}
    assert {w["ray_node"] for w in workers.values()} == {"127.0.0.1"}
    assert len({w["ray_actor"] for w in workers.values()}) == 2
    # One host: every link, also the controller's, over shared memory; each end's node named.
    links = cluster.get_links()
    assert [(link["transport"], link["from_ray_node"], link["to_ray_node"]) for link in links] == \
        [("shm", "127.0.0.1", "127.0.0.1")] * 3
    assert [s.get("ray_node") for s in pipeline.get_stats()] == [None, "127.0.0.1", "127.0.0.1", None]
    assert [n.get("ray_node") for n in snapshot(pipeline)["nodes"]] == [None, "127.0.0.1", "127.0.0.1", None]
    console = Console(width=140, record=True, file=io.StringIO())
    console.print(render(pipeline))
    table = console.export_text()
    assert "ray node" in table and table.count("127.0.0.1") == 2
    # The workers' keys live in their memory: their folders hold sockets and rings only.
    folders = own_folders() - before
    assert len(folders) == 2
    assert all(name.endswith((".sock", ".shm")) for folder in folders for name in os.listdir(folder))
    # The worker loop's threads run at our niceness, not at the one Ray gives its workers.
    assert {min(thread_nice(w["pid"])) for w in workers.values()} == {os.getpriority(os.PRIO_PROCESS, 0)}
    messages = [e["message"] for e in pipeline.get_logger().get_all()]
    assert "Worker amp: Node a started." in messages
    pipeline.stop()
    assert pipeline.get_condition() == "HEALTHY"
    cluster.close()
    # Ray ends a killed actor's process in its own time.
    assert wait_until(lambda: all(gone(w["pid"]) for w in workers.values()), WAIT)
    assert not (own_folders() - before)
    assert actors_dead(ray_head, [w["ray_actor"] for w in workers.values()])


def test_a_ray_worker_that_is_never_started_ends_with_the_cluster(ray_head, reaper):
    source, sink = Source(), Collect()
    pipeline, cluster = chain(reaper, source, sink, ray_address=ray_head.address)
    cluster.spawn_ray("idle")
    pid, actor = cluster.get_workers()["idle"]["pid"], cluster.get_workers()["idle"]["ray_actor"]
    cluster.close()
    assert wait_until(lambda: gone(pid), WAIT) and actors_dead(ray_head, [actor])


@pytest.mark.parametrize("how", ["sigkill", "ray.kill"])
def test_a_dying_ray_worker_stops_the_pipeline_with_an_error_naming_it(ray_head, reaper, how):
    source, a, sink = Source(), Double(name="a"), Collect()
    pipeline, cluster = chain(reaper, source, a, sink, ray_address=ray_head.address,
                              heartbeat_timeout=HEARTBEAT_TIMEOUT)
    cluster.spawn_ray("doomed", resources={"amp": 1})
    cluster.place(a, "doomed")
    pipeline.start()
    source.cycle({"x": (1, [])})
    assert sink.wait_for(lambda v: len(v) == 1, WAIT)
    worker = cluster.get_workers()["doomed"]
    if how == "sigkill":
        os.kill(worker["pid"], signal.SIGKILL)
    else:
        cluster.workers["doomed"].actor.ray.kill(cluster.workers["doomed"].actor.actor)
    assert wait_until(lambda: pipeline.get_state() == "STOPPED", WAIT)
    assert pipeline.get_condition() == "ERROR"
    errors = [e["message"] for e in pipeline.get_logger().get_all() if e["type"] == "ERROR"]
    assert any(m.startswith("Worker doomed stopped answering") for m in errors), errors
    assert cluster.get_workers()["doomed"]["gone"]
    cluster.close()
    assert wait_until(lambda: gone(worker["pid"]), WAIT) and actors_dead(ray_head, [worker["ray_actor"]])


@pytest.mark.parametrize("request_, expected", [
    ({"resources": {"amp": 2}}, "no Ray node has amp in the amount asked"),
    ({"resources": {"GPU": 1}}, "no Ray node has GPU"),
    ({"num_cpus": 8}, "no Ray node has CPU"),
    ({"resources": {"laser": 1}}, "no Ray node has laser"),
    ({"node": "10.231.9.9"}, "no Ray node at 10.231.9.9"),
])
def test_a_request_no_node_can_meet_is_refused_at_once_naming_what_the_nodes_have(
        ray_head, reaper, request_, expected):
    source, sink = Source(), Collect()
    pipeline, cluster = chain(reaper, source, sink, ray_address=ray_head.address)
    with pytest.raises(ClusterError) as refused:
        cluster.spawn_ray("w", **request_)
    assert expected in str(refused.value) and "127.0.0.1 (CPU 2, amp 1)" in str(refused.value)
    assert "w" not in cluster.get_workers()


def test_ray_that_cannot_be_used_is_one_clear_error(ray_head, reaper, monkeypatch):
    closed = ray_hosts.free_port()
    for address in (f"127.0.0.1:{closed}", f"ray://127.0.0.1:{closed}"):
        with pytest.raises(ClusterError, match=f"Cannot reach the Ray cluster at {address}"):
            Cluster(Pipeline(directory=""), ray_address=address)
    with pytest.raises(ClusterError, match="not 'auto', 'local'"):
        Cluster(Pipeline(directory=""), ray_address="nowhere")
    pipeline, cluster = chain(reaper, Source(), Collect())
    with pytest.raises(ClusterError, match="spawn_ray.. needs a Ray cluster"):
        cluster.spawn_ray("w")
    monkeypatch.setitem(sys.modules, "ray", None)  # as without the extra
    with pytest.raises(ImportError, match=r"velarix\[ray\]"):
        Cluster(Pipeline(directory=""), ray_address=ray_head.address)


def test_local_starts_a_private_ray_on_loopback_and_ends_it(ray_head, reaper):
    source, a, sink = Source(), Double(name="a"), Collect()
    pipeline, cluster = chain(reaper, source, a, sink, ray_address="local")
    cluster.spawn_ray("w")
    cluster.place(a, "w")
    pipeline.start()
    source.cycle({"x": (5, [])})
    assert sink.wait_for(lambda v: len(v) == 1, WAIT) and sink.values[0][0] == 10
    assert cluster.get_workers()["w"]["ray_node"] == "127.0.0.1"
    import ray

    session = ray._private.worker._global_node.get_session_dir_path()
    assert ray_head.folder not in session  # a Ray of its own, not the module's
    cluster.close()
    assert not ray.is_initialized()
    assert wait_until(lambda: not any(session.encode() in cmdline(pid) for pid in os.listdir("/proc")
                                      if pid.isdigit()), WAIT)
    shutil.rmtree(session, ignore_errors=True)  # Ray's own logs of that session
    latest = os.path.join(os.path.dirname(session), "session_latest")
    if os.path.islink(latest) and os.readlink(latest) == session:
        os.unlink(latest)


DRIVER = """
import json, sys, time
from cluster_nodes import Collect, Double, Source
from velarix import Pipeline
from velarix.cluster import Cluster
source, a, sink = Source(), Double(name="a"), Collect()
pipeline = Pipeline(directory="")
pipeline.connect(source, a)
pipeline.connect(a, sink)
cluster = Cluster(pipeline, ray_address=sys.argv[1])
cluster.spawn_ray("w")
cluster.place(a, "w")
pipeline.start()
source.cycle({"x": (1, [])})
sink.wait_for(lambda v: len(v) == 1, 30)
w = cluster.get_workers()["w"]
print(json.dumps([w["pid"], w["ray_actor"]]), flush=True)
if sys.argv[2] == "wait":
    time.sleep(600)
"""


@pytest.mark.parametrize("ending", ["exit", "sigkill"])
def test_the_end_of_the_controllers_process_releases_its_ray_workers(ray_head, ending, tmp_path):
    # With the token and settings the fixture set; a killed driver's private folder goes with tmp_path.
    env = dict(os.environ, PYTHONPATH=ENV["PYTHONPATH"], TMPDIR=str(tmp_path))
    process = subprocess.Popen([sys.executable, "-c", DRIVER, ray_head.address,
                                "wait" if ending == "sigkill" else "exit"], env=env, stdout=subprocess.PIPE,
                               text=True)
    try:
        pid, actor = json.loads(process.stdout.readline())
        if ending == "sigkill":
            process.kill()
        assert process.wait(WAIT * 2) in (0, -signal.SIGKILL)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        process.stdout.close()
    assert wait_until(lambda: gone(pid), WAIT) and actors_dead(ray_head, [actor])


def cmdline(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read()
    except OSError:
        return b""
