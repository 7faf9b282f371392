"""The ZeroMQ subscriber: a source that receives on a thread of its own."""

from __future__ import annotations

import threading
from types import ModuleType
from typing import Any, Callable, Optional

from ..constants import Constants
from ..imp import SKIP
from ..imp.portan import carried
from ..logger import LogType
from ..node import PortData, PortMetadata, StepResult
from ..o_node import ONode
from ._common import STREAM_KEYS
from ._zmq_encoding import DecodeError, decode, frame_bytes
from ._zmq_link import POLL_MS, Link, require_zmq
from ._zmq_node import ZMQKeys, ZMQNode, check_entries, owner_of, topic_bytes

BATCH = 256  # messages taken in one go before the stop flag and the monitor are looked at


class _Received:
    """Arrays a subscriber has just made over a message's frames, which nothing
    else holds: the step cycle's private copy of its input keeps them as they are."""

    __slots__ = ("value",)

    def __init__(self, value: Any) -> None:
        self.value = value

    def __deepcopy__(self, memo: dict[int, Any]) -> _Received:
        return self


class ZMQSubscriber(ZMQNode, ONode):
    """A source that receives ZeroMQ messages (a SUB socket) on a thread of its own
    and gives each message's value as one step's output.

    Configuration keys, besides those of `ONode` (``rate`` does not apply: the
    messages drive it):

    - ``endpoint``: where to connect, e.g. ``"tcp://127.0.0.1:5556"``. Required.
    - ``topic``: the topic prefix to subscribe to (str, or a list of them);
      default ``""``, every message.
    - ``bind``: listen at the endpoint instead of connecting (default False).
    - ``encoding``: ``"raw"`` (default), ``"json"``, ``"msgpack"`` or
      ``"numpy"``; see the module's text.
    - ``with_topic``: give ``{"topic": str, "value": value}`` instead of the value
      (default False).
    - ``hwm``: messages ZeroMQ holds for this socket (default 1000; 0: no limit).
      Beyond it ZeroMQ's publisher drops them, unseen here.
    - ``curve_server_key``, ``curve_secret_key``, ``curve_clients``: CURVE
      security. With ``curve_server_key`` (the server's public key: Z85 text or a
      key file) this side is a CURVE client, with the key pair of
      ``curve_secret_key`` (a ``.key_secret`` file) or a fresh one. With
      ``curve_secret_key`` alone it is a CURVE server; ``curve_clients`` (a
      folder of public ``.key`` files or a list of Z85 keys) then names the
      clients it admits, else any client that knows the server's key may connect.
    - ``channel_count``, ``channel_names``, ``nominal_srate``,
      ``channel_format``: the stream's description, passed on as the output
      port's metadata.

    ZeroMQ connects in the background and reconnects by itself: a peer that goes
    away is a WARNING, and its return an INFO entry; the pipeline keeps running.
    `get_stats()` adds ``"connector"``: ``values`` received, ``dropped``
    (messages not in the encoding), ``peers`` connected and ``disconnects``.

    Raises:
        TypeError, ValueError: a key of the wrong type or value (construction).
        ImportError: pyzmq (or msgpack for that encoding) is missing.
        OSError: `start` cannot bind or connect (a port in use, say).
    """

    # Saved pipelines and the documentation name the public module.
    __module__ = "velarix.connect.zmq"

    class Configuration(ONode.Configuration):
        """Adds the ZeroMQ keys and the stream description."""

        class Keys(ZMQKeys, ONode.Configuration.Keys):
            WITH_TOPIC = "with_topic"
            CHANNEL_COUNT = "channel_count"
            CHANNEL_NAMES = "channel_names"
            NOMINAL_SRATE = "nominal_srate"
            CHANNEL_FORMAT = "channel_format"

    _thread: Optional[threading.Thread] = None
    _with_topic = False
    _single: Optional[str] = None
    _passes_through = False

    def _prepare_entries(self, entries: dict[str, Any]) -> None:
        super()._prepare_entries(entries)
        keys = self.Configuration.Keys
        owner = owner_of(type(self).__name__, entries)
        if entries.get(keys.RATE) is not None:
            raise ValueError(f"{owner}: rate does not apply; its messages drive it.")
        check_entries(type(self).__name__, entries, keys)
        topic = entries.setdefault(keys.TOPIC, "")
        topics = topic if isinstance(topic, list) else [topic]
        if not all(isinstance(t, str) for t in topics):
            raise TypeError(f"{owner}: {keys.TOPIC} must be a str or a list of str, got {topic!r}.")
        if type(entries.setdefault(keys.WITH_TOPIC, False)) is not bool:
            raise TypeError(f"{owner}: {keys.WITH_TOPIC} must be True or False.")

    def get_rate(self) -> Optional[float]:
        """None: the messages drive this source."""
        return None

    def start(self) -> None:
        """Open the socket (OSError when it cannot bind or connect), start the
        node and its receiving thread."""
        if self._thread is not None and self._thread.is_alive():
            super().start()
            return
        zmq = require_zmq()
        link = Link(self, zmq.SUB)
        topic = self.config[self.Configuration.Keys.TOPIC]
        for prefix in topic if isinstance(topic, list) else [topic]:
            link.socket.subscribe(topic_bytes(prefix))
        self._link = link
        self._stopping = threading.Event()
        self._with_topic = bool(self.config[self.Configuration.Keys.WITH_TOPIC])
        ports = list(self._imp._output_ports)
        self._single = ports[0] if len(ports) == 1 else None
        # The plain case steps without a Python call: the cycle gets {port: value}
        # and the handler `dict` hands it on as the step's result.
        sync = all(port.get_timing() == Constants.Timing.SYNC for port in self._imp._output_ports.values())
        current = getattr(self._imp, "_step_handler", None)
        own = current is dict or (getattr(current, "__func__", None) is ZMQSubscriber.step
                                  and getattr(current, "__self__", None) is self)
        self._passes_through = (own and self._single is not None and sync and not self._with_topic
                       and self.config[self.Configuration.Keys.ENCODING] != "numpy")
        if own:  # a handler set with set_step_handler stays
            self._imp.set_step_handler(dict if self._passes_through else self.step)
        super().start()
        self._thread = threading.Thread(target=self._run, args=(link, self._stopping),
                                        name=f"velarix-zmq-{self.get_name()}", daemon=True)
        self._thread.start()

    def stop(self) -> None:
        """Stop the node; its thread ends and closes the socket (waited for,
        unless `stop` runs on that thread)."""
        super().stop()
        stopping = getattr(self, "_stopping", None)
        if stopping is not None:
            stopping.set()
        thread = self._thread
        if thread is not None and thread is not threading.current_thread():
            thread.join()

    def setup(self, data: PortData, metadata: PortMetadata) -> Optional[PortMetadata]:
        description = {key: self.config[key] for key in STREAM_KEYS if key in self.config}
        return {name: dict(description) for name in self._imp._output_ports}

    def step(self, data: PortData) -> StepResult:
        """The message's value on every output port (``{"topic", "value"}`` with
        ``with_topic``)."""
        try:
            value = data["value"]
        except KeyError:
            return SKIP  # the start-up cycle of a node whose ports are all ASYNC
        if type(value) is _Received:
            value = value.value
        if self._with_topic:
            value = {"topic": frame_bytes(data["topic"]).decode(errors="replace"), "value": value}
        if self._single is not None:
            return {self._single: value}
        return {name: value for name in self._imp._output_ports}

    def _run(self, link: Link, stopping: threading.Event) -> None:
        try:
            # A node whose ports are all ASYNC cycles once on a set-up thread when it
            # starts: let it finish so that two threads never cycle at once.
            # Not forever: that cycle may be the one that stops this node.
            setup = getattr(self._imp, "_setup_thread", None)
            if isinstance(setup, threading.Thread) and setup is not threading.current_thread():
                while setup.is_alive() and not stopping.is_set():
                    setup.join(POLL_MS / 1000)
            self._serve(link, stopping, require_zmq())
        except Exception as error:
            self._log(LogType.ERROR, f"{self._owner()} stopped receiving: {type(error).__name__}: {error}")
            self._enter_error_condition()
        finally:
            self._closed(link)

    def _serve(self, link: Link, stopping: threading.Event, zmq: ModuleType) -> None:
        sock, monitor = link.socket, link.monitor
        encoding = self.config[self.Configuration.Keys.ENCODING]
        keep_frames = encoding == "numpy"  # arrays are made over the received frames
        raw = encoding == "raw"
        passes_through, single = self._passes_through, self._single
        cycle: Callable[[Any], None] = self._imp._cycle
        # Frames, not bytes: a frame says whether more of its message follows,
        # which spares a socket-option query (a slow call in pyzmq) per frame.
        receive = sock.recv
        poller = zmq.Poller()
        poller.register(sock, zmq.POLLIN)
        poller.register(monitor, zmq.POLLIN)
        again, nowait = zmq.Again, zmq.NOBLOCK

        def hand_on(batch: list[list[Any]]) -> None:
            for frames in batch:
                if raw and len(frames) == 2:  # the common case, without a call
                    value = frames[1].bytes
                else:
                    try:
                        value = decode(encoding, frames[1:])
                    except DecodeError as error:
                        self._drop(error)
                        continue
                self._values += 1
                if passes_through:
                    cycle({single: value})
                elif keep_frames:  # arrays made for this message alone: no private copy needed
                    cycle({"topic": frames[0].bytes, "value": _Received(value)})
                else:
                    cycle({"topic": frames[0].bytes, "value": value})

        while not stopping.is_set():
            ready = dict(poller.poll(POLL_MS))
            if monitor in ready:
                link.read_events()
            if sock not in ready:
                continue
            # Take what waits first, then step through it: the next node wakes
            # once per batch, not once per message (each receive lets the
            # interpreter lock go, which hands on the wake-ups the cycles made).
            batch = []
            try:
                for _ in range(BATCH):
                    # A message's frames arrive together: only its first
                    # receive can find nothing.
                    frame = receive(nowait, False)
                    frames = [frame]
                    while frame.more:
                        frame = receive(0, False)
                        frames.append(frame)
                    batch.append(frames)
            except again:
                pass
            # Nodes on shared threads that the batch made ready step here next, as
            # after a cycle() or a timed source's tick: no hand-off to another thread.
            carried(hand_on, batch)
            if stopping.is_set():
                break

    def _drop(self, error: Exception) -> None:
        self._dropped += 1
        if self._dropped == 1:
            self._log(LogType.WARNING, f"{self._owner()}: dropped a message: {error}; further ones are "
                      "counted (get_stats()['connector']['dropped']), not logged.")
