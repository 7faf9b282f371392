"""The control channel to each worker: one I/O thread, requests and answers, heartbeats.

One thread ("velarix-cluster") owns every control socket: it sends the requests
other threads queue (in order), resolves their answers, takes each worker's
status (its heartbeat) and log entries, sends ours, and declares a worker lost
once its process ended or it was silent for the heartbeat timeout. Each heartbeat
of ours is also a clock probe (clock.py), which the worker answers at once.
"""

from __future__ import annotations

import itertools
import queue
import socket
import subprocess
import threading
import time
from typing import Any, Callable, Optional
from urllib.parse import urlsplit

from ..constants import Constants
from . import clock, links, wire
from .errors import ClusterError
from .processes import exit_text
from .security import ControllerKeys, is_tcp
from .wire import NodeStatus

CALL_TIMEOUT = 10.0  # seconds a worker gets to answer a request
FIRST_PROBES = 4  # clock probes sent at hello, so the log of deployment is mapped already
FIRST_PROBES_TIMEOUT = 1.0  # seconds hello waits for their answers (a worker of an older build sends none)


class Reply:
    """The answer to one request, once it came."""

    def __init__(self) -> None:
        self.event = threading.Event()
        self.ok = False
        self.value: Any = None

    def resolve(self, ok: bool, value: Any) -> None:
        self.ok, self.value = ok, value
        self.event.set()


def accepts_connections(endpoint: str) -> bool:
    """Whether anything takes a connection at a tcp:// or ipc:// `endpoint` (True for
    other transports, which cannot be asked)."""
    try:
        if is_tcp(endpoint):
            where = urlsplit(endpoint)
            with socket.create_connection((where.hostname or "", where.port or 0), timeout=1.0):
                return True
        if endpoint.startswith("ipc://"):
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
                probe.settimeout(1.0)
                probe.connect(endpoint[len("ipc://"):])
                return True
    except (OSError, ValueError):
        return False
    return True


class WorkerChannel:
    """One worker as the controller knows it: where it listens, its process (when
    spawned here), its control socket and the status it last reported."""

    def __init__(self, name: str, endpoint: str, process: Optional[subprocess.Popen[bytes]] = None,
                 server_key: Optional[bytes] = None) -> None:
        self.name = name
        self.endpoint = endpoint
        self.process = process
        self.socket: Any = None
        self.pid: Optional[int] = process.pid if process is not None else None
        self.ready = False
        self.dead: Optional[str] = None  # why it is gone, once it is
        self.last_seen = time.monotonic()
        self.status: dict[str, NodeStatus] = {}  # node id -> its last reported status
        self.replies: dict[int, Reply] = {}
        self.senders: list[links.Sender] = []  # this process's senders whose receiver is on that worker
        self.server_key = server_key  # its public key, for CURVE over TCP
        self.clock = clock.Estimate()  # its clock offset, from the heartbeats' probes
        self.actor: Any = None  # its Ray actor (on_ray.RayWorker), for a worker on Ray
        self.ray_node: Optional[str] = None  # the address of the Ray node it runs on


class Channels:
    """The control channels of one controller. `on_log(worker, records)` and
    `on_lost(worker, why)` run on the I/O thread."""

    def __init__(self, zmq: Any, context: Any, keys: Optional[ControllerKeys], heartbeat_interval: float,
                 heartbeat_timeout: float, on_log: Callable[[WorkerChannel, list[Any]], None],
                 on_lost: Callable[[WorkerChannel, str], None]) -> None:
        self.zmq = zmq
        self.context = context
        self.keys = keys
        self.heartbeat_interval = heartbeat_interval
        self.heartbeat_timeout = heartbeat_timeout
        self.on_log = on_log
        self.on_lost = on_lost
        self.workers: list[WorkerChannel] = []
        self.senders: list[links.Sender] = []  # flushed by the I/O thread when their values wait too long
        self.requests: queue.Queue[tuple[WorkerChannel, dict[str, Any], Optional[Reply]]] = queue.Queue()
        self.ids = itertools.count(1)
        self.closing = False
        self.thread: Optional[threading.Thread] = None

    def start(self, workers: list[WorkerChannel]) -> None:
        """Connect to every worker and start the I/O thread."""
        zmq = self.zmq
        self.workers = workers
        for worker in workers:
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
        self.thread = threading.Thread(target=self._loop, name="velarix-cluster", daemon=True)
        self.thread.start()

    def close(self) -> None:
        """End the I/O thread and close the control sockets."""
        self.closing = True
        if self.thread is not None:
            self.thread.join(timeout=5)
            self.wake_send.close(linger=0)
        for worker in self.workers:
            if worker.socket is not None:
                worker.socket.close(linger=0)

    def hello(self, worker: WorkerChannel) -> None:
        """Say hello: the worker is ours from here on and takes our heartbeat settings."""
        try:
            hello = self.call(worker, {"op": "hello", "heartbeat_interval": self.heartbeat_interval,
                                       "heartbeat_timeout": self.heartbeat_timeout})
            worker.pid = hello["pid"]
        except ClusterError as error:
            if not accepts_connections(worker.endpoint):
                hint = (": nothing answered there, no worker listens at that address (start one with "
                        f"`velarix worker --bind {worker.endpoint}`, or check the address)")
            elif is_tcp(worker.endpoint):
                hint = (" (something listens there: does the worker hold DIR/workers/NAME and the controller "
                        "DIR/controller of the same `velarix keys` folder?)")
            else:
                hint = ""
            raise ClusterError(f"{str(error).rstrip('.')}{hint}.") from None
        if worker.server_key is None and hello.get("key"):  # over ipc://, whose folder is ours alone
            worker.server_key = hello["key"].encode()
        worker.ready = True
        worker.last_seen = time.monotonic()
        for _ in range(FIRST_PROBES):
            self.requests.put((worker, {"op": "heartbeat"}, None))  # stamped as it leaves (_send_requests)
        self._wake()
        if worker.clock.wait(FIRST_PROBES, FIRST_PROBES_TIMEOUT):
            self.requests.put((worker, {"op": "heartbeat"}, None))  # tells the worker its offset
            self._wake()

    def post(self, worker: WorkerChannel, message: dict[str, Any]) -> None:
        """Send a request whose answer nobody waits for (in order with the others)."""
        if worker.dead is None:
            message["id"] = next(self.ids)
            self.requests.put((worker, message, None))
            self._wake()

    def call(self, worker: WorkerChannel, message: dict[str, Any], timeout: Optional[float] = None) -> Any:
        """Send a request through the I/O thread and wait for the answer."""
        timeout = CALL_TIMEOUT if timeout is None else timeout
        if worker.dead is not None:
            raise ClusterError(f"Worker {worker.name} is gone: {worker.dead}")
        reply = Reply()
        message["id"] = next(self.ids)
        self.requests.put((worker, message, reply))
        self._wake()
        if not reply.event.wait(timeout):
            raise ClusterError(f"Worker {worker.name} did not answer {message['op']!r} at {worker.endpoint} "
                               f"within {timeout:g} s.")
        if not reply.ok:
            raise ClusterError(f"Worker {worker.name}: {reply.value}")
        return reply.value

    def _wake(self) -> None:
        with self.wake_lock:
            self.wake_send.send(b"")

    def _loop(self) -> None:
        zmq = self.zmq
        poller = zmq.Poller()
        poller.register(self.wake_recv, zmq.POLLIN)
        by_socket: dict[Any, WorkerChannel] = {}
        for worker in self.workers:
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
                if message.get("op") == "heartbeat":
                    worker.socket.send(wire.heartbeat(clock.now(), worker.clock.offset))
                else:
                    worker.socket.send(wire.encode(message))
            except self.zmq.Again:
                pass  # the request times out in call()

    def _read(self, worker: WorkerChannel) -> None:
        zmq = self.zmq
        while True:
            try:
                frame = worker.socket.recv(zmq.NOBLOCK)
            except zmq.Again:
                return
            worker.last_seen = time.monotonic()
            arrived = clock.now()
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
                self.on_log(worker, message["entries"])
            elif op == "clock":
                worker.clock.add(message.get("t0"), message.get("t1"), message.get("t2"), arrived)

    def _beat_and_check(self, now: float) -> None:
        for worker in self.workers:
            if worker.dead is not None:
                continue
            ended = worker.actor.ended() if worker.actor is not None else None
            if worker.process is not None and worker.process.poll() is not None:
                self.lose(worker, f"its process ended ({exit_text(worker.process.returncode)}).")
            elif ended is not None:
                self.lose(worker, f"{ended}.")
            elif worker.ready and now - worker.last_seen > self.heartbeat_timeout:
                self.lose(worker, f"silent for more than {self.heartbeat_timeout:g} s.")
            elif worker.ready:
                try:
                    worker.socket.send(wire.heartbeat(clock.now(), worker.clock.offset), self.zmq.NOBLOCK)
                except self.zmq.Again:
                    pass

    def lose(self, worker: WorkerChannel, why: str) -> None:
        """A worker died: free whatever waits on it, show its nodes stopped in
        ERROR, then tell the controller (on_lost)."""
        worker.dead = why
        for sender in worker.senders:
            sender.closed = True
        for reply in worker.replies.values():
            reply.resolve(False, f"gone: {why}")
        worker.replies.clear()
        for node_id, status in worker.status.items():
            worker.status[node_id] = status._replace(state=Constants.States.STOPPED,
                                                     condition=Constants.Conditions.ERROR)
        self.on_lost(worker, why)
