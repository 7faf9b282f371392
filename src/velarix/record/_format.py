"""The recording file: MCAP with one channel per recorded port and encoding, and a
reader that tolerates a file cut short (a killed process, a full disk).

Layout (see README "Recording and replay"):

- header profile ``"velarix"``; metadata record ``"velarix.recording"`` with
  ``format`` ("1"), ``started`` (ns since the epoch) and ``ports`` (JSON list of
  "node.port"); metadata record ``"velarix.pipeline"`` with ``json``, the text
  `Pipeline.save()` writes; at a clean end a metadata record ``"velarix.stats"``.
- one channel per recorded port and encoding, topic ``"node.port"``, channel
  metadata ``node``, ``port`` and, when the port had set-up metadata,
  ``port_metadata_json`` (its JSON text, where JSON gives it back exactly) or
  else ``port_metadata`` (base64 of its pickle).
- message encoding ``"json"`` (schema ``velarix.value``, encoding ``jsonschema``):
  a value JSON gives back exactly, as the UTF-8 JSON text ``{"value": V}``; an
  array recorded with ``arrays="json"`` adds ``"dtype"`` and ``"shape"``.
  ``"npy"``: a numpy array (not of object dtype) in numpy's .npy file format;
  ``"pickle5"``: any other value, ``pickle.dumps(value, protocol=5)``. A port whose
  values vary has a channel for each encoding its values needed.
- messages in the order the values were pushed, across ports; log and publish time
  the push time (ns since the epoch); sequence the value's index in the recording
  (modulo 2**32).
"""

from __future__ import annotations

import base64
import importlib
import io
import json
import math
import os
import pickle
import struct
import zlib
from dataclasses import dataclass, field
from typing import Any, Callable, Generator, Iterator, Optional

PROFILE = "velarix"
FORMAT_VERSION = "1"
META_RECORDING = "velarix.recording"
META_PIPELINE = "velarix.pipeline"
META_STATS = "velarix.stats"
ENCODING_NPY = "npy"
ENCODING_PICKLE = "pickle5"
ENCODING_JSON = "json"
SCHEMA_NAME = "velarix.value"
SCHEMA_ENCODING = "jsonschema"
#: The schema of every velarix JSON channel: an object whose "value" is the value
#: (any JSON value; arrays add their dtype and shape).
VALUE_SCHEMA = json.dumps({
    "$schema": "https://json-schema.org/draft/2020-12/schema",
    "title": SCHEMA_NAME,
    "description": "One recorded value; an array recorded as JSON adds its numpy dtype and shape.",
    "type": "object",
    "properties": {
        "value": {"description": "the value as pushed"},
        "dtype": {"type": "string"},
        "shape": {"type": "array", "items": {"type": "integer", "minimum": 0}},
    },
    "required": ["value"],
})
_MAGIC = b"\x89MCAP0\r\n"


class RecordingError(ValueError):
    """A file that is missing, unreadable or not a velarix recording."""


class PickleRefused(RecordingError):
    """A recording holds pickled values and was opened without ``allow_pickle``."""


def require_mcap() -> None:
    """Raise ImportError with the extra to install when `mcap` is missing."""
    try:
        import mcap  # noqa: F401
    except ImportError:
        raise ImportError("recording and replay need the mcap package: "
                          "pip install 'velarix[record]'") from None


# Values ---------------------------------------------------------------------------

class Encoder:
    """Turns values into (encoding, bytes); keeps the .npy header of each array
    layout it has seen, so an array costs one copy of its data. With `plain`
    "json", values JSON gives back exactly are JSON; with `arrays` "json",
    numeric arrays too (instead of .npy)."""

    def __init__(self, arrays: str = ENCODING_NPY, plain: str = ENCODING_JSON) -> None:
        self._headers: dict[tuple[Any, tuple[int, ...]], bytes] = {}
        self._arrays = arrays
        self._plain = plain == ENCODING_JSON

    def encode(self, value: Any) -> tuple[str, bytes]:
        """(encoding, data) of `value`."""
        encoding, head, body = self.encode_parts(value)
        return encoding, head + bytes(body)

    def encode_parts(self, value: Any) -> tuple[str, bytes, Any]:
        """(encoding, head, body): the data is head + body, where body may be a
        buffer over the value's own memory (an array's), valid while it lives."""
        kind = type(value)
        if kind.__name__ == "ndarray" and kind.__module__ == "numpy" and not value.dtype.hasobject:
            if self._arrays == ENCODING_JSON:
                text = array_json(value)
                if text is not None:
                    return ENCODING_JSON, b"", text
            return (ENCODING_NPY, *self._npy(value))
        if self._plain and plain_json(value):
            return ENCODING_JSON, b"", _dumps({"value": value})
        return ENCODING_PICKLE, b"", pickle.dumps(value, protocol=5)

    def _npy(self, array: Any) -> tuple[bytes, Any]:
        import numpy

        array = numpy.ascontiguousarray(array)
        key = (array.dtype, array.shape)
        header = self._headers.get(key)
        if header is None:
            buffer = io.BytesIO()
            numpy.lib.format.write_array(buffer, array, allow_pickle=False)
            data = buffer.getvalue()
            header = data[:len(data) - array.nbytes]
            if len(self._headers) < 256:
                self._headers[key] = header
        try:
            return header, memoryview(array).cast("B")
        except (TypeError, ValueError):  # dtypes without a buffer format (datetimes, say)
            return header, array.tobytes()


def _dumps(value: Any) -> bytes:
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"), allow_nan=False).encode("utf-8")


def plain_json(value: Any, depth: int = 0) -> bool:
    """Whether JSON gives `value` back exactly: None, bool, int, finite float, str
    (valid UTF-8), and lists and str-keyed dicts of those, of the exact types."""
    kind = type(value)
    if value is None or kind is bool or kind is int:
        return True
    if kind is float:
        return math.isfinite(value)
    if kind is str:
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:  # lone surrogates
            return False
        return True
    if depth >= 100:
        return False
    if kind is list:
        return all(plain_json(item, depth + 1) for item in value)
    if kind is dict:
        return all(type(key) is str and plain_json(key) and plain_json(item, depth + 1)
                   for key, item in value.items())
    return False


def array_json(array: Any) -> Optional[bytes]:
    """A numeric array as ``{"value": [...], "dtype": ..., "shape": [...]}``, or None
    when JSON would not give it back (non-finite floats, other dtypes)."""
    import numpy

    if array.dtype.kind not in "biuf":
        return None
    if array.dtype.kind == "f" and not numpy.isfinite(array).all():
        return None
    return _dumps({"value": array.tolist(), "dtype": array.dtype.str, "shape": list(array.shape)})


def _from_json(data: Any) -> Any:
    message = json.loads(bytes(data))
    if type(message) is dict and "value" in message:
        if "dtype" in message and "shape" in message:
            import numpy

            return numpy.array(message["value"], dtype=numpy.dtype(message["dtype"])).reshape(message["shape"])
        return message["value"]
    return message


def decode(encoding: str, data: bytes, velarix: bool = True) -> Any:
    """The value a message holds (of a velarix channel; else a JSON message is
    given whole, as a dict). Unpickling runs code: only for trusted files."""
    if encoding == ENCODING_JSON:
        return _from_json(data) if velarix else json.loads(bytes(data))
    if encoding == ENCODING_NPY:
        import numpy

        return numpy.lib.format.read_array(io.BytesIO(data), allow_pickle=False)
    if encoding == ENCODING_PICKLE:
        return pickle.loads(data)
    raise RecordingError(f"unknown message encoding {encoding!r}")


def encode_port_metadata(metadata: Any) -> dict[str, str]:
    """The channel metadata entries of the port's set-up metadata: JSON where JSON
    gives it back exactly, else its pickle; none when it does not pickle."""
    if plain_json(metadata):
        return {"port_metadata_json": _dumps(metadata).decode("utf-8")}
    try:
        return {"port_metadata": base64.b64encode(pickle.dumps(metadata, protocol=5)).decode("ascii")}
    except Exception:  # a value of the application's that does not pickle: not stored
        return {}


def decode_port_metadata(metadata: dict[str, str], allow_pickle: bool = False) -> Any:
    """The port's set-up metadata stored in a channel's metadata, or None; a
    pickled one only with `allow_pickle`."""
    text = metadata.get("port_metadata_json")
    if text:
        try:
            return json.loads(text)
        except ValueError:
            return None
    text = metadata.get("port_metadata")
    if not text or not allow_pickle:
        return None
    try:
        return pickle.loads(base64.b64decode(text))
    except Exception:
        return None


def port_metadata_text(metadata: dict[str, str]) -> Optional[str]:
    """The port's set-up metadata as a listing shows it, never unpickled: its JSON
    text, "pickled", or None."""
    if metadata.get("port_metadata_json"):
        return metadata["port_metadata_json"]
    return "pickled" if metadata.get("port_metadata") else None


# Reading --------------------------------------------------------------------------

@dataclass
class Channel:
    """One recorded port and encoding (`velarix`: written by velarix, so a JSON
    message holds ``{"value": V}``; else it is given whole)."""

    id: int
    topic: str
    encoding: str
    metadata: dict[str, str]
    velarix: bool = True
    schema_id: int = 0


@dataclass(slots=True)
class Message:
    """One recorded value: its channel, push time (ns since the epoch) and data."""

    channel: Channel
    log_time: int
    data: bytes

    def value(self) -> Any:
        return decode(self.channel.encoding, self.data, self.channel.velarix)


@dataclass
class Contents:
    """What a scan of the whole file found."""

    channels: dict[int, Channel] = field(default_factory=dict)
    counts: dict[int, int] = field(default_factory=dict)
    start: Optional[int] = None
    end: Optional[int] = None
    messages: int = 0
    metadata: dict[str, dict[str, str]] = field(default_factory=dict)
    complete: bool = False  # the file ends with its footer
    problem: Optional[str] = None  # why reading stopped early


class RecordingReader:
    """Reads a recording front to back without its summary, so a file cut short
    reads up to its last complete chunk; `complete` and `problem` then say so.

    Any MCAP file opens (`velarix` says whether velarix wrote it); its JSON
    channels read back as the dicts their messages hold. A file with pickled
    values is refused unless `allow_pickle` is True: unpickling can run any
    code, so open such a file only when you trust it.

    Raises:
        RecordingError: the file is missing, unreadable or not MCAP.
        PickleRefused: the file holds pickled values and `allow_pickle` is False.
    """

    def __init__(self, path: str, allow_pickle: bool = False) -> None:
        require_mcap()
        self.path = os.fspath(path)
        self.allow_pickle = allow_pickle
        try:
            with open(self.path, "rb") as file:
                magic = file.read(len(_MAGIC))
        except OSError as error:
            raise RecordingError(f"cannot read {self.path}: {error.strerror or error}") from None
        if magic != _MAGIC:
            raise RecordingError(f"{self.path} is not an MCAP file")
        self.complete = False
        self.problem: Optional[str] = None
        self.metadata: dict[str, dict[str, str]] = {}
        self.channels: dict[int, Channel] = {}
        self.schemas: dict[int, Any] = {}  # the mcap package's Schema records by id
        self._contents: Optional[Contents] = None
        self.velarix = True
        first = self._first_records()
        if "profile" not in first:
            raise RecordingError(f"{self.path} is an MCAP file but not a velarix recording (no header)")
        self.profile: str = first["profile"]
        self.velarix = self.profile == PROFILE
        if not allow_pickle:
            self.refuse_pickle()

    def refuse_pickle(self) -> None:
        """Raise PickleRefused when any channel of the file holds pickled values
        (found from the summary, or a pass over a file without one; nothing is
        decoded)."""
        pickled = sorted({channel.topic for channel in self.contents().channels.values()
                          if channel.encoding == ENCODING_PICKLE})
        if pickled:
            raise PickleRefused(
                f"{self.path} holds pickled values ({', '.join(pickled)}), and unpickling can run any code: "
                f"open it with allow_pickle=True (velarix replay --allow-pickle) only if you trust the file")

    def _first_records(self) -> dict[str, Any]:
        from mcap.records import Header

        for record in self._records():
            if isinstance(record, Header):
                return {"profile": record.profile}
            break
        return {}

    def _records(self) -> Iterator[Any]:
        """The header, channel, message, chunk (whole), metadata and footer records
        in file order, read here rather than by the mcap package's stream reader,
        which parses every index on the way. Stops quietly, noting why, where the
        file ends early or goes bad."""
        from mcap.data_stream import ReadDataStream
        from mcap.records import Channel as McapChannel, Chunk, Footer, Header, Message as McapMessage
        from mcap.records import Metadata, Schema

        kinds: dict[int, Any] = {0x01: Header, 0x02: Footer, 0x03: Schema, 0x04: McapChannel, 0x05: McapMessage,
                                 0x06: Chunk, 0x0C: Metadata}
        self.complete, self.problem = False, None
        with open(self.path, "rb") as file:
            size = os.fstat(file.fileno()).st_size
            file.seek(len(_MAGIC))
            while True:
                good = file.tell()  # the end of the last whole record
                head = file.read(9)
                if len(head) < 9 or good + 9 + struct.unpack_from("<Q", head, 1)[0] > size:
                    self.problem = ("the file ends without its summary (the recording did not finish)"
                                    if good == size else "the file ends inside a record")
                    return
                opcode, length = struct.unpack("<BQ", head)
                kind = kinds.get(opcode)
                if kind is None:  # indexes, statistics, the data end: not needed here
                    file.seek(length, os.SEEK_CUR)
                    continue
                body = file.read(length)
                try:
                    stream = ReadDataStream(io.BytesIO(body))
                    record = kind.read(stream, length) if kind is McapMessage else kind.read(stream)
                except Exception as error:  # a record that does not parse: the file is broken there
                    self.problem = _problem_text(error)
                    return
                if kind is McapChannel:
                    self._add_channel(record)
                elif kind is Schema:
                    self.schemas[record.id] = record
                elif kind is Metadata:
                    self.metadata[record.name] = dict(record.metadata)
                elif kind is Footer:
                    self.complete = True
                yield record
                if kind is Footer:
                    return

    def _add_channel(self, record: Any) -> None:
        self.channels[record.id] = Channel(record.id, record.topic, record.message_encoding,
                                           dict(record.metadata), self.velarix, record.schema_id)

    def raw_messages(self) -> Iterator[tuple[Channel, int, bytes]]:
        """(channel, log time, data) of every message in file order."""
        return self.values(lambda channel: channel, raw=True)

    def values(self, route: Callable[[Channel], Any], since: int = 0,
               raw: bool = False) -> Iterator[tuple[Any, int, Any]]:
        """(route(channel), log time, value) of the messages logged at `since` (ns)
        or later, in file order, leaving out channels whose route is None; with
        `raw`, the message's bytes instead of its value."""
        for batch in self.batches(route, since, raw):
            yield from batch

    def batches(self, route: Callable[[Channel], Any], since: int = 0,
                raw: bool = False) -> Generator[list[tuple[Any, int, Any]], None, None]:
        """values() in lists, a chunk's at a time (a message outside any chunk in a
        list of its own). The chunks are parsed natively rather than record by
        record: this is the replay's hot loop."""
        from mcap.data_stream import ReadDataStream
        from mcap.records import Channel as McapChannel, Chunk, Message as McapMessage, Schema

        from ..imp.portan import _read_chunk as read_chunk

        routes: dict[int, Any] = {}  # channel id -> (route, decoder) or None
        loads = pickle.loads

        def routed(channel_id: int) -> Any:
            channel = self.channels.get(channel_id)
            if channel is None:
                self.problem = f"a message on unknown channel {channel_id}"
                return False
            target = route(channel)
            entry: Any
            if target is None:
                entry = None
            elif raw:
                entry = (target, None)
            elif channel.encoding == ENCODING_PICKLE:
                if not self.allow_pickle:  # a channel that appeared after the check
                    raise PickleRefused(f"{self.path} holds pickled values ({channel.topic}): open it with "
                                        f"allow_pickle=True only if you trust the file")
                entry = (target, loads)
            elif channel.encoding == ENCODING_JSON:
                entry = (target, _from_json if channel.velarix else _json_loads)
            elif channel.encoding in (ENCODING_NPY, ENCODING_PICKLE):
                encoding, velarix = channel.encoding, channel.velarix
                entry = (target, lambda data: decode(encoding, data, velarix))
            else:
                entry = (target, self._foreign_decoder(channel))
            routes[channel_id] = entry
            return entry

        head = struct.Struct("<BQ").unpack_from

        # Per channel id, what the native reader takes: (target, None) for the raw
        # bytes, (target, True) for a pickle, (target, decoder); None to skip it.
        native_routes: dict[int, Any] = {}

        def native_route(entry: Any) -> Any:
            if entry is None:
                return None
            target, decoder = entry
            if decoder is _from_json:  # scalars read natively, the rest by _from_json
                return (target, (decoder,))
            return (target, True if decoder is loads else decoder)

        for record in self._records():
            if isinstance(record, McapMessage):  # outside a chunk: written unchunked
                entry = routes[record.channel_id] if record.channel_id in routes else routed(record.channel_id)
                if entry is False:
                    return
                if entry is not None and record.log_time >= since:
                    target, decoder = entry
                    yield [(target, record.log_time, record.data if raw else decoder(record.data))]
                continue
            if not isinstance(record, Chunk):
                continue
            try:
                data = _chunk_data(record)
            except Exception as error:  # a chunk that does not decompress or fails its check
                self.problem = _problem_text(error)
                return
            batch: list[tuple[Any, int, Any]] = []
            position, end = 0, len(data)
            while position < end:
                found, position, stop = read_chunk(data, position, since, native_routes, loads)
                batch += found
                if stop is None:
                    break
                if isinstance(stop, BaseException):
                    raise stop  # as a decoder raises: the values of this chunk stay unplayed
                if stop == 0:  # a channel or schema record: read here, then the routes start again
                    opcode, length = head(data, position)
                    body = position + 9
                    position = body + length
                    stream = ReadDataStream(io.BytesIO(data[body:position]))
                    if opcode == 0x03:
                        schema = Schema.read(stream)
                        self.schemas[schema.id] = schema
                        continue
                    self._add_channel(McapChannel.read(stream))
                    routes.clear()
                    native_routes.clear()
                    continue
                if routed(stop) is False:
                    if batch:
                        yield batch
                    return
                native_routes[stop] = native_route(routes[stop])
            if batch:
                yield batch

    def _foreign_decoder(self, channel: Channel) -> Callable[[Any], Any]:
        """The decoder of another tool's message encoding: ROS 2 (cdr) and protobuf
        where the mcap-ros2-support / mcap-protobuf-support packages are installed."""
        schema = self.schemas.get(channel.schema_id)
        for module in ("mcap_ros2.decoder", "mcap_protobuf.decoder"):
            try:
                factory = importlib.import_module(module).DecoderFactory()
            except ImportError:
                continue
            found = factory.decoder_for(channel.encoding, schema)
            if found is not None:
                decoder: Callable[[Any], Any] = found
                if module == "mcap_ros2.decoder":  # its message classes do not survive a deep copy
                    return lambda data: _slots_to_dicts(decoder(bytes(data)))
                return lambda data: decoder(bytes(data))
        raise RecordingError(f"{channel.topic}: no decoder for message encoding {channel.encoding!r} "
                             f"(ROS 2 and protobuf need mcap-ros2-support / mcap-protobuf-support: "
                             f"pip install 'velarix[robotics]')")

    def to_numpy(self, topic: str) -> tuple[Any, Any]:
        """The times (ns since the epoch, int64) and values of port `topic`
        ("node.port") as numpy arrays: the values stacked into one array where
        they are numbers or arrays of one shape, else an array of objects.

        Raises:
            KeyError: the file holds no such port.
        """
        from ._export import to_numpy

        return to_numpy(self, topic)

    def to_pandas(self) -> dict[str, Any]:
        """A pandas data frame per port ({"node.port": frame}): a "time_ns" column
        first, then the values (one column for numbers and strings, one per
        element for arrays of one shape, one per key for dicts of scalars, else
        JSON text). Needs pandas (the extra velarix[analysis])."""
        from ._export import to_pandas

        return to_pandas(self)

    def messages(self) -> Iterator[Message]:
        """The messages in file order (the order they were recorded in)."""
        for channel, log_time, data in self.raw_messages():
            yield Message(channel, log_time, data)

    def scan(self) -> Contents:
        """Counts and times per channel from a pass over the whole file."""
        contents = Contents()
        for message in self.messages():
            channel = message.channel.id
            contents.counts[channel] = contents.counts.get(channel, 0) + 1
            contents.messages += 1
            if contents.start is None:
                contents.start = message.log_time
            contents.start = min(contents.start, message.log_time)
            contents.end = max(contents.end or message.log_time, message.log_time)
        contents.channels = dict(self.channels)
        contents.metadata = dict(self.metadata)
        contents.complete, contents.problem = self.complete, self.problem
        return contents

    def contents(self) -> Contents:
        """As scan(), from the file's summary when it has one (a file finished
        cleanly), else from a full scan; made once per reader."""
        if self._contents is None:
            self._contents = self._read_contents()
        return self._contents

    def _read_contents(self) -> Contents:
        summary = self._summary()
        if summary is None or summary.statistics is None:
            return self.scan()
        stats = summary.statistics
        contents = Contents(complete=True)
        for channel in summary.channels.values():
            contents.channels[channel.id] = Channel(channel.id, channel.topic, channel.message_encoding,
                                                    dict(channel.metadata), self.velarix, channel.schema_id)
        self.schemas.update(summary.schemas)
        contents.counts = dict(stats.channel_message_counts)
        contents.messages = stats.message_count
        if stats.message_count:
            contents.start, contents.end = stats.message_start_time, stats.message_end_time
        self.pipeline_json()  # the metadata records lie at the file's start
        contents.metadata = dict(self.metadata)
        self.channels.update(contents.channels)
        return contents

    def _summary(self) -> Any:
        from mcap.reader import SeekingReader

        try:
            with open(self.path, "rb") as file:
                return SeekingReader(file).get_summary()
        except Exception:  # no footer (cut short) or a broken summary: scan instead
            return None

    def pipeline_json(self) -> Optional[str]:
        """The saved pipeline stored in the file (read from its start), or None."""
        for record in self._records():
            if type(record).__name__ in ("Chunk", "Message", "Channel"):
                break
        found = self.metadata.get(META_PIPELINE, {}).get("json")
        return found if found else None


def _slots_to_dicts(value: Any) -> Any:
    """A decoded ROS 2 message as nested dicts and lists, the way JSON channels play."""
    slots = getattr(type(value), "__slots__", None)
    if isinstance(slots, (list, tuple)) and slots:
        return {name: _slots_to_dicts(getattr(value, name)) for name in slots}
    if type(value) is list:
        return [_slots_to_dicts(item) for item in value]
    return value


def _json_loads(data: Any) -> Any:
    return json.loads(bytes(data))


def _chunk_data(chunk: Any) -> bytes:
    """A chunk's records, decompressed and checked against its CRC."""
    if chunk.compression == "zstd":
        import zstandard

        data: bytes = zstandard.decompress(chunk.data, chunk.uncompressed_size)
    elif chunk.compression == "lz4":
        frame: Any = importlib.import_module("lz4.frame")
        data = frame.decompress(chunk.data)
    elif chunk.compression == "":
        data = chunk.data
    else:
        raise RecordingError(f"unknown chunk compression {chunk.compression!r}")
    if chunk.uncompressed_crc and zlib.crc32(data) != chunk.uncompressed_crc:
        raise RecordingError("a chunk fails its CRC check")
    return data


def _problem_text(error: BaseException) -> str:
    name = type(error).__name__
    if name in ("EndOfFile", "error") or isinstance(error, (EOFError, struct.error)):
        return "the file ends inside a record"
    return f"{name}: {error}" if str(error) else name


# Writing --------------------------------------------------------------------------

class DirectFile:
    """The stream the MCAP writer writes to: each write goes straight to the file
    (no buffer in this process, so a killed process leaves every finished chunk on
    disk), and a write that fails part-way is cut back off the file, so the file
    never ends in a torn record."""

    def __init__(self, path: str) -> None:
        self._fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | getattr(os, "O_CLOEXEC", 0), 0o644)
        self._position = 0

    def write(self, data: bytes) -> int:
        view = memoryview(data)
        start = self._position
        try:
            while view:
                written = os.write(self._fd, view)
                view = view[written:]
                self._position += written
        except OSError:
            try:
                os.ftruncate(self._fd, start)
                os.lseek(self._fd, start, os.SEEK_SET)
            except OSError:
                pass
            self._position = start
            raise
        return len(data)

    def tell(self) -> int:
        return self._position

    def fileno(self) -> int:
        return self._fd

    def advance(self, position: int) -> None:
        """Where the file now ends, after writes made to fileno() directly (each
        cut back off the file when it failed, as write() does)."""
        self._position = position

    def flush(self) -> None:
        pass

    def close(self) -> None:
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1

    @property
    def closed(self) -> bool:
        return self._fd < 0


def open_writer(stream: Any, compression: str, chunk_size: int, buffer: Any = None) -> Any:
    """An MCAP writer on `stream` (started) with the chosen chunk compression, its
    chunks built in `buffer` (a RecordBuffer; a new one when None)."""
    require_mcap()
    from ._writer import Writer

    writer = Writer(stream, compression, chunk_size, buffer)
    writer.start(profile=PROFILE, library="velarix")
    return writer


def recording_metadata(started: int, ports: list[str]) -> dict[str, str]:
    return {"format": FORMAT_VERSION, "started": str(started), "ports": json.dumps(ports)}
