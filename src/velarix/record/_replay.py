"""Replay: a source node that plays a recording back into a pipeline."""

from __future__ import annotations

import math
import queue
import threading
import time
from typing import Any, Generator, Optional

from .._timing import check_number
from ..constants import Constants
from ..imp import SKIP
from ..imp.portan import carried
from ..node import PortData, PortMetadata, StepResult
from ..o_node import ONode
from ..portable import Portable
from ._format import RecordingReader, decode_port_metadata

SPEED_MAX = "max"
_NO_DATA: dict[str, Any] = {}  # what each replay cycle receives (its step reads the pending value)
_SPIN = 0.0015  # seconds before a deadline from which the thread stops sleeping and yields



MIN_SPEED = 1e-6  # a millionth of real time

class Replay(ONode):
    """A source node that plays the values of a recording (an MCAP file written by
    `Pipeline.record()`) on its output ports, on a thread of its own from its
    start until the recording ends (or its stop).

    Configuration keys, besides those of `ONode`:

    - ``path``: the recording.
    - ``speed``: 1.0 (the default) plays each value at its recorded offset from
      the first; 2.0 twice as fast; ``"max"`` as fast as the pipeline takes them
      (bounded input ports hold it back).
    - ``loop``: start again at the end (default False).
    - ``start``: seconds into the recording to begin at (default 0).
    - ``ports``: {recorded "node.port": output port name} of the ports to play;
      default every recorded port, each on an output port of the same name.
      The output ports are made from it unless ``output_ports`` is given.
    - ``allow_pickle``: play pickled values (default False: a file that holds
      any is refused before anything plays, since unpickling can run any code).

    Values keep their recorded order across ports. `pause()`, `resume()` and
    `step()` (one value while paused, called without arguments) control the play; `wait()` waits for its
    end. `get_stats()` adds "replay": position, duration and what is left (in
    recorded seconds), speed, values replayed, loops done, paused and finished.
    JSON channels of MCAP files written by other tools play as the dicts their
    messages hold.

    Raises:
        ValueError: a key is out of range, the file is not a recording (a
            `RecordingError`), or ``ports`` names a port it does not hold.
    """

    class Configuration(ONode.Configuration):
        """A replay's configuration: adds ``path``, ``speed``, ``loop``, ``start``, ``ports``."""

        class Keys(ONode.Configuration.Keys):
            PATH = "path"
            SPEED = "speed"
            LOOP = "loop"
            START = "start"
            PORTS = "ports"
            ALLOW_PICKLE = "allow_pickle"

    def _prepare_entries(self, entries: dict[str, Any]) -> None:
        keys = Replay.Configuration.Keys
        path = entries.get(keys.PATH)
        if not isinstance(path, str):
            raise TypeError(f"path must be the recording's file name (a str), not {type(path).__name__}.")
        speed = entries.setdefault(keys.SPEED, 1.0)
        if speed != SPEED_MAX:
            if speed is None or isinstance(speed, bool) or not isinstance(speed, (int, float)):
                raise TypeError(f"speed must be a positive number or 'max', not {type(speed).__name__}.")
            check_number(keys.SPEED, speed, True)
            if speed < MIN_SPEED:  # slower makes offsets no clock can hold
                raise ValueError(f"speed must be at least {MIN_SPEED:g}, got {speed!r}.")
        if type(entries.setdefault(keys.LOOP, False)) is not bool:
            raise TypeError("loop must be True or False.")
        start = entries.setdefault(keys.START, 0.0)
        if start is None or isinstance(start, bool) or not isinstance(start, (int, float)):
            raise TypeError(f"start must be a number of seconds, not {type(start).__name__}.")
        check_number(keys.START, start, False)
        if entries.get(keys.RATE) is not None:
            raise ValueError("a replay keeps the recording's own timing: it takes no rate.")
        # A saved pipeline names this class by its module: it loads from the package.
        Portable.add_preinstalled_module("velarix.record")
        allow_pickle = entries.setdefault(keys.ALLOW_PICKLE, False)
        if type(allow_pickle) is not bool:
            raise TypeError("allow_pickle must be True or False.")
        reader = RecordingReader(path, allow_pickle)
        contents = reader.contents()
        topics = sorted({c.topic for c in contents.channels.values()})
        ports = entries.get(keys.PORTS)
        if ports is None:
            ports = {topic: topic for topic in topics}
            entries[keys.PORTS] = ports
        if not isinstance(ports, dict) or not all(isinstance(k, str) and isinstance(v, str)
                                                  for k, v in ports.items()):
            raise TypeError('ports must map recorded "node.port" names to output port names (str to str).')
        missing = [topic for topic in ports if topic not in topics]
        if missing:
            raise ValueError(f"{path} holds no port {', '.join(map(repr, missing))} "
                             f"(it holds: {', '.join(topics) or 'none'}).")
        if keys.OUTPUT_PORTS not in entries:
            entries[keys.OUTPUT_PORTS] = [{"name": name} for name in dict.fromkeys(ports.values())]
        super()._prepare_entries(entries)
        self._contents = contents

    def __init__(self, **entries: Any) -> None:
        super().__init__(**entries)
        keys = Replay.Configuration.Keys
        self._mapping: dict[str, str] = dict(self.config[keys.PORTS])
        unknown = [name for name in self._mapping.values() if name not in self._imp._output_ports]
        if unknown:
            raise ValueError(f"ports names output port(s) the node lacks: {', '.join(map(repr, unknown))}.")
        self._skips: dict[str, Any] = {name: SKIP for name in self._imp._output_ports}
        self._single = len(self._skips) == 1
        contents = self._contents
        self._first = contents.start or 0
        self._duration = ((contents.end or 0) - self._first) / 1e9
        self._total = sum(count for channel, count in contents.counts.items()
                          if contents.channels[channel].topic in self._mapping)
        self._port_metadata: dict[str, Any] = {}
        for channel in contents.channels.values():
            name = self._mapping.get(channel.topic)
            stored = decode_port_metadata(channel.metadata, self.config[keys.ALLOW_PICKLE])
            if name is not None and stored is not None:
                self._port_metadata.setdefault(name, stored)
        self._pending: tuple[str, Any] = ("", None)
        self._lock = threading.Condition()
        self._paused = False
        self._steps = 0  # values step() lets through while paused
        self._halt = threading.Event()
        self._finished = threading.Event()
        self._thread: Optional[threading.Thread] = None
        self._replayed = 0
        self._loops = 0
        self._last_time: Optional[int] = None
        self._problem: Optional[str] = None

    # The node ------------------------------------------------------------------

    def setup(self, data: PortData, metadata: PortMetadata) -> Optional[PortMetadata]:
        """Each output port's metadata as the recorded port had it ({} when none)."""
        return {name: self._port_metadata.get(name, {}) for name in self._imp._output_ports}

    def step(self, data: Optional[PortData] = None) -> StepResult:
        """Called by the application without `data`: while paused, let exactly one
        more value through. As the node's step (with data): the value the replay
        thread took from the file, on its output port."""
        if data is None:
            with self._lock:
                self._steps += 1
                self._lock.notify_all()
            return None
        port, value = self._pending
        if self._single:
            return {port: value}
        out = dict(self._skips)
        out[port] = value
        return out

    def start(self) -> None:
        """Start the node and its replay thread (a replay that ended starts over)."""
        super().start()
        if self._thread is not None and self._thread.is_alive():
            return
        self._halt.clear()
        self._finished.clear()
        self._thread = threading.Thread(target=self._run, name=f"velarix-replay-{self.get_name()}",
                                        daemon=True)
        self._thread.start()

    def stop(self) -> None:
        """Stop the node and its replay thread; waits for it unless called from a step."""
        self._halt.set()
        with self._lock:
            self._lock.notify_all()
        super().stop()
        thread = self._thread
        if thread is not None and thread is not threading.current_thread() and thread.is_alive():
            thread.join()

    # Control ---------------------------------------------------------------------

    def pause(self) -> None:
        """Hold the next value until resume() or step()."""
        with self._lock:
            self._paused = True

    def resume(self) -> None:
        """Play on from where it paused; later values keep their spacing."""
        with self._lock:
            self._paused = False
            self._lock.notify_all()

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Until the recording has been played to its end (True; never with
        ``loop``), or `timeout` seconds pass or the node stops first (False)."""
        done = self._finished.wait(timeout)
        return done and self._problem != "stopped"

    def is_finished(self) -> bool:
        """Whether the play has ended (the file's end, or the node stopped)."""
        return self._finished.is_set()

    def played_topic(self, port: str) -> Optional[str]:
        """The recorded "node.port" that output `port` plays (the first, when
        several play on it): a recording of this node names its channels so."""
        for topic, name in self._mapping.items():
            if name == port:
                return topic
        return None

    def get_stats(self) -> dict[str, Any]:
        """The node's statistics with "replay": {"path", "position", "duration",
        "remaining" (recorded seconds), "speed", "replayed" (values), "total"
        (values per pass), "loops", "paused", "finished", "problem" (why the file
        ended early, or None)}."""
        stats = super().get_stats()
        speed = self.config[Replay.Configuration.Keys.SPEED]
        last = self._last_time
        position = 0.0 if last is None else (last - self._first) / 1e9
        stats["replay"] = {
            "path": self.config[Replay.Configuration.Keys.PATH], "position": position,
            "duration": self._duration, "remaining": max(0.0, self._duration - position),
            "speed": speed, "replayed": self._replayed, "total": self._total, "loops": self._loops,
            "paused": self._paused, "finished": self._finished.is_set(), "problem": self._problem,
        }
        return stats

    # The replay thread -----------------------------------------------------------

    def _open(self) -> tuple[RecordingReader, Generator[tuple[str, int, Any], None, None]]:
        """The reader and its (output port, log time, value) of the values to play,
        read ahead on a thread of its own."""
        since = self._first + int(self.config[Replay.Configuration.Keys.START] * 1e9)
        keys = Replay.Configuration.Keys
        reader = RecordingReader(self.config[keys.PATH], self.config[keys.ALLOW_PICKLE])
        mapping = self._mapping
        batches = reader.batches(lambda channel: mapping.get(channel.topic), since)
        return reader, _read_ahead(batches, f"velarix-replay-read-{self.get_name()}")

    def _running(self) -> bool:
        return (not self._halt.is_set() and self._imp.get_state() == Constants.States.RUNNING
                and self._imp._condition != Constants.Conditions.ERROR)

    def _run(self) -> None:
        speed = self.config[Replay.Configuration.Keys.SPEED]
        rate = math.inf if speed == SPEED_MAX else float(speed)
        loop = self.config[Replay.Configuration.Keys.LOOP]
        offset_start = float(self.config[Replay.Configuration.Keys.START])
        # Wall clock (monotonic) of recorded offset 0 of this pass.
        origin: Optional[float] = None
        try:
            replayed = 0
            while self._running():
                played = 0
                last_time = 0
                last_offset = 0.0
                halted = self._halt.is_set
                cycle = self._imp._cycle
                timed = rate != math.inf
                first = self._first
                reader, values = self._open()
                try:
                    for port, log_time, value in values:
                        if timed or self._paused:
                            offset = (log_time - first) / 1e9 - offset_start
                            held = self._hold() if self._paused else False
                            if held is None:
                                return
                            if origin is None or held:
                                origin = time.monotonic() - offset / rate
                            if timed and not self._sleep_until(origin + offset / rate):
                                return
                        # A stopped or failed node's cycle does nothing: look at it now and then.
                        if played & 63 == 0 and (halted() or not self._running()):
                            return
                        self._pending = (port, value)
                        # On shared scheduler threads the nodes this value makes
                        # ready run on this thread next, as for cycle().
                        carried(cycle, _NO_DATA)
                        played += 1
                        last_time = log_time
                        if timed or self._paused or played & 63 == 0:  # the statistics, kept up
                            if timed and replayed + played == 1:
                                # The first cycle runs the node's set-up: the schedule starts after it.
                                origin = time.monotonic() - ((log_time - first) / 1e9 - offset_start) / rate
                            self._replayed, self._last_time = replayed + played, log_time
                finally:
                    values.close()  # the thread reading ahead ends too
                    self._pending = ("", None)
                    if played:
                        self._replayed, self._last_time = replayed + played, last_time
                replayed += played
                if reader.problem is not None:
                    self._problem = reader.problem
                if self._last_time is not None:
                    last_offset = (self._last_time - first) / 1e9 - offset_start
                if not loop or played == 0:
                    break
                self._loops += 1
                if origin is not None:
                    # The next pass follows one mean spacing after this one's last value.
                    gap = last_offset / (played - 1) if played > 1 else 0.0
                    origin += (last_offset + gap) / rate
        except Exception as error:  # a value that does not decode: the play ends there
            self._problem = f"{type(error).__name__}: {error}"
            self._imp._logger.write(_warning(), f"Replay {self.get_name()}: stopped at a value that "
                                    f"cannot be read ({self._problem}).")
        finally:
            stopped = self._halt.is_set()
            if stopped:
                self._problem = self._problem or "stopped"
            self._finished.set()
            if not stopped:
                self.end_stream()  # played to its end: a pipeline with nothing else to do stops

    def _still_producing(self) -> bool:
        thread = self._thread
        return thread is not None and thread.is_alive() and thread is not threading.current_thread()

    def _hold(self) -> Optional[bool]:
        """Waits while paused; None when the node stops meanwhile, else whether it
        waited (the schedule then starts again from this value)."""
        with self._lock:
            if not self._paused:
                return False
            while self._paused and self._steps == 0:
                if not self._running():
                    return None
                self._lock.wait(0.1)
            if self._steps:
                self._steps -= 1
            return True

    def _sleep_until(self, deadline: float) -> bool:
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return True
            if left > _SPIN:
                if self._halt.wait(left - _SPIN):
                    return False
            else:
                time.sleep(0)


_END = object()
_AHEAD = 2  # chunks decoded ahead of the play


def _read_ahead(batches: Generator[list[Any], None, None], name: str) -> Generator[Any, None, None]:
    """The items of `batches`, which a thread of its own reads up to _AHEAD lists
    ahead: decoding a chunk (the first above all) overlaps the set-up runs' pauses
    and whatever else lets the interpreter lock go. Its errors are raised here, in
    order. Closing the iterator ends the thread."""
    ready: queue.Queue[Any] = queue.Queue(_AHEAD)
    done = threading.Event()

    def put(item: Any) -> bool:
        while not done.is_set():
            try:
                ready.put(item, timeout=0.1)
                return True
            except queue.Full:
                continue
        return False

    def read() -> None:
        try:
            for batch in batches:
                if not put(batch):
                    return
            put(_END)
        except BaseException as error:  # raised where the values are played
            put(error)
        finally:
            batches.close()

    def items() -> Generator[Any, None, None]:
        # Started at the first value asked for: an iterator closed before has no thread.
        threading.Thread(target=read, name=name, daemon=True).start()
        try:
            while True:
                batch = ready.get()
                if batch is _END:
                    return
                if isinstance(batch, BaseException):
                    raise batch
                yield from batch
        finally:
            done.set()

    return items()


def _warning() -> Any:
    from ..logger import LogType

    return LogType.WARNING

