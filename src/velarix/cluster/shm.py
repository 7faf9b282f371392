"""Shared-memory rings for links between processes on the same host.

A ring is a memory file (memfd): it has no name anywhere, only the two processes
of its link hold it, and it is gone with the last of them, however they end. The
end of a link that binds creates the ring and offers it on a unix socket beside
its ZeroMQ socket, in the same private folder; the other end connects, takes the
file and two eventfds over that socket (SCM_RIGHTS) and answers whether it will
use them. The socket file goes as soon as the offer is taken or refused; the
connection itself stays open, so each side sees the other go.

Layout: a header page (magic, capacity, the writer's and the reader's byte
counts), then `capacity` bytes of records, each 64-byte aligned:

    tag u32 | frame count u32 | record length u64 | frame lengths u64... | frames

A record that does not fit before the end of the ring leaves a WRAP record
there. A value whose record needs more than half the ring goes by the link's
ZeroMQ socket instead: a SOCKET record keeps its place in the order. The reader
checks every tag, count, length and position it reads against the ring and the
writer's count; anything else is a RingError, never a read outside the mapping.
The file is sealed against shrinking, so a peer cannot make our mapping fault.

Wake-ups: a side about to wait on its eventfd says so in the header, looks once
more, then waits; the other side bumps that eventfd only while it waits, and
once per wait: the writer after a record, the reader once a quarter of the ring
is free again beyond what the writer needs (or at the end of what it took). So
a busy link wakes nobody and a full one wakes its writer for many records at
once; a reader whose values come close together looks again for a little while
before it sleeps (wait_data). Each store of these words is fenced from the load
after it, so neither side misses the other's flag; eventfds count, so no
wake-up is lost (and every wait is bounded anyway). The records are read and
written natively (RingEnd in velarix.imp.portan), the reader's waits without
the interpreter lock; the set-up and the writer's wait for room are here.
"""

from __future__ import annotations

import array
import fcntl
import mmap
import os
import select
import socket
import struct
import threading
from typing import Any, Callable, Generator, Optional

from ..imp import portan

# The layout is the native end's, which reads and writes the records.
_LAYOUT = portan.RING_LAYOUT
MAGIC: bytes = _LAYOUT["magic"]
CAPACITY_AT: int = _LAYOUT["capacity_at"]  # the capacity, u64 after the magic
HEADER: int = _LAYOUT["header"]  # bytes before the records: one page
# The writer's and the reader's counts, a cache line each.
TAIL_AT: int = _LAYOUT["tail_at"]
HEAD_AT: int = _LAYOUT["head_at"]
# While a side waits on its eventfd: the reader's sleep number, the writer's the
# reader's count it waits for (0 while awake).
READER_ASLEEP_AT: int = _LAYOUT["reader_asleep_at"]
WRITER_ASLEEP_AT: int = _LAYOUT["writer_asleep_at"]
ALIGN: int = _LAYOUT["align"]
FRAMES: int = _LAYOUT["frames"]  # record tags
WRAP: int = _LAYOUT["wrap"]
SOCKET: int = _LAYOUT["socket"]
MAX_FRAMES: int = _LAYOUT["max_frames"]
DEFAULT_BYTES = 8 << 20  # ring capacity per link
ENVIRONMENT = "VELARIX_SHM"  # "0": never use shared memory (links go over ipc://)
SPIN_SECONDS = 50e-6  # how long a reader of a busy link looks again before it sleeps
STREAMING_GAP = 100e-6  # a wait shorter than this makes the link busy
OFFER_TIMEOUT = 60.0  # seconds an offer waits for its peer to connect
TAKE_TIMEOUT = 10.0  # seconds a taker waits for the offer


class RingError(RuntimeError):
    """A ring whose contents break its rules: damaged or written by a hostile peer."""


class PeerGone(RuntimeError):
    """The process at the other end of the ring closed it or ended."""


def refused() -> Optional[str]:
    """Why shared memory is not to be used in this process, or None."""
    if os.environ.get(ENVIRONMENT, "1").strip() in ("0", "no", "off", "false"):
        return f"shared memory refused by {ENVIRONMENT}={os.environ[ENVIRONMENT]}"
    if not hasattr(os, "memfd_create") or not hasattr(os, "eventfd") or not hasattr(socket, "send_fds"):
        return "this system has no memory files, eventfds or descriptor passing"
    return None


class Ring:
    """One end of a ring: `writer` True for the producer's end. `peer` is the unix
    connection to the other end, watched while the writer waits for room. The
    records are read and written by `end`, a native RingEnd over this mapping
    (velarix.imp.portan); this class makes and checks the mapping and waits for
    room, watching the peer as it does."""

    def __init__(self, memfd: int, data_fd: int, space_fd: int, peer: Optional[socket.socket], writer: bool,
                 capacity: Optional[int] = None) -> None:
        size = os.fstat(memfd).st_size
        if capacity is None:  # a file we were given: it must hold what its header says
            seals = fcntl.fcntl(memfd, fcntl.F_GET_SEALS)
            if not seals & fcntl.F_SEAL_SHRINK:
                raise RingError("the memory file can be shrunk")
            if size < HEADER + ALIGN * 4:
                raise RingError(f"the memory file is too small ({size} bytes)")
        self.map = mmap.mmap(memfd, size)
        if capacity is None:
            magic, capacity = self.map[:len(MAGIC)], struct.unpack_from("=Q", self.map, CAPACITY_AT)[0]
            if magic != MAGIC or capacity != size - HEADER or capacity % ALIGN:
                self.map.close()
                raise RingError(f"the memory file is no ring of its size ({size} bytes)")
        self.view = memoryview(self.map)
        if self.view[:len(MAGIC)] != MAGIC:  # a new ring
            self.view[:len(MAGIC)] = MAGIC
            struct.pack_into("=Q", self.map, CAPACITY_AT, capacity)
        self.capacity = capacity
        self.largest = capacity // 2  # a record this long always fits once the ring is empty
        self.data = self.view[HEADER:HEADER + capacity]
        try:
            self.end = portan.RingEnd(self.map, data_fd, space_fd, capacity, writer, RingError,
                                      SPIN_SECONDS, STREAMING_GAP)
        except BaseException:
            self.data.release()
            self.view.release()
            self.map.close()
            raise
        self.data_fd, self.space_fd = data_fd, space_fd
        self.peer: Optional[socket.socket] = None
        self.writer = writer
        self.closed = False
        self.poller = select.poll()
        self.poller.register(space_fd if writer else data_fd, select.POLLIN)
        if peer is not None:
            self.attach(peer)

    def attach(self, peer: socket.socket) -> None:
        """The connection to the other end: a writer waiting for room watches it."""
        self.peer = peer
        if self.writer:
            self.poller.register(peer.fileno(), select.POLLIN)

    @property
    def head(self) -> int:
        """The reader's count: the bytes it has read."""
        return self.end.head

    @property
    def last_size(self) -> int:
        """The size of the last record read."""
        return self.end.last_size

    # Writer ------------------------------------------------------------------

    def record_size(self, frames: list[Any]) -> int:
        """The bytes a message of these frames (flat byte buffers) takes in a ring."""
        return self.end.record_size([len(frame) for frame in frames])

    def fits(self, frames: list[Any]) -> bool:
        return len(frames) <= MAX_FRAMES and self.record_size(frames) <= self.largest

    def write(self, frames: list[Any], wait: Callable[[], bool]) -> Optional[bool]:
        """Put one message (flat byte buffers: bytes, PickleBuffer.raw()) in the
        ring; while there is no room, wait as long as `wait()` says so. False when
        it gave up, None when the message does not fit (nothing written)."""
        return self._put(FRAMES, frames, wait)

    def write_socket_mark(self, wait: Callable[[], bool]) -> bool:
        """Say that the next message comes by the link's socket."""
        return bool(self._put(SOCKET, [], wait))

    def _put(self, tag: int, frames: list[Any], wait: Callable[[], bool]) -> Optional[bool]:
        put = self.end.put
        while True:
            done = put(frames, tag)
            if done is True or done is None:
                return done
            if not self._wait_for_room(wait, *done):
                return False

    def _wait_for_room(self, wait: Callable[[], bool], head: int, needed: int) -> bool:
        """Wait a little for the reader to move on from `head` (to `needed` at least);
        False: give up."""
        if self.closed or not wait():
            return False
        now = self.end.writer_sleeps(min(needed + self.capacity // 4, self.end.tail))
        events = self.poller.poll(50) if head == now else []
        self.end.writer_sleeps(0)
        for fd, _ in events:
            if fd == self.space_fd:
                try:
                    os.eventfd_read(self.space_fd)
                except BlockingIOError:
                    pass
            elif self.peer is not None:
                try:
                    if self.peer.recv(16, socket.MSG_DONTWAIT):
                        continue  # nothing is ever sent on it; stray bytes mean nothing
                except BlockingIOError:
                    continue
                except OSError:
                    pass
                raise PeerGone("the reading process went away")
        return True

    # Reader ------------------------------------------------------------------

    def wait_data(self, timeout_ms: int) -> bool:
        """True once records may be waiting (the wake-up is taken); see RingEnd.wait."""
        return self.end.wait(timeout_ms)

    def records(self, most: int) -> Generator[Optional[list[Any]], None, None]:
        """Up to `most` messages, oldest first, each a list of frames copied out of
        the ring (the first bytes, the others bytearrays), or None for "the next one
        comes by the socket"."""
        take = self.end.next
        try:
            for _ in range(most):
                message = take()
                if message is False:
                    return
                yield message
        finally:
            if not self.closed:
                self.end.finish()

    def close(self) -> None:
        """Unmap and close (either side; the other sees the connection go)."""
        if self.closed:
            return
        self.closed = True
        self.end.close()
        for name in ("data", "view"):
            view = self.__dict__.pop(name, None)
            if view is not None:
                view.release()
        try:
            self.map.close()
        except (BufferError, AttributeError):
            pass  # a frame view still out: the mapping goes with the process
        for fd in (self.data_fd, self.space_fd):
            os.close(fd)
        self.data_fd = self.space_fd = -1
        if self.peer is not None:
            self.peer.close()
            self.peer = None


class Offer:
    """The binding end's ring, offered on a unix socket at `path` until the other
    end takes or refuses it (or OFFER_TIMEOUT). `decided` is set then; `ring` is
    the ring when it was taken, None otherwise, with `why` saying why."""

    def __init__(self, path: str, capacity: int, writer: bool) -> None:
        capacity = max(ALIGN * 4, capacity - capacity % ALIGN)
        self.path = path
        self.writer = writer
        self.ring: Optional[Ring] = None
        self.why: Optional[str] = None
        self.decided = threading.Event()
        self.closed = False
        memfd = os.memfd_create("velarix-link", os.MFD_CLOEXEC | os.MFD_ALLOW_SEALING)
        fds = [memfd]
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM | socket.SOCK_CLOEXEC)
        try:
            os.ftruncate(memfd, HEADER + capacity)
            fcntl.fcntl(memfd, fcntl.F_ADD_SEALS, fcntl.F_SEAL_SHRINK | fcntl.F_SEAL_GROW | fcntl.F_SEAL_SEAL)
            fds += [os.eventfd(0, os.EFD_CLOEXEC | os.EFD_NONBLOCK) for _ in range(2)]
            self.capacity = capacity
            self.listener.bind(path)
            self.listener.listen(1)
            self.own = Ring(memfd, fds[1], fds[2], None, writer, capacity=capacity)
        except BaseException:
            self.listener.close()
            for fd in fds:
                os.close(fd)
            self._unlink()
            raise
        self.fds = fds
        self.thread = threading.Thread(target=self._serve, name="velarix-shm-offer", daemon=True)
        self.thread.start()

    def _serve(self) -> None:
        conn: Optional[socket.socket] = None
        try:
            ready, _, _ = select.select([self.listener], [], [], OFFER_TIMEOUT)
            if not ready or self.closed:
                self.why = "the other end did not come for the shared memory"
                return
            conn, _ = self.listener.accept()
            self._unlink()
            conn.settimeout(TAKE_TIMEOUT)
            socket.send_fds(conn, [MAGIC + struct.pack("=Q", self.capacity)], self.fds)
            answer = conn.recv(512)
            if answer[:1] != b"Y":
                self.why = answer[1:].decode(errors="replace") or "the other end went away"
                return
            conn.settimeout(None)
            self.own.attach(conn)
            self.ring = self.own
            conn = None
        except (OSError, RingError) as error:
            self.why = f"the shared memory could not be handed over: {error}"
        finally:
            if conn is not None:
                conn.close()
            self.listener.close()
            self._unlink()
            os.close(self.fds[0])  # mapped: the file lives on in the mappings alone
            if self.ring is None:
                self.own.close()
            self.decided.set()

    def _unlink(self) -> None:
        try:
            os.unlink(self.path)
        except OSError:
            pass

    def result(self, timeout: float = OFFER_TIMEOUT) -> Optional[Ring]:
        """The ring once the other end took it; None when it did not."""
        self.decided.wait(timeout)
        return self.ring

    def close(self) -> None:
        self.closed = True
        if not self.decided.is_set():
            try:
                self.listener.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            # Our own connection ends the wait for one.
            try:
                with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as poke:
                    poke.connect(self.path)
            except OSError:
                pass
            self.thread.join(5)
        self.own.close()


def _receive_fds(conn: socket.socket, size: int, most: int) -> tuple[bytes, list[int]]:
    """A message and the descriptors that came with it, closed on exec (socket.recv_fds
    leaves them open across exec)."""
    fds = array.array("i")
    message, ancillary, _, _ = conn.recvmsg(size, socket.CMSG_LEN(most * fds.itemsize),
                                             getattr(socket, "MSG_CMSG_CLOEXEC", 0))
    for level, kind, data in ancillary:
        if level == socket.SOL_SOCKET and kind == socket.SCM_RIGHTS:
            fds.frombytes(data[:len(data) - len(data) % fds.itemsize])
    return message, list(fds)


def take(path: str, writer: bool, refuse: Optional[str] = None) -> tuple[Optional[Ring], Optional[str]]:
    """The ring offered at `path`, or (None, why not). `refuse`: a reason to say no."""
    conn = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM | socket.SOCK_CLOEXEC)
    fds: list[int] = []
    try:
        conn.settimeout(TAKE_TIMEOUT)
        conn.connect(path)
        message, fds = _receive_fds(conn, 64, 3)
        if refuse is not None:
            raise RingError(refuse)
        if len(fds) != 3 or message[:8] != MAGIC or len(message) != 16:
            raise RingError(f"the offer is not a ring ({len(fds)} descriptors)")
        capacity = struct.unpack_from("=Q", message, 8)[0]
        ring = Ring(fds[0], fds[1], fds[2], None, writer)
        os.close(fds[0])
        fds = []  # the ring holds the eventfds now
        if ring.capacity != capacity:
            ring.close()
            raise RingError("the ring's header and its offer disagree")
        conn.sendall(b"Y")
        ring.attach(conn)
        conn.settimeout(None)
        return ring, None
    except (OSError, RingError, ValueError) as error:
        why = str(error) if isinstance(error, RingError) and refuse is not None else \
            f"the shared memory could not be taken: {type(error).__name__}: {error}"
        try:
            conn.sendall(b"N" + why.encode()[:500])
        except OSError:
            pass
        conn.close()
        for fd in fds:
            try:
                os.close(fd)
            except OSError:
                pass
        return None, why
