"""ZeroMQ connectors: a subscriber source and a publisher sink that talk to any
ZeroMQ peer (the optional extra `zmq`, pyzmq; `msgpack` for that encoding).

Every message is multipart, ``[topic, payload...]``; the topic frame is the
configured ``topic`` as UTF-8 bytes (a subscriber's ``topic`` is a prefix, as
ZeroMQ's subscriptions are). The payload frames depend on ``encoding``:

- ``"raw"``: the value is the payload's bytes: one frame, or a list of bytes for
  several. A publisher sends bytes-like values (``str`` as UTF-8) or a list of them.
- ``"json"``: one frame of UTF-8 JSON text. numpy arrays go as nested lists,
  numpy scalars as numbers.
- ``"msgpack"``: one frame of MessagePack (the same conversions; bytes stay bytes).
- ``"numpy"``: numpy arrays without conversion. One array is a header frame,
  JSON ``{"dtype": "<f4", "shape": [32, 8]}``, then its bytes in C order. A dict
  of arrays (a chunk, ``{"samples": ..., "timestamps": ...}``) is a header frame
  ``{"arrays": [{"name": "samples", "dtype": "<f4", "shape": [32, 8]}, ...]}``
  then one frame of bytes per array, in the header's order. ``dtype`` is numpy's
  type string (byte order, kind, size).

A message a subscriber cannot decode (no payload frame, bad JSON, a header that
does not match its frames) is dropped: counted, and the first one logged as a
WARNING. A value a publisher cannot encode fails its step (a pipeline fault).
"""

from __future__ import annotations

import json
import math
import os
import re
import threading
from types import ModuleType
from typing import Any, Callable, Optional

from ..constants import Constants
from ..i_node import INode
from ..imp import SKIP
from ..imp.portan import carried
from ..logger import LogType
from ..node import PortData, PortMetadata, StepResult
from ..o_node import ONode

EXTRA_HINT = "velarix.connect's ZeroMQ nodes need pyzmq; install it with: pip install 'velarix[zmq]'"
MSGPACK_HINT = "encoding 'msgpack' needs msgpack; install it with: pip install 'velarix[msgpack]'"

ENCODINGS = ("raw", "json", "msgpack", "numpy")
#: The stream description keys a subscriber passes on as its port metadata.
DESCRIPTION_KEYS = ("channel_count", "channel_names", "nominal_srate", "channel_format")
POLL_MS = 100  # how often the receiving and monitoring threads look at their stop flags
BATCH = 256  # messages taken in one go before the stop flag and the monitor are looked at
PUBLISHER_LINGER = 0.2  # seconds a stopping publisher gives queued messages to leave, by default
HANDSHAKE_REPORT_INTERVAL = 10.0  # seconds: at most one failed-handshake line this often
#: The transports a PUB or SUB socket takes, so that a typo fails at construction.
ENDPOINT_SCHEMES = ("tcp", "ipc", "inproc", "pgm", "epgm", "ws", "wss", "tipc", "vmci")
_ENDPOINT = re.compile(rf"^({'|'.join(ENDPOINT_SCHEMES)})://.+")


def require_zmq() -> ModuleType:
    try:
        import zmq
    except ImportError as error:
        raise ImportError(EXTRA_HINT) from error
    return zmq


def _require_msgpack() -> ModuleType:
    try:
        import msgpack  # type: ignore[import-untyped]
    except ImportError as error:
        raise ImportError(MSGPACK_HINT) from error
    module: ModuleType = msgpack
    return module


class DecodeError(ValueError):
    """A message that is not in the subscriber's encoding."""


# Encoding -----------------------------------------------------------------------

def _plain(value: Any) -> Any:
    """numpy values as JSON and MessagePack hold them (the `default` of both)."""
    tolist = getattr(value, "tolist", None)
    if tolist is not None and type(value).__module__ == "numpy":
        return tolist()
    raise TypeError(f"a {type(value).__name__} is not JSON or MessagePack data")


def encode(encoding: str, value: Any) -> list[Any]:
    """The payload frames of `value` (TypeError when the encoding cannot hold it)."""
    if encoding == "raw":
        if isinstance(value, (bytes, bytearray, memoryview)):
            return [value]
        if isinstance(value, str):
            return [value.encode()]
        if isinstance(value, (list, tuple)) and value and all(
                isinstance(part, (bytes, bytearray, memoryview)) for part in value):
            return list(value)
        raise TypeError(f"encoding 'raw' sends bytes (or a list of bytes), not {type(value).__name__}; "
                        "use encoding 'json', 'msgpack' or 'numpy' for other values")
    if encoding == "json":
        return [json.dumps(value, default=_plain, separators=(",", ":")).encode()]
    if encoding == "msgpack":
        return [_require_msgpack().packb(value, default=_plain, use_bin_type=True)]
    return _encode_numpy(value)


def _array_header(array: Any) -> dict[str, Any]:
    return {"dtype": array.dtype.str, "shape": list(array.shape)}


def _encode_numpy(value: Any) -> list[Any]:
    import numpy as np

    if isinstance(value, np.ndarray):
        array = _sendable(np, value, "the value")
        return [json.dumps(_array_header(array)).encode(), array]
    if isinstance(value, dict) and value and all(type(k) is str for k in value):
        arrays = [(name, _sendable(np, np.asarray(item), f"entry {name!r}")) for name, item in value.items()]
        header = {"arrays": [dict(name=name, **_array_header(array)) for name, array in arrays]}
        return [json.dumps(header).encode(), *(array for _, array in arrays)]
    raise TypeError(f"encoding 'numpy' sends a numpy array or a dict of arrays (str keys), "
                    f"not {type(value).__name__}")


def _sendable(np: Any, array: Any, what: str) -> Any:
    if array.dtype.hasobject:
        raise TypeError(f"encoding 'numpy' cannot send {what}: its dtype {array.dtype} holds Python objects")
    return np.ascontiguousarray(array)


def decode(encoding: str, frames: list[Any]) -> Any:
    """The value of a message's payload frames (DecodeError when they are not in
    the encoding)."""
    if not frames:
        raise DecodeError("a message without a payload frame")
    if encoding == "raw":
        parts = [_bytes(frame) for frame in frames]
        return parts[0] if len(parts) == 1 else parts
    if encoding in ("json", "msgpack"):
        if len(frames) != 1:
            raise DecodeError(f"{len(frames)} payload frames where encoding {encoding!r} has one")
        try:
            if encoding == "json":
                return json.loads(_bytes(frames[0]))
            return _require_msgpack().unpackb(_bytes(frames[0]), raw=False)
        except ImportError:
            raise
        except Exception as error:
            raise DecodeError(f"not {encoding}: {error}") from error
    return _decode_numpy(frames)


def _bytes(frame: Any) -> bytes:
    return frame if type(frame) is bytes else frame.bytes


def _decode_numpy(frames: list[Any]) -> Any:
    import numpy as np

    try:
        header = json.loads(_bytes(frames[0]))
    except Exception as error:  # not JSON, not UTF-8, nested too deep
        raise DecodeError(f"its header frame is not JSON: {type(error).__name__}: {error}") from error
    if isinstance(header, dict) and "arrays" in header:
        entries = header["arrays"]
        if not isinstance(entries, list) or len(entries) != len(frames) - 1:
            raise DecodeError(f"a header for {len(entries) if isinstance(entries, list) else '?'} arrays "
                              f"with {len(frames) - 1} data frames")
        value = {}
        for entry, frame in zip(entries, frames[1:]):
            if not isinstance(entry, dict) or type(entry.get("name")) is not str:
                raise DecodeError("an array of its header has no name")
            value[entry["name"]] = _array(np, entry, frame)
        return value
    if len(frames) != 2:
        raise DecodeError(f"one array's header with {len(frames) - 1} data frames")
    return _array(np, header, frames[1])


def _array(np: Any, header: Any, frame: Any) -> Any:
    if not isinstance(header, dict):
        raise DecodeError("its header is not a JSON object")
    shape = header.get("shape")
    if not isinstance(shape, list) or not all(type(n) is int and n >= 0 for n in shape):
        raise DecodeError(f"its header's shape {shape!r} is not a list of sizes")
    name = header.get("dtype")
    try:
        if type(name) is not str:
            raise TypeError("it is not a str")
        dtype = np.dtype(name)
    except Exception as error:
        raise DecodeError(f"its header's dtype {name!r} is not a numpy type: {error}") from error
    if dtype.hasobject or dtype.itemsize == 0:
        raise DecodeError(f"its header's dtype {dtype} holds Python objects or has no size")
    buffer = frame if type(frame) is bytes else frame.buffer
    size = math.prod(shape) * dtype.itemsize
    if len(buffer) != size:
        raise DecodeError(f"a {dtype.str} array of shape {shape} takes {size} bytes, its frame has {len(buffer)}")
    try:
        return np.frombuffer(buffer, dtype=dtype).reshape(shape)
    except Exception as error:
        raise DecodeError(f"cannot make a {dtype.str} array of shape {shape}: {error}") from error


# Checks ---------------------------------------------------------------------------

def _check_entries(owner: str, entries: dict[str, Any], keys: Any) -> None:
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
        _require_msgpack()
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


def _topic_bytes(topic: Any) -> bytes:
    return topic.encode() if isinstance(topic, str) else bytes(topic)


# The socket and what watches it ---------------------------------------------------------

class _Allowed:
    """The ZAP check of a CURVE server that names its clients."""

    def __init__(self, keys: set[bytes]) -> None:
        self.keys = keys

    def callback(self, domain: str, key: bytes) -> bool:
        return key in self.keys


def _public_key(zmq: ModuleType, owner: str, text: str) -> bytes:
    """Z85 text (40 characters) or a key file as zmq.auth and `velarix keys` write them."""
    path = os.path.expanduser(text)
    if len(text) == 40 and not os.path.exists(path):
        return text.encode()
    try:
        return bytes(zmq.auth.load_certificate(path)[0])
    except (OSError, ValueError) as error:
        raise ValueError(f"{owner}: cannot read a public key from {text!r}: {error}") from error


def _key_pair(zmq: ModuleType, owner: str, path: str) -> tuple[bytes, bytes]:
    import zmq.auth

    try:
        public, secret = zmq.auth.load_certificate(os.path.expanduser(path))
    except (OSError, ValueError) as error:
        raise ValueError(f"{owner}: cannot read a key pair from {path!r}: {error}") from error
    if secret is None:
        raise ValueError(f"{owner}: {path!r} holds no secret key (give the '.key_secret' file).")
    return bytes(public), bytes(secret)


class _Link:
    """One node's context, socket and socket monitor, from start to stop."""

    def __init__(self, node: Any, socket_type: int) -> None:
        zmq = require_zmq()
        import zmq.auth.thread

        self.node = node
        config = node.config
        keys = node.Configuration.Keys
        owner = node._owner()
        self.endpoint: str = config[keys.ENDPOINT]
        self.bind: bool = config[keys.BIND]
        self.context = zmq.Context()
        self.authenticator: Optional[Any] = None
        self.socket: Any = None
        self.monitor: Any = None
        self.peers = 0  # sessions whose handshake succeeded and that have not gone
        self.disconnects = 0
        self.lost = False  # a peer went away and none has come since
        self.failed_handshakes = 0
        self.next_report = float("-inf")
        try:
            self.socket = self.context.socket(socket_type)
            linger = config.get(keys.LINGER, 0) if socket_type == zmq.PUB else 0
            self.socket.linger = -1 if linger is None else int(linger * 1000)
            if socket_type == zmq.PUB:
                self.socket.sndhwm = config[keys.HWM]
            else:
                self.socket.rcvhwm = config[keys.HWM]
            self._secure(zmq, owner, config, keys)
            self.monitor = self.socket.get_monitor_socket(
                zmq.EVENT_HANDSHAKE_SUCCEEDED | zmq.EVENT_DISCONNECTED | zmq.EVENT_HANDSHAKE_FAILED_AUTH
                | zmq.EVENT_HANDSHAKE_FAILED_PROTOCOL | zmq.EVENT_HANDSHAKE_FAILED_NO_DETAIL)
            try:
                if self.bind:
                    self.socket.bind(self.endpoint)
                else:
                    self.socket.connect(self.endpoint)
            except zmq.ZMQError as error:
                raise OSError(f"{owner} cannot {'bind' if self.bind else 'connect'} to {self.endpoint}: "
                              f"{error}") from error
        except BaseException:
            self.close()
            raise

    def _secure(self, zmq: ModuleType, owner: str, config: Any, keys: Any) -> None:
        secret = config.get(keys.CURVE_SECRET_KEY)
        server_key = config.get(keys.CURVE_SERVER_KEY)
        if server_key is not None:  # a CURVE client of that server
            public, own_secret = _key_pair(zmq, owner, secret) if secret is not None else zmq.curve_keypair()
            self.socket.curve_serverkey = _public_key(zmq, owner, server_key)
            self.socket.curve_publickey = public
            self.socket.curve_secretkey = own_secret
        elif secret is not None:  # a CURVE server
            public, own_secret = _key_pair(zmq, owner, secret)
            clients = config.get(keys.CURVE_CLIENTS)
            if clients is not None:
                allowed = self._clients(zmq, owner, clients)
                # The handler must answer before the first peer's handshake.
                self.authenticator = zmq.auth.thread.ThreadAuthenticator(self.context)
                self.authenticator.start()
                self.authenticator.configure_curve_callback("*", _Allowed(allowed))
            self.socket.curve_server = True
            self.socket.curve_publickey = public
            self.socket.curve_secretkey = own_secret

    @staticmethod
    def _clients(zmq: ModuleType, owner: str, clients: Any) -> set[bytes]:
        if isinstance(clients, list):
            return {_public_key(zmq, owner, key) for key in clients}
        folder = os.path.expanduser(clients)
        if not os.path.isdir(folder):
            raise ValueError(f"{owner}: curve_clients {clients!r} is not a folder of public key files.")
        return {bytes(key) for key in zmq.auth.load_certificates(folder)}

    def read_events(self) -> None:
        """Log what the monitor tells: a peer gone is a WARNING, one back an INFO."""
        zmq = require_zmq()
        from zmq.utils.monitor import recv_monitor_message

        while self.monitor is not None and self.monitor.poll(0):
            event = recv_monitor_message(self.monitor)
            kind = event["event"]
            where = event["endpoint"].decode(errors="replace") if isinstance(event["endpoint"], bytes) \
                else str(event["endpoint"])
            owner = self.node._owner()
            if kind == zmq.EVENT_HANDSHAKE_SUCCEEDED:
                self.peers += 1
                if self.lost:
                    self.lost = False
                    self.node._log(LogType.INFO, f"{owner}: connected again ({where}); messages can flow.")
            elif kind == zmq.EVENT_DISCONNECTED:
                if self.peers == 0:
                    continue  # a connection that never completed its handshake
                self.peers -= 1
                self.disconnects += 1
                if self.peers == 0:
                    self.lost = True
                    again = ("ZeroMQ reconnects when it is back" if not self.bind
                             else "waiting for a peer to connect again")
                    self.node._log(LogType.WARNING, f"{owner}: the peer at {where} went away; {again}.")
            else:  # a failed handshake: a wrong key, or not a ZeroMQ peer
                self.failed_handshakes += 1
                now = _monotonic()
                if now >= self.next_report:
                    self.next_report = now + HANDSHAKE_REPORT_INTERVAL
                    self.node._log(LogType.WARNING, f"{owner}: a handshake with {where} failed (a CURVE key "
                                   f"that does not match?); {self.failed_handshakes} so far.")

    def close(self) -> None:
        """Close the monitor, the socket and the context; ends the ZAP thread."""
        if self.socket is not None:
            try:
                self.socket.disable_monitor()
            except Exception:
                pass  # a socket whose monitor never started
        for sock in (self.monitor, self.socket):
            if sock is not None:
                sock.close()
        self.monitor = self.socket = None
        if self.authenticator is not None:
            self.authenticator.stop()
            self.authenticator = None
        self.context.term()


def _monotonic() -> float:
    import time

    return time.monotonic()


class _Received:
    """Arrays a subscriber has just made over a message's frames, which nothing
    else holds: the step cycle's private copy of its input keeps them as they are."""

    __slots__ = ("value",)

    def __init__(self, value: Any) -> None:
        self.value = value

    def __deepcopy__(self, memo: dict[int, Any]) -> _Received:
        return self


class _ZMQNode:
    """What both ZeroMQ nodes share: their keys, log, statistics and saving."""

    config: Any
    _imp: Any
    _link: Optional[_Link] = None
    _values = 0
    _dropped = 0
    _disconnects = 0

    def _owner(self) -> str:
        return f"{type(self).__name__} {self.config.get('name')!r}"

    def serialize(self) -> dict[str, Any]:
        """As `Portable.serialize`, without source text: loading imports the module."""
        data: dict[str, Any] = super().serialize()  # type: ignore[misc]
        data["source"] = None
        return data

    def _log(self, log_type: LogType, message: str) -> None:
        logger = getattr(self._imp, "_logger", None)
        if logger is not None:
            logger.write(log_type, message)

    def _connector_stats(self) -> dict[str, Any]:
        link = self._link
        return {"endpoint": self.config.get("endpoint"), "values": self._values, "dropped": self._dropped,
                "peers": link.peers if link is not None else 0,
                "disconnects": self._disconnects + (link.disconnects if link is not None else 0)}

    def _closed(self, link: _Link) -> None:
        if self._link is link:
            self._link = None
        self._disconnects += link.disconnects
        link.close()


class ZMQSubscriber(_ZMQNode, ONode):
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

    class Configuration(ONode.Configuration):
        """Adds the ZeroMQ keys and the stream description."""

        class Keys(ONode.Configuration.Keys):
            ENDPOINT = "endpoint"
            TOPIC = "topic"
            BIND = "bind"
            ENCODING = "encoding"
            WITH_TOPIC = "with_topic"
            HWM = "hwm"
            CURVE_SECRET_KEY = "curve_secret_key"
            CURVE_SERVER_KEY = "curve_server_key"
            CURVE_CLIENTS = "curve_clients"
            CHANNEL_COUNT = "channel_count"
            CHANNEL_NAMES = "channel_names"
            NOMINAL_SRATE = "nominal_srate"
            CHANNEL_FORMAT = "channel_format"

    _thread: Optional[threading.Thread] = None
    _with_topic = False
    _single: Optional[str] = None
    _plain = False

    def _prepare_entries(self, entries: dict[str, Any]) -> None:
        super()._prepare_entries(entries)
        keys = self.Configuration.Keys
        owner = f"{type(self).__name__} {entries.get('name')!r}"
        if entries.get(keys.RATE) is not None:
            raise ValueError(f"{owner}: rate does not apply; its messages drive it.")
        _check_entries(owner, entries, keys)
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
        link = _Link(self, zmq.SUB)
        topic = self.config[self.Configuration.Keys.TOPIC]
        for prefix in topic if isinstance(topic, list) else [topic]:
            link.socket.subscribe(_topic_bytes(prefix))
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
        self._plain = (own and self._single is not None and sync and not self._with_topic
                       and self.config[self.Configuration.Keys.ENCODING] != "numpy")
        if own:  # a handler set with set_step_handler stays
            self._imp.set_step_handler(dict if self._plain else self.step)
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

    def get_stats(self) -> dict[str, Any]:
        """`Node.get_stats` with ``"connector"``: ``endpoint``, ``values``,
        ``dropped``, ``peers`` and ``disconnects``."""
        stats = super().get_stats()
        stats["connector"] = self._connector_stats()
        return stats

    def setup(self, data: PortData, metadata: PortMetadata) -> Optional[PortMetadata]:
        description = {key: self.config[key] for key in DESCRIPTION_KEYS if key in self.config}
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
            value = {"topic": _bytes(data["topic"]).decode(errors="replace"), "value": value}
        if self._single is not None:
            return {self._single: value}
        return {name: value for name in self._imp._output_ports}

    def _run(self, link: _Link, stopping: threading.Event) -> None:
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
            self._imp._condition = Constants.Conditions.ERROR
        finally:
            self._closed(link)

    def _serve(self, link: _Link, stopping: threading.Event, zmq: ModuleType) -> None:
        sock, monitor = link.socket, link.monitor
        encoding = self.config[self.Configuration.Keys.ENCODING]
        keep_frames = encoding == "numpy"  # arrays are made over the received frames
        raw = encoding == "raw"
        plain, single = self._plain, self._single
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
                if plain:
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


class ZMQPublisher(_ZMQNode, INode):
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

    class Configuration(INode.Configuration):
        """Adds the ZeroMQ keys."""

        class Keys(INode.Configuration.Keys):
            ENDPOINT = "endpoint"
            TOPIC = "topic"
            BIND = "bind"
            ENCODING = "encoding"
            HWM = "hwm"
            LINGER = "linger"
            CURVE_SECRET_KEY = "curve_secret_key"
            CURVE_SERVER_KEY = "curve_server_key"
            CURVE_CLIENTS = "curve_clients"

    _watcher: Optional[threading.Thread] = None

    def __init__(self, **entries: Any) -> None:
        super().__init__(**entries)
        if self.config[self.Configuration.Keys.ENCODING] == "numpy":
            self._imp.set_pre_step_handler(self._publish_input)
            self._imp.set_step_handler(self._nothing)

    def _prepare_entries(self, entries: dict[str, Any]) -> None:
        super()._prepare_entries(entries)
        keys = self.Configuration.Keys
        owner = f"{type(self).__name__} {entries.get('name')!r}"
        _check_entries(owner, entries, keys)
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
            link = _Link(self, zmq.PUB)
            self._topic = _topic_bytes(self.config[self.Configuration.Keys.TOPIC])
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

    def get_stats(self) -> dict[str, Any]:
        """`Node.get_stats` with ``"connector"``: ``endpoint``, ``values``,
        ``dropped``, ``peers`` and ``disconnects``."""
        stats = super().get_stats()
        stats["connector"] = self._connector_stats()
        return stats

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
    def _watch(link: _Link, watching: threading.Event) -> None:
        # The monitor socket is this thread's alone; the PUB socket is the worker's.
        monitor = link.monitor
        while not watching.is_set():
            if monitor.poll(POLL_MS):
                link.read_events()


__all__ = ["ZMQPublisher", "ZMQSubscriber", "ENCODINGS", "encode", "decode", "DecodeError"]
