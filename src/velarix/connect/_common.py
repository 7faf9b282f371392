"""What the connectors of this package share: option checks, their counters and
log entries, and the source whose values come from a thread of its own."""

from __future__ import annotations

import math
import threading
from typing import Any, Callable, Optional

from .._optional import import_or_explain
from ..i_node import INode
from ..logger import LogType
from ..o_node import ONode
from ..node import PortData, PortMetadata
from ..portable import Portable

# Saved pipelines name these classes by module, as for any installed library.
Portable.add_preinstalled_module("velarix.connect")

#: The metadata keys of a chunk stream, shared with velarix.nodes.
STREAM_KEYS = ("channel_count", "channel_names", "nominal_srate", "channel_format")


def require_extra(module: str, extra: str) -> Any:
    """Import `module`, or say which extra brings it."""
    return import_or_explain(module, f"{module} is needed for this connector: pip install 'velarix[{extra}]'")


def check_str(key: str, value: Any, empty: bool = False) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{key} must be a str, not {type(value).__name__}.")
    if not empty and not value:
        raise ValueError(f"{key} must not be empty.")
    return value


def check_seconds(key: str, value: Any, zero: bool = False) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{key} must be a number of seconds, not {type(value).__name__}.")
    if not math.isfinite(value) or value < 0 or (value == 0 and not zero):
        raise ValueError(f"{key} must be {'zero or more' if zero else 'positive'} and finite, got {value!r}.")
    return float(value)


def check_int(key: str, value: Any, low: int, high: Optional[int] = None) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{key} must be an int, not {type(value).__name__}.")
    if value < low or (high is not None and value > high):
        bound = f"from {low} to {high}" if high is not None else f"at least {low}"
        raise ValueError(f"{key} must be {bound}, got {value!r}.")
    return value


# Not "rate": it would make a source a timed one, driven by another thread.
_NODE_KEYS = ("id", "name", "input_ports", "output_ports")


def refuse_unknown(entries: dict[str, Any], known: tuple[str, ...], cls: str) -> None:
    """A misspelt option is an error at the constructor, not a silent default."""
    unknown = sorted(set(entries) - set(known) - set(_NODE_KEYS))
    if unknown:
        raise TypeError(f"{cls} got unknown option(s) {', '.join(map(repr, unknown))}; "
                        f"it takes {', '.join(known)}.")


def declared_options(keys: type) -> tuple[str, ...]:
    """The options a node's `Configuration.Keys` names, its bases' included, in
    alphabetical order, but for the keys every node takes."""
    return tuple(sorted({value for cls in keys.__mro__ for name, value in vars(cls).items()
                         if name.isupper() and type(value) is str and value not in _NODE_KEYS}))


class _Counting:
    """Counters of a connector, reported by get_stats() under "connector"."""

    _counts: dict[str, Any]
    _warned: set[str]

    def _init_counts(self, **counts: Any) -> None:
        self._counts = dict(counts)
        self._warned = set()
        self._counts_lock = threading.Lock()

    def _count(self, key: str, n: int = 1) -> None:
        with self._counts_lock:
            self._counts[key] += n

    def _set_count(self, key: str, value: Any) -> None:
        self._counts[key] = value

    def _log(self, kind: LogType, text: str) -> None:
        node: Any = self
        node._imp._logger.write(kind, f"{node.get_name()}: {text}")

    def _warn_once(self, topic: str, text: str) -> None:
        """One WARNING per topic until `_rearm(topic)`: a broken remote or a run of
        bad values should not fill the log."""
        if topic not in self._warned:
            self._warned.add(topic)
            self._log(LogType.WARNING, text)

    def _rearm(self, topic: str) -> None:
        self._warned.discard(topic)

    def get_stats(self) -> dict[str, Any]:
        node: Any = self
        stats: dict[str, Any] = super().get_stats()  # type: ignore[misc]
        with node._counts_lock:
            stats["connector"] = dict(node._counts)
        return stats


class ThreadedSource(_Counting, ONode):
    """A source whose values come from a thread it runs from start to stop.

    Subclasses write `_serve(halt)`, which runs on that thread, calls `_emit(value)`
    for every value and returns when `halt` is set; `_metadata` is what the output
    port's metadata will be, set before the first `_emit`. A failure before the
    first value (a stream that cannot be found) goes through `_fail`: the node's
    guard logs it as an ERROR and its condition becomes ERROR.
    """

    _thread_kind = "source"
    _thread: Optional[threading.Thread] = None
    _halt: Optional[threading.Event] = None
    _failure: Optional[BaseException] = None

    def __init__(self, **entries: Any) -> None:
        super().__init__(**entries)
        self._metadata: dict[str, Any] = {}

    def start(self) -> None:
        """Start the node and its thread."""
        super().start()
        if self._thread is not None and self._thread.is_alive():
            return
        self._halt = threading.Event()
        self._thread = threading.Thread(
            target=self._thread_main, args=(self._halt,), daemon=True,
            name=f"velarix-{self._thread_kind}-{self.get_name()}")
        self._thread.start()

    def stop(self) -> None:
        """Stop the node; its thread ends (and is waited for) and lets go of its
        connections."""
        halt, thread = self._halt, self._thread
        if halt is not None:
            halt.set()
        super().stop()
        if thread is not None and thread is not threading.current_thread():
            thread.join()
        self._thread = None

    def _thread_main(self, halt: threading.Event) -> None:
        try:
            self._serve(halt)
        except BaseException as error:  # anything else is a fault of the connector
            if not halt.is_set():
                self._fail(error)

    def _serve(self, halt: threading.Event) -> None:
        raise NotImplementedError

    def _still_producing(self) -> bool:
        thread = self._thread
        return thread is not None and thread.is_alive() and thread is not threading.current_thread()

    def _emit(self, value: Any) -> bool:
        """Hands `value` on (one step cycle); False once the node is stopping."""
        halt = self._halt
        if halt is not None and halt.is_set():
            return False
        self.cycle({"value": value})
        return True

    def _fail(self, error: BaseException) -> None:
        self._failure = error
        self.cycle({"failed": True})

    def setup(self, data: PortData, metadata: PortMetadata) -> Optional[PortMetadata]:
        """The output port's metadata: the stream's description."""
        if data.get("failed"):
            raise self._failure  # type: ignore[misc]
        return {name: dict(self._metadata) for name in self._imp._output_ports}

    def step(self, data: PortData) -> Any:
        """Hands on the value the thread received."""
        if data.get("failed"):
            raise self._failure  # type: ignore[misc]
        return {name: data["value"] for name in self._imp._output_ports}


class ConnectorSink(_Counting, INode):
    """A sink that sends what it receives; `_close()` lets go of the connection
    when the node stops."""

    def stop(self) -> None:
        """Stop the node (its worker is waited for), then close the connection."""
        super().stop()
        self._close()

    def _close(self) -> None:
        """Let go of the connection."""


def wait_until(check: Callable[[], bool], halt: threading.Event, seconds: float) -> bool:
    """Polls `check` for up to `seconds` unless `halt` is set: True once it holds."""
    step = min(0.05, seconds)
    waited = 0.0
    while not halt.is_set():
        if check():
            return True
        if waited >= seconds:
            return False
        halt.wait(step)
        waited += step
    return False
