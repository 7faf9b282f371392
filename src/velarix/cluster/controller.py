"""The controller: places nodes on workers and runs the pipeline across them.

    cluster = Cluster(pipeline)
    cluster.spawn("w1")                 # a local worker process over ipc://
    cluster.place(node, "w1")
    pipeline.start()                    # or cluster.start(): deploys, then starts

On its first start the cluster sends each worker its part of the graph (the
pipeline's serialised form), replaces every link that crosses a process boundary
by a link between the processes (deploy.py), and makes each placed node in this
process a stand-in (deploy.PlacedNode): its start() and stop() go to its worker;
its state, condition, load, counter, statistics and last exception come from the
worker's heartbeat (wire.NodeStatus). So the pipeline's own run control and
monitoring cover every node wherever it runs. The control channels to the
workers are in channel.py, their processes in processes.py.
"""

from __future__ import annotations

import atexit
import os
import shutil
import sys
import tempfile
import weakref
from typing import Any, Optional

from .._live import finish_each
from ..constants import Constants
from ..logger import LogType
from ..node import Node
from ..pipeline import Pipeline
from . import shm
from ._zmq import require_zmq
from .channel import Channels, WorkerChannel
from .deploy import STOP_TIMEOUT, Deployment, check_portable, node_id
from .errors import ClusterError, RemoteNodeError
from .logs import inject
from .processes import end_process, start_worker
from .on_ray import RaySession
from .security import ControllerKeys, _check_worker_name, is_tcp, make_keys
from .wire import HEARTBEAT_INTERVAL, HEARTBEAT_TIMEOUT

__all__ = ["Cluster", "ClusterError", "RemoteNodeError"]

_open_clusters: weakref.WeakSet[Cluster] = weakref.WeakSet()


class Cluster:
    """Runs `pipeline` over worker processes. `keys`: the folder DIR/controller
    made by `velarix keys DIR --worker NAME` (or DIR itself), needed for workers
    reached over TCP; `hwm`: values a cross-process link holds before the producer
    waits; `heartbeat_interval` and `heartbeat_timeout`: seconds between
    heartbeats, and of silence after which a worker (or, for a worker, its
    controller) counts as gone; `ring_bytes`: the shared-memory ring of each link
    between two processes on this host (0: such links go over ipc:// sockets;
    values needing more than half the ring go over the link's socket, in order);
    `ray_address`: the Ray cluster spawn_ray() starts workers on ("auto",
    "host:port", "ray://host:port", or "local" for a private one on 127.0.0.1;
    needs the extra `ray`)."""

    def __init__(self, pipeline: Pipeline, keys: Optional[str] = None, hwm: int = 1000,
                 heartbeat_interval: float = HEARTBEAT_INTERVAL, heartbeat_timeout: float = HEARTBEAT_TIMEOUT,
                 ring_bytes: int = shm.DEFAULT_BYTES, ray_address: Optional[str] = None) -> None:
        self.zmq = require_zmq()
        if not isinstance(pipeline, Pipeline):
            raise TypeError("Cluster needs a velarix Pipeline.")
        for option, value in (("heartbeat_interval", heartbeat_interval), ("heartbeat_timeout", heartbeat_timeout)):
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not value > 0:
                raise ValueError(f"{option} must be a number of seconds above 0, not {value!r}.")
        if isinstance(ring_bytes, bool) or not isinstance(ring_bytes, int) or ring_bytes < 0:
            raise ValueError(f"ring_bytes must be a whole number of bytes, 0 or more, not {ring_bytes!r}.")
        if heartbeat_timeout <= heartbeat_interval:
            raise ValueError(f"heartbeat_timeout ({heartbeat_timeout:g} s) must be longer than "
                             f"heartbeat_interval ({heartbeat_interval:g} s).")
        if "start" in pipeline.__dict__:
            raise ClusterError("This pipeline belongs to another Cluster; close that one first.")
        self.ray: Optional[RaySession] = None
        if ray_address is not None:  # joined first: a Ray that cannot be reached leaves nothing to undo
            self.ray = RaySession(ray_address)
        self.ray_node_id, self.ray_node = self.ray.own_node() if self.ray is not None else (None, None)
        self.pipeline = pipeline
        self.keys_dir = keys
        self.keys = ControllerKeys(keys) if keys else None
        self.hwm = hwm
        self.ring_bytes = ring_bytes
        self.heartbeat_interval = float(heartbeat_interval)
        self.heartbeat_timeout = float(heartbeat_timeout)
        self.lost = False  # a worker was lost: the pipeline's condition is to say ERROR
        self.workers: dict[str, WorkerChannel] = {}
        self.placement: dict[str, str] = {}  # node id -> worker name
        self.folder = tempfile.mkdtemp(prefix="velarix-")  # mode 0700: ours alone
        # Keys and sockets go with the cluster even when nobody closes it (dropped, or still open at exit).
        self._remove_folder = weakref.finalize(self, shutil.rmtree, self.folder, ignore_errors=True)
        self.context = self.zmq.Context()
        self.channels = Channels(self.zmq, self.context, None, self.heartbeat_interval, self.heartbeat_timeout,
                                 self._worker_log, self._worker_lost)
        self.deployment: Optional[Deployment] = None
        self.deployed = False
        self.failed: Optional[BaseException] = None
        self.ending = False
        self.closing = False
        pipeline.start = self.start  # type: ignore[method-assign]  # the pipeline's own start() deploys first
        pipeline.stop = self._stop_pipeline  # type: ignore[method-assign]
        pipeline._worker_of = self.where  # a recording refuses the ports of placed nodes
        _open_clusters.add(self)

    # Workers and placement ---------------------------------------------------

    def spawn(self, name: str, transport: str = "ipc") -> None:
        """Start a local worker process. "ipc": endpoints in a private folder;
        "tcp": loopback TCP with CURVE (the cluster's keys, else new ones)."""
        self._check_new_worker(name)
        self._own_keys()
        assert self.keys is not None
        # The worker's own pair, made in our private folder; our secret stays out of its reach.
        if transport == "ipc":
            bind = f"ipc://{os.path.join(self.folder, name + '.ctl')}"
        elif transport == "tcp":
            bind = "tcp://127.0.0.1:*"
        else:
            raise ValueError(f"transport must be 'ipc' or 'tcp', not {transport!r}.")
        keys = self.keys.add_local_worker(name, os.path.join(self.folder, "worker-keys", name))
        process, endpoint = start_worker(name, self.folder, keys, bind)
        self.workers[name] = WorkerChannel(name, endpoint, process, self.keys.workers[name])

    def spawn_ray(self, name: str, resources: Optional[dict[str, float]] = None, num_cpus: float = 1,
                  node: Optional[str] = None, runtime_env: Optional[dict[str, Any]] = None) -> None:
        """Start a worker as an actor on the Ray cluster (Cluster(ray_address=...)):
        on a node with `resources` (such as {"amp": 1} or {"GPU": 1}) and
        `num_cpus`, or on the node whose address is `node`; `runtime_env` as Ray
        takes it. Its key pair is made here and handed to it through Ray; its
        links to other hosts are TCP with CURVE. A request no node can meet is
        refused here, naming what the nodes have."""
        self._check_new_worker(name)
        if self.ray is None:
            raise ClusterError("spawn_ray() needs a Ray cluster: pass ray_address to Cluster.")
        if resources is not None and not (isinstance(resources, dict) and all(
                isinstance(k, str) and isinstance(v, (int, float)) and not isinstance(v, bool) and v >= 0
                for k, v in resources.items())):
            raise ValueError(f"resources must map resource names to amounts of 0 or more, not {resources!r}.")
        if isinstance(num_cpus, bool) or not isinstance(num_cpus, (int, float)) or num_cpus < 0:
            raise ValueError(f"num_cpus must be a number of 0 or more, not {num_cpus!r}.")
        _check_worker_name(name)
        self._own_keys()
        assert self.keys is not None
        public, secret = self.zmq.curve_keypair()
        actor = self.ray.start_worker(name, (public, secret, self.keys.public), self.hwm, dict(resources or {}),
                                      num_cpus, node, runtime_env)
        self.keys.workers[name] = bytes(public)
        channel = WorkerChannel(name, actor.endpoint, server_key=bytes(public))
        channel.actor, channel.ray_node, channel.pid = actor, actor.node, actor.pid
        self.workers[name] = channel

    def _own_keys(self) -> None:
        """A fresh controller pair in our private folder, for any TCP link (unless keys were given)."""
        if self.keys is None:
            self.keys_dir = make_keys(os.path.join(self.folder, "keys"), workers=())
            self.keys = ControllerKeys(self.keys_dir)

    def add_worker(self, name: str, endpoint: str, key: Optional[str] = None) -> None:
        """Use a worker started elsewhere with `velarix worker --bind ENDPOINT`;
        `key` names its key pair in the keys folder (default: `name`)."""
        self._check_new_worker(name)
        if is_tcp(endpoint) and self.keys is None:
            raise ClusterError(f"Worker {name} at {endpoint}: TCP needs CURVE keys; pass keys=DIR to Cluster.")
        server_key = None
        if self.keys is not None and (is_tcp(endpoint) or (key or name) in self.keys.workers):
            try:
                server_key = self.keys.worker_key(key or name)
            except KeyError as error:
                raise ClusterError(f"Worker {name} at {endpoint}: {error.args[0]}") from None
        self.workers[name] = WorkerChannel(name, endpoint, server_key=server_key)

    def _check_new_worker(self, name: str) -> None:
        if self.deployed:
            raise ClusterError("Workers are added before the first start.")
        if name in self.workers:
            raise ValueError(f"Worker {name!r} exists already.")

    def place(self, node: Node, worker: Optional[str]) -> None:
        """Run `node` on `worker` (None: in this process) from the next first start."""
        if self.deployed:
            raise ClusterError("Nodes are placed before the first start.")
        if worker is not None and worker not in self.workers:
            raise KeyError(f"No worker named {worker!r}.")
        if worker is not None:
            check_portable([node])
        if worker is None:
            self.placement.pop(node_id(node), None)
        else:
            self.placement[node_id(node)] = worker

    def where(self, node: Node) -> Optional[str]:
        """The name of the worker that runs `node`, or None for this process."""
        return self.placement.get(node_id(node))

    # Run control -------------------------------------------------------------

    def start(self) -> None:
        """Deploy on the first call, then start the pipeline."""
        if self.closing:
            raise ClusterError("This cluster is closed.")
        if self.failed is not None:
            raise ClusterError(f"This cluster could not deploy ({self.failed}); close it and make a new one.")
        if not self.deployed:
            self._refuse_recorded_placed_ports()
            try:
                self._deploy()
            except BaseException as error:
                self.failed = error
                raise
        Pipeline.start(self.pipeline)

    def _refuse_recorded_placed_ports(self) -> None:
        """A recording made before its ports' nodes were placed: refused here."""
        for recording in self.pipeline._running_recordings():
            recording.refuse_ports_on_workers(self.where)

    def stop(self) -> None:
        """Stop the pipeline: the same as its own stop()."""
        self.pipeline.stop()

    def _stop_pipeline(self) -> None:
        """The pipeline's stop(); a worker lost while it ran leaves it in condition ERROR
        even when its monitoring, ended by this stop, did not see the loss."""
        Pipeline.stop(self.pipeline)
        self._mark_failed()

    def _mark_failed(self) -> None:
        pipeline = self.pipeline
        if (self.lost and pipeline.get_state() == Constants.States.STOPPED
                and pipeline.get_condition() == Constants.Conditions.HEALTHY):
            pipeline._enter_error_condition()

    def get_workers(self) -> dict[str, dict[str, Any]]:
        """Each worker's "endpoint", process id ("pid") and, once it is gone, why
        ("gone"); its "clock_offset" (its clock minus this process's, in seconds)
        and "clock_uncertainty" (half the round trip of the probe it comes from),
        both None until the first probe answered. A worker on Ray also has its
        "ray_node" (the node's address) and "ray_actor" (the actor's id)."""
        return {name: {"endpoint": w.endpoint, "pid": w.pid, "gone": w.dead, **w.clock.report(),
                       **({"ray_node": w.ray_node, "ray_actor": w.actor.actor_id} if w.actor is not None else {})}
                for name, w in self.workers.items()}

    def get_load(self) -> list[dict[str, Any]]:
        """The pipeline's load report, each entry with the "worker" that ran it
        (None: this process; the pipeline's own entry has none either). Asks
        every worker for its nodes' loads now instead of using the last heartbeat."""
        for worker in self.workers.values():
            if worker.ready and worker.dead is None:
                try:
                    worker.status = self.channels.call(worker, {"op": "status"})
                except ClusterError:
                    pass  # a worker that is going away keeps its last report
        nodes: list[Any] = self.pipeline.get_nodes()
        report: list[dict[str, Any]] = [dict(e) for e in self.pipeline.get_load()]
        for entry, node in zip(report, nodes + [None]):
            entry["worker"] = self.where(node) if node is not None else None
        return report

    def close(self) -> None:
        """Stop the pipeline, end the workers and restore the local graph."""
        if self.closing:
            return
        if self.pipeline.get_state() == Constants.States.RUNNING:
            self.pipeline.stop()
        self.ending = True  # workers that exit from here on were told to
        for worker in self.workers.values():
            if worker.ready and worker.dead is None:
                try:
                    self.channels.call(worker, {"op": "shutdown"}, STOP_TIMEOUT)
                except ClusterError:
                    pass
        self.closing = True
        self.channels.close()
        if self.deployment is not None:
            self.deployment.undeploy()
        for worker in self.workers.values():
            polite = worker.ready and worker.dead is None
            if worker.process is not None:
                end_process(worker.process, polite=polite, hung=worker.dead is not None)
            if worker.actor is not None:
                worker.actor.end(polite)
        if self.ray is not None:
            self.ray.close()
        self.context.destroy(linger=0)  # closes whatever a stuck thread still holds
        self._remove_folder()
        self.pipeline.__dict__.pop("start", None)
        self.pipeline.__dict__.pop("stop", None)
        self.pipeline.__dict__.pop("_worker_of", None)
        _open_clusters.discard(self)

    def __enter__(self) -> Cluster:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def get_links(self) -> list[dict[str, Any]]:
        """The links between processes once deployed (empty before): per link "from"
        and "to" ("node.port"), "from_worker" and "to_worker" (None: this process),
        its "timing" and its "transport": "shm" (shared memory on this host), "ipc"
        (a unix socket) or "tcp" (TCP with CURVE). On Ray also "from_ray_node" and
        "to_ray_node": the address of the Ray node of each end."""
        found = self.deployment.get_links() if self.deployment is not None else []
        if self.ray is not None:
            nodes = {name: w.ray_node for name, w in self.workers.items()}
            here = self.ray_node
            for link in found:
                for end in ("from", "to"):
                    worker = link[f"{end}_worker"]
                    link[f"{end}_ray_node"] = here if worker is None else nodes.get(worker)
        return found

    def get_stats(self) -> list[dict[str, Any]]:
        """The pipeline's get_stats() (a node on a worker reports the worker's), each
        port at a link between processes with its "transport" ("shm", "ipc" or
        "tcp"; "shm+tcp" and the like for an output whose links differ)."""
        stats: list[dict[str, Any]] = []
        transports = self.deployment.port_transports() if self.deployment is not None else {}
        for node in self.pipeline.get_nodes():
            entry = node.get_stats()
            if not isinstance(entry, dict):
                stats.append(entry)
                continue
            entry = dict(entry)
            for side in ("inputs", "outputs"):
                ports = {name: dict(port) for name, port in (entry.get(side) or {}).items()}
                for name, port in ports.items():
                    transport = transports.get((id(node), side, name))
                    if transport is not None:
                        port["transport"] = transport
                entry[side] = ports
            stats.append(entry)
        return stats

    # Deployment and the workers' reports --------------------------------------

    def _deploy(self) -> None:
        nodes = self.pipeline.get_nodes()
        unknown = set(self.placement) - {node_id(n) for n in nodes}
        if unknown:
            raise ClusterError(f"Placed nodes are not in the pipeline: {sorted(unknown)}.")
        self.channels.keys = self.keys
        self.channels.start(list(self.workers.values()))
        for worker in self.workers.values():
            self.channels.hello(worker)
        self.deployment = Deployment(self.pipeline, self.placement, self.workers, self.channels, self.context,
                                     self.keys, self.hwm, self.ring_bytes, self._hosts())
        self.deployment.deploy()
        self.deployed = True

    def _hosts(self) -> dict[Optional[str], Optional[str]]:
        """Where this process and each worker run, as far as known: this host for
        spawned workers, the Ray node for workers on Ray (this process's own Ray
        node, when it has one, is this host too)."""
        hosts: dict[Optional[str], Optional[str]] = {None: "this host"}
        for name, worker in self.workers.items():
            if worker.actor is not None:
                hosts[name] = "this host" if worker.actor.node_id == self.ray_node_id else worker.actor.node_id
            elif worker.process is not None:
                hosts[name] = "this host"
        return hosts

    def _worker_log(self, worker: WorkerChannel, records: list[Any]) -> None:
        logger = self.pipeline.get_logger()
        offset = worker.clock.offset
        for record in records:
            inject(logger, worker.name, record, offset)

    def _worker_lost(self, worker: WorkerChannel, why: str) -> None:
        """A worker died: an error in the log, which the pipeline's monitoring
        turns into a stop with condition ERROR."""
        if not self.ending:
            self.lost = True  # before the entry: a stop that ends now must see it
            self.pipeline.get_logger().write(LogType.ERROR, f"Worker {worker.name} stopped answering: {why}")
            self._mark_failed()  # a stopped pipeline has no monitoring left to do it



@atexit.register
def _close_all() -> None:
    finish_each(_open_clusters, "close")
