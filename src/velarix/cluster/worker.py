"""A worker: runs the part of a pipeline that its controller sends it.

The worker listens on one control socket. The first controller that says hello
owns it; it builds the nodes from the pipeline's serialised form, links them,
starts and stops them on request, and sends their status (the heartbeat) and
every log entry back. When its controller is silent for the heartbeat timeout
(HEARTBEAT_TIMEOUT unless its hello says otherwise), or says goodbye, the worker
stops its nodes and exits, or, when it serves `sessions` (a worker started by
hand), lets go of them and waits for the next controller on the same socket.

Requests run one after another on their own thread ("velarix-worker-requests"):
they run user code (constructors, start and stop), and the main thread, which
alone uses the control socket, must go on sending heartbeats meanwhile.
"""

from __future__ import annotations

import json
import os
import queue
import shutil
import sys
import threading
import time
import traceback
from typing import Any, Optional, TextIO

from ..constants import Constants
from ..i_node import INode
from ..imp.portan import Scheduler
from ..logger import LogType
from ..portable import Portable
from . import clock, links, wire
from .links import producer_running
from ._zmq import require_zmq
from .logs import entry_record, forwarding_logger
from .security import CONTROL_DOMAIN, DATA_DOMAIN, WorkerKeys, check_bind, is_tcp, private_folder
from .wire import HEARTBEAT_INTERVAL, HEARTBEAT_TIMEOUT, NodeStatus

STOP_TIMEOUT = 3.0  # seconds the nodes get to stop when the worker exits
POLL_MS = 50
# "0" in this environment variable: every input node of a worker keeps a thread of its own.
CARRY = os.environ.get("VELARIX_CARRY", "1").strip() not in ("0", "no", "off", "false")


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

    def __init__(self, name: str, bind: str, keys: Optional[str | WorkerKeys] = None,
                 idle_timeout: Optional[float] = None, parent: Optional[int] = None, hwm: int = 1000,
                 out: Optional[TextIO] = None, parent_folder: Optional[str] = None,
                 ipc_folder: Optional[str] = None, sessions: bool = False) -> None:
        self.zmq = require_zmq()
        check_bind(bind, keys)
        clock.use_test_shift()
        if bind.startswith("ipc://"):
            ipc_folder = os.path.dirname(os.path.abspath(bind[len("ipc://"):]))
        if ipc_folder is not None:
            private_folder(ipc_folder)
        self.name = name
        self.bind = bind
        # Where our ipc:// link ends and rings go: beside the control socket, or (a
        # worker on TCP, such as one on Ray) a private folder for links to peers on this host.
        self.ipc_folder = ipc_folder
        self.keys = keys if isinstance(keys, WorkerKeys) else WorkerKeys(keys) if keys else None
        self.bound: dict[int, str] = {}  # link id -> the endpoint build bound for it
        self.idle_timeout = idle_timeout
        self.parent = parent
        self.hwm = hwm
        self.out: Any = out or sys.stdout
        self.outbox: queue.Queue[Any] = queue.Queue()
        self.logger = forwarding_logger(self.outbox)
        self.nodes: dict[str, Any] = {}
        # With the controller's pipeline on shared scheduler threads, this worker's
        # input nodes run on threads of the same kind (as many), made at build.
        self.scheduler: Optional[Scheduler] = None
        self.senders: list[links.Sender] = []
        self.receiver = links.Receiver(hwm)
        self.pending: dict[int, Any] = {}  # link id -> socket bound by build, connected by nobody yet
        self.offers: dict[int, Any] = {}  # link id -> the shared-memory ring build offered for it
        self.owner: Optional[bytes] = None
        self.last_heard = time.monotonic()
        self.running = True
        self.orphaned = False  # our controller died: nobody else removes its folder
        self.parent_folder = parent_folder  # the folder of the controller that spawned us
        self.sessions = sessions and parent is None  # one controller after another
        self.terminated = False  # a signal: the worker ends, whatever `sessions` says
        self.link_count = 0
        self.session_links = 0  # link_count when the current controller said hello
        self.heartbeat_interval = HEARTBEAT_INTERVAL
        self.heartbeat_timeout = HEARTBEAT_TIMEOUT
        self.inbox: queue.Queue[Optional[dict[str, Any]]] = queue.Queue()  # for the request thread
        self.replies: queue.Queue[dict[str, Any]] = queue.Queue()  # from it, for the main thread
        self.request_thread: Optional[threading.Thread] = None
        self.failures: dict[str, tuple[Any, wire.Failure]] = {}  # node id -> (exception, its text)

    # Sockets -----------------------------------------------------------------

    def _socket(self, kind: int) -> Any:
        sock = self.context.socket(kind)
        sock.linger = 0
        sock.sndhwm = sock.rcvhwm = self.hwm
        sock.sndtimeo = links.POLL_MS
        return sock

    def _data_endpoint(self, near: bool) -> str:
        """Where a link end we bind listens: ipc:// in our folder when the peer is on
        this host (`near`) or we listen on ipc:// anyway, else TCP on our address."""
        self.link_count += 1
        if is_tcp(self.bind) and not (near and self.ipc_folder is not None):
            host = self.bind[len("tcp://"):].rsplit(":", 1)[0]
            return f"tcp://{host}:*"
        return f"ipc://{self._link_file(self.link_count)}"

    def _link_file(self, number: int, suffix: str = ".sock") -> str:
        """The socket file of our `number`th ipc link end, in our ipc folder
        (".shm": the one its ring is offered on)."""
        assert self.ipc_folder is not None  # only an ipc:// end has files
        return os.path.join(self.ipc_folder, f"{self.name}-{os.getpid()}-{number}{suffix}")

    def _bind_data(self, sock: Any, near: bool = False) -> str:
        endpoint = self._data_endpoint(near)
        if self.keys is not None and is_tcp(endpoint):
            self.keys.as_server(sock, DATA_DOMAIN)
        sock.bind(endpoint)
        bound: str = sock.last_endpoint.decode()
        return bound

    def _connect_data(self, sock: Any, endpoint: str, server_key: Optional[str]) -> None:
        if is_tcp(endpoint):
            if self.keys is None or server_key is None:
                raise RuntimeError(f"Worker {self.name} has no keys to reach {endpoint}.")
            self.keys.as_client(sock, server_key.encode())
        sock.connect(endpoint)

    # Requests ----------------------------------------------------------------

    def op_hello(self, message: dict[str, Any]) -> dict[str, Any]:
        """The controller's heartbeat interval and timeout hold from here on."""
        for key in ("heartbeat_interval", "heartbeat_timeout"):
            value = message.get(key)
            if isinstance(value, (int, float)) and not isinstance(value, bool) and value > 0:
                setattr(self, key, float(value))
        # Our public key: a controller that reached us over ipc:// may not know it yet.
        return {"name": self.name, "pid": os.getpid(), "key": self.keys.public.decode() if self.keys else None}

    def op_build(self, message: dict[str, Any]) -> dict[int, dict[str, Optional[str]]]:
        """Re-create the nodes; bind the link ends this worker serves (with a ring
        offered beside each one over ipc://); their endpoints and ring paths."""
        if self.keys is not None:  # who may use our data sockets: the workers our controller names
            self.keys.peers = frozenset(key.encode() for key in message.get("peers", ()))
        self.nodes = rebuild(json.loads(message["part"]), self.logger)
        self._share_threads(message.get("threads"))
        endpoints: dict[int, dict[str, Optional[str]]] = {}
        for link in message["links"]:
            if link["bind"]:
                sock = self._link_socket(link)
                endpoint = self._bind_data(sock, bool(link.get("near")))
                self.pending[link["id"]] = sock
                self.bound[link["id"]] = endpoint
                path = None
                if not is_tcp(endpoint):
                    path = self._link_file(self.link_count, ".shm")
                    offer = links.offer_ring(link, path, self.logger)
                    if offer is None:
                        path = None
                    else:
                        self.offers[link["id"]] = offer
                endpoints[link["id"]] = {"endpoint": endpoint, "shm": path}
        return endpoints

    def _share_threads(self, threads: Any) -> None:
        """Puts the input nodes (but those with a thread of their own) on `threads`
        shared scheduler threads; None (or anything but a count) keeps a thread each."""
        if type(threads) is not int or not 1 <= threads <= 1024:
            return
        self.scheduler = Scheduler(threads)
        self.scheduler.start()
        for node in self.nodes.values():
            if isinstance(node, INode) and not node.has_own_thread():
                node._place_on(self.scheduler)

    def op_connect(self, message: dict[str, Any]) -> dict[int, str]:
        """Connect the other link ends, then start taking values; the transport of
        each link end that connected."""
        transports: dict[int, str] = {}
        for link in message["links"]:
            sock = self.pending.pop(link["id"], None)
            ring = None
            if sock is None:
                sock = self._link_socket(link)
                self._connect_data(sock, link["endpoint"], link.get("server_key"))
                ring = links.take_ring(link, self.logger)
                transports[link["id"]] = "shm" if ring is not None else "tcp" if is_tcp(link["endpoint"]) else "ipc"
            self._attach(link, sock, ring, self.offers.pop(link["id"], None))
        self._carry_remote_inputs()
        self.receiver.start()
        return transports

    def _carry_remote_inputs(self) -> None:
        """Without shared threads, an input node fed by other processes alone (SYNC
        links) steps on the thread that receives its values: a thread of its own
        would cost a second wake-up per value, the larger part of a hop. It goes on
        a carrying scheduler with a thread per such node, which runs it when a
        receiving thread hands it over, so no node waits on another's step."""
        if self.scheduler is not None or not CARRY:
            return
        # One that feeds an ASYNC port keeps its thread: its pushes would come in
        # bursts, one per batch of values, and the newest seen downstream with them.
        nodes = [node for node in self.receiver.fed_alone()
                 if isinstance(node, INode) and not node.has_own_thread() and links.feeds_sync_only(node)]
        if not nodes:
            return
        self.scheduler = Scheduler(min(len(nodes), 1024))
        self.scheduler.start()
        for node in nodes:
            node._place_on(self.scheduler)
        self.receiver.carry(nodes)

    def _link_socket(self, link: dict[str, Any]) -> Any:
        return self._socket(self.zmq.PUSH if link["role"] == "send" else self.zmq.PULL)

    def _attach(self, link: dict[str, Any], sock: Any, ring: Any, offer: Any) -> None:
        port = Portable.get_by_id(link["port"])  # the port's implementation
        node = self.nodes[link["node"]]
        if link["role"] == "send":
            sender = links.Sender(sock, port, lambda: producer_running(node), lambda: links.steps_again(node),
                                  ring=ring, offer=offer, node=node)
            sender.timing = link.get("timing")
            links.add_link(port, sender)
            self.senders.append(sender)
        else:
            endpoint = self.bound.get(link["id"]) or link.get("endpoint") or self.bind
            transport = "shm" if ring is not None else "tcp" if is_tcp(endpoint) else "ipc"
            self.receiver.add(sock, port, link["timing"], node, transport, ring, offer)

    def op_start(self, message: dict[str, Any]) -> dict[str, NodeStatus]:
        self.nodes[message["node"]].start()
        return self._status()

    def op_stop(self, message: dict[str, Any]) -> dict[str, NodeStatus]:
        self.nodes[message["node"]].stop()
        return self._status()

    def op_cycle(self, message: dict[str, Any]) -> None:
        """A placed source driven from the controller: cycle() runs here."""
        self.nodes[message["node"]].cycle(message["data"])

    def op_status(self, message: dict[str, Any]) -> dict[str, NodeStatus]:
        return self._status()

    def op_shutdown(self, message: dict[str, Any]) -> None:
        """The request thread ends the loop once this answer is queued."""

    def terminate(self) -> None:
        """End the main loop from a signal handler: the worker exits as on a goodbye."""
        self.terminated = True
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
            # A pipe, not a socket, wakes us for an answer: the request thread may still
            # be in user code when the context goes, and a socket must not outlive it.
            self.wake_recv, self.wake_send = os.pipe()
            os.set_blocking(self.wake_recv, False)
            os.set_blocking(self.wake_send, False)
            self.request_thread = threading.Thread(target=self._serve_requests, name="velarix-worker-requests",
                                                   daemon=True)
            self.request_thread.start()
            print(f"velarix worker {self.name} listening on {self.control.last_endpoint.decode()}",
                  file=self.out, flush=True)
            while True:
                code = self._loop()
                if not self.sessions or self.terminated or self.owner is None:
                    return code
                self._end_session()
        finally:
            self._close()

    def _loop(self) -> int:
        zmq = self.zmq
        poller = zmq.Poller()
        poller.register(self.control, zmq.POLLIN)
        poller.register(self.wake_recv, zmq.POLLIN)
        if self.zap is not None:
            poller.register(self.zap.socket, zmq.POLLIN)
        started = next_status = time.monotonic()
        while self.running:
            events = dict(poller.poll(POLL_MS))
            if self.zap is not None:
                if events.get(self.zap.socket):
                    self.zap.handle()
                self.zap.flush()
            if events.get(self.wake_recv):
                try:
                    os.read(self.wake_recv, 4096)
                except BlockingIOError:
                    pass
            if events.get(self.control):
                self._receive()
            self._send_replies()
            now = time.monotonic()
            for sender in self.senders:
                sender.flush_stale()
            if self.owner is not None:
                self._send_logs()
                if now >= next_status:
                    next_status = now + self.heartbeat_interval
                    self._send(wire.status_message(self._status()))
                if now - self.last_heard > self.heartbeat_timeout:
                    then = "waiting for the next controller" if self.sessions else "exiting"
                    self.report(f"Controller went away (silent for {self.heartbeat_timeout:g} s); {then}.")
                    return 1
            elif self.idle_timeout is not None and now - started > self.idle_timeout:
                self.report(f"No controller within {self.idle_timeout:g} s; exiting.")
                return 1
            if self.parent is not None and os.getppid() != self.parent:
                self.report("Controller process ended; exiting.")
                self.orphaned = True
                return 1
        self._send_replies()  # the answer to the goodbye
        self._send_logs()
        return 0

    def _receive(self) -> None:
        frames = self.control.recv_multipart()
        received_at = clock.now()
        try:
            identity, frame = frames
            message = wire.decode(frame)
        except Exception:  # not one of our requests: nothing to answer
            return
        if self.owner is None and message.get("op") == "hello":
            self.owner = identity
        if identity != self.owner:
            self.control.send_multipart([identity, wire.encode(
                wire.reply(message.get("id"), False, error=f"Worker {self.name} is busy."))])
            return
        self.last_heard = time.monotonic()
        if message.get("op") != "heartbeat":
            self.inbox.put(message)  # in order, on the request thread
        elif "t0" in message:  # a clock probe: answered now, on this thread, to keep its round trip short
            clock.set_offset(message.get("offset"))
            self._send(wire.clock_message(message["t0"], received_at, clock.now()))

    def _serve_requests(self) -> None:
        """The request thread: each request in turn, its answer to the main thread."""
        while True:
            message = self.inbox.get()
            if message is None:
                return
            op = message.get("op")
            try:
                handler = getattr(self, f"op_{op}", None) if isinstance(op, str) else None
                if handler is None:
                    raise ValueError(f"unknown request {op!r}")
                reply = wire.reply(message.get("id"), True, handler(message))
            except Exception as error:  # reported to the controller, which raises it there
                reply = wire.reply(message.get("id"), False, error=f"{type(error).__name__}: {error}")
            self.replies.put(reply)
            if op == "shutdown":
                self.running = False  # after its answer is queued, which the main thread sends last
            try:
                os.write(self.wake_send, b"x")
            except BlockingIOError:
                pass  # full: the main thread has wake-ups enough to read

    def _send_replies(self) -> None:
        while True:
            try:
                reply = self.replies.get_nowait()
            except queue.Empty:
                return
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
            self._send(wire.log_message(records))

    def _status(self) -> dict[str, NodeStatus]:
        """Every node's status by node id."""
        return {node_id: NodeStatus(node.get_state(), node.get_condition(), node.get_load(), node.get_counter(),
                                    node.get_stats() if hasattr(node, "get_stats") else None,
                                    self._failure(node_id, node))
                for node_id, node in list(self.nodes.items())}

    def _failure(self, node_id: str, node: Any) -> Optional[wire.Failure]:
        """The node's last exception as text, formatted once per exception."""
        exception = node.get_last_exception()
        if exception is None:
            return None
        known = self.failures.get(node_id)
        if known is not None and known[0] is exception:
            return known[1]
        args = getattr(exception, "args", ())
        # The text of its log entry, so the controller can tell which node the entry came from.
        message = str(args[0]) if isinstance(args, tuple) and args else type(exception).__name__
        try:
            text = "".join(traceback.format_exception(exception))
        except Exception as error:  # an exception whose str() fails still has a type
            text = f"{type(exception).__name__} (its traceback could not be formatted: {error!r})"
        failure = (type(exception).__name__, message, text)
        self.failures[node_id] = (exception, failure)
        return failure

    def report(self, text: str) -> None:
        """A worker-level line: to the controller's log when there is one, and stderr."""
        self.logger.write(LogType.WARNING, text)
        print(f"velarix worker {self.name}: {text}", file=sys.stderr, flush=True)

    def _release_session(self) -> None:
        """Stop the nodes and close the links of the current controller's part."""
        self._stop_nodes()
        self._end_scheduler()
        for sender in self.senders:
            sender.close()
        self.receiver.close()
        for sock in self.pending.values():
            sock.close(linger=0)
        for offer in self.offers.values():
            offer.close()

    def _end_session(self) -> None:
        """After a controller has gone: its nodes, links and link files go, and the
        worker waits for the next controller as it did for the first."""
        self._release_session()
        self._remove_link_files(self.session_links + 1)
        self.session_links = self.link_count
        for pending in (self.inbox, self.replies, self.outbox):
            while True:  # what the old controller asked, and its log, are for nobody now
                try:
                    pending.get_nowait()
                except queue.Empty:
                    break
        # The next controller's nodes come with the same ids as this one's.
        Portable.reset()
        self.nodes, self.senders, self.pending, self.offers, self.failures = {}, [], {}, {}, {}
        self.bound = {}
        self.scheduler = None
        self.receiver = links.Receiver(self.hwm)
        self.owner = None
        self.heartbeat_interval, self.heartbeat_timeout = HEARTBEAT_INTERVAL, HEARTBEAT_TIMEOUT
        self.running = True
        print(f"velarix worker {self.name}: Controller left; waiting for the next one.", file=sys.stderr, flush=True)

    def _close(self) -> None:
        self.inbox.put(None)
        self._release_session()
        if self.zap is not None:
            self.zap.close()
        if self.control is not None:
            self.control.close(linger=0)
        self.context.destroy(linger=0)
        self._remove_files()
        thread = self.request_thread
        if thread is not None:
            thread.join(0.5)
            if not thread.is_alive():  # one stuck in user code keeps its pipe to the end
                os.close(self.wake_recv)
                os.close(self.wake_send)

    def _remove_files(self) -> None:
        """What this worker left on disk: its control and link socket files, and once
        the controller that spawned it died, that controller's folder (its keys)."""
        if self.parent is not None and os.getppid() != self.parent:
            self.orphaned = True  # however we noticed it first
        if self.orphaned and self.parent_folder is not None:
            shutil.rmtree(self.parent_folder, ignore_errors=True)
        if self.ipc_folder is None:
            return
        self._remove_link_files(self.session_links + 1)
        if not is_tcp(self.bind):
            try:
                os.unlink(self.bind[len("ipc://"):])
            except OSError:
                pass

    def _remove_link_files(self, first: int) -> None:
        """The ipc link socket and ring files numbered from `first` on."""
        if self.ipc_folder is None:
            return
        for number in range(first, self.link_count + 1):
            for suffix in (".sock", ".shm"):
                try:
                    os.unlink(self._link_file(number, suffix))
                except OSError:
                    pass

    def _end_scheduler(self) -> None:
        """The shared threads end once no node is running (one stuck in a step
        keeps them, to the end of the process)."""
        if self.scheduler is None:
            return
        if not any(n.get_state() == Constants.States.RUNNING for n in self.nodes.values()):
            self.scheduler.stop()

    def _stop_nodes(self) -> None:
        """Stop every node, bounded: a step that never returns must not keep us alive."""
        running = [n for n in self.nodes.values() if n.get_state() == Constants.States.RUNNING]
        if not running:
            return
        stopper = threading.Thread(target=lambda: [n.stop() for n in running], daemon=True)
        stopper.start()
        stopper.join(STOP_TIMEOUT)
