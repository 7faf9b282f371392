"""Lab Streaming Layer streams in and out of a pipeline (the optional extra `lsl`).

`LSLInlet` is a source: it finds a stream on the network, pulls its samples in
chunks on a thread of its own and hands on each chunk as
``{"samples": array (time x channels), "timestamps": array}``, the time stamps
mapped into this machine's clock (`pylsl.local_clock()`, which on Linux is
`time.monotonic()`) by LSL's time correction. `LSLOutlet` is a sink: it declares
a stream and pushes every chunk it receives into it.

LSL finds streams by multicast. To keep that on one machine, point the
`LSLAPICFG` environment variable at a configuration file (see the README,
"Connecting real streams").
"""

from __future__ import annotations

import threading
import time
from typing import Any, Optional

import numpy as np

from ..logger import LogType
from ..node import PortData, PortMetadata
from ._common import (
    STREAM_KEYS,
    ConnectorSink,
    ThreadedSource,
    check_int,
    check_seconds,
    check_str,
    refuse_unknown,
    require_extra,
)

pylsl: Any = require_extra("pylsl", "lsl")

__all__ = ["LSLInlet", "LSLOutlet", "LSLStreamNotFound"]

# pylsl's channel format codes by the names LSL documents.
_FORMATS = {"float32": 1, "double64": 2, "string": 3, "int32": 4, "int16": 5, "int8": 6, "int64": 7}
_FORMAT_NAMES = {code: name for name, code in _FORMATS.items()}
_DTYPES = {"float32": np.float32, "double64": np.float64, "int32": np.int32, "int16": np.int16,
           "int8": np.int8, "int64": np.int64}
_FORMAT_OF_DTYPE = {np.dtype(dtype): name for name, dtype in _DTYPES.items()}

# How long one pull waits for data, and one search for a lost stream lasts: the
# thread looks at its stop flag this often.
_PULL_WAIT = 0.05
_SEARCH_WAIT = 0.5


class LSLStreamNotFound(LookupError):
    """No stream answered the inlet's name or query within its timeout."""


def stream_metadata(info: Any) -> dict[str, Any]:
    """A pylsl StreamInfo as port metadata (the keys `STREAM_KEYS` and the
    stream's ``stream``, ``type`` and ``source_id``)."""
    labels = info.get_channel_labels()
    return {
        "channel_count": info.channel_count(),
        "channel_names": [str(label) for label in labels] if labels and None not in labels else None,
        "nominal_srate": float(info.nominal_srate()),
        "channel_format": _FORMAT_NAMES.get(info.channel_format(), "undefined"),
        "stream": info.name(),
        "type": info.type(),
        "source_id": info.source_id(),
    }


class LSLInlet(ThreadedSource):
    """A source reading one LSL stream, chunk by chunk, on a thread of its own.

    Configuration keys (besides those of `ONode`; exactly one of the first two):

    - ``stream``: the stream's name.
    - ``query``: an LSL predicate (XPath 1.0 over the stream's description), e.g.
      ``"type='EEG' and starts-with(name,'amp')"``.
    - ``timeout``: seconds to find the stream after `start` (default 10.0).
    - ``max_buffer``: seconds of samples LSL keeps for the inlet while the
      pipeline is behind (default 360).
    - ``max_chunk``: at most this many samples per chunk (default 1024).
    - ``dejitter``: smooth the time stamps of a regular stream (default False).

    Each value is a chunk ``{"samples": (n, channels) array in the stream's
    format (strings as an object array of str), "timestamps": (n,) float64 array}``,
    time stamps mapped into this machine's `pylsl.local_clock()`. The output
    port's metadata holds ``channel_count``, ``channel_names`` (None when the
    stream does not label every channel), ``nominal_srate`` (0.0: irregular),
    ``channel_format`` (``"float32"``, ``"double64"``, ``"string"``, ``"int32"``,
    ``"int16"``, ``"int8"``, ``"int64"``), ``stream``, ``type`` and ``source_id``.

    A stream not found within ``timeout`` fails the node (condition ERROR, the
    pipeline stops) with `LSLStreamNotFound`. A stream that goes away later is a
    WARNING; the inlet keeps looking for it, by the same name or query, and goes
    on (an INFO entry) when a stream with the same channel count and format
    answers again. ``get_stats()["connector"]`` counts ``values`` (chunks),
    ``samples``, ``dropped`` (chunks of a returned stream whose shape differs),
    ``reconnects`` and says whether it is ``connected``.

    Raises:
        TypeError, ValueError: on a missing or malformed key.
    """

    _thread_kind = "lsl"
    _KEYS = ("stream", "query", "timeout", "max_buffer", "max_chunk", "dejitter")

    def __init__(self, **entries: Any) -> None:
        refuse_unknown(entries, self._KEYS, type(self).__name__)
        if ("stream" in entries) == ("query" in entries):
            raise ValueError("LSLInlet needs either stream= (a stream name) or query= (an LSL predicate).")
        if "stream" in entries:
            check_str("stream", entries["stream"])
        else:
            check_str("query", entries["query"])
        check_seconds("timeout", entries.setdefault("timeout", 10.0))
        check_seconds("max_buffer", entries.setdefault("max_buffer", 360))
        check_int("max_chunk", entries.setdefault("max_chunk", 1024), 1)
        if type(entries.setdefault("dejitter", False)) is not bool:
            raise TypeError("dejitter must be True or False.")
        super().__init__(**entries)
        self._init_counts(values=0, samples=0, dropped=0, reconnects=0, connected=False)

    def _what(self) -> str:
        stream = self.config.get("stream")
        return f"LSL stream {stream!r}" if stream is not None else f"LSL stream matching {self.config['query']!r}"

    def _resolve(self, timeout: float, halt: threading.Event) -> Optional[Any]:
        """The first stream that answers within `timeout` seconds, or None; short
        rounds, so that a stop need not wait for the whole timeout."""
        stream = self.config.get("stream")
        deadline = time.monotonic() + timeout
        while not halt.is_set():
            wait = max(0.05, min(_SEARCH_WAIT, deadline - time.monotonic()))
            if stream is not None:
                found = pylsl.resolve_byprop("name", stream, 1, wait)
            else:
                found = pylsl.resolve_bypred(self.config["query"], 1, wait)
            if found:
                return found[0]
            if time.monotonic() >= deadline:
                break
        return None

    def _open(self, info: Any) -> Any:
        flags = pylsl.proc_clocksync | (pylsl.proc_dejitter if self.config["dejitter"] else 0)
        # recover=False: a lost stream raises, so that we can say so and look for it
        # by name or query (LSL's own recovery would only wait for the same source).
        return pylsl.StreamInlet(info, max_buflen=max(1, round(self.config["max_buffer"])),
                                 recover=False, processing_flags=flags)

    def _serve(self, halt: threading.Event) -> None:
        timeout = self.config["timeout"]
        info = self._resolve(timeout, halt)
        if halt.is_set():
            return
        if info is None:
            raise LSLStreamNotFound(
                f"No {self._what()} found within {timeout} s. Is its outlet running? "
                "(LSL finds streams by multicast; LSLAPICFG names its configuration.)")
        if not self._metadata:
            self._metadata = stream_metadata(info)
            described = False
        else:
            described = True  # a restart: the port's metadata went out already
        try:
            while not halt.is_set():
                inlet = self._open(info)
                try:
                    if not described:
                        # A resolved description lacks the stream's extended part
                        # (the channel labels); the inlet fetches all of it.
                        self._metadata = stream_metadata(inlet.info(timeout))
                        described = True
                    self._set_count("connected", True)
                    self._pull(inlet, halt)
                    return
                except (pylsl.util.LostError, pylsl.util.TimeoutError):
                    self._set_count("connected", False)
                    self._log(LogType.WARNING, f"{self._what()} was lost; looking for it again.")
                finally:
                    inlet.close_stream()
                    del inlet
                info = self._find_again(halt)
                if info is not None:
                    self._count("reconnects")
                    self._log(LogType.INFO, f"{self._what()} is back.")
        finally:
            self._set_count("connected", False)

    def _find_again(self, halt: threading.Event) -> Optional[Any]:
        expected = (self._metadata["channel_count"], self._metadata["channel_format"])
        while not halt.is_set():
            info = self._resolve(_SEARCH_WAIT, halt)
            if info is None:
                continue
            found = stream_metadata(info)
            if (found["channel_count"], found["channel_format"]) == expected:
                self._rearm("shape")
                return info
            self._warn_once("shape", f"{self._what()} came back with {found['channel_count']} "
                                     f"{found['channel_format']} channels instead of {expected[0]} "
                                     f"{expected[1]}; waiting for the original.")
            halt.wait(_SEARCH_WAIT)
        return None

    def _pull(self, inlet: Any, halt: threading.Event) -> None:
        strings = self._metadata["channel_format"] == "string"
        max_chunk = self.config["max_chunk"]
        while not halt.is_set():
            samples, stamps = inlet.pull_chunk(timeout=_PULL_WAIT, max_samples=max_chunk, min_samples=1,
                                               as_numpy=not strings)
            if not len(stamps):
                continue
            if strings:
                samples = np.array(samples, dtype=object).reshape(len(stamps), -1)
            if self._emit({"samples": samples, "timestamps": np.asarray(stamps, dtype=np.float64)}):
                self._count("values")
                self._count("samples", len(stamps))


class LSLOutlet(ConnectorSink):
    """A sink that declares an LSL stream and pushes every chunk it receives.

    Configuration keys (besides those of `INode`):

    - ``stream`` (required): the stream's name; ``type`` (default ``""``, e.g.
      ``"EEG"``) and ``source_id`` (default ``""``; a unique id lets LSL's own
      inlets recover the stream after a restart).
    - ``channel_count``, ``nominal_srate``, ``channel_format``,
      ``channel_names``: the stream's description. Each key given wins; a key
      not given comes from the input port's metadata (the keys `LSLInlet` and
      the processing nodes write), else from the first chunk (its width and
      dtype; rate 0.0, irregular).
    - ``chunk_size`` (samples per network packet, default 0: each push) and
      ``max_buffered`` (seconds kept for slow consumers, default 360).

    Values: chunks ``{"samples": 2-D array, "timestamps": 1-D array}`` (the
    samples pushed with their own time stamps, `pylsl.local_clock()` scale),
    or a bare array (1-D: one sample), pushed stamped with the current time. A
    value of another width is dropped, counted and reported by one WARNING.
    The stream exists from the first value to the node's `stop`; with both
    ``channel_count`` and ``channel_format`` given, from its `start`, so that
    consumers can connect before the first value.
    ``get_stats()["connector"]`` counts ``values``, ``samples`` and ``dropped``.

    Raises:
        TypeError, ValueError: on a missing or malformed key; a description
            that cannot be completed fails the node at its first value.
    """

    _KEYS = ("stream", "type", "source_id", "chunk_size", "max_buffered") + STREAM_KEYS

    def __init__(self, **entries: Any) -> None:
        refuse_unknown(entries, self._KEYS, type(self).__name__)
        if "stream" not in entries:
            raise ValueError("LSLOutlet needs stream= (the name of the stream it declares).")
        check_str("stream", entries["stream"])
        check_str("type", entries.setdefault("type", ""), empty=True)
        check_str("source_id", entries.setdefault("source_id", ""), empty=True)
        check_int("chunk_size", entries.setdefault("chunk_size", 0), 0)
        check_seconds("max_buffered", entries.setdefault("max_buffered", 360))
        if entries.get("channel_count") is not None:
            check_int("channel_count", entries["channel_count"], 1)
        if entries.get("nominal_srate") is not None:
            check_seconds("nominal_srate", entries["nominal_srate"], zero=True)
        if entries.get("channel_format") is not None and entries["channel_format"] not in _FORMATS:
            raise ValueError(f"channel_format must be one of {', '.join(_FORMATS)}, "
                             f"got {entries['channel_format']!r}.")
        names = entries.get("channel_names")
        if names is not None and not (isinstance(names, list) and all(isinstance(n, str) for n in names)):
            raise TypeError("channel_names must be a list of str.")
        if names is not None and entries.get("channel_count") is not None and len(names) != entries["channel_count"]:
            raise ValueError(f"channel_names has {len(names)} names for {entries['channel_count']} channels.")
        super().__init__(**entries)
        self._init_counts(values=0, samples=0, dropped=0)
        self._description: Optional[dict[str, Any]] = None
        self._outlet: Any = None
        self._lock = threading.Lock()

    def start(self) -> None:
        """Start the node; a stream described by its keys alone is declared now."""
        super().start()
        if self.config.get("channel_count") is not None and self.config.get("channel_format") is not None:
            description = {key: self.config.get(key) for key in STREAM_KEYS}
            if description["nominal_srate"] is None:
                description["nominal_srate"] = 0.0
            with self._lock:
                self._description = description
                if self._outlet is None:
                    self._outlet = self._declare()

    def has_consumers(self) -> bool:
        """True while at least one inlet reads the stream."""
        with self._lock:
            return self._outlet is not None and bool(self._outlet.have_consumers())

    def setup(self, data: PortData, metadata: PortMetadata) -> Optional[PortMetadata]:
        """Completes the stream's description from the keys, the input's metadata
        and the first value."""
        given = next(iter(metadata.values()), {}) if metadata else {}
        first = _samples_of(next(iter(data.values()), None))
        width = None if first is None else (first.shape[1] if first.ndim == 2 else first.size)
        description: dict[str, Any] = {}
        for key in STREAM_KEYS:
            value = self.config.get(key)
            description[key] = value if value is not None else (given or {}).get(key)
        if self.config.get("channel_count") is None and width is not None and description["channel_count"] != width:
            if description["channel_count"] is not None:
                self._log(LogType.WARNING, f"the input's metadata says {description['channel_count']} "
                                           f"channels but its values have {width}; declaring {width}.")
                description["channel_names"] = self.config.get("channel_names")
            description["channel_count"] = width
        if description["channel_format"] is None and first is not None:
            description["channel_format"] = _FORMAT_OF_DTYPE.get(first.dtype, "double64")
        if description["channel_format"] not in _FORMATS:
            description["channel_format"] = "double64"
        if description["nominal_srate"] is None:
            description["nominal_srate"] = 0.0
        if description["channel_count"] is None:
            raise ValueError("LSLOutlet cannot tell the stream's channel count: give channel_count=.")
        names = description["channel_names"]
        if names is not None and len(names) != description["channel_count"]:
            raise ValueError(f"channel_names has {len(names)} names for {description['channel_count']} channels.")
        self._description = description
        return {}

    def _declare(self) -> Any:
        description = self._description
        assert description is not None
        info = pylsl.StreamInfo(self.config["stream"], self.config["type"], description["channel_count"],
                                float(description["nominal_srate"]), description["channel_format"],
                                self.config["source_id"])
        if description["channel_names"]:
            info.set_channel_labels(list(description["channel_names"]))
        return pylsl.StreamOutlet(info, self.config["chunk_size"], max(1, round(self.config["max_buffered"])))

    def step(self, data: PortData) -> None:
        """Pushes the value into the stream."""
        description = self._description
        assert description is not None
        value = next(iter(data.values()))
        samples = _samples_of(value)
        count = description["channel_count"]
        if samples is None or samples.size == 0:
            if samples is None:
                self._count("dropped")
                self._warn_once("kind", f"dropped a value of type {type(value).__name__}, which is not a chunk.")
            return
        if samples.ndim == 1:
            samples = samples.reshape(1, -1)
        if samples.ndim != 2 or samples.shape[1] != count:
            self._count("dropped")
            self._warn_once("shape", f"dropped a chunk of shape {samples.shape}: the stream has {count} channels.")
            return
        stamps = value.get("timestamps") if isinstance(value, dict) else None
        stamp: Any = 0.0
        if stamps is not None:
            stamps = np.asarray(stamps, dtype=np.float64).reshape(-1)
            if stamps.size == samples.shape[0]:
                stamp = stamps.tolist()
        if description["channel_format"] == "string":
            samples = [[str(v) for v in row] for row in samples.tolist()]
        with self._lock:
            if self._outlet is None:
                self._outlet = self._declare()
            self._outlet.push_chunk(samples, stamp)
        self._count("values")
        self._count("samples", len(samples))

    def _close(self) -> None:
        with self._lock:
            outlet, self._outlet = self._outlet, None
        del outlet  # liblsl closes the stream when the last reference goes


def _samples_of(value: Any) -> Optional[Any]:
    """The samples of a chunk or a bare array, as an array; None for anything else."""
    if isinstance(value, dict):
        value = value.get("samples")
    if isinstance(value, (np.ndarray, list, tuple)):
        try:
            array = np.asarray(value)
        except ValueError:
            return None
        if array.dtype == object and array.ndim not in (1, 2):
            return None
        return array
    return None
