"""Taps that let the scope and the viewer bridge look at output ports.

A tap is a stand-in input port linked to an output port: a native queue with a
capacity that drops its oldest value when full, so a push into it costs what a push
into any port costs and never waits for the reader. Each reader (a page's scope, a
viewer's subscription) has its own tap, made when it starts looking and unlinked
when it stops: a port nobody looks at has no tap. What the taps drop is counted on
the output port ("watch_dropped" in its node's statistics)."""

from __future__ import annotations

import itertools
import json
import math
import threading
from typing import TYPE_CHECKING, Any, Optional, Sequence

from ..constants import Constants
from ..i_port import IPort
from ..imp import IPortImp
from ..record._recorder import TAP_ID_PREFIX, _output_ports, topic_of

if TYPE_CHECKING:
    from ..pipeline import Pipeline

# The share of the interpreter's time that the scope and the viewer bridge each take
# at most: a stream faster than they can handle in it loses values at the tap,
# counted. The bridge's values also cost the server's threads and the client, so it
# moves fewer (a few thousand small values a second), which a viewer's plot does not
# miss; the scope keeps up with a 10 kHz stream.
SCOPE_SHARE = 0.03
BRIDGE_SHARE = 0.01
# Enough for a few seconds of a fast stream between two reads of a busy server.
DEFAULT_TAP_SIZE = 65536
_numbers = itertools.count(1)
_count_lock = threading.Lock()


class _WatchCount:
    """Kept on a watched output port: what its closed taps dropped, and its open taps."""

    def __init__(self) -> None:
        self.closed = 0
        self.taps: list[Tap] = []

    def dropped(self) -> int:
        return self.closed + sum(tap.dropped() for tap in list(self.taps))


def watch_dropped(port: Any) -> Optional[int]:
    """Values the taps of output port `port` dropped, or None for a port never watched."""
    count = getattr(port, "__dict__", {}).get("_watch")
    return count.dropped() if isinstance(count, _WatchCount) else None


class Tap:
    """One reader's look at one output port. `take()` hands over what arrived since
    the last call, oldest first; `close()` unlinks it."""

    def __init__(self, port: Any, size: int = DEFAULT_TAP_SIZE) -> None:
        self._port = port
        self._in = IPortImp(IPort.Configuration(
            id=f"{TAP_ID_PREFIX}watch:{next(_numbers)}", name="watch", capacity=size,
            overflow=Constants.Overflow.DROP_OLDEST))
        with _count_lock:
            count = port.__dict__.get("_watch")
            if not isinstance(count, _WatchCount):
                count = port.__dict__["_watch"] = _WatchCount()
            count.taps.append(self)
        self._count = count
        self._open = True
        port.connect(self._in)

    def take(self, most: int = 1 << 30) -> list[Any]:
        values: list[Any] = []
        get, available = self._in.get, self._in.data_available
        while len(values) < most and available():
            values.append(get())
        return values

    def dropped(self) -> int:
        return int(self._in.get_stats().get("dropped") or 0)

    def close(self) -> None:
        if not self._open:
            return
        self._open = False
        self._port.disconnect(self._in)
        with _count_lock:
            if self in self._count.taps:
                self._count.taps.remove(self)
                self._count.closed += self.dropped()


def watchable_ports(pipeline: Pipeline) -> dict[str, Any]:
    """The pipeline's output ports by their "node.port" names, in node order."""
    return {topic_of(node, name): port for node, name, port in _output_ports(pipeline)}


def named_ports(pipeline: Pipeline, names: Optional[Sequence[str]]) -> dict[str, Any]:
    """The ports `names` picks (every output port for None); ValueError naming the
    known ones for a name the pipeline has not."""
    every = watchable_ports(pipeline)
    if names is None:
        return every
    if isinstance(names, str):
        names = [names]
    chosen = {}
    for name in names:
        if name not in every:
            known = ", ".join(every) or "none"
            raise ValueError(f"No output port {name!r} in the pipeline (known: {known}).")
        chosen[name] = every[name]
    return chosen


# JSON form of values --------------------------------------------------------------

#: The JSON schema of every watched port's messages: {"value": V}, and for an
#: array also its dtype and shape (V then holds its items, nested by the shape).
VALUE_SCHEMA: dict[str, Any] = {
    "type": "object",
    "properties": {
        "value": {},
        "dtype": {"type": "string"},
        "shape": {"type": "array", "items": {"type": "integer"}},
    },
    "required": ["value"],
}


def _plain(value: Any) -> Any:
    """`value` as JSON-ready data: non-finite floats as None, unknown objects as text."""
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, (list, tuple)):
        return [_plain(item) for item in value]
    if isinstance(value, dict):
        return {str(key): _plain(item) for key, item in value.items()}
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value).hex()
    items = getattr(value, "tolist", None)  # numpy scalars
    if callable(items) and type(value).__module__ == "numpy":
        return _plain(items())
    return repr(value)


def json_message(value: Any) -> dict[str, Any]:
    """The message a watched port sends for `value`."""
    kind = type(value)
    if kind.__name__ == "ndarray" and kind.__module__ == "numpy":
        return {"value": _plain(value.tolist()), "dtype": str(value.dtype), "shape": list(value.shape)}
    return {"value": _plain(value)}


def json_bytes(value: Any) -> bytes:
    kind = type(value)
    if kind is int:  # the common small values, without the encoder's call
        return b'{"value":%d}' % value
    if kind is float and math.isfinite(value):
        return b'{"value":%r}' % value
    return json.dumps(json_message(value), separators=(",", ":"), allow_nan=False).encode()
