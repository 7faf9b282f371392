"""What both ZeroMQ nodes share: their options and checks, log, statistics and saving."""

from __future__ import annotations

import re
from typing import Any, Optional

from ._common import declared_options, refuse_unknown
from ._zmq_encoding import ENCODINGS, require_msgpack
from ._zmq_link import Link, require_zmq
from ..logger import LogType

#: The transports a PUB or SUB socket takes, so that a typo fails at construction.
ENDPOINT_SCHEMES = ("tcp", "ipc", "inproc", "pgm", "epgm", "ws", "wss", "tipc", "vmci")
_ENDPOINT = re.compile(rf"^({'|'.join(ENDPOINT_SCHEMES)})://.+")


class ZMQKeys:
    """The options both ZeroMQ nodes take."""

    ENDPOINT = "endpoint"
    TOPIC = "topic"
    BIND = "bind"
    ENCODING = "encoding"
    HWM = "hwm"
    CURVE_SECRET_KEY = "curve_secret_key"
    CURVE_SERVER_KEY = "curve_server_key"
    CURVE_CLIENTS = "curve_clients"


def owner_of(kind: str, entries: dict[str, Any]) -> str:
    """How messages name the node of class `kind` these entries make."""
    return f"{kind} {entries.get('name')!r}"


def check_entries(kind: str, entries: dict[str, Any], keys: Any) -> None:
    """Refuses an option `keys` does not name, and checks (and completes) those both nodes take."""
    refuse_unknown(entries, declared_options(keys), kind)
    owner = owner_of(kind, entries)
    endpoint = entries.get(keys.ENDPOINT)
    if not isinstance(endpoint, str) or not _ENDPOINT.match(endpoint):
        raise ValueError(f"{owner}: {keys.ENDPOINT} must be a ZeroMQ endpoint such as 'tcp://127.0.0.1:5556' "
                         f"or 'ipc:///tmp/stream' (one of {', '.join(s + '://' for s in ENDPOINT_SCHEMES)}), "
                         f"got {endpoint!r}.")
    encoding = entries.setdefault(keys.ENCODING, "raw")
    if encoding not in ENCODINGS:
        raise ValueError(f"{owner}: {keys.ENCODING} must be one of {', '.join(map(repr, ENCODINGS))}, "
                         f"got {encoding!r}.")
    if encoding == "msgpack":
        require_msgpack()
    if encoding == "numpy":
        try:
            import numpy  # noqa: F401
        except ImportError as error:
            raise ImportError("encoding 'numpy' needs numpy") from error
    bind = entries.setdefault(keys.BIND, False)
    if type(bind) is not bool:
        raise TypeError(f"{owner}: {keys.BIND} must be True or False, not {type(bind).__name__}.")
    hwm = entries.setdefault(keys.HWM, 1000)
    if type(hwm) is not int or hwm < 0:
        raise ValueError(f"{owner}: {keys.HWM} must be a whole number of messages (0: no limit), got {hwm!r}.")
    for key in (keys.CURVE_SECRET_KEY, keys.CURVE_SERVER_KEY):
        if entries.get(key) is not None and not isinstance(entries[key], str):
            raise TypeError(f"{owner}: {key} must be a str (a key file, or Z85 text for a public key).")
    clients = entries.get(keys.CURVE_CLIENTS)
    if clients is not None:
        if not (isinstance(clients, str) or (isinstance(clients, list) and all(isinstance(c, str) for c in clients))):
            raise TypeError(f"{owner}: {keys.CURVE_CLIENTS} must be a folder of public key files or a list of "
                            "Z85 public keys.")
        if entries.get(keys.CURVE_SECRET_KEY) is None or entries.get(keys.CURVE_SERVER_KEY) is not None:
            raise ValueError(f"{owner}: {keys.CURVE_CLIENTS} is for a CURVE server: give it with "
                             f"{keys.CURVE_SECRET_KEY} and without {keys.CURVE_SERVER_KEY}.")
    require_zmq()


def topic_bytes(topic: Any) -> bytes:
    return topic.encode() if isinstance(topic, str) else bytes(topic)


class ZMQNode:
    """What both ZeroMQ nodes share: their keys, log, statistics and saving."""

    config: Any
    _imp: Any
    _link: Optional[Link] = None
    _values = 0
    _dropped = 0
    _disconnects = 0

    def _owner(self) -> str:
        return owner_of(type(self).__name__, self.config)

    def serialize(self) -> dict[str, Any]:
        """As `Portable.serialize`, without source text: loading imports the module."""
        data: dict[str, Any] = super().serialize()  # type: ignore[misc]
        data["source"] = None
        return data

    def _log(self, log_type: LogType, message: str) -> None:
        logger = getattr(self._imp, "_logger", None)
        if logger is not None:
            logger.write(log_type, message)

    def get_stats(self) -> dict[str, Any]:
        """`Node.get_stats` with ``"connector"``: ``endpoint``, ``values``,
        ``dropped``, ``peers`` and ``disconnects``."""
        stats: dict[str, Any] = super().get_stats()  # type: ignore[misc]
        stats["connector"] = self._connector_stats()
        return stats

    def _connector_stats(self) -> dict[str, Any]:
        link = self._link
        return {"endpoint": self.config.get("endpoint"), "values": self._values, "dropped": self._dropped,
                "peers": link.peers if link is not None else 0,
                "disconnects": self._disconnects + (link.disconnects if link is not None else 0)}

    def _closed(self, link: Link) -> None:
        if self._link is link:
            self._link = None
        self._disconnects += link.disconnects
        link.close()
