"""The wire protocol: values on data links, control messages, node status, heartbeats.

Values: pickle protocol 5 with buffers out of band.

A value becomes a list of frames: its kind (one byte) and the pickle stream in
the first, then one frame per buffer the value exposes (a numpy array's data, a
PickleBuffer), which ZeroMQ sends from the object's own memory instead of a copy
inside the pickle stream. A value without buffers is a single frame. Values a busy producer pushes back to
back travel together, as one list (kind VALUES). A first frame that is not one of
these kinds followed by a protocol 5 pickle stream is no message of ours: `loads`
refuses it with NotAMessage before unpickling anything.

A value that is a bare numpy array of plain numbers, contiguous, goes as kind
ARRAY: its dtype and shape in the first frame, its data the second. Pickling
such an array costs several times what copying 64 KB of it does.
"""

from __future__ import annotations

import math
import pickle
import struct
import sys
from typing import Any, NamedTuple, Optional, Sequence

HEARTBEAT_INTERVAL = 0.25  # seconds between status messages (each one is a heartbeat)
HEARTBEAT_TIMEOUT = 3.0  # seconds of silence after which the other side is gone

VALUE = b"v"
VALUES = b"b"  # a list of values, oldest first, sent as one message
METADATA = b"m"
ARRAY = b"a"  # a bare numpy array: dtype text and shape, then its data as the one buffer
ORIGINS = b"o"  # ahead of a value message: its values' origin times (the controller's clock)
_ORIGINS_BYTE = ORIGINS[0]
_ONE_ORIGIN = struct.Struct("<cId")  # ORIGINS, the count 1, the origin
_ONE_TIME = struct.Struct("<d")
KINDS = (VALUE, VALUES, METADATA)
_PLAIN_KINDS = frozenset("biufcSU")  # dtypes whose text names them whole and that export a buffer
_MAX_DIMS = 64
_PICKLE_5 = b"\x80\x05"  # the stream's first opcode, PROTO 5; every stream ends with STOP


class NotAMessage(ValueError):
    """Frames that are not a value message (stray or damaged traffic)."""


def dumps(kind: bytes, value: Any) -> list[Any]:
    if kind == VALUE and type(value).__name__ == "ndarray":
        frames = _array_frames(value)
        if frames is not None:
            return frames
    buffers: list[pickle.PickleBuffer] = []
    header = kind + pickle.dumps(value, protocol=5, buffer_callback=buffers.append)
    if not buffers:  # the common small value
        return [header]
    return [header, *(b.raw() for b in buffers)]


def loads(header: bytes, buffers: Sequence[Any] = ()) -> tuple[bytes, Any]:
    """(kind, value) from the first frame (bytes) and the buffer frames.
    NotAMessage when the first frame is not a message; whatever unpickling raises
    when it is one whose value cannot be re-created here."""
    kind = header[:1]
    if kind == ARRAY and len(buffers) == 1:
        return VALUE, _array(header, _buffer(buffers[0]))
    if kind not in KINDS or not header.startswith(_PICKLE_5, 1) or not header.endswith(b"."):
        raise NotAMessage(f"not a value message ({len(header)} bytes, starting {bytes(header[:8])!r})")
    if not buffers:
        return kind, pickle.loads(memoryview(header)[1:])
    return kind, pickle.loads(memoryview(header)[1:], buffers=[_buffer(f) for f in buffers])


def with_origins(frames: list[Any], origins: Sequence[Optional[float]]) -> list[Any]:
    """A value message's frames with the origin of each of its values ahead of its
    first frame: ORIGINS, their count (uint32) and one float64 each, NaN for none.
    A message without them is read as before. Changes `frames` in place."""
    count = len(origins)
    if count == 1:
        prefix = _ONE_ORIGIN.pack(ORIGINS, 1, math.nan if origins[0] is None else origins[0])
    else:
        prefix = ORIGINS + struct.pack(f"<I{count}d", count, *(math.nan if o is None else o for o in origins))
    frames[0] = prefix + frames[0]
    return frames


def one_origin(origin: float) -> bytes:
    """What with_origins puts ahead of the frames of one value with this origin."""
    return _ONE_ORIGIN.pack(ORIGINS, 1, origin)


Origins = tuple[Optional[float], ...]  # one per value of a message, None where it has none


def loads_origins(header: bytes, buffers: Sequence[Any] = ()) -> tuple[bytes, Any, Optional[Origins]]:
    """`loads`, and the origins a message carries ahead of it (None without them,
    or when their count does not match the message's values)."""
    if not header or header[0] != _ORIGINS_BYTE:
        kind, value = loads(header, buffers)
        return kind, value, None
    if len(header) < 5:
        raise NotAMessage(f"not a value message ({len(header)} bytes of origins)")
    (count,) = struct.unpack_from("<I", header, 1)
    end = 5 + 8 * count
    if len(header) < end + 1:
        raise NotAMessage(f"not a value message ({len(header)} bytes, {count} origins)")
    kind, value = loads(header[end:], buffers)
    if kind == VALUE and count == 1:  # the common case, spared the general one's steps
        (origin,) = _ONE_TIME.unpack_from(header, 5)
        return kind, value, (origin if math.isfinite(origin) else None,)
    values = len(value) if kind == VALUES and isinstance(value, list) else 1
    if kind == METADATA or count != values:
        return kind, value, None
    times = struct.unpack_from(f"<{count}d", header, 5)
    return kind, value, tuple(t if math.isfinite(t) else None for t in times)


def _array_frames(value: Any) -> Optional[list[Any]]:
    """An exact numpy array of plain numbers, C-contiguous, as [header, data]; else None."""
    numpy = sys.modules.get("numpy")
    if numpy is None or type(value) is not numpy.ndarray:
        return None
    dtype = value.dtype
    if dtype.kind not in _PLAIN_KINDS or dtype.fields is not None or not value.flags.c_contiguous \
            or value.ndim > _MAX_DIMS:
        return None
    text = dtype.str.encode()
    header = ARRAY + bytes((len(text),)) + text + struct.pack(f"<{value.ndim}q", *value.shape)
    return [header, memoryview(value).cast("B") if value.size else b""]


_array_headers: dict[bytes, tuple[Any, tuple[int, ...]]] = {}  # header -> (dtype, shape): links repeat them


def _array(header: bytes, data: Any) -> Any:
    """The array of an ARRAY message; ValueError when header and data disagree."""
    import numpy

    known = _array_headers.get(header)
    if known is None:
        known = _array_header(header)
        if len(_array_headers) >= 256:
            _array_headers.clear()
        _array_headers[bytes(header)] = known
    dtype, shape = known
    array = numpy.frombuffer(data, dtype)
    return array if len(shape) == 1 and shape[0] == array.shape[0] else array.reshape(shape)


def _array_header(header: bytes) -> tuple[Any, tuple[int, ...]]:
    import numpy

    size = header[1] if len(header) > 1 else 0
    text, dims = bytes(header[2:2 + size]), header[2 + size:]
    if len(text) != size or len(dims) % 8 or len(dims) // 8 > _MAX_DIMS:
        raise ValueError(f"an array header of {len(header)} bytes that does not add up")
    dtype = numpy.dtype(text.decode("ascii"))
    if dtype.kind not in _PLAIN_KINDS or dtype.fields is not None:
        raise ValueError(f"an array of dtype {dtype} cannot come this way")
    shape = struct.unpack(f"<{len(dims) // 8}q", dims)
    if any(n < 0 for n in shape):
        raise ValueError(f"an array of shape {shape}")
    return dtype, shape


def _buffer(frame: Any) -> Any:
    return frame if isinstance(frame, (bytes, bytearray, memoryview)) else frame.buffer


def encode(message: dict[str, Any]) -> bytes:
    """A control message (a small dict) as one frame."""
    return pickle.dumps(message, protocol=5)


def decode(frame: bytes) -> dict[str, Any]:
    """The control message in `frame`; ValueError when it holds anything but a dict."""
    message = pickle.loads(frame)
    if not isinstance(message, dict):
        raise ValueError(f"a control message is a dict, not {type(message).__name__}")
    return message


Failure = tuple[str, str, str]  # a node's last exception: (type name, message, traceback text)


class NodeStatus(NamedTuple):
    """What a worker reports of one node, in every status message (the heartbeat)
    and in the answers to start, stop and status requests."""

    state: str
    condition: str
    load: float
    counter: int
    stats: Optional[dict[str, Any]]  # get_stats() where the node keeps statistics
    failure: Optional[Failure]  # its last exception, None while nothing failed


def heartbeat(sent: Optional[float] = None, offset: Optional[float] = None) -> bytes:
    """The controller's heartbeat: a request nobody answers, except that a worker
    answers `sent` (the controller's clock) with a clock message at once; `offset`
    is the controller's estimate of that worker's clock offset (clock.py)."""
    message: dict[str, Any] = {"op": "heartbeat"}
    if sent is not None:
        message["t0"] = sent
        message["offset"] = offset
    return encode(message)


def clock_message(sent: Any, received: float, answered: float) -> dict[str, Any]:
    """A worker's answer to a heartbeat's time `sent`: when it received the
    heartbeat and when it answered, on its own clock."""
    return {"op": "clock", "t0": sent, "t1": received, "t2": answered}


def status_message(nodes: dict[str, NodeStatus]) -> dict[str, Any]:
    """The worker's heartbeat: every node's status by node id."""
    return {"op": "status", "nodes": nodes}


def reply(request_id: Any, ok: bool, value: Any = None, error: Optional[str] = None) -> dict[str, Any]:
    """The answer to request `request_id`: its value, or why it failed."""
    message: dict[str, Any] = {"op": "reply", "id": request_id, "ok": ok}
    if ok:
        message["value"] = value
    else:
        message["error"] = error
    return message


def log_message(records: list[Any]) -> dict[str, Any]:
    """Log entries of the worker, for the controller's log."""
    return {"op": "log", "entries": records}
