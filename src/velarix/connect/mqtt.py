"""MQTT topics into and out of a pipeline (the optional extra `mqtt`, paho-mqtt).

`MQTTSubscriber` is a source: every message on its topics is a value.
`MQTTPublisher` is a sink: every value it receives is a message. Both keep their
connection to the broker up on their own: a broker that goes away is a WARNING,
and the client reconnects with a growing delay (``reconnect_min`` doubling up to
``reconnect_max`` seconds) until it answers again, then logs an INFO entry.

Encodings (``encoding``):

- ``"json"`` (default): the value as JSON text in UTF-8. numpy arrays and
  numpy numbers go as (nested) lists and plain numbers, also inside dicts and
  lists, so a chunk goes as ``{"samples": [[...], ...], "timestamps": [...]}``.
  The subscriber hands on what the JSON holds, except that an object with exactly
  the keys ``samples`` and ``timestamps`` becomes a chunk of numpy arrays again.
- ``"raw"``: the payload's bytes. The publisher sends bytes-like values as
  they are, ``str`` as UTF-8 and a numpy array as its raw items in C order
  (``array.tobytes()``: no shape, no dtype, read it back with `numpy.frombuffer`);
  the subscriber hands on ``bytes``.

Both speak MQTT 5 by default (``protocol="3.1.1"`` for a broker without it). Then
the publisher numbers its messages in a user property (``velarix-seq``, the
payload stays as it is, so any MQTT client reads it), and a subscriber counts the
numbers missing between two messages of one publisher as ``lost``: values that
left a publisher but never arrived, e.g. while the broker restarted. Messages
without the property (another program's, or over MQTT 3.1.1) are taken as they
are and cannot be counted.
"""

from __future__ import annotations

import json
import secrets
import threading
from typing import Any, Optional

from ..logger import LogType
from ..node import PortData, PortMetadata
from ._common import (
    ConnectorSink,
    ThreadedSource,
    _Counting,
    check_int,
    check_seconds,
    check_str,
    refuse_unknown,
    require_extra,
)

mqtt: Any = require_extra("paho.mqtt.client", "mqtt")
_Properties: Any = require_extra("paho.mqtt.properties", "mqtt").Properties
_PacketTypes: Any = require_extra("paho.mqtt.packettypes", "mqtt").PacketTypes

__all__ = ["MQTTPublisher", "MQTTSubscriber"]

_ENCODINGS = ("json", "raw")
_PROTOCOLS = {"5": mqtt.MQTTv5, "3.1.1": mqtt.MQTTv311}
_CLIENT_KEYS = ("host", "port", "qos", "encoding", "client_id", "keepalive", "username", "password",
                "reconnect_min", "reconnect_max", "protocol")
#: The MQTT 5 user property that numbers a publisher's messages: "ORIGIN:N", ORIGIN
#: new for every start of the publisher, N counting from 0.
SEQUENCE_PROPERTY = "velarix-seq"


def _check_client_options(entries: dict[str, Any]) -> None:
    check_str("host", entries.setdefault("host", "127.0.0.1"))
    check_int("port", entries.setdefault("port", 1883), 1, 65535)
    check_int("qos", entries.setdefault("qos", 0), 0, 2)
    if entries.setdefault("encoding", "json") not in _ENCODINGS:
        raise ValueError(f"encoding must be one of {', '.join(_ENCODINGS)}, got {entries['encoding']!r}.")
    for key in ("client_id", "username", "password"):
        if entries.setdefault(key, None) is not None:
            check_str(key, entries[key])
    check_int("keepalive", entries.setdefault("keepalive", 60), 5)
    low = check_seconds("reconnect_min", entries.setdefault("reconnect_min", 0.5))
    high = check_seconds("reconnect_max", entries.setdefault("reconnect_max", 30.0))
    if high < low:
        raise ValueError(f"reconnect_max ({high}) must not be below reconnect_min ({low}).")
    if entries.setdefault("protocol", "5") not in _PROTOCOLS:
        raise ValueError(f"protocol must be one of {', '.join(map(repr, _PROTOCOLS))}, got {entries['protocol']!r}.")


def _check_filter(value: Any) -> str:
    """A topic filter: '+' a whole level, '#' the whole last level."""
    topic = check_str("topic", value)
    levels = topic.split("/")
    for index, level in enumerate(levels):
        if ("+" in level and level != "+") or ("#" in level and (level != "#" or index != len(levels) - 1)):
            raise ValueError(f"topic {topic!r}: '+' must be a whole level and '#' the whole last level.")
    return topic


def _as_json_data(value: Any) -> Any:
    """JSON's default hook: numpy arrays and numbers as lists and numbers."""
    tolist = getattr(value, "tolist", None)
    if tolist is not None:
        return tolist()
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value).decode("utf-8", "replace")
    raise TypeError(f"a {type(value).__name__} cannot be sent as JSON")


def encode(value: Any, encoding: str) -> bytes:
    """The payload for `value` (see the module's text). Raises TypeError or
    ValueError for a value the encoding cannot hold."""
    if encoding == "raw":
        if isinstance(value, (bytes, bytearray, memoryview)):
            return bytes(value)
        if isinstance(value, str):
            return value.encode("utf-8")
        tobytes = getattr(value, "tobytes", None)
        if tobytes is not None:
            payload: bytes = tobytes(order="C")
            return payload
        raise TypeError(f"encoding 'raw' sends bytes, str or arrays, not {type(value).__name__}")
    return json.dumps(value, default=_as_json_data, allow_nan=True).encode("utf-8")


def decode(payload: bytes, encoding: str) -> Any:
    """The value a payload stands for; ValueError when it is not valid in `encoding`."""
    if encoding == "raw":
        return payload
    value = json.loads(payload.decode("utf-8"))
    if isinstance(value, dict) and set(value) == {"samples", "timestamps"}:
        import numpy as np

        return {"samples": np.asarray(value["samples"], dtype=np.float64),
                "timestamps": np.asarray(value["timestamps"], dtype=np.float64)}
    return value


class _Connection:
    """One paho client with its network thread, and what it tells the log."""

    def __init__(self, node: _Counting, config: Any, subscribe: Optional[list[str]] = None,
                 max_queued: int = 0) -> None:
        self._node = node
        self._subscribe = subscribe or []
        self._qos = config["qos"]
        self._ever_connected = False
        self.connected = threading.Event()
        self.numbered = config["protocol"] == "5"  # user properties exist from MQTT 5 on
        client = mqtt.Client(callback_api_version=mqtt.CallbackAPIVersion.VERSION2,
                             client_id=config["client_id"] or "", protocol=_PROTOCOLS[config["protocol"]])
        if config["username"] is not None:
            client.username_pw_set(config["username"], config["password"])
        client.reconnect_delay_set(config["reconnect_min"], config["reconnect_max"])
        client.max_queued_messages_set(max_queued)
        client.on_connect = self._on_connect
        client.on_disconnect = self._on_disconnect
        client.on_connect_fail = self._on_connect_fail
        self.client = client
        self._where = f"MQTT broker {config['host']}:{config['port']}"
        if self.numbered:  # a clean start every time, as MQTT 3.1.1's clean session
            client.connect_async(config["host"], config["port"], config["keepalive"], clean_start=True)
        else:
            client.connect_async(config["host"], config["port"], config["keepalive"])
        client.loop_start()

    def _on_connect(self, client: Any, userdata: Any, flags: Any, reason: Any, properties: Any) -> None:
        if reason.is_failure:
            self._node._warn_once("broker", f"{self._where} refused the connection: {reason}; trying again.")
            return
        for topic in self._subscribe:
            client.subscribe(topic, self._qos)
        self.connected.set()
        self._node._set_count("connected", True)
        self._node._rearm("broker")
        if self._ever_connected:
            self._node._count("reconnects")
            self._node._log(LogType.INFO, f"reconnected to {self._where}.")
        self._ever_connected = True

    def _on_disconnect(self, client: Any, userdata: Any, flags: Any, reason: Any, properties: Any) -> None:
        self.connected.clear()
        self._node._set_count("connected", False)
        if reason.is_failure:
            self._node._warn_once("broker", f"lost the connection to {self._where} ({reason}); reconnecting.")

    def _on_connect_fail(self, client: Any, userdata: Any) -> None:
        self._node._warn_once("broker", f"cannot reach {self._where}; trying again.")

    def close(self) -> None:
        """Disconnects, ends the network thread and closes the socket."""
        client = self.client
        client.on_disconnect = None
        client.disconnect()
        self.connected.clear()
        self._node._set_count("connected", False)
        client.loop_stop()
        # The client keeps its broker socket (when it never got through) and its
        # wake-up socket pair until it is collected; close them now.
        reset = getattr(client, "_reset_sockets", None)
        if reset is not None:
            reset()
        else:
            sock = client.socket()
            if sock is not None:
                sock.close()


class MQTTSubscriber(ThreadedSource):
    """A source: every message on its topics is a value, delivered on the MQTT
    client's own network thread.

    Configuration keys (besides those of `ONode`):

    - ``topic`` (required): a topic filter or a list of them; ``+`` matches
      one level, ``#`` (last) the rest.
    - ``host`` (default ``"127.0.0.1"``), ``port`` (1883), ``qos`` (0, 1 or 2),
      ``encoding`` (``"json"`` or ``"raw"``, see the module), ``client_id``
      (default: the broker picks one), ``username``/``password`` (kept in the
      configuration, so a saved pipeline holds them in plain text),
      ``keepalive`` (seconds, 60), ``reconnect_min``/``reconnect_max``
      (seconds between attempts, 0.5 doubling up to 30), ``protocol``
      (``"5"``, the default, or ``"3.1.1"``: the MQTT version, see the module).
    - ``with_topic`` (default False): values are ``{"topic": str, "value": v}``
      instead of ``v``.

    The output port's metadata holds ``topic`` and ``encoding``. A payload that
    does not decode is dropped, counted and reported by one WARNING per run of
    them. ``get_stats()["connector"]`` counts ``values``, ``dropped``, ``lost``
    (messages of a numbering publisher that never arrived, see the module) and
    ``reconnects`` and says whether it is ``connected``. Messages sent while it
    is away from the broker are not delivered later (a clean session).

    Raises:
        TypeError, ValueError: on a missing or malformed key.
    """

    _thread_kind = "mqtt"
    _KEYS = ("topic", "with_topic") + _CLIENT_KEYS

    def __init__(self, **entries: Any) -> None:
        refuse_unknown(entries, self._KEYS, type(self).__name__)
        if "topic" not in entries:
            raise ValueError("MQTTSubscriber needs topic= (a topic filter or a list of them).")
        topics = entries["topic"]
        for topic in topics if isinstance(topics, list) else [topics]:
            _check_filter(topic)
        if isinstance(topics, list) and not topics:
            raise ValueError("topic must name at least one topic filter.")
        if type(entries.setdefault("with_topic", False)) is not bool:
            raise TypeError("with_topic must be True or False.")
        _check_client_options(entries)
        super().__init__(**entries)
        self._init_counts(values=0, dropped=0, lost=0, reconnects=0, connected=False)
        self._metadata = {"topic": entries["topic"], "encoding": entries["encoding"]}
        self._last_seen: dict[tuple[str, str], int] = {}  # (topic, publisher's origin) -> its latest number

    def _serve(self, halt: threading.Event) -> None:
        topics = self.config["topic"]
        connection = _Connection(self, self.config, list(topics) if isinstance(topics, list) else [topics])
        connection.client.on_message = self._on_message
        try:
            halt.wait()
        finally:
            connection.close()

    def _on_message(self, client: Any, userdata: Any, message: Any) -> None:
        self._count_gap(message)
        try:
            value = decode(message.payload, self.config["encoding"])
        except ValueError as error:  # UnicodeDecodeError and JSONDecodeError among them
            self._count("dropped")
            self._warn_once("payload", f"dropped a message on {message.topic!r} that is not "
                                       f"{self.config['encoding']}: {error}")
            return
        self._rearm("payload")
        if self._emit({"topic": message.topic, "value": value} if self.config["with_topic"] else value):
            self._count("values")


    def _count_gap(self, message: Any) -> None:
        """Counts as lost the numbers a publisher skipped since its last message here."""
        numbered = _sequence_number(message)
        if numbered is None:
            return
        origin, number = numbered
        key = (message.topic, origin)
        last = self._last_seen.get(key)
        if last is not None and number <= last:
            return  # delivered twice (QoS 1, overlapping filters) or a retained one again
        if last is None and len(self._last_seen) >= _ORIGINS_KEPT:
            self._last_seen.pop(next(iter(self._last_seen)))  # the publisher heard from least lately
        self._last_seen.pop(key, None)
        self._last_seen[key] = number
        if last is not None and number > last + 1:
            self._count("lost", number - last - 1)


_ORIGINS_KEPT = 1024  # publishers (starts of one) a subscriber keeps the latest number of


def _sequence_number(message: Any) -> Optional[tuple[str, int]]:
    """The (origin, number) a numbering publisher put on `message`, else None."""
    properties = getattr(message, "properties", None)
    for key, value in getattr(properties, "UserProperty", None) or ():
        if key == SEQUENCE_PROPERTY:
            origin, _, number = str(value).rpartition(":")
            return (origin, int(number)) if origin and number.isdigit() else None
    return None


class MQTTPublisher(ConnectorSink):
    """A sink: every value it receives is published as one message.

    Configuration keys (besides those of `INode`):

    - ``topic`` (required): the topic (no wildcards).
    - ``retain`` (default False): the broker keeps the last message for new
      subscribers.
    - ``max_queued`` (default 10000): messages of QoS 1 and 2 kept while the
      broker is away, sent when it is back; beyond that they are dropped.
    - ``host``, ``port``, ``qos``, ``encoding``, ``client_id``,
      ``username``/``password``, ``keepalive``, ``reconnect_min``,
      ``reconnect_max``, ``protocol``: as for `MQTTSubscriber`.

    The connection opens at `start` and closes at `stop`. With QoS 0 a message
    published while the broker is away is dropped. A value the encoding cannot
    hold, or a message beyond ``max_queued``, is dropped too: each run of drops
    is one WARNING. ``get_stats()["connector"]`` counts ``values`` (published
    or queued), ``dropped`` and ``reconnects`` and says whether it is
    ``connected``. Over MQTT 5 every message it hands to its client carries the
    next number of this start (see the module), so that subscribers can count
    what was lost on the way; a publisher cannot tell that itself.

    Raises:
        TypeError, ValueError: on a missing or malformed key.
    """

    _KEYS = ("topic", "retain", "max_queued") + _CLIENT_KEYS

    def __init__(self, **entries: Any) -> None:
        refuse_unknown(entries, self._KEYS, type(self).__name__)
        if "topic" not in entries:
            raise ValueError("MQTTPublisher needs topic= (the topic it publishes on).")
        topic = check_str("topic", entries["topic"])
        if "+" in topic or "#" in topic:
            raise ValueError(f"topic {topic!r}: a message goes to one topic, without '+' or '#'.")
        if type(entries.setdefault("retain", False)) is not bool:
            raise TypeError("retain must be True or False.")
        check_int("max_queued", entries.setdefault("max_queued", 10000), 1)
        _check_client_options(entries)
        super().__init__(**entries)
        self._init_counts(values=0, dropped=0, reconnects=0, connected=False)
        self._connection: Optional[_Connection] = None
        self._lock = threading.Lock()
        self._origin = ""
        self._next_number = 0

    def start(self) -> None:
        """Start the node and connect to the broker (in the background)."""
        with self._lock:
            if self._connection is None:
                self._connection = _Connection(self, self.config, max_queued=self.config["max_queued"])
                # A new origin per start: subscribers count from its first message on.
                self._origin, self._next_number = secrets.token_hex(6), 0
        super().start()

    def setup(self, data: PortData, metadata: PortMetadata) -> Optional[PortMetadata]:
        """A sink has no output ports."""
        return {}

    def step(self, data: PortData) -> None:
        """Publishes the value."""
        connection = self._connection
        value = next(iter(data.values()))
        try:
            payload = encode(value, self.config["encoding"])
        except (TypeError, ValueError) as error:
            self._count("dropped")
            self._warn_once("value", f"dropped a value the encoding {self.config['encoding']!r} "
                                     f"cannot hold: {error}")
            return
        self._rearm("value")
        if connection is None:
            return
        info = connection.client.publish(self.config["topic"], payload, self.config["qos"], self.config["retain"],
                                         self._numbered() if connection.numbered else None)
        if info.rc != mqtt.MQTT_ERR_SUCCESS and (self.config["qos"] == 0 or info.rc != mqtt.MQTT_ERR_NO_CONN):
            self._count("dropped")
            self._warn_once("queue", f"dropped a message: {mqtt.error_string(info.rc)}")
            return
        # Only a message the client took uses up its number: one dropped here is
        # counted as dropped, not again as lost by the subscribers.
        self._next_number += 1
        self._rearm("queue")
        self._count("values")

    def _numbered(self) -> Any:
        """The properties of the next message: its number."""
        properties = _Properties(_PacketTypes.PUBLISH)
        properties.UserProperty = (SEQUENCE_PROPERTY, f"{self._origin}:{self._next_number}")
        return properties

    def _close(self) -> None:
        with self._lock:
            connection, self._connection = self._connection, None
        if connection is not None:
            connection.close()
