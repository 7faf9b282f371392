"""A ZeroMQ node's context, socket and socket monitor, with its CURVE keys."""

from __future__ import annotations

import os
import time
from types import ModuleType
from typing import Any, Optional

from .._optional import import_or_explain
from ..cluster.security import curve_client, curve_server, load_key_file, load_public_key, load_public_keys
from ..logger import LogType

EXTRA_HINT = "velarix.connect's ZeroMQ nodes need pyzmq; install it with: pip install 'velarix[zmq]'"
POLL_MS = 100  # how often the receiving and monitoring threads look at their stop flags
HANDSHAKE_REPORT_INTERVAL = 10.0  # seconds: at most one failed-handshake line this often


def require_zmq() -> ModuleType:
    return import_or_explain("zmq", EXTRA_HINT)



class _Allowed:
    """The ZAP check of a CURVE server that names its clients."""

    def __init__(self, keys: set[bytes]) -> None:
        self.keys = keys

    def callback(self, domain: str, key: bytes) -> bool:
        return key in self.keys


def _public_key(owner: str, text: str) -> bytes:
    """Z85 text (40 characters) or a key file as zmq.auth and `velarix keys` write them."""
    path = os.path.expanduser(text)
    if len(text) == 40 and not os.path.exists(path):
        return text.encode()
    try:
        return load_public_key(path)
    except (OSError, ValueError) as error:
        raise ValueError(f"{owner}: cannot read a public key from {text!r}: {error}") from error


def _key_pair(owner: str, path: str) -> tuple[bytes, bytes]:
    try:
        public, secret = load_key_file(os.path.expanduser(path))
    except (OSError, ValueError) as error:
        raise ValueError(f"{owner}: cannot read a key pair from {path!r}: {error}") from error
    if secret is None:
        raise ValueError(f"{owner}: {path!r} holds no secret key (give the '.key_secret' file).")
    return public, secret


def _client_keys(owner: str, clients: Any) -> set[bytes]:
    """The public keys a CURVE server admits: a list of them, or a folder of key files."""
    if isinstance(clients, list):
        return {_public_key(owner, key) for key in clients}
    folder = os.path.expanduser(clients)
    if not os.path.isdir(folder):
        raise ValueError(f"{owner}: curve_clients {clients!r} is not a folder of public key files.")
    return load_public_keys(folder)


class Link:
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
            public, own_secret = _key_pair(owner, secret) if secret is not None else zmq.curve_keypair()
            curve_client(self.socket, public, own_secret, _public_key(owner, server_key))
        elif secret is not None:  # a CURVE server
            public, own_secret = _key_pair(owner, secret)
            clients = config.get(keys.CURVE_CLIENTS)
            if clients is not None:
                allowed = _client_keys(owner, clients)
                # The handler must answer before the first peer's handshake.
                self.authenticator = zmq.auth.thread.ThreadAuthenticator(self.context)
                self.authenticator.start()
                self.authenticator.configure_curve_callback("*", _Allowed(allowed))
            curve_server(self.socket, public, own_secret)

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
                now = time.monotonic()
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
