"""The payload frames of each ZeroMQ encoding, both ways (see `velarix.connect.zmq`)."""

from __future__ import annotations

import json
import math
from types import ModuleType
from typing import Any

from .._optional import import_or_explain

MSGPACK_HINT = "encoding 'msgpack' needs msgpack; install it with: pip install 'velarix[msgpack]'"

ENCODINGS = ("raw", "json", "msgpack", "numpy")


def require_msgpack() -> ModuleType:
    return import_or_explain("msgpack", MSGPACK_HINT)


class DecodeError(ValueError):
    """A message that is not in the subscriber's encoding."""

    __module__ = "velarix.connect.zmq"


def _numpy_as_data(value: Any) -> Any:
    """numpy values as JSON and MessagePack hold them (the `default` of both)."""
    tolist = getattr(value, "tolist", None)
    if tolist is not None and type(value).__module__ == "numpy":
        return tolist()
    raise TypeError(f"a {type(value).__name__} is not JSON or MessagePack data")


def encode(encoding: str, value: Any) -> list[Any]:
    """The payload frames of `value` (TypeError when the encoding cannot hold it)."""
    if encoding == "raw":
        if isinstance(value, (bytes, bytearray, memoryview)):
            return [value]
        if isinstance(value, str):
            return [value.encode()]
        if isinstance(value, (list, tuple)) and value and all(
                isinstance(part, (bytes, bytearray, memoryview)) for part in value):
            return list(value)
        raise TypeError(f"encoding 'raw' sends bytes (or a list of bytes), not {type(value).__name__}; "
                        "use encoding 'json', 'msgpack' or 'numpy' for other values")
    if encoding == "json":
        return [json.dumps(value, default=_numpy_as_data, separators=(",", ":")).encode()]
    if encoding == "msgpack":
        return [require_msgpack().packb(value, default=_numpy_as_data, use_bin_type=True)]
    return _encode_numpy(value)


def _array_header(array: Any) -> dict[str, Any]:
    return {"dtype": array.dtype.str, "shape": list(array.shape)}


def _encode_numpy(value: Any) -> list[Any]:
    import numpy as np

    if isinstance(value, np.ndarray):
        array = _sendable(np, value, "the value")
        return [json.dumps(_array_header(array)).encode(), array]
    if isinstance(value, dict) and value and all(type(k) is str for k in value):
        arrays = [(name, _sendable(np, np.asarray(item), f"entry {name!r}")) for name, item in value.items()]
        header = {"arrays": [dict(name=name, **_array_header(array)) for name, array in arrays]}
        return [json.dumps(header).encode(), *(array for _, array in arrays)]
    raise TypeError(f"encoding 'numpy' sends a numpy array or a dict of arrays (str keys), "
                    f"not {type(value).__name__}")


def _sendable(np: Any, array: Any, what: str) -> Any:
    if array.dtype.hasobject:
        raise TypeError(f"encoding 'numpy' cannot send {what}: its dtype {array.dtype} holds Python objects")
    return np.ascontiguousarray(array)


def decode(encoding: str, frames: list[Any]) -> Any:
    """The value of a message's payload frames (DecodeError when they are not in
    the encoding)."""
    if not frames:
        raise DecodeError("a message without a payload frame")
    if encoding == "raw":
        parts = [frame_bytes(frame) for frame in frames]
        return parts[0] if len(parts) == 1 else parts
    if encoding in ("json", "msgpack"):
        if len(frames) != 1:
            raise DecodeError(f"{len(frames)} payload frames where encoding {encoding!r} has one")
        try:
            if encoding == "json":
                return json.loads(frame_bytes(frames[0]))
            return require_msgpack().unpackb(frame_bytes(frames[0]), raw=False)
        except ImportError:
            raise
        except Exception as error:
            raise DecodeError(f"not {encoding}: {error}") from error
    return _decode_numpy(frames)


def frame_bytes(frame: Any) -> bytes:
    return frame if type(frame) is bytes else frame.bytes


def _decode_numpy(frames: list[Any]) -> Any:
    import numpy as np

    try:
        header = json.loads(frame_bytes(frames[0]))
    except Exception as error:  # not JSON, not UTF-8, nested too deep
        raise DecodeError(f"its header frame is not JSON: {type(error).__name__}: {error}") from error
    if isinstance(header, dict) and "arrays" in header:
        entries = header["arrays"]
        if not isinstance(entries, list) or len(entries) != len(frames) - 1:
            raise DecodeError(f"a header for {len(entries) if isinstance(entries, list) else '?'} arrays "
                              f"with {len(frames) - 1} data frames")
        value = {}
        for entry, frame in zip(entries, frames[1:]):
            if not isinstance(entry, dict) or type(entry.get("name")) is not str:
                raise DecodeError("an array of its header has no name")
            value[entry["name"]] = _array(np, entry, frame)
        return value
    if len(frames) != 2:
        raise DecodeError(f"one array's header with {len(frames) - 1} data frames")
    return _array(np, header, frames[1])


def _array(np: Any, header: Any, frame: Any) -> Any:
    if not isinstance(header, dict):
        raise DecodeError("its header is not a JSON object")
    shape = header.get("shape")
    if not isinstance(shape, list) or not all(type(n) is int and n >= 0 for n in shape):
        raise DecodeError(f"its header's shape {shape!r} is not a list of sizes")
    name = header.get("dtype")
    try:
        if type(name) is not str:
            raise TypeError("it is not a str")
        dtype = np.dtype(name)
    except Exception as error:
        raise DecodeError(f"its header's dtype {name!r} is not a numpy type: {error}") from error
    if dtype.hasobject or dtype.itemsize == 0:
        raise DecodeError(f"its header's dtype {dtype} holds Python objects or has no size")
    buffer = frame if type(frame) is bytes else frame.buffer
    size = math.prod(shape) * dtype.itemsize
    if len(buffer) != size:
        raise DecodeError(f"a {dtype.str} array of shape {shape} takes {size} bytes, its frame has {len(buffer)}")
    try:
        return np.frombuffer(buffer, dtype=dtype).reshape(shape)
    except Exception as error:
        raise DecodeError(f"cannot make a {dtype.str} array of shape {shape}: {error}") from error
