"""The ZeroMQ publisher: a sink that sends each value it receives."""

from __future__ import annotations

import math
import threading
from typing import Any, Optional

from ..i_node import INode
from ..logger import LogType
from ..node import PortData, StepResult
from ._zmq_encoding import encode
from ._zmq_link import POLL_MS, Link, require_zmq
from ._zmq_node import ZMQKeys, ZMQNode, check_entries, owner_of, topic_bytes

PUBLISHER_LINGER = 0.2  # seconds a stopping publisher gives queued messages to leave, by default


class ZMQPublisher(ZMQNode, INode):
    """A sink that publishes each value it receives as one ZeroMQ message (a PUB
    socket): ``[topic, payload...]`` in its ``encoding``.

    Configuration keys, besides those of `INode`:

    - ``endpoint``: where to bind (``bind=True``) or connect. Required.
    - ``topic``: the topic frame (str; default ``""``).
    - ``bind``: listen at the endpoint (default False: connect, as a publisher
      does to a subscriber or proxy that binds).
    - ``encoding``: ``"raw"`` (default), ``"json"``, ``"msgpack"`` or ``"numpy"``.
    - ``hwm``: messages held per subscriber (default 1000; 0: no limit); beyond
      it, as without any subscriber, ZeroMQ drops messages unseen.
    - ``linger``: seconds `stop` waits for messages still queued to leave
      (default 0.2; None: until they have).
    - ``curve_secret_key``, ``curve_server_key``, ``curve_clients``: as for
      `ZMQSubscriber`.

    A value the encoding cannot hold fails the step. Subscribers that connect
    late miss what was published before (ZeroMQ's publish-subscribe). Its input
    ports' values are sent whichever port they arrive on. `get_stats()` adds
    ``"connector"`` as the subscriber's (``values`` sent, ``dropped``: values
    ZeroMQ refused).

    Raises:
        TypeError, ValueError: a key of the wrong type or value (construction).
        ImportError: pyzmq (or msgpack for that encoding) is missing.
        OSError: `start` cannot bind or connect.
    """

    # Saved pipelines and the documentation name the public module.
    __module__ = "velarix.connect.zmq"

    class Configuration(INode.Configuration):
        """Adds the ZeroMQ keys."""

        class Keys(ZMQKeys, INode.Configuration.Keys):
            LINGER = "linger"

    _watcher: Optional[threading.Thread] = None

    def __init__(self, **entries: Any) -> None:
        super().__init__(**entries)
        if self.config[self.Configuration.Keys.ENCODING] == "numpy":
            self._imp.set_pre_step_handler(self._publish_input)
            self._imp.set_step_handler(self._nothing)

    def _prepare_entries(self, entries: dict[str, Any]) -> None:
        super()._prepare_entries(entries)
        keys = self.Configuration.Keys
        owner = owner_of(type(self).__name__, entries)
        check_entries(type(self).__name__, entries, keys)
        if not isinstance(entries.setdefault(keys.TOPIC, ""), str):
            raise TypeError(f"{owner}: {keys.TOPIC} must be a str, got {entries[keys.TOPIC]!r}.")
        linger = entries.setdefault(keys.LINGER, PUBLISHER_LINGER)
        if linger is not None and (isinstance(linger, bool) or not isinstance(linger, (int, float))
                                   or not math.isfinite(linger) or linger < 0):
            raise ValueError(f"{owner}: {keys.LINGER} must be seconds (0 or more) or None, got {linger!r}.")

    def start(self) -> None:
        """Open the socket (OSError when it cannot bind or connect) and start."""
        if self._link is None:
            zmq = require_zmq()
            link = Link(self, zmq.PUB)
            self._topic = topic_bytes(self.config[self.Configuration.Keys.TOPIC])
            self._encoding = self.config[self.Configuration.Keys.ENCODING]
            self._send = link.socket.send_multipart
            self._send_frame = link.socket.send
            self._more = zmq.SNDMORE
            self._raw = self._encoding == "raw"
            self._copy = self._encoding != "numpy"
            self._error = zmq.ZMQError
            self._link = link
            self._watching = threading.Event()
            self._watcher = threading.Thread(target=self._watch, args=(link, self._watching),
                                             name=f"velarix-zmq-{self.get_name()}", daemon=True)
            self._watcher.start()
        super().start()

    def stop(self) -> None:
        """Stop the node (its worker ends first), then close the socket; values
        still queued get ``linger`` seconds to leave."""
        super().stop()
        link = self._link
        if link is None:
            return
        self._watching.set()
        if self._watcher is not None and self._watcher is not threading.current_thread():
            self._watcher.join()
        self._closed(link)

    def step(self, data: PortData) -> StepResult:
        """Sends each input port's value as one message."""
        for value in data.values():
            if self._raw and type(value) is bytes:  # the common case, frame by frame, inline
                try:
                    self._send_frame(self._topic, self._more)
                    self._send_frame(value)
                except self._error as error:
                    self._not_sent(error)
                    continue
                self._values += 1
            else:
                self._publish(value)
        return None

    def _publish_input(self, data: PortData) -> None:
        """The pre-step of the "numpy" encoding: sends the input itself, and the
        step then gets None in each value's place. The publisher only reads what
        it sends, so a private copy of every array would be wasted work."""
        for name, value in data.items():
            data[name] = None
            self._publish(value)

    @staticmethod
    def _nothing(data: PortData) -> StepResult:
        return None

    def _publish(self, value: Any) -> None:
        frames = [self._topic, *encode(self._encoding, value)]
        try:
            # Arrays go without a copy of their own (pyzmq still copies small ones).
            self._send(frames, copy=self._copy)
        except self._error as error:
            self._not_sent(error)
            return
        self._values += 1

    def _not_sent(self, error: Exception) -> None:
        self._dropped += 1
        if self._dropped == 1:
            self._log(LogType.WARNING, f"{self._owner()}: a message was not sent: {error}; "
                      "further ones are counted, not logged.")

    @staticmethod
    def _watch(link: Link, watching: threading.Event) -> None:
        # The monitor socket is this thread's alone; the PUB socket is the worker's.
        monitor = link.monitor
        while not watching.is_set():
            if monitor.poll(POLL_MS):
                link.read_events()
