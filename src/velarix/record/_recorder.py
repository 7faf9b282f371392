"""Recording a running pipeline: taps on its output ports and a writer thread.

A tap is a stand-in input port linked to a recorded output port. Its `_values` is a
native RecordTap, so the port hands it each value without a Python call: a value
the native pickler takes goes straight into the open chunk of the recording's
RecordBuffer as a message, on the pushing thread (the tap's first such value makes
its channel there too, through _pickle_channel); any other value, and every value
behind one, waits in the buffer's bounded queue for the writer thread, which
encodes it here. Pushes never wait for the disk, and the order across ports is the
order of the pushes. The writer compresses and writes the chunks the buffer closes,
natively and without the interpreter lock, as they close.
"""

from __future__ import annotations

import atexit
import itertools
import math
import os
import sys
import threading
import time
import weakref
from typing import TYPE_CHECKING, Any, Callable, Optional, Sequence

from .._live import finish_each
from ..i_port import IPort
from ..imp import IPortImp
from ..imp.portan import RecordBuffer, RecordTap
from ..logger import LogType
from ._format import (ENCODING_JSON, ENCODING_NPY, ENCODING_PICKLE, META_PIPELINE, META_RECORDING, META_STATS,
                      SCHEMA_ENCODING, SCHEMA_NAME, VALUE_SCHEMA, DirectFile, Encoder, encode_port_metadata,
                      open_writer, recording_metadata)

if TYPE_CHECKING:
    from ..o_node import ONode
    from ..pipeline import Pipeline

#: The id prefix of taps: their links are left out of the pipeline's saved form.
TAP_ID_PREFIX = "velarix.record.tap:"
_tap_numbers = itertools.count(1)
_live: "weakref.WeakSet[Recording]" = weakref.WeakSet()

# Values, and bytes of arrays and byte strings, that may wait for the writer: enough
# for the pauses in which the writer waits for the interpreter lock (several ms).
DEFAULT_QUEUE_SIZE = 65536
DEFAULT_QUEUE_BYTES = 64 << 20
DEFAULT_CHUNK_SIZE = 1 << 20
DEFAULT_FLUSH_INTERVAL = 1.0
# Seconds the writer sleeps at most when nothing waits: a push that leaves it work
# (a closed chunk, a value it must encode) wakes it sooner. It wakes by itself only
# to look at the pipeline's state and to flush.
_IDLE_WAIT = 0.1
_WARN_INTERVAL = 1.0  # at most one "dropped" warning a second


class _Tap(IPortImp):
    """An input port that only the recorder knows; see the module's text."""

    def __init__(self) -> None:  # made by _make_tap only
        raise TypeError("recorder taps are made by Pipeline.record()")


def _make_tap(buffer: Any, channel: int) -> _Tap:
    tap: _Tap = _Tap.__new__(_Tap)
    tap.config = IPort.Configuration(id=f"{TAP_ID_PREFIX}{next(_tap_numbers)}", name="recorder")
    tap._connected_ports = []
    tap.__dict__["_values"] = RecordTap(buffer, channel)
    return tap


def is_tap_id(port_id: object) -> bool:
    """Whether `port_id` is a recorder tap's (left out of saved pipelines)."""
    return type(port_id) is str and port_id.startswith(TAP_ID_PREFIX)


def _output_ports(pipeline: Pipeline) -> list[tuple[Any, str, Any]]:
    """(node, port name, port) for every output port of the pipeline, in node order."""
    from ..o_node import ONode

    found = []
    for node in pipeline.get_nodes():
        if isinstance(node, ONode):
            for name, port in node._imp._output_ports.items():
                found.append((node, name, port))
    return found


def topic_of(node: Any, port: str) -> str:
    """The channel name of a node's output port: "node.port" (a replay's ports carry
    the names they play, so a run over a replay records its inputs as they were)."""
    played = getattr(node, "played_topic", None)
    if callable(played):
        topic = played(port)
        if isinstance(topic, str):
            return topic
    return f"{node.get_name()}.{port}"


class Recording:
    """A recording in progress; made by `Pipeline.record()`.

    It writes on its own thread. Values that arrive while `queue_size` values
    wait to be written are dropped, counted ("dropped" in `get_stats()`) and
    logged as a WARNING in the pipeline's log. A write that fails (a full disk)
    ends the recording with a WARNING; the file keeps what was written. It stops
    when the pipeline stops, at the latest, or at the end of the process.

    Values JSON gives back exactly are written as JSON (`values` "pickle5" pickles
    them, as recordings did before); numeric arrays as .npy, or as JSON with
    `arrays` "json"; anything else pickled, said once per port at INFO.
    """

    def __init__(self, pipeline: Pipeline, path: str, ports: Optional[Sequence[str]] = None,
                 compression: str = "zstd", chunk_size: int = DEFAULT_CHUNK_SIZE,
                 queue_size: int = DEFAULT_QUEUE_SIZE, flush_interval: float = DEFAULT_FLUSH_INTERVAL,
                 pipeline_json: Optional[str] = None, queue_bytes: int = DEFAULT_QUEUE_BYTES,
                 values: str = ENCODING_JSON, arrays: str = ENCODING_NPY) -> None:
        if compression not in ("zstd", "lz4", "none"):
            raise ValueError(f"compression must be 'zstd', 'lz4' or 'none', got {compression!r}.")
        if values not in (ENCODING_JSON, ENCODING_PICKLE):
            raise ValueError(f"values must be 'json' or 'pickle5', got {values!r}.")
        if arrays not in (ENCODING_NPY, ENCODING_JSON):
            raise ValueError(f"arrays must be 'npy' or 'json', got {arrays!r}.")
        self._json = values == ENCODING_JSON
        self._arrays = arrays
        self._schema_id: Optional[int] = None
        if type(queue_size) is not int or queue_size < 1:
            raise ValueError(f"queue_size must be an int of at least 1, got {queue_size!r}.")
        if type(queue_bytes) is not int or queue_bytes < 1:
            raise ValueError(f"queue_bytes must be an int of at least 1, got {queue_bytes!r}.")
        if type(chunk_size) is not int or chunk_size < 1:
            raise ValueError(f"chunk_size must be an int of at least 1, got {chunk_size!r}.")
        self._pipeline = pipeline
        self._logger = pipeline.get_logger()
        self.path = os.fspath(path)
        if (isinstance(flush_interval, bool) or not isinstance(flush_interval, (int, float))
                or not math.isfinite(flush_interval) or flush_interval <= 0):
            raise ValueError(f"flush_interval must be a positive number of seconds, got {flush_interval!r}.")
        self._flush_interval = float(flush_interval)
        chosen = self._choose(pipeline, ports)
        self._recorded_ports = [(node, name) for node, name, _ in chosen]
        where = pipeline._worker_of
        if where is not None:
            self.refuse_ports_on_workers(where)
        numpy = sys.modules.get("numpy")  # arrays count their bytes against queue_bytes
        self._buffer = RecordBuffer(len(chosen), queue_size, queue_bytes, chunk_size,
                                    numpy.ndarray if numpy is not None else None, self._json)
        self._taps: list[tuple[Any, _Tap]] = []
        self._channels: list[dict[str, Any]] = []  # per tap: topic, node, port, ids by encoding
        self._lost = 0  # taken off the queue but never written (the write failed)
        self._error: Optional[str] = None
        self._stop = threading.Event()
        self._done = threading.Event()
        self._lock = threading.Lock()
        self._channel_lock = threading.Lock()  # the writer's and the pushing threads' channel making
        if pipeline_json is None:
            pipeline_json = _saved_form(pipeline)
        self._file = DirectFile(self.path)
        try:
            self._writer = open_writer(self._file, compression, chunk_size, self._buffer)
            started = time.time_ns()
            topics = [topic_of(node, name) for node, name, _ in chosen]
            self._writer.add_metadata(META_RECORDING, recording_metadata(started, topics))
            if pipeline_json is not None:
                self._writer.add_metadata(META_PIPELINE, {"json": pipeline_json})
        except BaseException:
            self._file.close()
            raise
        self._seen_running = pipeline.get_state() == "RUNNING"
        self._thread = threading.Thread(target=self._run, name="velarix-recorder", daemon=True)
        for node, name, port in chosen:
            tap = _make_tap(self._buffer, len(self._channels))
            self._channels.append({"topic": topic_of(node, name), "node": str(node.get_name()),
                                   "port": name, "source": port, "ids": {}})
            self._taps.append((port, tap))
        self._taps_linked = True
        self._buffer.set_channel_maker(self._native_channel)  # let go when the writer ends
        _live.add(self)
        pipeline._keep_recording(self, True)
        self._thread.start()
        # Linked last: a push walks a snapshot of the port's links, so a link made
        # while the pipeline runs takes effect at the next push.
        for port, tap in self._taps:
            port.connect(tap)

    @staticmethod
    def _choose(pipeline: Pipeline, ports: Optional[Sequence[str]]) -> list[tuple[Any, str, Any]]:
        every = _output_ports(pipeline)
        if ports is None:
            return every
        if isinstance(ports, str):
            ports = [ports]
        by_name = {f"{node.get_name()}.{name}": (node, name, port) for node, name, port in every}
        chosen = []
        for wanted in ports:
            if wanted not in by_name:
                known = ", ".join(sorted(by_name)) or "none"
                raise ValueError(f"No output port {wanted!r} in the pipeline (known: {known}).")
            chosen.append(by_name[wanted])
        return chosen

    def refuse_ports_on_workers(self, where: Callable[[Any], Optional[str]]) -> None:
        """Raises ValueError when a recorded port's node runs on a worker, as
        `where(node)` (a Cluster's placement) tells: its values never pass here."""
        for node, port in self._recorded_ports:
            worker = where(node)
            if worker is not None:
                raise ValueError(f"Cannot record {node.get_name()}.{port}: node {node.get_name()} runs on "
                                 f"worker {worker}, and ports of nodes on workers are not recorded. "
                                 f"Record the ports of nodes in this process (ports=[...]).")

    # Public ---------------------------------------------------------------------

    def stop(self) -> None:
        """Unlink the taps, write what is queued and finish the file. Calling it
        again does nothing more."""
        self._unlink()
        self._stop.set()
        self._buffer.wake()
        if self._thread.is_alive() and self._thread is not threading.current_thread():
            self._thread.join()

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Until the recording has ended (True) or `timeout` seconds pass (False)."""
        return self._done.wait(timeout)

    def is_recording(self) -> bool:
        """Whether the recording still takes values."""
        return not self._done.is_set()

    def get_stats(self) -> dict[str, Any]:
        """{"path", "recording" (bool), "recorded" (values written), "dropped"
        (values the full queue turned away, and values a failed write lost),
        "queued", "bytes" (file size so far), "error" (why it ended early, or None),
        "ports": {"node.port": values written}}."""
        recorded, queued, taps = self._buffer.stats()
        dropped = sum(tap[1] for tap in taps) + self._lost
        written = max(self._file.tell(), self._buffer.written_to())  # the writer's chunks are written natively
        return {"path": self.path, "recording": self.is_recording(), "recorded": recorded,
                "dropped": dropped, "queued": queued, "bytes": written,
                "error": self._error,
                "ports": {c["topic"]: tap[0] for c, tap in zip(self._channels, taps)}}

    def __enter__(self) -> Recording:
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    # The writer thread -------------------------------------------------------------

    def _unlink(self) -> None:
        with self._lock:
            taps, self._taps_linked = self._taps_linked, False
        if taps:
            for port, tap in self._taps:
                port.disconnect(tap)

    def _run(self) -> None:
        encoder = Encoder(self._arrays, ENCODING_JSON if self._json else ENCODING_PICKLE)
        buffer = self._buffer
        last_flush = time.monotonic()
        last_warned, warned_count = 0.0, 0
        try:
            while True:
                stopping = self._stop.is_set() or self._pipeline_ended()
                if stopping:
                    self._unlink()  # nothing more joins the buffer after this
                wrote = buffer.pending()
                if wrote:
                    self._drain(encoder)
                    self._guarded(self._writer.write_chunks)
                if self._error is not None:
                    break  # a failed write ends the recording (the taps are unlinked)
                dropped = buffer.dropped()
                now = time.monotonic()
                if dropped > warned_count and now - last_warned >= _WARN_INTERVAL:
                    self._logger.write(LogType.WARNING,
                                       f"Recording {self.path}: {dropped - warned_count} values dropped "
                                       f"({dropped} in all): the writer cannot keep up.")
                    last_warned, warned_count = now, dropped
                if stopping:
                    break
                if now - last_flush >= self._flush_interval:
                    self._guarded(self._writer.flush)
                    last_flush = now
                if not wrote:
                    timeout = min(_IDLE_WAIT, max(0.0, last_flush + self._flush_interval - now))
                    self._guarded(lambda: self._writer.serve(timeout))
            self._finish(warned_count)
        finally:
            self._lost += buffer.stop()
            buffer.set_channel_maker(None)
            self._file.close()
            self._done.set()
            _live.discard(self)
            self._pipeline._keep_recording(self, False)

    @property
    def _recorded(self) -> int:
        recorded: int = self._buffer.stats()[0]
        return recorded

    def _pipeline_ended(self) -> bool:
        running = self._pipeline.get_state() == "RUNNING"
        if running:
            self._seen_running = True
            return False
        return self._seen_running

    def _drain(self, encoder: Encoder) -> None:
        """Write the values that wait, oldest first. Each leaves the queue only once
        it is in the chunk: until then the taps queue behind it, so the order holds."""
        front = self._buffer.front
        while self._error is None:
            if self._buffer.write_ready():  # natively pickled values with a channel: written natively
                self._guarded(self._writer.write_chunks)
                continue
            item = front()
            if item is None:
                return
            channel, _, value, pickled = item
            if pickled is not None:  # encoded natively at its push
                channel_id = self._channel_id(channel, self._buffer.front_encoding() or ENCODING_PICKLE)
                if channel_id is None:
                    self._buffer.drop_front()
                    self._lost += 1
                    return
                closed = self._buffer.write_front(channel_id)
            else:
                closed = self._write(encoder, channel, value)
            if closed:  # written at once: what waits stays bounded, not a chunk per value
                self._guarded(self._writer.write_chunks)

    def _write(self, encoder: Encoder, channel: int, value: Any) -> bool:
        """Write the waiting `value` of tap `channel`; True when a chunk closed."""
        entry = self._channels[channel]
        try:
            encoding, head, data = encoder.encode_parts(value)
        except Exception as error:  # a value that does not pickle: skipped, said once per port
            self._buffer.drop_front()
            self._lost += 1
            if not entry.get("warned"):
                entry["warned"] = True
                self._logger.write(LogType.WARNING, f"Recording {self.path}: a value of "
                                   f"{entry['topic']} cannot be stored ({type(error).__name__}: "
                                   f"{error}); such values are left out.")
            return False
        channel_id = self._channel_id(channel, encoding, type(value).__name__)
        if channel_id is None:
            self._buffer.drop_front()
            self._lost += 1
            return False
        closed: bool = self._buffer.write_front(channel_id, data, head)
        return closed

    def _native_channel(self, channel: int, encoding: str = ENCODING_PICKLE,
                        why: str = "") -> Optional[tuple[int, Optional[bytes]]]:
        """Called by the buffer on a pushing thread at tap `channel`'s first value
        encoded natively as `encoding` (`why`: what needed pickle), which waits in
        the buffer meanwhile: the channel's id, its record put in the open chunk
        here; None once a write failed or the writer may be finishing the file."""
        with self._channel_lock:
            if not self._taps_linked:
                return None
            channel_id = self._channel_id_locked(channel, encoding, why)
        return None if channel_id is None else (channel_id, None)

    def _channel_fields(self, channel: int, encoding: str) -> tuple[str, str, int, dict[str, str]]:
        entry = self._channels[channel]
        metadata = {"node": entry["node"], "port": entry["port"]}
        config = entry["source"].config
        if config.has_metadata():
            metadata.update(encode_port_metadata(config.get_metadata()))
        schema_id = 0
        if encoding == ENCODING_JSON:
            if self._schema_id is None:  # one schema for every JSON channel, before the first
                self._schema_id = self._writer.register_schema(SCHEMA_NAME, SCHEMA_ENCODING,
                                                               VALUE_SCHEMA.encode("utf-8"))
            schema_id = self._schema_id
        return entry["topic"], encoding, schema_id, metadata

    def _channel_id(self, channel: int, encoding: str, why: str = "") -> Optional[int]:
        """The id of the tap's channel for `encoding`, registered at its first value
        (in the open chunk, before that value); None once a write failed."""
        with self._channel_lock:
            return self._channel_id_locked(channel, encoding, why)

    def _channel_id_locked(self, channel: int, encoding: str, why: str = "") -> Optional[int]:
        entry = self._channels[channel]
        ids = entry["ids"]
        channel_id: Optional[int] = ids.get(encoding)
        if channel_id is not None:
            return channel_id
        if self._error is not None:
            return None
        channel_id = self._guarded(lambda: self._writer.register_channel(*self._channel_fields(channel, encoding)))
        if channel_id is None:
            return None
        ids[encoding] = channel_id
        if encoding in (ENCODING_PICKLE, ENCODING_JSON):
            self._buffer.set_channel(channel, channel_id, encoding)
        if encoding == ENCODING_PICKLE and self._json:
            self._logger.write(LogType.INFO, f"Recording {self.path}: values of {entry['topic']} are pickled "
                               f"where JSON would change them (first: {why or 'a value'}); replaying "
                               f"them needs allow_pickle.")
        return channel_id

    def _guarded(self, call: Callable[[], Any]) -> Any:
        """`call()`, or None once a write failed: the recording ends there with a
        WARNING, and the file keeps what was written before."""
        if self._error is not None:
            return None
        try:
            result = call()
        except OSError as error:
            self._fail(error)
            return None
        return True if result is None else result

    def _fail(self, error: OSError) -> None:
        self._error = error.strerror or str(error)
        self._logger.write(LogType.WARNING,
                           f"Recording {self.path} stopped: {self._error}. The file holds the "
                           f"{self._recorded} values written before, up to its last complete chunk.")
        self._unlink()

    def _finish(self, warned_count: int) -> None:
        dropped = self._buffer.dropped()
        if dropped > warned_count:
            self._logger.write(LogType.WARNING, f"Recording {self.path}: {dropped - warned_count} values "
                               f"dropped ({dropped} in all): the writer cannot keep up.")
        if self._error is not None:
            return
        stats = {"recorded": str(self._recorded), "dropped": str(dropped + self._lost),
                 "ended": str(time.time_ns())}
        with self._channel_lock:  # no channel is made on a pushing thread meanwhile
            self._guarded(lambda: self._writer.add_metadata(META_STATS, stats))
            self._guarded(self._writer.finish)


def _saved_form(pipeline: Pipeline) -> Optional[str]:
    """The pipeline as save() writes it, or None when it cannot be saved (a class
    whose source does not run on its own, say): the recording works without it."""
    from .._saving import check_loadable, to_json

    try:
        data = pipeline.serialize()
        check_loadable(data)
        return to_json(data)
    except Exception:
        return None


def stop_all() -> None:
    """Finish every recording still running (at the end of the process)."""
    finish_each(_live, "stop")


def active_recordings() -> list[Recording]:
    return list(_live)


atexit.register(stop_all)
