"""The live viewer bridge: a running pipeline's output ports as channels of the
viewer's WebSocket protocol (through the `foxglove-sdk` package, extra
`velarix[foxglove]`), its graph as the connection graph, its log as log messages.

Each chosen port becomes a JSON channel, named "node.port", once it has pushed a
value; a port is tapped (see _watch) only while a client subscribes to it. One
thread moves what the taps hold to the server, which sends it to each client from
a bounded queue of its own: a client that does not read loses its oldest values
there, and the pipeline never waits for it."""

from __future__ import annotations

import atexit
import datetime
import json
import threading
import time
import weakref
from typing import TYPE_CHECKING, Any, Optional, Sequence

from ..graph import describe
from ..logger import LogType
from ._watch import BRIDGE_SHARE, VALUE_SCHEMA, Tap, json_bytes, named_ports

if TYPE_CHECKING:
    from ..pipeline import Pipeline

LOG_TOPIC = "/velarix/log"
VALUE_SCHEMA_NAME = "velarix.Value"
_POLL = 0.005  # seconds between two moves of the taps' values to the server
_LOOK = 0.2  # seconds between two looks for newly pushed ports, the log and the graph
_PASS = 0.005  # seconds one move of values may take, so that its rest stays short
_CHUNK = 16  # values taken from one tap at a time within a move
_REST_MOST = 1.0  # seconds: the longest rest after a move, so a viewer never waits longer
_BACKLOG = 1024  # messages waiting for one client before its oldest are dropped
_LEVELS = {"INFO": 2, "DEBUG": 1, "WARNING": 3, "ERROR": 4}
_LOG_SCHEMA = {
    "title": "foxglove.Log",
    "type": "object",
    "properties": {
        "timestamp": {"type": "object", "properties": {"sec": {"type": "integer"}, "nsec": {"type": "integer"}}},
        "level": {"type": "integer"},
        "message": {"type": "string"},
        "name": {"type": "string"},
        "file": {"type": "string"},
        "line": {"type": "integer"},
    },
}

# Ports already published by a live bridge: one bridge per port.
_served: "weakref.WeakKeyDictionary[Any, FoxgloveBridge]" = weakref.WeakKeyDictionary()
_served_lock = threading.Lock()


def _require() -> Any:
    try:
        import foxglove
    except ImportError:
        raise ImportError("The viewer bridge needs the package 'foxglove-sdk': "
                          "pip install 'velarix[foxglove]'") from None
    return foxglove


class _Published:
    """One chosen port: its channel once advertised, its tap while subscribed."""

    def __init__(self, topic: str, port: Any) -> None:
        self.topic = topic
        self.port = port
        self.channel: Any = None
        self.tap: Optional[Tap] = None
        self.subscribers: set[int] = set()
        self.sent = 0
        self.dropped = 0  # by taps already closed


class FoxgloveBridge:
    """Publishes a pipeline's output ports to viewers; made by
    `Pipeline.serve_foxglove()`. `port` is the bound port."""

    def __init__(self, pipeline: Pipeline, host: str = "127.0.0.1", port: int = 8765,
                 ports: Optional[Sequence[str]] = None) -> None:
        foxglove = _require()
        self._foxglove = foxglove
        self._pipeline = pipeline
        chosen = named_ports(pipeline, ports)
        self._published = [_Published(topic, source) for topic, source in chosen.items()]
        # By topic, known before any channel exists: the server tells a client of a new
        # channel at once, so a subscription can arrive before the channel is recorded here.
        self._by_topic = {published.topic: published for published in self._published}
        self._lock = threading.Lock()  # the server's callbacks and the moving thread
        self._stop = threading.Event()
        self._wake = threading.Event()  # a subscription, or the stop
        self._stopped = False  # stop() has run
        self._claim()
        self._context = foxglove.Context()
        websocket = foxglove.websocket
        try:
            self._server = foxglove.start_server(
                name="velarix", host=host, port=port, context=self._context, server_listener=self,
                capabilities=[websocket.Capability.ConnectionGraph], supported_encodings=["json"],
                message_backlog_size=_BACKLOG)
        except Exception as error:
            self._release()
            raise OSError(f"The viewer bridge cannot listen on {host}:{port}: {error}") from error
        self.port: int = int(self._server.port)
        self._log_channel = foxglove.Channel(
            LOG_TOPIC, schema=_LOG_SCHEMA, message_encoding="json", context=self._context)
        self._log_subscribers: set[int] = set()
        self._last_log: Optional[tuple[Any, ...]] = self._newest_log()
        self._graph: Optional[tuple[Any, ...]] = None
        self._thread = threading.Thread(target=self._run, name="velarix-foxglove", daemon=True)
        self._thread.start()
        atexit.register(self.stop)

    # Public -------------------------------------------------------------------------

    def stop(self) -> None:
        """Withdraw the channels, unlink the taps and stop serving. Calling it again
        does nothing more."""
        with self._lock:
            if self._stopped:
                return
            self._stopped = True
        self._stop.set()
        self._wake.set()
        atexit.unregister(self.stop)
        if self._thread is not threading.current_thread():
            self._thread.join()
        self._server.stop()
        self._release()

    def get_stats(self) -> dict[str, Any]:
        """The bound `port`, whether it is `running`, and per channel ("node.port"): whether it is
        `advertised`, its `subscribers`, values `sent` to the server and values
        `dropped` by its tap; `sent` and `dropped` also summed."""
        with self._lock:
            channels = {p.topic: {"advertised": p.channel is not None, "subscribers": len(p.subscribers),
                                  "sent": p.sent, "dropped": p.dropped + (p.tap.dropped() if p.tap else 0)}
                        for p in self._published}
        running = not self._stopped and not self._stop.is_set()
        return {"port": self.port, "running": running, "channels": channels,
                "sent": sum(c["sent"] for c in channels.values()),
                "dropped": sum(c["dropped"] for c in channels.values())}

    def __enter__(self) -> FoxgloveBridge:
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    # Which ports are served ---------------------------------------------------------

    def _claim(self) -> None:
        with _served_lock:
            for published in self._published:
                other = _served.get(published.port)
                if other is not None and not other._stop.is_set():
                    raise ValueError(f"Port {published.topic!r} is already served by the viewer bridge "
                                     f"on port {other.port}.")
            for published in self._published:
                _served[published.port] = self

    def _release(self) -> None:
        with _served_lock:
            for published in self._published:
                if _served.get(published.port) is self:
                    del _served[published.port]

    # Server callbacks (on the server's threads) -------------------------------------

    def on_subscribe(self, client: Any, channel: Any) -> None:
        """A client subscribed to a channel."""
        with self._lock:
            subscribers = self._subscribers_of(channel)
            if subscribers is not None:
                subscribers.add(client.id)
        self._wake.set()

    def on_unsubscribe(self, client: Any, channel: Any) -> None:
        """A client unsubscribed from a channel, or went away."""
        with self._lock:
            subscribers = self._subscribers_of(channel)
            if subscribers is not None:
                subscribers.discard(client.id)

    def _subscribers_of(self, channel: Any) -> Optional[set[int]]:
        """The clients subscribed to `channel` (None: not one of ours); under the lock."""
        if channel.id == self._log_channel.id():
            return self._log_subscribers
        published = self._by_topic.get(channel.topic)
        return None if published is None else published.subscribers

    def on_connection_graph_subscribe(self) -> None:
        """A client asked for the graph: the server sends the one last published."""

    def on_connection_graph_unsubscribe(self) -> None:
        """A client no longer follows the graph."""

    # The moving thread --------------------------------------------------------------

    def _run(self) -> None:
        looked = 0.0
        try:
            while not self._stop.is_set():
                if time.monotonic() - looked >= _LOOK:
                    looked = time.monotonic()
                    self._advertise_pushed()
                    self._publish_graph()
                    self._publish_log()
                if not self._follow_subscriptions():
                    # Nothing tapped: only new ports, the graph and the log to look at.
                    self._wake.wait(_LOOK)
                    self._wake.clear()
                else:
                    # The clock's time, waits for the interpreter included: that is what
                    # the pipeline's threads went without meanwhile.
                    began = time.perf_counter()
                    moved = self._move(began + _PASS)
                    spent = time.perf_counter() - began
                    # Idle, or resting in proportion to the work: the pipeline comes first.
                    rest = min(_REST_MOST, max(_POLL, spent * (1 - BRIDGE_SHARE) / BRIDGE_SHARE))
                    self._stop.wait(rest if moved else _POLL)
        except Exception as error:  # the bridge ends; the pipeline is none of its business
            self._pipeline.get_logger().write(LogType.WARNING, f"The viewer bridge stopped: {error!r}")
            self._stop.set()
        finally:
            channels = []
            with self._lock:
                for published in self._published:
                    self._untap(published)
                    if published.channel is not None:
                        channels.append(published.channel)
                        published.channel = None
            # Outside the lock: closing tells the server, which calls on_unsubscribe here.
            for channel in channels + [self._log_channel]:
                channel.close()  # withdrawn from the clients

    def _advertise_pushed(self) -> None:
        for published in self._published:
            if published.channel is None and (published.port.get_stats().get("pushed") or 0) > 0:
                channel = self._foxglove.Channel(
                    published.topic, schema=dict(VALUE_SCHEMA, title=VALUE_SCHEMA_NAME),
                    message_encoding="json", context=self._context)
                with self._lock:
                    published.channel = channel

    def _follow_subscriptions(self) -> bool:
        """Tap the subscribed ports, untap the others; whether any is tapped."""
        tapped = False
        with self._lock:
            for published in self._published:
                if published.subscribers and published.tap is None:
                    published.tap = Tap(published.port)
                elif not published.subscribers and published.tap is not None:
                    self._untap(published)
                tapped = tapped or published.tap is not None
        return tapped

    def _untap(self, published: _Published) -> None:
        if published.tap is not None:
            published.tap.close()
            published.dropped += published.tap.dropped()
            published.tap = None

    def _move(self, deadline: float) -> bool:
        """Hand what the taps hold to the server, a few values of each port in turn,
        until `deadline` (of perf_counter()); False when nothing waited. What is
        left waits in the taps for the next move."""
        moved = False
        more = True
        while more and time.perf_counter() < deadline:
            more = False
            for published in self._published:
                tap, channel = published.tap, published.channel
                if tap is None or channel is None:
                    continue
                values = tap.take(_CHUNK)
                if not values:
                    continue
                moved = more = True
                now = time.time_ns()
                for value in values:
                    try:
                        data = json_bytes(value)
                    except (TypeError, ValueError):  # a value JSON cannot hold (a cycle)
                        data = json_bytes(repr(value))
                    channel.log(data, log_time=now)
                published.sent += len(values)
        return moved

    def _publish_graph(self) -> None:
        info = describe(self._pipeline)
        names = {node.key: node.name for node in info.nodes}
        published: dict[str, list[str]] = {}
        subscribed: dict[str, list[str]] = {}
        for node in info.nodes:
            for port in node.outputs:
                published.setdefault(f"{node.name}.{port.name}", []).append(node.name)
        for link in info.links:
            subscribed.setdefault(f"{names[link.source]}.{link.source_port}", []).append(
                f"{names[link.target]}.{link.target_port}")
        shape = (tuple(sorted((k, tuple(v)) for k, v in published.items())),
                 tuple(sorted((k, tuple(v)) for k, v in subscribed.items())))
        if shape == self._graph:
            return
        self._graph = shape
        graph = self._foxglove.ConnectionGraph()
        for topic, publishers in published.items():
            graph.set_published_topic(topic, publishers)
        for topic, subscribers in subscribed.items():
            graph.set_subscribed_topic(topic, subscribers)
        self._server.publish_connection_graph(graph)

    def _newest_log(self) -> Optional[tuple[Any, ...]]:
        entries = self._pipeline.get_logger().get_all()
        return _log_key(entries[-1]) if entries else None

    def _publish_log(self) -> None:
        entries = self._pipeline.get_logger().get_all()
        keys = [_log_key(entry) for entry in entries]
        start = len(keys) - keys[::-1].index(self._last_log) if self._last_log in keys else 0
        if keys:
            self._last_log = keys[-1]
        if not self._log_subscribers:
            return
        for entry in entries[start:]:
            self._log_channel.log(json.dumps(_log_message(entry)).encode(), log_time=time.time_ns())


def _log_key(entry: Any) -> tuple[Any, ...]:
    return (entry["timestamp"], str(entry["type"]), entry["message"])


def _log_message(entry: Any) -> dict[str, Any]:
    try:
        moment = datetime.datetime.fromisoformat(str(entry["timestamp"])).timestamp()
    except (TypeError, ValueError):
        moment = time.time()
    kind = str(getattr(entry["type"], "value", entry["type"]))
    return {"timestamp": {"sec": int(moment), "nsec": int((moment % 1) * 1e9)},
            "level": _LEVELS.get(kind, 0), "message": str(entry["message"]), "name": "velarix",
            "file": "", "line": 0}
