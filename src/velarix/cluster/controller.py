"""The controller: places nodes on workers and runs the pipeline across them.

    cluster = Cluster(pipeline)
    cluster.spawn("w1")                 # a local worker process over ipc://
    cluster.place(node, "w1")
    pipeline.start()                    # or cluster.start(): deploys, then starts

On its first start the cluster sends each worker its part of the graph (the
pipeline's serialised form), replaces every link that crosses a process boundary
by a ZeroMQ link, and makes each placed node in this process a stand-in: its
start() and stop() go to its worker; its state, condition, load, counter,
statistics and last exception come from the worker's heartbeat (six fields per
node, see Worker._status). So the pipeline's own run control and monitoring
cover every node wherever it runs.
"""

from __future__ import annotations

import atexit
import itertools
import json
import os
import queue
import selectors
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import weakref
from typing import Any, Callable, Optional

from .._saving import check_loadable
from ..constants import Constants
from ..i_node import INode
from ..logger import LogType
from ..node import Node
from ..o_node import ONode
from ..pipeline import Pipeline
from . import links, wire
from ._zmq import require_zmq
from .logs import inject
from .security import ControllerKeys, is_tcp, make_keys
from .worker import HEARTBEAT_INTERVAL, HEARTBEAT_TIMEOUT, producer_running

CALL_TIMEOUT = 10.0  # seconds a worker gets to answer a request
STOP_TIMEOUT = 5.0  # seconds a worker gets to stop a node; stop() goes on without it
SPAWN_TIMEOUT = 20.0  # seconds a local worker gets to start listening
LOCAL_IDLE_TIMEOUT = 120.0  # a spawned worker that no controller contacts exits

_open_clusters: weakref.WeakSet[Cluster] = weakref.WeakSet()


class ClusterError(RuntimeError):
    """A worker refused, failed or stopped answering."""


class RemoteNodeError(ClusterError):
    """What a node placed on a worker raised there, as its stand-in's
    get_last_exception() gives it: the message is its log entry's, `exception_type`
    the name of its class and `remote_traceback` the worker's traceback text (also
    a note, so a printed traceback shows it)."""

    def __init__(self, message: str, exception_type: str, remote_traceback: str) -> None:
        super().__init__(message)
        self.exception_type = exception_type
        self.remote_traceback = remote_traceback
        self.add_note(f"On the worker:\n{remote_traceback.rstrip()}")


class _Reply:
    def __init__(self) -> None:
        self.event = threading.Event()
        self.ok = False
        self.value: Any = None

    def resolve(self, ok: bool, value: Any) -> None:
        self.ok, self.value = ok, value
        self.event.set()


class _WorkerHandle:
    def __init__(self, name: str, endpoint: str, process: Optional[subprocess.Popen[bytes]] = None) -> None:
        self.name = name
        self.endpoint = endpoint
        self.process = process
        self.socket: Any = None
        self.pid: Optional[int] = process.pid if process is not None else None
        self.ready = False
        self.dead: Optional[str] = None  # why it is gone, once it is
        self.last_seen = time.monotonic()
        self.status: dict[str, tuple[Any, ...]] = {}  # node id -> (state, condition, load, counter, stats, failure)
        self.failures: dict[str, tuple[Any, RemoteNodeError]] = {}  # node id -> (failure, its exception here)
        self.replies: dict[int, _Reply] = {}
        self.senders: list[links.Sender] = []  # this process's senders whose receiver is on that worker
        self.server_key: Optional[bytes] = None  # its public key, for CURVE over TCP


class Cluster:
    """Runs `pipeline` over worker processes. `keys`: the folder DIR/controller
    made by `velarix keys DIR --worker NAME` (or DIR itself), needed for workers
    reached over TCP; `hwm`: values a cross-process link holds before the producer
    waits; `heartbeat_interval` and `heartbeat_timeout`: seconds between
    heartbeats, and of silence after which a worker (or, for a worker, its
    controller) counts as gone."""

    def __init__(self, pipeline: Pipeline, keys: Optional[str] = None, hwm: int = 1000,
                 heartbeat_interval: float = HEARTBEAT_INTERVAL, heartbeat_timeout: float = HEARTBEAT_TIMEOUT) -> None:
        self.zmq = require_zmq()
        if not isinstance(pipeline, Pipeline):
            raise TypeError("Cluster needs a velarix Pipeline.")
        for option, value in (("heartbeat_interval", heartbeat_interval), ("heartbeat_timeout", heartbeat_timeout)):
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not value > 0:
                raise ValueError(f"{option} must be a number of seconds above 0, not {value!r}.")
        if heartbeat_timeout <= heartbeat_interval:
            raise ValueError(f"heartbeat_timeout ({heartbeat_timeout:g} s) must be longer than "
                             f"heartbeat_interval ({heartbeat_interval:g} s).")
        if "start" in pipeline.__dict__:
            raise ClusterError("This pipeline belongs to another Cluster; close that one first.")
        self.pipeline = pipeline
        self.keys_dir = keys
        self.keys = ControllerKeys(keys) if keys else None
        self.hwm = hwm
        self.heartbeat_interval = float(heartbeat_interval)
        self.heartbeat_timeout = float(heartbeat_timeout)
        self.lost = False  # a worker was lost: the pipeline's condition is to say ERROR
        self.workers: dict[str, _WorkerHandle] = {}
        self.placement: dict[str, str] = {}  # node id -> worker name
        self.folder = tempfile.mkdtemp(prefix="velarix-")  # mode 0700: ours alone
        self.context = self.zmq.Context()
        self.requests: queue.Queue[tuple[_WorkerHandle, dict[str, Any], Optional[_Reply]]] = queue.Queue()
        self.ids = itertools.count(1)
        self.deployed = False
        self.failed: Optional[BaseException] = None
        self.ending = False
        self.closing = False
        self.io_thread: Optional[threading.Thread] = None
        self.senders: list[links.Sender] = []
        self.receiver = links.Receiver(hwm)
        self.restore: list[tuple[Any, links.Sender, Any]] = []  # (port, sender, original link) to put back on close
        self.standins: list[Any] = []  # nodes whose methods forward to a worker
        pipeline.start = self.start  # type: ignore[method-assign]  # the pipeline's own start() deploys first
        pipeline.stop = self._stop_pipeline  # type: ignore[method-assign]
        _open_clusters.add(self)

    # Workers and placement ---------------------------------------------------

    def spawn(self, name: str, transport: str = "ipc") -> None:
        """Start a local worker process. "ipc": endpoints in a private folder;
        "tcp": loopback TCP with CURVE (the cluster's keys, else new ones)."""
        self._check_new_worker(name)
        command = [sys.executable, "-m", "velarix.cluster", "worker", "--name", name,
                   "--parent", str(os.getpid()), "--parent-folder", self.folder,
                   "--idle-timeout", str(LOCAL_IDLE_TIMEOUT)]
        if self.keys is None:  # a fresh controller pair in our private folder, for any TCP link
            self.keys_dir = make_keys(os.path.join(self.folder, "keys"), workers=())
            self.keys = ControllerKeys(self.keys_dir)
        # The worker's own pair, made in our private folder; our secret stays out of its reach.
        command += ["--keys", self.keys.add_local_worker(name, os.path.join(self.folder, "worker-keys", name))]
        if transport == "ipc":
            command += ["--bind", f"ipc://{os.path.join(self.folder, name + '.ctl')}"]
        elif transport == "tcp":
            command += ["--bind", "tcp://127.0.0.1:*"]
        else:
            raise ValueError(f"transport must be 'ipc' or 'tcp', not {transport!r}.")
        process = subprocess.Popen(command, stdout=subprocess.PIPE, env=_worker_environment())
        try:
            endpoint = _read_endpoint(process, name)
        except BaseException:
            _end_process(process)
            raise
        self.workers[name] = _WorkerHandle(name, endpoint, process)
        self.workers[name].server_key = self.keys.workers[name]

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
        self.workers[name] = _WorkerHandle(name, endpoint)
        self.workers[name].server_key = server_key

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
        node_id = _id(node)
        if worker is not None:
            _check_portable([node])
        if worker is None:
            self.placement.pop(node_id, None)
        else:
            self.placement[node_id] = worker

    def where(self, node: Node) -> Optional[str]:
        """The name of the worker that runs `node`, or None for this process."""
        return self.placement.get(_id(node))

    # Run control -------------------------------------------------------------

    def start(self) -> None:
        """Deploy on the first call, then start the pipeline."""
        if self.closing:
            raise ClusterError("This cluster is closed.")
        if self.failed is not None:
            raise ClusterError(f"This cluster could not deploy ({self.failed}); close it and make a new one.")
        if not self.deployed:
            try:
                self._deploy()
            except BaseException as error:
                self.failed = error
                raise
        Pipeline.start(self.pipeline)

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
            pipeline._imp._condition = Constants.Conditions.ERROR

    def get_workers(self) -> dict[str, dict[str, Any]]:
        """Each worker's endpoint, process id and, once it is gone, why."""
        return {name: {"endpoint": w.endpoint, "pid": w.pid, "gone": w.dead}
                for name, w in self.workers.items()}

    def get_load(self) -> list[dict[str, Any]]:
        """The pipeline's load report, each entry with the "worker" that ran it
        (None: this process; the pipeline's own entry has none either). Asks
        every worker for its nodes' loads now instead of using the last heartbeat."""
        for worker in self.workers.values():
            if worker.ready and worker.dead is None:
                try:
                    worker.status = self._call(worker, {"op": "status"})
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
                    self._call(worker, {"op": "shutdown"}, STOP_TIMEOUT)
                except ClusterError:
                    pass
        self.closing = True
        if self.io_thread is not None:
            self.io_thread.join(timeout=5)
        self._undeploy()
        for worker in self.workers.values():
            if worker.socket is not None:
                worker.socket.close(linger=0)
            if worker.process is not None:
                _end_process(worker.process, polite=worker.ready and worker.dead is None,
                             hung=worker.dead is not None)
        if self.io_thread is not None:
            self.wake_send.close(linger=0)
        self.context.destroy(linger=0)  # closes whatever a stuck thread still holds
        shutil.rmtree(self.folder, ignore_errors=True)
        self.pipeline.__dict__.pop("start", None)
        self.pipeline.__dict__.pop("stop", None)
        _open_clusters.discard(self)

    def __enter__(self) -> Cluster:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # Deployment --------------------------------------------------------------

    def _deploy(self) -> None:
        nodes = self.pipeline.get_nodes()
        unknown = set(self.placement) - {_id(n) for n in nodes}
        if unknown:
            raise ClusterError(f"Placed nodes are not in the pipeline: {sorted(unknown)}.")
        self._start_io()
        for worker in self.workers.values():
            self._hello(worker)
        cross = self._cross_links(nodes)
        ends: dict[str, list[dict[str, Any]]] = {name: [] for name in self.workers}
        for link in cross:
            for end in link["ends"]:
                if end["where"] is not None:
                    ends[end["where"]].append(end)
        _check_portable([n for n in nodes if self.where(n) is not None])
        for name, worker in self.workers.items():
            part = _part_text([n for n in nodes if self.where(n) == name])
            endpoints = self._call(worker, {"op": "build", "part": part, "links": ends[name],
                                            "peers": self._peer_keys()})
            for link in cross:
                if link["id"] in endpoints:
                    link["endpoint"] = _reachable(endpoints[link["id"]], worker.endpoint)
                    link["server_key"] = worker.server_key.decode() if worker.server_key else None
        for link in cross:
            for end in link["ends"]:
                end["endpoint"], end["server_key"] = link["endpoint"], link.get("server_key")
        for name, worker in self.workers.items():
            self._call(worker, {"op": "connect", "links": ends[name]})
        for link in cross:
            for end in link["ends"]:
                if end["where"] is None:
                    self._attach_local(link, end)
        self.receiver.start()
        for node in nodes:
            place = self.where(node)
            if place is not None:
                self._make_standin(node, self.workers[place])
        self.deployed = True

    def _cross_links(self, nodes: list[Any]) -> list[dict[str, Any]]:
        """Every output-to-input link whose two nodes run in different processes."""
        consumers: dict[int, Any] = {}
        for node in nodes:
            if isinstance(node, INode):
                for port in node._imp._input_ports.values():
                    consumers[id(port)] = node
        cross: list[dict[str, Any]] = []
        for producer in nodes:
            if not isinstance(producer, ONode):
                continue
            for oport in producer._imp._output_ports.values():
                for iport in oport._connected_ports:
                    consumer = consumers.get(id(iport))
                    if consumer is None:
                        continue
                    source, target = self.where(producer), self.where(consumer)
                    if source == target:
                        continue
                    link_id = next(self.ids)
                    bind_send = target is None  # a worker end binds; the consumer's if both are
                    cross.append({"id": link_id, "endpoint": None, "oport": oport, "iport": iport,
                                  "consumer": consumer, "sender_peer": target, "ends": [
                        {"id": link_id, "where": source, "role": "send", "bind": bind_send,
                         "port": _id(oport), "node": _id(producer)},
                        {"id": link_id, "where": target, "role": "recv", "bind": not bind_send,
                         "port": _id(iport), "node": _id(consumer), "timing": iport.get_timing()}]})
        return cross

    def _peer_keys(self) -> list[str]:
        """The public keys of this cluster's workers: the clients a worker's data sockets let in."""
        return sorted({w.server_key.decode() for w in self.workers.values() if w.server_key})

    def _attach_local(self, link: dict[str, Any], end: dict[str, Any]) -> None:
        zmq = self.zmq
        endpoint = link["endpoint"]
        if end["role"] == "send":
            sock = self._data_socket(zmq.PUSH, endpoint, link.get("server_key"))
            producer = _node_of_port(self.pipeline, link["oport"])
            sender = links.Sender(sock, link["oport"], lambda: producer_running(producer),
                                  lambda: links.steps_again(producer))
            links.replace_link(link["oport"], link["iport"], sender)
            self.restore.append((link["oport"], sender, link["iport"]))
            self.senders.append(sender)
            self.workers[link["sender_peer"]].senders.append(sender)
        else:
            sock = self._data_socket(zmq.PULL, endpoint, link.get("server_key"))
            self.receiver.add(sock, link["iport"], end["timing"], link["consumer"])

    def _data_socket(self, kind: int, endpoint: str, server_key: Optional[str]) -> Any:
        sock = self.context.socket(kind)
        sock.linger = 0
        sock.sndhwm = sock.rcvhwm = self.hwm
        sock.sndtimeo = links.POLL_MS
        if is_tcp(endpoint):
            assert self.keys is not None and server_key is not None  # spawn and add_worker made sure
            self.keys.as_client(sock, server_key.encode())
        sock.connect(endpoint)
        return sock

    def _make_standin(self, node: Any, worker: _WorkerHandle) -> None:
        """Forward the node's run control to its worker; answer queries from its status."""
        node_id = _id(node)

        def status(index: int, default: Any) -> Callable[[], Any]:
            return lambda: worker.status.get(node_id, (None,) * 6)[index] or default

        def last_exception() -> Optional[RemoteNodeError]:
            failure = worker.status.get(node_id, (None,) * 6)[5]
            if failure is None:
                return None
            known = worker.failures.get(node_id)
            if known is None or known[0] != failure:  # one object per failure, as a local node keeps it
                kind, message, text = failure
                known = (failure, RemoteNodeError(f"Worker {worker.name}: {message}", kind, text))
                worker.failures[node_id] = known
            return known[1]

        node.start = lambda: self._update(worker, self._call(worker, {"op": "start", "node": node_id}))
        node.cycle = lambda data=None: self._post(worker, {"op": "cycle", "node": node_id, "data": data})
        node.stop = lambda: self._stop_remote(worker, node)
        node.get_state = status(0, Constants.States.STOPPED)
        node.get_condition = status(1, Constants.Conditions.HEALTHY)
        node.get_load = status(2, 0.0)
        node.get_counter = status(3, 0)
        node.get_last_exception = last_exception
        if hasattr(node, "get_stats"):  # nodes that keep statistics report the worker's
            node.get_stats = status(4, None)
        self.standins.append(node)

    @staticmethod
    def _update(worker: _WorkerHandle, status: dict[str, tuple[Any, ...]]) -> None:
        """The status a start or stop answered with: queries see the change at once."""
        worker.status = status

    def _stop_remote(self, worker: _WorkerHandle, node: Any) -> None:
        if worker.dead is not None:
            return
        try:
            self._update(worker, self._call(worker, {"op": "stop", "node": _id(node)}, STOP_TIMEOUT))
        except ClusterError as error:  # stop() never waits longer than that
            self.pipeline.get_logger().write(LogType.WARNING, str(error))

    def _undeploy(self) -> None:
        for port, sender, original in self.restore:
            links.replace_link(port, sender, original)
        self.restore = []
        for sender in self.senders:
            sender.close()
        self.receiver.close()
        for node in self.standins:
            for name in ("start", "stop", "cycle", "get_state", "get_condition", "get_load", "get_counter",
                         "get_stats", "get_last_exception"):
                node.__dict__.pop(name, None)
        self.standins = []

    # Requests and the I/O thread ---------------------------------------------

    def _hello(self, worker: _WorkerHandle) -> None:
        try:
            hello = self._call(worker, {"op": "hello", "heartbeat_interval": self.heartbeat_interval,
                                        "heartbeat_timeout": self.heartbeat_timeout})
            worker.pid = hello["pid"]
        except ClusterError as error:
            hint = (" (does the worker hold DIR/workers/NAME and the controller DIR/controller of the same "
                    "`velarix keys` folder?)" if is_tcp(worker.endpoint) else "")
            raise ClusterError(f"{error}{hint}") from None
        if worker.server_key is None and hello.get("key"):  # over ipc://, whose folder is ours alone
            worker.server_key = hello["key"].encode()
        worker.ready = True
        worker.last_seen = time.monotonic()

    def _post(self, worker: _WorkerHandle, message: dict[str, Any]) -> None:
        """Send a request whose answer nobody waits for (in order with the others)."""
        if worker.dead is None:
            message["id"] = next(self.ids)
            self.requests.put((worker, message, None))
            with self.wake_lock:
                self.wake_send.send(b"")

    def _call(self, worker: _WorkerHandle, message: dict[str, Any], timeout: Optional[float] = None) -> Any:
        """Send a request through the I/O thread and wait for the answer."""
        timeout = CALL_TIMEOUT if timeout is None else timeout
        if worker.dead is not None:
            raise ClusterError(f"Worker {worker.name} is gone: {worker.dead}")
        reply = _Reply()
        message["id"] = next(self.ids)
        self.requests.put((worker, message, reply))
        with self.wake_lock:
            self.wake_send.send(b"")
        if not reply.event.wait(timeout):
            raise ClusterError(f"Worker {worker.name} did not answer {message['op']!r} at {worker.endpoint} within {timeout:g} s.")
        if not reply.ok:
            raise ClusterError(f"Worker {worker.name}: {reply.value}")
        return reply.value

    def _start_io(self) -> None:
        zmq = self.zmq
        for worker in self.workers.values():
            sock = self.context.socket(zmq.DEALER)
            sock.linger = 0
            sock.sndtimeo = 1000
            if is_tcp(worker.endpoint):
                assert self.keys is not None and worker.server_key is not None  # add_worker made sure
                self.keys.as_client(sock, worker.server_key)
            sock.connect(worker.endpoint)
            worker.socket = sock
        self.wake_recv = self.context.socket(zmq.PAIR)
        self.wake_recv.bind(f"inproc://wake-{id(self)}")
        self.wake_send = self.context.socket(zmq.PAIR)
        self.wake_send.connect(f"inproc://wake-{id(self)}")
        self.wake_lock = threading.Lock()
        self.io_thread = threading.Thread(target=self._io_loop, name="velarix-cluster", daemon=True)
        self.io_thread.start()

    def _io_loop(self) -> None:
        zmq = self.zmq
        poller = zmq.Poller()
        poller.register(self.wake_recv, zmq.POLLIN)
        by_socket: dict[Any, _WorkerHandle] = {}
        for worker in self.workers.values():
            poller.register(worker.socket, zmq.POLLIN)
            by_socket[worker.socket] = worker
        next_beat = 0.0
        try:
            while not self.closing:
                events = dict(poller.poll(links.POLL_MS))
                if events.pop(self.wake_recv, None):
                    while self.wake_recv.poll(0):
                        self.wake_recv.recv()
                self._send_requests()
                for sock in events:
                    self._read(by_socket[sock])
                for sender in self.senders:
                    sender.flush_stale()
                now = time.monotonic()
                if now >= next_beat:
                    next_beat = now + self.heartbeat_interval
                    self._beat_and_check(now)
        finally:
            self.wake_recv.close(linger=0)

    def _send_requests(self) -> None:
        while True:
            try:
                worker, message, reply = self.requests.get_nowait()
            except queue.Empty:
                return
            if worker.dead is not None:
                if reply is not None:
                    reply.resolve(False, f"gone: {worker.dead}")
                continue
            if reply is not None:
                worker.replies[message["id"]] = reply
            try:
                worker.socket.send(wire.encode(message))
            except self.zmq.Again:
                pass  # the request times out in _call

    def _read(self, worker: _WorkerHandle) -> None:
        zmq = self.zmq
        while True:
            try:
                frame = worker.socket.recv(zmq.NOBLOCK)
            except zmq.Again:
                return
            worker.last_seen = time.monotonic()
            try:
                message = wire.decode(frame)
            except Exception:  # not one of the worker's messages: nothing to act on
                continue
            op = message.get("op")
            if op == "reply":
                reply = worker.replies.pop(message["id"], None)
                if reply is not None:
                    reply.resolve(message["ok"], message.get("value") if message["ok"] else message.get("error"))
            elif op == "status":
                worker.status = message["nodes"]
            elif op == "log":
                logger = self.pipeline.get_logger()
                for record in message["entries"]:
                    inject(logger, worker.name, record)

    def _beat_and_check(self, now: float) -> None:
        for worker in self.workers.values():
            if worker.dead is not None:
                continue
            if worker.process is not None and worker.process.poll() is not None:
                self._lost(worker, f"its process ended ({_exit_text(worker.process.returncode)}).")
            elif worker.ready and now - worker.last_seen > self.heartbeat_timeout:
                self._lost(worker, f"silent for more than {self.heartbeat_timeout:g} s.")
            elif worker.ready:
                try:
                    worker.socket.send(wire.encode({"op": "heartbeat"}), self.zmq.NOBLOCK)
                except self.zmq.Again:
                    pass

    def _lost(self, worker: _WorkerHandle, why: str) -> None:
        """A worker died: free whatever waits on it and put an error in the log,
        which the pipeline's monitoring turns into a stop with condition ERROR."""
        worker.dead = why
        for sender in worker.senders:
            sender.closed = True
        for reply in worker.replies.values():
            reply.resolve(False, f"gone: {why}")
        worker.replies.clear()
        for node_id, status in worker.status.items():
            worker.status[node_id] = (Constants.States.STOPPED, Constants.Conditions.ERROR, *status[2:])
        if not self.ending:
            self.lost = True  # before the entry: a stop that ends now must see it
            self.pipeline.get_logger().write(LogType.ERROR, f"Worker {worker.name} stopped answering: {why}")
            self._mark_failed()  # a stopped pipeline has no monitoring left to do it


def _id(portable: Any) -> str:
    config = portable.config
    node_id: str = config[config.Keys.ID]
    return node_id


def _part(nodes: list[Any]) -> dict[str, Any]:
    """The pipeline's serialised form for the nodes of one worker and the links among them."""
    inside = {id(p) for n in nodes if isinstance(n, INode) for p in n._imp._input_ports.values()}
    connections = [(_id(oport), _id(iport))
                   for n in nodes if isinstance(n, ONode)
                   for oport in n._imp._output_ports.values()
                   for iport in oport._connected_ports if id(iport) in inside]
    return {"nodes": [n.serialize() for n in nodes], "connections": connections}


def _part_text(nodes: list[Any]) -> str:
    """The part as JSON, the form Pipeline.save() writes."""
    try:
        return json.dumps(_part(nodes))
    except (TypeError, ValueError) as error:
        names = ", ".join(n.get_name() for n in nodes)
        raise ClusterError(f"The configuration of a node placed on a worker ({names}) is not JSON data: {error}") from None


def _node_of_port(pipeline: Pipeline, oport: Any) -> Any:
    for node in pipeline.get_nodes():
        if isinstance(node, ONode) and any(p is oport for p in node._imp._output_ports.values()):
            return node
    raise ClusterError("An output port of a cross-process link belongs to no node of the pipeline.")


def _reachable(endpoint: str, control: str) -> str:
    """A worker's tcp://0.0.0.0:PORT as the address we reach its control socket at."""
    if endpoint.startswith("tcp://0.0.0.0:") or endpoint.startswith("tcp://[::]:"):
        host = control[len("tcp://"):].rsplit(":", 1)[0]
        return f"tcp://{host}:{endpoint.rsplit(':', 1)[1]}"
    return endpoint


def _worker_environment() -> dict[str, str]:
    """The worker imports this same velarix, also from a source tree."""
    env = dict(os.environ)
    package_root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (package_root, env.get("PYTHONPATH")) if p)
    return env


def _read_endpoint(process: subprocess.Popen[bytes], name: str) -> str:
    """The endpoint from the worker's first line, bounded by SPAWN_TIMEOUT."""
    prefix = f"velarix worker {name} listening on "
    deadline = time.monotonic() + SPAWN_TIMEOUT
    stdout = process.stdout
    assert stdout is not None  # spawn() pipes it
    with selectors.DefaultSelector() as selector:
        selector.register(stdout, selectors.EVENT_READ)
        while time.monotonic() < deadline:
            if selector.select(timeout=0.1):
                line = stdout.readline().decode()
                if line.startswith(prefix):
                    return line[len(prefix):].strip()
                if not line:
                    break
    code = process.poll()
    raise ClusterError(f"Worker {name} did not start ({'still running' if code is None else _exit_text(code)}).")


def _exit_text(code: int) -> str:
    """How a process ended: "exit code 1", "killed by signal 9"."""
    return f"killed by signal {-code}" if code < 0 else f"exit code {code}"


def _check_portable(nodes: list[Any]) -> None:
    """The check save() makes, for classes a worker re-creates from their source:
    a class using a global of its module fails here rather than on the worker."""
    check_loadable({"nodes": [n.serialize() for n in nodes]})


def _end_process(process: subprocess.Popen[bytes], polite: bool = False, hung: bool = False) -> None:
    """Wait for a worker to exit (when it was told to); terminate, then kill.
    One that stopped answering is killed at once: it may not be able to exit."""
    steps = (process.kill,) if hung else ((None,) if polite else ()) + (process.terminate, process.kill)
    for signal_it in steps:
        if signal_it is not None:
            signal_it()
        try:
            process.wait(timeout=3)
            break
        except subprocess.TimeoutExpired:
            continue
    if process.stdout is not None:
        process.stdout.close()


@atexit.register
def _close_all() -> None:
    for cluster in list(_open_clusters):
        try:
            cluster.close()
        except Exception:
            pass
