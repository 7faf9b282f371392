"""Port implementations (compiled)."""

from typing import Any, Callable, Optional

from .ferrant import PortableImp

class PortQueue:
    """The values waiting in an input port, oldest first."""

    def __new__(cls) -> PortQueue: ...
    def __len__(self) -> int: ...

class Waiter:
    """A one-shot wake-up an input node's worker sleeps on."""

    def __new__(cls) -> Waiter: ...
    def release(self) -> None:
        """Wake the thread waiting on this waiter (again: no effect)."""

# The node modules' table of C functions (imp/portan/api/api.hpp), as a capsule.
_C_API: Any

class Scheduler:
    """Scheduler(threads, carry=True): threads that run many input nodes' cycles."""

    def __new__(cls, threads: int, carry: bool = ...) -> Scheduler: ...
    def start(self) -> None:
        """Start the scheduler threads (a running scheduler: no effect)."""
    def stop(self) -> None:
        """End the scheduler threads and wait for them."""
    def get_stats(self) -> dict[str, int]:
        """threads, nodes on it, dispatches so far, and tasks waiting on the shared list."""
    def get_threads(self) -> int:
        """How many threads the scheduler runs."""
    def is_running(self) -> bool:
        """True between start() and stop()."""
    def _run(self) -> None: ...

class Task:
    """A node's place on a shared scheduler."""

class RecordBuffer:
    """A recording's open chunk, closed chunks and waiting values."""

    def __new__(cls, *args: Any, **kwargs: Any) -> RecordBuffer: ...
    def __init__(self, taps: int, queue_size: int, queue_bytes: int, chunk_size: int,
                 array_type: Optional[type] = None, json: bool = False) -> None: ...
    def front(self) -> Optional[tuple[int, int, Any, Optional[bytes]]]:
        """(tap, stamp, value, pickle) of the oldest waiting value, or None."""
    def write_front(self, channel: int, data: Any = None, head: Any = None) -> bool:
        """Write the oldest waiting value on `channel` and take it off; True when a closed chunk waits."""
    def drop_front(self) -> None:
        """Take the oldest waiting value off, unwritten."""
    def add_message(self, channel: int, log_time: int, data: Any, head: Any = None) -> None:
        """A message of head + data on `channel` into the open chunk."""
    def add_record(self, data: Any) -> None:
        """A whole record into the open chunk."""
    def set_channel(self, tap: int, channel: int, encoding: str = "pickle5") -> None:
        """The channel of tap `tap` for an encoding (pickle5 or json)."""
    def front_encoding(self) -> Optional[str]:
        """The encoding of the oldest waiting value's data, or None."""
    def close_chunk(self) -> None:
        """Close the open chunk when it holds a message."""
    def take(self) -> list[tuple[Any, int, int, list[tuple[int, bytes]]]]:
        """The closed chunks, oldest first."""
    def stop(self) -> int:
        """Take no more values; the number of those that waited."""
    def stats(self) -> tuple[int, int, list[tuple[int, int]]]:
        """(recorded, waiting, [(written, dropped) per tap])."""
    def dropped(self) -> int:
        """Values the taps turned away."""
    def pending(self) -> bool:
        """Whether values or closed chunks wait for the writer."""
    def can_write(self, compression: str) -> bool:
        """Whether write_closed() can compress so here."""
    def write_closed(self, fd: int, position: int, compression: str) -> tuple[int, int, list[Any]]:
        """Compress and write the closed chunks at `position` of file `fd`, without the interpreter lock."""
    def wait(self, timeout: float) -> bool:
        """Sleep until there is work for the writer (True) or `timeout` seconds pass."""
    def wake(self) -> None:
        """End the writer's wait()."""
    def serve(self, fd: int, position: int, compression: str,
              timeout: float) -> tuple[int, int, list[Any], bool]:
        """Write the chunks the taps close until a value waits for the writer, wake() or `timeout` seconds."""
    def written_to(self) -> int:
        """Where serve() has written the file to."""
    def write_ready(self) -> bool:
        """Write the oldest waiting values that were pickled at their push and have a channel."""
    def set_channel_maker(self, maker: Optional[Callable[..., Any]]) -> None:
        """The callable that makes a tap's pickle channel on the pushing thread."""

class RecordTap:
    """What a recorder tap's pushes go into: its recording's buffer."""

    def __new__(cls, buffer: RecordBuffer, tap: int) -> RecordTap: ...

#: The shared-memory ring's layout: "magic" (bytes), the header words' offsets,
#: "header", "align", "max_frames" and the record tags.
RING_LAYOUT: dict[str, Any]

class RingEnd:
    """The hot paths of one end of a shared-memory ring (cluster/shm.py)."""

    head: int
    tail: int
    last_size: int
    record_bytes: float
    DELIVERED_FOR_NOW: int
    HANDED_BACK: int
    BY_SOCKET: int
    NOT_TAKEN: int

    def __new__(cls, map: Any, data_fd: int, space_fd: int, capacity: int, writer: bool,
                error: type[BaseException], spin: float, gap: float) -> RingEnd: ...
    def wait(self, timeout_ms: int) -> bool:
        """Wait up to `timeout_ms` for records (reader); True when some may wait."""
    def next(self) -> Any:
        """The next message's frames, None (by the socket) or False (none waits)."""
    def finish(self) -> None:
        """The end of a read: a writer waiting for room is woken."""
    def deliver(self, most: int, port: Any, hwm: int, shift: float, offset: float) -> tuple[int, Any, int]:
        """Small values straight into a SYNC input port: (why it stopped, item, taken)."""
    def put(self, frames: list[Any], tag: int) -> Any:
        """One record now if there is room: True, None (never fits) or (head, needed)."""
    def put_value(self, value: Any, origin: Optional[float]) -> Any:
        """One small value pickled into the ring: True, its frames, or None."""
    def writer_sleeps(self, waits_for: int) -> int:
        """The writer's wait word; returns the reader's count."""
    def record_size(self, lengths: list[int]) -> int:
        """The bytes of the record of frames of these lengths."""
    def close(self) -> None:
        """Let go of the mapping and the eventfds."""

def _pickle5(value: Any) -> Optional[bytes]:
    """pickle.dumps(value, 5) as the recorder's taps write it natively, or None when they cannot."""

def _read_chunk(data: Any, position: int, since: int, routes: dict[int, Any],
                loads: Any) -> tuple[list[tuple[Any, int, Any]], int, Any]:
    """_read_chunk(data, position, since, routes, loads): the routed, decoded messages of a chunk."""

def carried(function: Callable[..., Any], /, *args: Any) -> Any:
    """Call `function(*args)`, then run on this thread the scheduled nodes it made ready."""

def current_origin() -> Optional[float]:
    """The origin (time.time() seconds) of what the running step pushes, or None."""

def set_origin(seconds: float) -> None:
    """What the running step pushes from now on carries `seconds` as its origin."""

def _set_tracing(enabled: object) -> None: ...
def _get_tracing() -> bool: ...

class IPortImp(PortableImp):
    """An input port: SYNC queues every value in arrival order, ASYNC keeps the newest."""

    config: Any
    _connected_ports: list[OPortImp]

    def __init__(self, config: Any) -> None: ...
    def set_event_handler(self, handler: Optional[Callable[[], object]]) -> None:
        """Call `handler()` after each arriving value."""
    def data_available(self) -> bool:
        """Whether a value is waiting."""
    def get(self) -> Any:
        """Take the oldest waiting value (LookupError when none waits)."""
    def get_timing(self) -> str:
        """SYNC or ASYNC."""
    def connect(self, output_port: OPortImp) -> None:
        """Accept values from `output_port` (TypeError for anything else)."""
    def disconnect(self, output_port: OPortImp) -> None:
        """Forget the link to `output_port`."""
    def get_stats(self) -> dict[str, Optional[int]]:
        """Values received, still queued and dropped (an ASYNC port's replaced values)."""
    def _receive(self, value: Any, origin: Optional[float] = None) -> None: ...
    def _source_metadata(self) -> Any: ...

class OPortImp(PortableImp):
    """An output port: passes each value to every linked input port, in link order."""

    config: Any
    _connected_ports: list[IPortImp]

    def __init__(self, config: Any) -> None: ...
    def get_timing(self) -> str:
        """SYNC or ASYNC."""
    def push(self, value: Any) -> None:
        """Pass `value` to every linked input port."""
    def connect(self, input_port: IPortImp) -> None:
        """Send values to `input_port` (TypeError for anything else)."""
    def disconnect(self, input_port: IPortImp) -> None:
        """Forget the link to `input_port`."""
    def get_stats(self) -> dict[str, int]:
        """Values pushed, and cycles that pushed nothing (SKIP)."""
