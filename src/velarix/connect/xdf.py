"""XDF recordings replayed as a live stream (the optional extra `xdf`, pyxdf)."""

from __future__ import annotations

import os
import threading
import time
from typing import Any

import numpy as np

from ..logger import LogType
from ._common import ThreadedSource, check_seconds, check_str, refuse_unknown, require_extra

pyxdf: Any = require_extra("pyxdf", "xdf")

__all__ = ["XDFReplay"]


def _first(info: dict[str, Any], key: str, default: Any = None) -> Any:
    value = info.get(key)
    return value[0] if value else default


def _labels(info: dict[str, Any], count: int) -> Any:
    try:
        channels = info["desc"][0]["channels"][0]["channel"]
        labels = [str(channel["label"][0]) for channel in channels]
    except (KeyError, IndexError, TypeError):
        return None
    return labels if len(labels) == count else None


class XDFReplay(ThreadedSource):
    """A source replaying one stream of an XDF recording, chunk by chunk, on a
    thread of its own, as `LSLInlet` delivers a live one.

    Configuration keys (besides those of `ONode`):

    - ``path`` (required): the ``.xdf`` (or ``.xdfz``) file.
    - ``stream``: which stream: its name (a str), its properties (a dict such as
      ``{"type": "EEG"}``, matched as pyxdf's ``select_streams`` does) or its
      stream id (an int). Default: the file's only stream.
    - ``speed``: 1.0 (default) replays in recorded time, 2.0 twice as fast;
      ``"max"`` as fast as the pipeline takes the chunks.
    - ``loop`` (default False): start again (at ``start``) at the end, time
      stamps going on (each pass shifted by the replayed part's length plus one
      sample period; for an irregular stream its mean spacing).
    - ``start``: seconds after the stream's first sample to begin at (default 0).
    - ``chunk``: seconds of samples per chunk (default 0.05); an irregular
      stream gives one chunk per sample.

    Values and metadata are as `LSLInlet`'s: chunks ``{"samples", "timestamps"}``
    with the recorded time stamps (clock offsets of the recording applied), and
    ``channel_count``, ``channel_names``, ``nominal_srate``, ``channel_format``,
    ``stream``, ``type`` and ``source_id``. At the end of the recording
    (without ``loop``) an INFO entry says so, the node sends nothing more and
    ends its stream (`ONode.end_stream`);
    ``get_stats()["connector"]`` counts ``values``, ``samples`` and ``loops``
    and says whether it is ``finished``.

    Raises:
        FileNotFoundError: the file does not exist.
        TypeError, ValueError: on a malformed key. A stream selection that
            matches no stream, or several, fails the node when it starts.
    """

    _thread_kind = "xdf"
    _KEYS = ("path", "stream", "speed", "loop", "start", "chunk")

    def __init__(self, **entries: Any) -> None:
        refuse_unknown(entries, self._KEYS, type(self).__name__)
        if "path" not in entries:
            raise ValueError("XDFReplay needs path= (the recording to replay).")
        path = check_str("path", entries["path"])
        if not os.path.isfile(path):
            raise FileNotFoundError(f"XDFReplay: no file {path!r}.")
        stream = entries.setdefault("stream", None)
        if stream is not None and (isinstance(stream, bool) or not isinstance(stream, (str, dict, int))):
            raise TypeError("stream must be a name (str), properties (dict) or a stream id (int).")
        speed = entries.setdefault("speed", 1.0)
        if speed != "max":
            check_seconds("speed", speed)
        if type(entries.setdefault("loop", False)) is not bool:
            raise TypeError("loop must be True or False.")
        check_seconds("start", entries.setdefault("start", 0.0), zero=True)
        check_seconds("chunk", entries.setdefault("chunk", 0.05))
        super().__init__(**entries)
        self._init_counts(values=0, samples=0, loops=0, finished=False)

    def _load(self) -> dict[str, Any]:
        stream = self.config["stream"]
        select = None if stream is None else [{"name": stream}] if isinstance(stream, str) else [stream]
        try:
            streams, _ = pyxdf.load_xdf(self.config["path"], select_streams=select, dejitter_timestamps=False)
        except ValueError as error:
            raise LookupError(f"{self.config['path']}: no stream matches {stream!r} ({error}).") from None
        if len(streams) != 1:
            names = ", ".join(repr(_first(s["info"], "name")) for s in streams)
            raise LookupError(f"{self.config['path']} holds {len(streams)} streams matching {stream!r} "
                              f"({names}); choose one with stream=.")
        found: dict[str, Any] = streams[0]
        return found

    def _serve(self, halt: threading.Event) -> None:
        recording = self._load()
        info = recording["info"]
        count = int(_first(info, "channel_count", 0))
        rate = float(_first(info, "nominal_srate", 0.0))
        fmt = _first(info, "channel_format", "double64")
        self._metadata = {
            "channel_count": count, "channel_names": _labels(info, count), "nominal_srate": rate,
            "channel_format": fmt, "stream": _first(info, "name", ""), "type": _first(info, "type", ""),
            "source_id": _first(info, "source_id", ""),
        }
        stamps = np.asarray(recording["time_stamps"], dtype=np.float64)
        series = recording["time_series"]
        samples = (np.array(series, dtype=object).reshape(len(stamps), count) if fmt == "string"
                   else np.asarray(series).reshape(len(stamps), count))
        if not len(stamps):
            self._log(LogType.WARNING, "the recorded stream holds no samples.")
            self._set_count("finished", True)
            self.end_stream()
            return
        first = min(int(np.searchsorted(stamps, stamps[0] + self.config["start"])), len(stamps) - 1)
        spread = stamps[-1] - stamps[first]
        period = 1.0 / rate if rate > 0 else (spread / (len(stamps) - 1 - first) if spread > 0 else 1.0)
        length = stamps[-1] - stamps[first] + period
        speed = self.config["speed"]
        span = self.config["chunk"] if rate > 0 else 0.0
        shift = 0.0
        origin_stamp = stamps[first]
        origin_clock = time.monotonic()
        while not halt.is_set():
            begin = first
            while begin < len(stamps) and not halt.is_set():
                end = int(np.searchsorted(stamps, stamps[begin] + span, side="right")) if span else begin + 1
                end = max(end, begin + 1)
                if speed != "max":
                    # A chunk goes out when its last sample's time has come.
                    due = origin_clock + (stamps[end - 1] + shift - origin_stamp) / speed
                    delay = due - time.monotonic()
                    if delay > 0 and halt.wait(delay):
                        return
                if self._emit({"samples": samples[begin:end].copy(), "timestamps": stamps[begin:end] + shift}):
                    self._count("values")
                    self._count("samples", end - begin)
                begin = end
            if halt.is_set():
                return
            if not self.config["loop"]:
                self._set_count("finished", True)
                self._log(LogType.INFO, "the recording has been replayed to its end.")
                self.end_stream()
                return
            self._count("loops")
            shift += length
