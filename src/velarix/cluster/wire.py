"""Values on the wire: pickle protocol 5 with buffers out of band.

A value becomes a list of frames: its kind (one byte) and the pickle stream in
the first, then one frame per buffer the value exposes (a numpy array's data, a
PickleBuffer), which ZeroMQ sends from the object's own memory instead of a copy
inside the pickle stream. A value without buffers is a single frame. Values a busy producer pushes back to
back travel together, as one list (kind VALUES).
"""

from __future__ import annotations

import pickle
from typing import Any, Sequence

VALUE = b"v"
VALUES = b"b"  # a list of values, oldest first, sent as one message
METADATA = b"m"


def dumps(kind: bytes, value: Any) -> list[Any]:
    buffers: list[pickle.PickleBuffer] = []
    header = kind + pickle.dumps(value, protocol=5, buffer_callback=buffers.append)
    return [header, *(b.raw() for b in buffers)]


def loads(header: bytes, buffers: Sequence[Any] = ()) -> tuple[bytes, Any]:
    """(kind, value) from the first frame (bytes) and the buffer frames."""
    return header[:1], pickle.loads(memoryview(header)[1:], buffers=[_buffer(f) for f in buffers])


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
