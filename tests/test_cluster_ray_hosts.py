"""Workers on Ray across two hosts: two network namespaces on this machine, one Ray
node in each (token authentication on), the controller in the first."""

import json
import os
import shutil
import subprocess
import sys
import tempfile

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
pytest.importorskip("zmq")

import ray_hosts  # noqa: E402
from test_cluster import ENV  # noqa: E402

DRIVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ray_hosts_driver.py")
HEAD, SECOND = ray_hosts.Namespaces.ADDRESSES


@pytest.fixture(scope="module")
def two_hosts():
    why = ray_hosts.ray_missing() or ray_hosts.namespaces_missing()
    if why:
        pytest.skip(why)
    spaces = ray_hosts.Namespaces()
    home = tempfile.mkdtemp(prefix="vxr-home-")
    env = ray_hosts.ray_env(ENV, home)
    nodes = []
    try:
        nodes.append(ray_hosts.RayNode(HEAD, env, port=6379, num_cpus=2, prefix=spaces.prefix(0)))
        nodes.append(ray_hosts.RayNode(SECOND, env, head=nodes[0].address, num_cpus=1, resources={"amp": 1},
                                       prefix=spaces.prefix(1)))
        yield spaces, nodes[0], nodes[1], env
    finally:
        for node in reversed(nodes):
            node.stop()
        spaces.remove()
        from velarix.cluster import on_ray

        on_ray.remove_stale_folders()  # that of the worker lost with its host
        shutil.rmtree(home, ignore_errors=True)


def drive(spaces, env, *args):
    """Runs the controller script in the first namespace; its findings and its stderr."""
    done = subprocess.run([*spaces.prefix(0), sys.executable, DRIVER, *args], env=env, capture_output=True,
                          text=True, timeout=300)
    found = [line for line in done.stdout.splitlines() if line.startswith("RESULT ")]
    assert found, f"{done.stdout[-3000:]}\n{done.stderr[-5000:]}"
    return json.loads(found[-1][len("RESULT "):]), done.stderr


def test_only_a_driver_with_the_clusters_token_may_join(two_hosts):
    spaces, head, _, env = two_hosts
    assert drive(spaces, env, "join", head.address)[0] == {"joined": True}
    for token in ("f" * 64, None):  # a wrong token, and none at all
        found, stderr = drive(spaces, ray_hosts.ray_env(env, env["HOME"], token=token), "join", head.address)
        assert not found["joined"] and found["error"].startswith(f"Cannot join the Ray cluster at '{head.address}'")
        assert "RAY_AUTH_TOKEN" in found["error"]
        assert "Authentication token is missing or incorrect" in stderr  # the cluster's answer


def test_a_pipeline_across_two_ray_hosts_links_by_host_and_stops_in_error_when_one_is_lost(two_hosts):
    spaces, head, second, env = two_hosts
    found = drive(spaces, env, "run", head.address, second.folder)[0]
    assert found["arrived"] and found["in_order"]
    workers = found["workers"]
    assert (workers["amp"]["ray_node"], workers["head"]["ray_node"]) == (SECOND, HEAD)
    assert [(link["from"], link["to"], link["transport"], link["from_ray_node"], link["to_ray_node"])
            for link in found["links"]] == [
        ("Source.out", "amp_side.in", "tcp", HEAD, SECOND),
        ("amp_side.out", "head_side.in", "tcp", SECOND, HEAD),
        ("head_side.out", "Collect.in", "shm", HEAD, HEAD)]
    assert found["condition"] == "ERROR"
    assert any(m.startswith("Worker amp stopped answering") for m in found["errors"]), found["errors"]
    print(f"stopped {found['stopped_after']:.2f} s after the second host was lost")
    assert found["alive_after_close"] == []
    assert found["actor_states"] == {"amp": "DEAD", "head": "DEAD"}
    assert not second.pids()
