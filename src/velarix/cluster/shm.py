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
before it sleeps (wait_data). A lock's atomic instruction fences each store from the load
after it, so neither side misses the other's flag; eventfds count, so no
wake-up is lost (and every wait is bounded anyway).
"""

from __future__ import annotations

import array
import ctypes
import fcntl
import mmap
import os
import select
import socket
import struct
import threading
import time
from typing import Any, Callable, Generator, Optional

MAGIC = b"VXRING01"
HEADER = 4096  # bytes before the records: one page
TAIL_AT, HEAD_AT = 64, 128  # the writer's and the reader's counts, a cache line each
# While a side waits on its eventfd: the reader's sleep number, the writer's the
# reader's count it waits for (0 while awake).
READER_ASLEEP_AT, WRITER_ASLEEP_AT = 192, 256
ALIGN = 64
FRAMES, WRAP, SOCKET = 0x46525856, 0x57525856, 0x53525856  # record tags
MAX_FRAMES = 1 << 16
RECORD = struct.Struct("=IIQ")
_LENGTH = struct.Struct("=Q")
_RECORD_1 = struct.Struct("=IIQQ")  # the record of one frame and its length
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
    connection to the other end, watched while the writer waits for room."""

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
            magic, capacity = self.map[:8], struct.unpack_from("=Q", self.map, 8)[0]
            if magic != MAGIC or capacity != size - HEADER or capacity % ALIGN:
                self.map.close()
                raise RingError(f"the memory file is no ring of its size ({size} bytes)")
        self.view = memoryview(self.map)
        if self.view[:8] != MAGIC:  # a new ring
            self.view[:8] = MAGIC
            struct.pack_into("=Q", self.map, 8, capacity)
        self.capacity = capacity
        self.largest = capacity // 2  # a record this long always fits once the ring is empty
        self.data = self.view[HEADER:HEADER + capacity]
        # Typed 8-byte loads and stores: the other process never sees half a count.
        self.tail_word = ctypes.c_uint64.from_buffer(self.map, TAIL_AT)
        self.head_word = ctypes.c_uint64.from_buffer(self.map, HEAD_AT)
        self.reader_asleep = ctypes.c_uint64.from_buffer(self.map, READER_ASLEEP_AT)
        self.writer_asleep = ctypes.c_uint64.from_buffer(self.map, WRITER_ASLEEP_AT)
        self.fence = threading.Lock()
        self.sleeps = 0  # the reader's sleep number
        self.woken = 0  # the last sleep (reader) or wait (writer) that was woken
        self.data_fd, self.space_fd = data_fd, space_fd
        self.peer: Optional[socket.socket] = None
        self.writer = writer
        self.tail = self.tail_word.value if writer else 0
        self.head = self.head_word.value if not writer else 0
        self.last_size = 0  # of the last record read
        self.streaming = False  # the reader's last wait was short: it looks again before it sleeps
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

    # Writer ------------------------------------------------------------------

    @staticmethod
    def record_size(frames: list[Any]) -> int:
        """The bytes a message of these frames (flat byte buffers) takes in a ring."""
        size = (RECORD.size + 8 * len(frames) + ALIGN - 1) & -ALIGN
        for frame in frames:
            size += (len(frame) + ALIGN - 1) & -ALIGN
        return size

    def fits(self, frames: list[Any]) -> bool:
        return len(frames) <= MAX_FRAMES and self.record_size(frames) <= self.largest

    def write(self, frames: list[Any], wait: Callable[[], bool]) -> Optional[bool]:
        """Put one message (flat byte buffers: bytes, PickleBuffer.raw()) in the
        ring; while there is no room, wait as long as `wait()` says so. False when
        it gave up, None when the message does not fit (nothing written)."""
        if len(frames) == 1:  # a small value: its pickle stream alone
            frame = frames[0]
            length = len(frame)
            size = ALIGN + ((length + ALIGN - 1) & -ALIGN)
            tail = self.tail
            pos = tail % self.capacity
            used = tail - self.head_word.value
            # Room before the end and behind the reader: the record at once.
            if 0 <= used and self.capacity - used >= size and self.capacity - pos >= size \
                    and size <= self.largest:
                data = self.data
                data[pos + ALIGN:pos + ALIGN + length] = frame
                _RECORD_1.pack_into(data, pos, FRAMES, 1, size, length)
                self._publish(tail + size)
                return True
        else:
            size = self.record_size(frames)
        if size > self.largest or len(frames) > MAX_FRAMES:
            return None
        return self._put(FRAMES, frames, size, wait)

    def write_socket_mark(self, wait: Callable[[], bool]) -> bool:
        """Say that the next message comes by the link's socket."""
        return self._put(SOCKET, [], ALIGN, wait)

    def _put(self, tag: int, views: list[Any], size: int, wait: Callable[[], bool]) -> bool:
        capacity = self.capacity
        tail = self.tail
        while True:
            pos = tail % capacity
            room = capacity - pos
            need = size if room >= size else room + size
            used = tail - self.head_word.value
            if used < 0 or used > capacity:
                raise RingError(f"the reader's count is off by {used} bytes")
            if capacity - used >= need:
                break
            if not self._wait_for_room(wait, tail - used, tail + need - capacity):
                return False
        data = self.data
        if room < size:  # no room before the end: the record goes to the start
            RECORD.pack_into(data, pos, WRAP, 0, room)
            tail += room
            pos = 0
        if len(views) == 1:
            view = views[0]
            length = len(view)
            data[pos + ALIGN:pos + ALIGN + length] = view
            _RECORD_1.pack_into(data, pos, tag, 1, size, length)
        else:
            offset = pos + ((RECORD.size + 8 * len(views) + ALIGN - 1) & -ALIGN)
            at = pos + RECORD.size
            for view in views:
                length = len(view)
                _LENGTH.pack_into(data, at, length)
                data[offset:offset + length] = view
                at += 8
                offset += (length + ALIGN - 1) & -ALIGN
            RECORD.pack_into(data, pos, tag, len(views), size)
        self._publish(tail + size)
        return True

    def _publish(self, tail: int) -> None:
        """Make the records up to `tail` the reader's, and wake it if it sleeps."""
        self.tail = tail
        self.tail_word.value = tail  # after the record: the reader sees it whole
        with self.fence:
            pass
        asleep = self.reader_asleep.value
        if asleep and asleep != self.woken:
            self.woken = asleep
            os.eventfd_write(self.data_fd, 1)

    def _wait_for_room(self, wait: Callable[[], bool], head: int, needed: int) -> bool:
        """Wait a little for the reader to move on from `head` (to `needed` at least);
        False: give up."""
        if self.closed or not wait():
            return False
        self.writer_asleep.value = min(needed + self.capacity // 4, self.tail)
        with self.fence:
            pass
        events = self.poller.poll(50) if head == self.head_word.value else []
        self.writer_asleep.value = 0
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
        """True once records may be waiting (the wake-up is taken). While values
        come close together the reader first looks again for a little while,
        yielding the interpreter lock between looks: waking it would cost the
        writer more than the looks cost here."""
        if self.tail_word.value != self.head:
            return True
        if self.streaming:
            deadline = time.monotonic() + SPIN_SECONDS
            while time.monotonic() < deadline:
                time.sleep(0)
                if self.tail_word.value != self.head:
                    return True
            self.streaming = False
        began = time.monotonic()
        self.sleeps += 1
        self.reader_asleep.value = self.sleeps
        with self.fence:
            pass
        if self.tail_word.value != self.head:
            self.reader_asleep.value = 0
            return True
        events = self.poller.poll(timeout_ms)
        self.reader_asleep.value = 0
        if not events:
            return False
        self.streaming = time.monotonic() - began < STREAMING_GAP
        try:
            os.eventfd_read(self.data_fd)
        except BlockingIOError:
            pass
        return True

    def records(self, most: int) -> Generator[Optional[list[Any]], None, None]:
        """Up to `most` messages, oldest first, each a list of frames copied out of
        the ring (the first bytes, the others bytearrays), or None for "the next one
        comes by the socket"."""
        capacity = self.capacity
        data = self.data
        unpack = RECORD.unpack_from
        taken = 0
        try:
            tail = self.tail_word.value
            if not 0 <= tail - self.head <= capacity:
                raise RingError(f"the writer's count is off by {tail - self.head} bytes")
            while self.head < tail and taken < most:
                pos = self.head % capacity
                tag, count, size = unpack(data, pos)
                if size % ALIGN or size < ALIGN or size > capacity - pos or size > tail - self.head:
                    raise RingError(f"a record of {size} bytes at {pos} in a ring of {capacity}")
                if tag == WRAP:
                    if size != capacity - pos:
                        raise RingError(f"a wrap of {size} bytes at {pos} in a ring of {capacity}")
                    self.head += size
                    continue
                taken += 1
                self.last_size = size
                if tag == SOCKET:
                    message: Optional[list[Any]] = None
                elif tag == FRAMES and count == 1:  # a small value: its pickle stream alone
                    length = _LENGTH.unpack_from(data, pos + RECORD.size)[0]
                    if length > size - ALIGN:
                        raise RingError(f"a frame of {length} bytes overruns its record of {size}")
                    start = HEADER + pos + ALIGN
                    message = [self.map[start:start + length]]
                elif tag == FRAMES:
                    message = self._frames(pos, count, size)
                else:
                    raise RingError(f"a record with tag {tag:#x} at {pos}")
                self.head += size
                self.head_word.value = self.head
                waits_for = self.writer_asleep.value
                if waits_for and self.head >= waits_for:  # room enough for the writer now
                    self._wake_writer(waits_for)
                yield message
        finally:
            self.head_word.value = self.head
            with self.fence:
                pass
            waits_for = self.writer_asleep.value
            if waits_for:
                self._wake_writer(waits_for)

    def _wake_writer(self, waits_for: int) -> None:
        if waits_for != self.woken:
            self.woken = waits_for
            os.eventfd_write(self.space_fd, 1)

    def _frames(self, pos: int, count: int, size: int) -> list[Any]:
        start = (RECORD.size + 8 * count + ALIGN - 1) & -ALIGN
        if not 1 <= count <= MAX_FRAMES or start > size:
            raise RingError(f"a record of {size} bytes with {count} frames")
        frames: list[Any] = []
        offset = pos + start
        end = pos + size
        at = pos + RECORD.size
        for index in range(count):
            length = _LENGTH.unpack_from(self.data, at)[0]
            if length > end - offset:
                raise RingError(f"frame {index} of {length} bytes overruns its record of {size}")
            if index == 0:  # the pickle stream: bytes, straight from the mapping
                frames.append(self.map[HEADER + offset:HEADER + offset + length])
            else:
                piece = self.data[offset:offset + length]
                frames.append(bytearray(piece))
                piece.release()
            at += 8
            offset += (length + ALIGN - 1) & -ALIGN
        return frames

    def close(self) -> None:
        """Unmap and close (either side; the other sees the connection go)."""
        if self.closed:
            return
        self.closed = True
        for name in ("tail_word", "head_word", "reader_asleep", "writer_asleep"):
            self.__dict__.pop(name, None)
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
