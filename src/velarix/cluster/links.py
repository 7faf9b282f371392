"""Links that cross a process boundary.

Each link has a ZeroMQ socket (ipc:// on this host, TCP with CURVE between
hosts); a link between two processes on this host also gets a shared-memory
ring (shm.py) when both ends can set one up, and then values go through the
ring, those too large for it through the socket, in order.

In the producer's process a `Sender` stands in the output port's link list where
the consumer's input port would be: each value pushed becomes a ZeroMQ message.
In the consumer's process a `Receiver` thread per link takes the messages and
hands them to the real input port, so the node sees what a local link would give
it: SYNC links deliver every value in order and stop reading while the port's
backlog is at the high-water mark (or while a bounded port makes them wait), so
the sender's queue fills and its push blocks (backpressure); ASYNC links drain
what is waiting and deliver the newest value. Links never wait on each other.
The producer's port metadata travels once, before the first value, and lands on a
stand-in output port linked to the input port, where the set-up run finds it.
"""

from __future__ import annotations

import sys
import threading
import time
from types import ModuleType
from typing import Any, Callable, Optional

from ..constants import Constants
from ..imp import portan
from ..logger import LogType
from ..o_port import OPort
from . import clock, shm, wire
from ._zmq import require_zmq

POLL_MS = 50  # how often blocked sends and the receiver look at their stop flags
BATCH = 256  # SYNC messages a link takes in one go before it looks at its stop flag
# Seconds between looks at a port that is at the high-water mark: the first
# wait, and the longest (each look takes the interpreter lock from the nodes).
FULL_WAIT = 0.0005
FULL_WAIT_MAX = 0.004
# Values a sender holds back while its producer has more input to step at once;
# they go as one message. Every message costs a wake-up of ZeroMQ's I/O threads on
# both sides and of the receiving thread: per value, that is most of a hop's cost.
HOLD_MOST = 32
HOLD_LONGEST = 0.02  # seconds: older held values go out at the next look (flush_stale)
# The origin of the value being pushed: origins travel with the values, on the
# controller's clock (clock.py).
_current_origin: Callable[[], Optional[float]] = portan.current_origin
_carried: Callable[..., Any] = portan.carried


def add_link(port: Any, other: Any) -> None:
    """Append `other` to a port's link list (replaced, never changed in place)."""
    port._connected_ports = port._connected_ports + [other]


def remove_link(port: Any, other: Any) -> None:
    port._connected_ports = [p for p in port._connected_ports if p is not other]


def replace_link(port: Any, old: Any, new: Any) -> None:
    port._connected_ports = [new if p is old else p for p in port._connected_ports]


def producer_running(node: Any) -> bool:
    """False once a producing node is stopping: its blocked sends then give up."""
    return (node.get_state() == Constants.States.RUNNING
            and getattr(node._imp, "_is_thread_running", True))


def _backlog(port: Any) -> int:
    values = getattr(port, "_values", None)
    return len(values) if values is not None else 0


def steps_again(node: Any) -> bool:
    """True when an input node has a value waiting on every port, all SYNC: its
    worker steps again at once, so what it pushes now can wait for what it pushes
    next. A source, or a node with an ASYNC port, steps when it is told to."""
    ports = getattr(node._imp, "_input_ports", None)
    if not ports:
        return False
    sync = Constants.Timing.SYNC
    return all(port.get_timing() == sync and _backlog(port) > 0 for port in ports.values())


def _keeps_all(port: Any) -> bool:
    """True for an input port that neither drops nor refuses a value when full."""
    config = port.config
    if config.get(config.Keys.CAPACITY) is None:
        return True
    overflow = config.get(config.Keys.OVERFLOW, Constants.Overflow.BLOCK)
    return overflow is None or overflow == Constants.Overflow.BLOCK


def feeds_sync_only(node: Any) -> bool:
    """True when every link out of `node` goes into a SYNC port (known as such)."""
    sync = Constants.Timing.SYNC
    for port in getattr(node._imp, "_output_ports", {}).values():
        for other in port._connected_ports:
            timing = other.timing if isinstance(other, Sender) else other.get_timing()
            if timing != sync:
                return False
    return True


def _never() -> bool:
    return False


_said: set[str] = set()


def say_once(logger: Any, text: str) -> None:
    """`text` as an INFO entry of `logger`, once per process."""
    if text not in _said:
        _said.add(text)
        if logger is None:
            print(f"velarix: {text}", file=sys.stderr, flush=True)
        else:
            logger.write(LogType.INFO, text)


def take_ring(end: dict[str, Any], logger: Any) -> Optional[shm.Ring]:
    """The ring a link end that connects was offered (its "shm" path), or None:
    the link then goes over its socket, and the reason is logged once."""
    path = end.get("shm")
    if not path:
        return None
    ring, why = shm.take(path, writer=end["role"] == "send", refuse=shm.refused())
    if ring is None:
        say_once(logger, f"A link goes over ipc:// instead of shared memory: {why}")
    return ring


def offer_ring(end: dict[str, Any], path: str, logger: Any) -> Optional[shm.Offer]:
    """A ring for a link end that binds on this host, offered at `path`; None (the
    reason logged once) when shared memory is refused or cannot be set up."""
    size = end.get("ring", 0)
    why = shm.refused() if size > 0 else "the cluster's ring size is 0"
    if why is None:
        try:
            return shm.Offer(path, size, writer=end["role"] == "send")
        except (OSError, ValueError) as error:
            why = f"the shared memory could not be set up: {type(error).__name__}: {error}"
    say_once(logger, f"A link goes over ipc:// instead of shared memory: {why}")
    return None


class Sender:
    """Sends what an output port pushes to one remote input port: over `ring`
    when it has one (or `offer`, the ring its peer may take), else its socket."""

    def __init__(self, sock: Any, oport: Any, running: Callable[[], bool],
                 busy: Callable[[], bool] = _never, ring: Optional[shm.Ring] = None,
                 offer: Optional[shm.Offer] = None, node: Any = None) -> None:
        self.socket = sock
        self.oport = oport
        self.running = running  # false once the producer stops: a blocked send gives up
        self.busy = busy  # true while the producer has more to step at once (steps_again)
        self.ring = ring
        self.offer = offer
        self.node = node  # the producer, whose log hears of a link that broke
        self.timing: Optional[str] = None  # the remote input port's, where known
        self.lock = threading.Lock()
        self.closed = False
        self.metadata_sent = False
        self.held: list[Any] = []
        self.held_origins: list[Optional[float]] = []  # beside held, when the core carries origins
        self.held_since = 0.0

    def _waiting(self) -> bool:
        return not self.closed and self.running()

    def _receive(self, value: Any) -> None:
        with self.lock:
            if self.closed:
                return
            if not self.metadata_sent and self.oport.config.has_metadata():
                self._send(wire.dumps(wire.METADATA, self.oport.config.get_metadata()))
                self.metadata_sent = True
            if not self.held:
                if not self.busy():  # the common case: nothing held, nothing more to step
                    origin = _current_origin()
                    if type(origin) is float:
                        origin = clock.origin_to_controller(origin)
                    ring = self.ring
                    frames = None
                    if ring is not None and self.offer is None:
                        # Pickled straight into the ring; outside the try below, since
                        # what it raises is the value's error, not the ring's.
                        frames = ring.end.put_value(value, origin)
                        if frames is True:
                            return
                    if frames is None:
                        frames = wire.dumps(wire.VALUE, value)
                        if type(origin) is float:
                            frames[0] = wire.one_origin(origin) + frames[0]
                    if ring is not None and self.offer is None:
                        try:
                            if ring.write(frames, self._waiting) is not None:
                                return
                        except (shm.RingError, shm.PeerGone, OSError) as error:
                            self._broken(error)
                            return
                    self._send(frames)  # by the socket, or a ring yet to be taken, or too large for it
                    return
                self.held_since = time.monotonic()
            self.held.append(value)
            self.held_origins.append(_current_origin())
            if len(self.held) < HOLD_MOST and self.busy():
                return
            self._send(self._take_held())

    def _take_held(self) -> list[Any]:
        frames = self._frames_of(self.held, self.held_origins)
        self.held, self.held_origins = [], []
        return frames

    @staticmethod
    def _frames_of(values: list[Any], origins: list[Optional[float]]) -> list[Any]:
        frames = wire.dumps(wire.VALUE, values[0]) if len(values) == 1 else wire.dumps(wire.VALUES, values)
        if len(origins) == len(values) and any(isinstance(o, float) for o in origins):
            frames = wire.with_origins(frames, [clock.origin_to_controller(o) if isinstance(o, float) else None
                                                for o in origins])
        return frames

    def flush_stale(self) -> None:
        """Send values held longer than HOLD_LONGEST (their producer stopped or
        failed before its next push), without waiting: a full peer gets them at a
        later look. Called by the process's control loop."""
        if not self.held or time.monotonic() - self.held_since < HOLD_LONGEST:
            return
        if not self.lock.acquire(blocking=False):
            return  # a push is under way: it takes the held values along
        try:
            if not self.held or self.closed or (self.offer is not None and not self.offer.decided.is_set()):
                return
            frames = self._frames_of(self.held, self.held_origins)
            ring = self._ring()
            if ring is not None:
                try:
                    written = ring.write(frames, _never)
                except (shm.RingError, shm.PeerGone, OSError) as error:
                    self._broken(error)
                    return
                if written is False:
                    return
                if written is None:
                    self._send(frames)  # a large value: the mark, then the socket
            else:
                zmq = require_zmq()
                try:
                    self.socket.send_multipart(frames, flags=zmq.NOBLOCK, copy=False)
                except zmq.Again:
                    return
            self.held, self.held_origins = [], []
        finally:
            self.lock.release()

    def _ring(self) -> Optional[shm.Ring]:
        """The ring, once the peer took it; None: the link uses its socket."""
        if self.offer is not None:
            self.ring = self.offer.result()
            self.offer = None
        return self.ring

    def _send(self, frames: list[Any]) -> bool:
        ring = self._ring()
        if ring is not None:
            try:
                written = ring.write(frames, self._waiting)
                if written is not None:
                    return written
                if not ring.write_socket_mark(self._waiting):
                    return False
            except (shm.RingError, shm.PeerGone, OSError) as error:
                self._broken(error)
                return False
        zmq = require_zmq()
        while not self.closed:
            try:
                if len(frames) == 1:  # the common small value: no frame objects needed
                    self.socket.send(frames[0])
                else:
                    self.socket.send_multipart(frames, copy=False)
                return True
            except zmq.Again:  # the peer's queue is full: wait, unless we are stopping
                if not self.running():
                    return False
        return False

    def _broken(self, error: Exception) -> None:
        """The ring broke or its reader went: the link is closed for good. While its
        producer runs, that is its failure (the pipeline stops with ERROR)."""
        self.closed = True
        if self.node is not None and self.running():
            name = self.oport.config[self.oport.config.Keys.NAME]
            _write(self.node, LogType.ERROR, f"Link from port {name!r} of node {self.node.get_name()!r} "
                   f"closed: {type(error).__name__}: {error}")

    def close(self) -> None:
        self.closed = True
        with self.lock:
            self.socket.close(linger=0)
            if self.offer is not None:
                self.offer.close()
            if self.ring is not None:
                self.ring.close()


class LinkError(RuntimeError):
    """A value that came over a link but could not be re-created or handed to its
    input port; kept as the receiving node's last exception, the cause chained."""


class _Inbound:
    def __init__(self, sock: Any, iport: Any, timing: str, node: Any, transport: str,
                 ring: Optional[shm.Ring], offer: Optional[shm.Offer]) -> None:
        self.socket = sock
        self.transport = transport
        self.ring = ring
        self.offer = offer
        self.iport = iport
        self.node = node  # the input port's node: failures on this link are its failures
        self.asynchronous = timing == Constants.Timing.ASYNC
        self.source = OPort.Configuration(name="remote")  # carries the producer's metadata
        self.standin = _StandIn(self.source)
        self.thread: Optional[threading.Thread] = None
        self.dropped = 0  # frames that were not messages
        self.origins: Optional[tuple[Optional[float], ...]] = None  # of the values _values returned last
        self.failed = 0  # messages or values that could not be decoded or delivered
        # SYNC values go in inside portan.carried: the node (on a carrying scheduler)
        # steps on this link's thread once what has come is in its port, with no
        # wake-up of a thread of its own; its pushes of a batch go out as one message.
        self.carry = False
        add_link(iport, self.standin)

    def port_name(self) -> Any:
        return self.iport.config[self.iport.config.Keys.NAME]

    def describe(self) -> str:
        return f"Link into port {self.port_name()!r} of node {self.node.get_name()!r}"


class _StandIn:
    """What the input port reads metadata from: the remote output port's copy."""

    def __init__(self, config: OPort.Configuration) -> None:
        self.config = config


# Why RingEnd.deliver() stopped (the module's names): all it could deliver for now;
# a value the port did not take (with its error); the next message comes by the
# socket; else a message handed back as frames.
_FOR_NOW, _NOT_TAKEN, _BY_SOCKET = (portan.RingEnd.DELIVERED_FOR_NOW, portan.RingEnd.NOT_TAKEN,
                                    portan.RingEnd.BY_SOCKET)


class Receiver:
    """Feeds the remote links of a process into their input ports, one thread per
    link: a link that waits (its port full) holds back its own producer only.

    Whatever one message does stays with that message: a frame that is not a
    message is dropped, counted and logged once per link as a warning; a value
    that cannot be re-created or that its port refuses is an ERROR entry of the
    port's node, which sets the node's condition to ERROR (later failures while
    the node is failed are only counted). A link thread that ends for any other
    reason says so the same way."""

    def __init__(self, hwm: int) -> None:
        self.hwm = hwm
        self.inbound: list[_Inbound] = []
        self.closed = False

    def add(self, sock: Any, iport: Any, timing: str, node: Any, transport: str = "ipc",
            ring: Optional[shm.Ring] = None, offer: Optional[shm.Offer] = None) -> None:
        """A link into `iport`: its socket, and its ring or the ring offered to its peer."""
        self.inbound.append(_Inbound(sock, iport, timing, node, transport, ring, offer))

    def fed_alone(self) -> list[Any]:
        """The nodes whose every input port is fed by SYNC links of ours alone
        (nothing in their own process pushes to them) and keeps every value while
        the node steps: unbounded, or bounded with "block". A port that drops or
        refuses values when full must go on taking them during a step."""
        ports: dict[int, Any] = {}
        for link in self.inbound:
            if not link.asynchronous and _keeps_all(link.iport):
                ports[id(link.iport)] = link.iport
        nodes: dict[int, Any] = {}
        for link in self.inbound:
            inputs = getattr(link.node._imp, "_input_ports", None)
            if not inputs or id(link.node) in nodes:
                continue
            if all(id(port) in ports and all(isinstance(p, _StandIn) for p in port._connected_ports)
                   for port in inputs.values()):
                nodes[id(link.node)] = link.node
        return list(nodes.values())

    def carry(self, nodes: list[Any]) -> None:
        """The SYNC links into `nodes` step them on their own threads (see _Inbound.carry)."""
        chosen = {id(node) for node in nodes}
        for link in self.inbound:
            link.carry = not link.asynchronous and id(link.node) in chosen

    def start(self) -> None:
        for link in self.inbound:
            if link.thread is None:
                link.thread = threading.Thread(target=self._run, args=(link,), name="velarix-links-in",
                                               daemon=True)
                link.thread.start()

    def get_stats(self) -> list[dict[str, Any]]:
        """Per link: the input port's "node" and "port" names, its "transport"
        ("shm", "ipc" or "tcp"), the frames "dropped" as not messages and the
        messages or values "failed" (not decoded or not delivered)."""
        return [{"node": link.node.get_name(), "port": link.port_name(), "transport": link.transport,
                 "dropped": link.dropped, "failed": link.failed} for link in self.inbound]

    def _run(self, link: _Inbound) -> None:
        try:
            self._serve(link, require_zmq())
        except Exception as error:
            if not self.closed:  # closing takes the socket away under a running thread
                self._fail(link, "stopped receiving", error, always=True)

    def _serve(self, link: _Inbound, zmq: ModuleType) -> None:
        if link.offer is not None:
            while not link.offer.decided.wait(POLL_MS / 1000):
                if self.closed:
                    return
            link.ring = link.offer.ring
            link.transport = "shm" if link.ring is not None else link.transport
        wait = FULL_WAIT
        while not self.closed:
            # A SYNC link whose port is at the high-water mark is not read: its
            # sender's queue fills and the producer waits.
            if not link.asynchronous and _backlog(link.iport) >= self._most(link):
                time.sleep(wait)  # look again soon, less often while the node is slow
                wait = min(2 * wait, FULL_WAIT_MAX)
                continue
            wait = FULL_WAIT
            if link.ring is not None:
                if link.ring.wait_data(POLL_MS) and not self.closed:
                    if link.carry:  # what has come is delivered first, then stepped at once
                        _carried(self._take_ring, link, link.ring)
                    else:
                        self._take_ring(link, link.ring)
            elif link.socket.poll(POLL_MS) and not self.closed:
                if link.carry:
                    _carried(self._take, link, zmq)
                else:
                    self._take(link, zmq)

    def _take_ring(self, link: _Inbound, ring: shm.Ring) -> None:
        if link.asynchronous:
            self._take_ring_newest(link, ring)
            return
        # Small values go from the ring into the port natively; what the native
        # reader hands back (metadata, batches, values with buffers, socket marks,
        # values it could not re-create) goes the way socket messages go.
        deliver = ring.end.deliver
        shift, offset = clock.from_controller_terms()
        room = BATCH  # values this turn may still take from the ring
        while room > 0:
            code, item, delivered = deliver(room, link.iport, self.hwm, shift, offset)
            room -= delivered
            if code == _FOR_NOW:
                return
            if code == _NOT_TAKEN:
                self._fail(link, "a value was not delivered", item)
                continue
            if code == _BY_SOCKET:  # this one came by the socket: too large for the ring
                item = self._socket_message(link)
                if item is None:
                    return
            # else HANDED_BACK: the item is a message's frames
            values = self._values(link, item[0], item[1:])
            if values is not None:
                self._deliver(link, values, link.origins)
            if _backlog(link.iport) >= self._most(link):
                return

    def _take_ring_newest(self, link: _Inbound, ring: shm.Ring) -> None:
        """An ASYNC link: what waits is read, and the newest value delivered."""
        nothing = object()
        newest: Any = nothing
        newest_origin: Optional[float] = None
        records = ring.records(1 << 30)
        try:
            for message in records:
                if message is None:  # this one came by the socket: too large for the ring
                    message = self._socket_message(link)
                    if message is None:
                        return
                values = self._values(link, message[0], message[1:])
                if values is not None:
                    newest, newest_origin = values[-1], link.origins[-1] if link.origins else None
        finally:
            records.close()
            if newest is not nothing:
                self._deliver(link, (newest,), (newest_origin,))

    def _most(self, link: _Inbound) -> int:
        """The backlog at which a SYNC link stops reading: the high-water mark; over
        a ring also what its bytes hold, so that large values wait in the ring
        (bounded) rather than pile up in the port (the native reader's rule too)."""
        ring = link.ring
        if ring is None or ring.end.record_bytes <= 0:
            return self.hwm
        return max(1, min(self.hwm, int(ring.capacity / ring.end.record_bytes)))

    def _socket_message(self, link: _Inbound) -> Optional[list[Any]]:
        """The next message of the link's socket, waiting for it until closed."""
        sock = link.socket
        while not self.closed:
            if sock.poll(POLL_MS):
                frames = [sock.recv()]
                while sock.rcvmore:
                    frames.append(sock.recv(copy=False))
                return frames
        return None

    def _values(self, link: _Inbound, header: bytes, buffers: list[Any]) -> Optional[tuple[Any, ...]]:
        """The values of one message; None for metadata and for what failed."""
        try:
            kind, value, link.origins = wire.loads_origins(header, buffers)
        except wire.NotAMessage as error:
            self._drop(link, error)
            return None
        except Exception as error:  # a class this process lacks, a damaged stream
            self._fail(link, "cannot re-create a value", error)
            return None
        if kind == wire.METADATA:
            try:
                link.source.set_metadata(value)
            except Exception as error:
                self._fail(link, "cannot take the producer's metadata", error)
            return None
        return tuple(value) if kind == wire.VALUES else (value,)

    def _take(self, link: _Inbound, zmq: ModuleType) -> None:
        nothing = object()
        newest: Any = nothing
        newest_origin: Optional[float] = None
        sock = link.socket
        for _ in range(BATCH if not link.asynchronous else 1 << 30):
            # Asking whether a message waits is far cheaper than a receive that fails.
            if not sock.getsockopt(zmq.EVENTS) & zmq.POLLIN:
                break
            header = sock.recv()
            buffers = []
            while sock.rcvmore:
                buffers.append(sock.recv(copy=False))
            values = self._values(link, header, buffers)
            if values is None:
                continue
            if link.asynchronous:
                newest, newest_origin = values[-1], link.origins[-1] if link.origins else None
                continue
            self._deliver(link, values, link.origins)
            if _backlog(link.iport) >= self.hwm:
                break
        if newest is not nothing:
            self._deliver(link, (newest,), (newest_origin,))

    def _deliver(self, link: _Inbound, values: Any, origins: Optional[tuple[Optional[float], ...]] = None) -> None:
        """Each value to the port (with its origin, on this process's clock); one
        refused does not hold back the rest."""
        receive = link.iport._receive  # looked up once per message, not per value
        if origins is not None:
            for value, origin in zip(values, origins):
                try:
                    if origin is None:
                        receive(value)
                    else:
                        receive(value, clock.origin_from_controller(origin))
                except Exception as error:
                    self._fail(link, "a value was not delivered", error)
            return
        for value in values:
            try:
                receive(value)
            except Exception as error:  # a full port with overflow "raise", say
                self._fail(link, "a value was not delivered", error)

    def _drop(self, link: _Inbound, error: Exception) -> None:
        link.dropped += 1
        if link.dropped == 1:
            _write(link.node, LogType.WARNING,
                   f"{link.describe()}: dropped a frame that is {error}; further ones are counted, not logged.")

    def _fail(self, link: _Inbound, what: str, error: Exception, always: bool = False) -> None:
        """The node's failure, as a failed step is: kept, logged, condition ERROR."""
        link.failed += 1
        if link.node.get_condition() == Constants.Conditions.ERROR and not always:
            return
        message = f"{link.describe()}: {what}: {type(error).__name__}: {error}"
        failure = LinkError(message)
        failure.__cause__ = error
        link.node._keep_exception(failure)
        _write(link.node, LogType.ERROR, message)
        link.node._enter_error_condition()

    def close(self) -> None:
        self.closed = True
        deadline = time.monotonic() + 5
        for link in self.inbound:
            if link.thread is not None:
                link.thread.join(timeout=max(0.0, deadline - time.monotonic()))
        for link in self.inbound:
            remove_link(link.iport, link.standin)
            link.socket.close(linger=0)
            if link.offer is not None:
                link.offer.close()
            elif link.ring is not None:
                link.ring.close()
        self.inbound = []


def _write(node: Any, log_type: LogType, message: str) -> None:
    """An entry in the node's log (its pipeline's, or its worker's); stderr without one."""
    logger = getattr(node._imp, "_logger", None)
    if logger is None:
        print(f"velarix: {message}", file=sys.stderr, flush=True)
        return
    logger.write(log_type, message)
