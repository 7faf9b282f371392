"""A worker: runs the part of a pipeline that its controller sends it.

The worker listens on one control socket. The first controller that says hello
owns it; it builds the nodes from the pipeline's serialised form, links them,
starts and stops them on request, and sends their status (the heartbeat) and
every log entry back. When its controller is silent for HEARTBEAT_TIMEOUT
seconds, or says goodbye, the worker stops its nodes and exits.
"""

from __future__ import annotations

import json
import os
import queue
import sys
import threading
import time
from typing import Any, Optional, TextIO

from ..constants import Constants
from ..logger import LogType
from ..portable import Portable
from . import links, wire
from ._zmq import require_zmq
from .logs import entry_record, forwarding_logger
from .security import CONTROL_DOMAIN, DATA_DOMAIN, WorkerKeys, check_bind, is_tcp, private_folder

HEARTBEAT_INTERVAL = 0.25  # seconds between status messages (each one is a heartbeat)
HEARTBEAT_TIMEOUT = 3.0  # seconds of silence after which the other side is gone
STOP_TIMEOUT = 3.0  # seconds the nodes get to stop when the worker exits
POLL_MS = 50


def producer_running(node: Any) -> bool:
    """False once a producing node is stopping: its blocked sends then give up."""
    return (node.get_state() == Constants.States.RUNNING
            and getattr(node._imp, "_is_thread_running", True))


def rebuild(part: dict[str, Any], logger: Any) -> dict[str, Any]:
    """The nodes of a serialised pipeline part, linked as the part says; the
    re-creation Pipeline.deserialize does, with this worker's logger."""
    nodes: dict[str, Any] = {}
    for data in part["nodes"]:
        try:
            node = Portable.deserialize(data)
        except Exception as error:
            raise RuntimeError(f"cannot re-create node {data['config'].get('name')!r} of class "
                               f"{data['class']}: {type(error).__name__}: {error}") from error
        node.set_logger(logger)
        nodes[node.config[node.Configuration.Keys.ID]] = node
    for output_id, input_id in part["connections"]:
        output_port, input_port = Portable.get_by_id(output_id), Portable.get_by_id(input_id)
        output_port.connect(input_port)
        input_port.connect(output_port)
    return nodes


class Worker:
    """One worker process: `bind` is its control endpoint (ipc://PATH in a private
    folder, or tcp://HOST:PORT with `keys`, this worker's folder DIR/workers/NAME
    made by `velarix keys DIR --worker NAME`)."""

    def __init__(self, name: str, bind: str, keys: Optional[str] = None, idle_timeout: Optional[float] = None,
                 parent: Optional[int] = None, hwm: int = 1000, out: Optional[TextIO] = None) -> None:
        self.zmq = require_zmq()
        check_bind(bind, keys)
        if bind.startswith("ipc://"):
            private_folder(os.path.dirname(os.path.abspath(bind[len("ipc://"):])))
        self.name = name
        self.bind = bind
        self.keys = WorkerKeys(keys) if keys else None
        self.idle_timeout = idle_timeout
        self.parent = parent
        self.hwm = hwm
        self.out: Any = out or sys.stdout
        self.outbox: queue.Queue[Any] = queue.Queue()
        self.logger = forwarding_logger(self.outbox)
        self.nodes: dict[str, Any] = {}
        self.senders: list[links.Sender] = []
        self.receiver = links.Receiver(hwm)
        self.pending: dict[int, Any] = {}  # link id -> socket bound by build, connected by nobody yet
        self.owner: Optional[bytes] = None
        self.last_heard = time.monotonic()
        self.running = True
        self.orphaned = False  # our controller died: nobody else removes its folder
        self.link_count = 0

    # Sockets -----------------------------------------------------------------

    def _socket(self, kind: int) -> Any:
        sock = self.context.socket(kind)
        sock.linger = 0
        sock.sndhwm = sock.rcvhwm = self.hwm
        sock.sndtimeo = links.POLL_MS
        return sock

    def _data_endpoint(self) -> str:
        self.link_count += 1
        if is_tcp(self.bind):
            host = self.bind[len("tcp://"):].rsplit(":", 1)[0]
            return f"tcp://{host}:*"
        folder = os.path.dirname(self.bind[len("ipc://"):])
        return f"ipc://{os.path.join(folder, f'{self.name}-{os.getpid()}-{self.link_count}.sock')}"

    def _bind_data(self, sock: Any) -> str:
        if self.keys is not None and is_tcp(self.bind):
            self.keys.as_server(sock, DATA_DOMAIN)
        sock.bind(self._data_endpoint())
        endpoint: str = sock.last_endpoint.decode()
        return endpoint

    def _connect_data(self, sock: Any, endpoint: str, server_key: Optional[str]) -> None:
        if is_tcp(endpoint):
            if self.keys is None or server_key is None:
                raise RuntimeError(f"Worker {self.name} has no keys to reach {endpoint}.")
            self.keys.as_client(sock, server_key.encode())
        sock.connect(endpoint)

    # Requests ----------------------------------------------------------------

    def op_hello(self, message: dict[str, Any]) -> dict[str, Any]:
        # Our public key: a controller that reached us over ipc:// may not know it yet.
        return {"name": self.name, "pid": os.getpid(), "key": self.keys.public.decode() if self.keys else None}

    def op_build(self, message: dict[str, Any]) -> dict[int, str]:
        """Re-create the nodes; bind the link ends this worker serves."""
        if self.keys is not None:  # who may use our data sockets: the workers our controller names
            self.keys.peers = frozenset(key.encode() for key in message.get("peers", ()))
        self.nodes = rebuild(json.loads(message["part"]), self.logger)
        endpoints: dict[int, str] = {}
        for link in message["links"]:
            if link["bind"]:
                sock = self._link_socket(link)
                endpoints[link["id"]] = self._bind_data(sock)
                self.pending[link["id"]] = sock
        return endpoints

    def op_connect(self, message: dict[str, Any]) -> None:
        """Connect the other link ends, then start taking values."""
        for link in message["links"]:
            sock = self.pending.pop(link["id"], None)
            if sock is None:
                sock = self._link_socket(link)
                self._connect_data(sock, link["endpoint"], link.get("server_key"))
            self._attach(link, sock)
        self.receiver.start()

    def _link_socket(self, link: dict[str, Any]) -> Any:
        return self._socket(self.zmq.PUSH if link["role"] == "send" else self.zmq.PULL)

    def _attach(self, link: dict[str, Any], sock: Any) -> None:
        port = Portable.get_by_id(link["port"])  # the port's implementation
        if link["role"] == "send":
            node = self.nodes[link["node"]]
            sender = links.Sender(sock, port, lambda: producer_running(node), lambda: links.steps_again(node))
            links.add_link(port, sender)
            self.senders.append(sender)
        else:
            self.receiver.add(sock, port, link["timing"])

    def op_start(self, message: dict[str, Any]) -> dict[str, tuple[Any, ...]]:
        self.nodes[message["node"]].start()
        return self._status()

    def op_stop(self, message: dict[str, Any]) -> dict[str, tuple[Any, ...]]:
        self.nodes[message["node"]].stop()
        return self._status()

    def op_cycle(self, message: dict[str, Any]) -> None:
        """A placed source driven from the controller: cycle() runs here."""
        self.nodes[message["node"]].cycle(message["data"])

    def op_status(self, message: dict[str, Any]) -> dict[str, tuple[Any, ...]]:
        return self._status()

    def op_shutdown(self, message: dict[str, Any]) -> None:
        self.running = False

    # Main loop ---------------------------------------------------------------

    def run(self) -> int:
        """Serve until the controller goes away or says goodbye; the exit code."""
        zmq = self.zmq
        self.context: Any = zmq.Context()
        self.zap: Any = None
        self.control: Any = None
        try:
            if self.keys is not None:
                from .security import ZapHandler

                self.zap = ZapHandler(self.context, self.keys, self.report)
            self.control = self._socket(zmq.ROUTER)
            self.control.sndtimeo = 1000
            if self.keys is not None and is_tcp(self.bind):
                self.keys.as_server(self.control, CONTROL_DOMAIN)
            self.control.bind(self.bind)
            print(f"velarix worker {self.name} listening on {self.control.last_endpoint.decode()}",
                  file=self.out, flush=True)
            return self._loop()
        finally:
            self._close()

    def _loop(self) -> int:
        zmq = self.zmq
        poller = zmq.Poller()
        poller.register(self.control, zmq.POLLIN)
        if self.zap is not None:
            poller.register(self.zap.socket, zmq.POLLIN)
        started = next_status = time.monotonic()
        while self.running:
            events = dict(poller.poll(POLL_MS))
            if self.zap is not None:
                if events.get(self.zap.socket):
                    self.zap.handle()
                self.zap.flush()
            if events.get(self.control):
                self._receive()
            now = time.monotonic()
            for sender in self.senders:
                sender.flush_stale()
            if self.owner is not None:
                self._send_logs()
                if now >= next_status:
                    next_status = now + HEARTBEAT_INTERVAL
                    self._send({"op": "status", "nodes": self._status()})
                if now - self.last_heard > HEARTBEAT_TIMEOUT:
                    self.report(f"Controller went away (silent for {HEARTBEAT_TIMEOUT:g} s); exiting.")
                    return 1
            elif self.idle_timeout is not None and now - started > self.idle_timeout:
                self.report(f"No controller within {self.idle_timeout:g} s; exiting.")
                return 1
            if self.parent is not None and os.getppid() != self.parent:
                self.report("Controller process ended; exiting.")
                self.orphaned = True
                return 1
        self._send_logs()
        return 0

    def _receive(self) -> None:
        frames = self.control.recv_multipart()
        try:
            identity, frame = frames
            message = wire.decode(frame)
        except Exception:  # not one of our requests: nothing to answer
            return
        if self.owner is None and message.get("op") == "hello":
            self.owner = identity
        if identity != self.owner:
            self.control.send_multipart([identity, wire.encode(
                {"op": "reply", "id": message.get("id"), "ok": False, "error": f"Worker {self.name} is busy."})])
            return
        self.last_heard = time.monotonic()
        op = message.get("op")
        if op == "heartbeat":
            return
        reply = {"op": "reply", "id": message.get("id"), "ok": True}
        try:
            handler = getattr(self, f"op_{op}", None)
            if handler is None:
                raise ValueError(f"unknown request {op!r}")
            reply["value"] = handler(message)
        except Exception as error:  # reported to the controller, which raises it there
            reply.update(ok=False, error=f"{type(error).__name__}: {error}")
        self._send_logs()  # what the request logged is in the controller's log before its answer
        self._send(reply)

    def _send(self, message: dict[str, Any]) -> None:
        try:
            self.control.send_multipart([self.owner, wire.encode(message)])
        except self.zmq.Again:
            pass  # the controller is not reading; the heartbeat check decides

    def _send_logs(self) -> None:
        records = []
        while True:
            try:
                records.append(entry_record(self.outbox.get_nowait()))
            except queue.Empty:
                break
        if records:
            self._send({"op": "log", "entries": records})

    def _status(self) -> dict[str, tuple[Any, ...]]:
        """Per node: state, condition, load, counter, and statistics where nodes have them."""
        return {node_id: (node.get_state(), node.get_condition(), node.get_load(), node.get_counter(),
                          node.get_stats() if hasattr(node, "get_stats") else None)
                for node_id, node in self.nodes.items()}

    def report(self, text: str) -> None:
        """A worker-level line: to the controller's log when there is one, and stderr."""
        self.logger.write(LogType.WARNING, text)
        print(f"velarix worker {self.name}: {text}", file=sys.stderr, flush=True)

    def _close(self) -> None:
        self._stop_nodes()
        for sender in self.senders:
            sender.close()
        self.receiver.close()
        for sock in self.pending.values():
            sock.close(linger=0)
        if self.zap is not None:
            self.zap.close()
        if self.control is not None:
            self.control.close(linger=0)
        self.context.destroy(linger=0)
        if self.orphaned and not is_tcp(self.bind):
            import shutil

            shutil.rmtree(os.path.dirname(self.bind[len("ipc://"):]), ignore_errors=True)

    def _stop_nodes(self) -> None:
        """Stop every node, bounded: a step that never returns must not keep us alive."""
        running = [n for n in self.nodes.values() if n.get_state() == Constants.States.RUNNING]
        if not running:
            return
        stopper = threading.Thread(target=lambda: [n.stop() for n in running], daemon=True)
        stopper.start()
        stopper.join(STOP_TIMEOUT)
