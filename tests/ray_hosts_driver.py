"""The controller of the two-host Ray test, run inside the first namespace:
`python ray_hosts_driver.py run HEAD_ADDRESS SECOND_NODE_FOLDER` or
`python ray_hosts_driver.py join HEAD_ADDRESS`. Prints one JSON line of findings."""

import json
import os
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from cluster_nodes import Collect, Double, Source  # noqa: E402
from ray_hosts import RayNode  # noqa: E402
from velarix import Pipeline  # noqa: E402
from velarix.cluster import Cluster, ClusterError  # noqa: E402

HEARTBEAT_TIMEOUT = 3.0
COUNT = 500


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    with open(f"/proc/{pid}/status") as status:
        return not any(line.startswith("State:") and "Z" in line for line in status)


def run(head, second_folder):
    found = {}
    source, amp, near, sink = Source(), Double(name="amp_side"), Double(name="head_side"), Collect()
    pipeline = Pipeline(directory="")
    pipeline.connect(source, amp)
    pipeline.connect(amp, near)
    pipeline.connect(near, sink)
    cluster = Cluster(pipeline, ray_address=head, heartbeat_timeout=HEARTBEAT_TIMEOUT)
    try:
        cluster.spawn_ray("amp", resources={"amp": 1})
        cluster.spawn_ray("head", node=head.rsplit(":", 1)[0])
        cluster.place(amp, "amp")
        cluster.place(near, "head")
        pipeline.start()
        for n in range(COUNT):
            source.cycle({"x": (n, [])})
        found["arrived"] = sink.wait_for(lambda v: len(v) >= COUNT, 30)
        found["in_order"] = [v[0] for v in sink.values] == [4 * n for n in range(COUNT)]
        found["workers"] = cluster.get_workers()
        found["links"] = [{k: link[k] for k in ("from", "to", "transport", "from_ray_node", "to_ray_node")}
                          for link in cluster.get_links()]
        # The second host is lost: every Ray process there killed at once.
        lost = time.monotonic()
        second = RayNode.__new__(RayNode)
        second.folder = second_folder
        second.kill()
        while pipeline.get_state() != "STOPPED" and time.monotonic() - lost < 60:
            time.sleep(0.02)
        found["stopped_after"] = time.monotonic() - lost
        found["condition"] = pipeline.get_condition()
        found["errors"] = [e["message"] for e in pipeline.get_logger().get_all() if e["type"] == "ERROR"]
    finally:
        cluster.close()
    found["alive_after_close"] = [w["pid"] for w in found.get("workers", {}).values() if alive(w["pid"])]
    import ray
    import ray._private.state as state

    # This namespace's own address, the head's: nothing leaves the namespaces we made.
    ray.init(address=head, configure_logging=False, log_to_driver=False,
             _node_ip_address=head.rpartition(":")[0])
    try:  # Ray marks the actors of a lost node dead once it sees the node gone
        deadline = time.monotonic() + 90
        while True:
            found["actor_states"] = {name: state.actors(w["ray_actor"])["State"]
                                     for name, w in found.get("workers", {}).items()}
            if set(found["actor_states"].values()) <= {"DEAD"} or time.monotonic() > deadline:
                break
            time.sleep(0.5)
    finally:
        ray.shutdown()
    return found


def join(head):
    """Whether a driver with this process's token may use the cluster."""
    try:
        Cluster(Pipeline(directory=""), ray_address=head).close()
    except ClusterError as error:
        return {"joined": False, "error": str(error)}
    return {"joined": True}


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))  # the test's timeout still closes the cluster
    result = run(sys.argv[2], sys.argv[3]) if sys.argv[1] == "run" else join(sys.argv[2])
    print("RESULT " + json.dumps(result), flush=True)
