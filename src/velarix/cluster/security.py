"""Keys and endpoints: who may connect, and where a worker may listen.

A keys folder holds two CURVE key pairs made by `velarix keys DIR`:
controller.key / controller.key_secret and worker.key / worker.key_secret. A
controller uses its own pair and the workers' public key; a worker uses its own
pair and accepts, on its control socket, only the controller's public key, and on
its data sockets the controller's or another worker's.
"""

from __future__ import annotations

import ipaddress
import os
import socket
from typing import Any, Callable, Optional
from urllib.parse import urlsplit

from ._zmq import require_zmq

CONTROLLER = "controller"
WORKER = "worker"
CONTROL_DOMAIN = "control"
DATA_DOMAIN = "data"


class SecurityError(RuntimeError):
    """A connection or a binding that the security rules refuse."""


def make_keys(directory: str, force: bool = False) -> str:
    """Write both key pairs into `directory` (created private, mode 0700)."""
    require_zmq()
    import zmq.auth

    os.makedirs(directory, mode=0o700, exist_ok=True)
    os.chmod(directory, 0o700)
    for name in (CONTROLLER, WORKER):
        secret = os.path.join(directory, name + ".key_secret")
        if os.path.exists(secret) and not force:
            raise FileExistsError(f"{secret} exists; pass force=True (--force) to replace the keys.")
        zmq.auth.create_certificates(directory, name)
        os.chmod(secret, 0o600)
    return directory


class Keys:
    """The key pairs one side of the cluster needs, read from a keys folder."""

    def __init__(self, directory: str, role: str) -> None:
        require_zmq()
        import zmq.auth

        self.directory = directory
        own = os.path.join(directory, role + ".key_secret")
        if not os.path.exists(own):
            raise FileNotFoundError(f"No {role} key pair in {directory}: make one with `velarix keys {directory}`.")
        self.public, self.secret = zmq.auth.load_certificate(own)
        self.worker_public, _ = zmq.auth.load_certificate(os.path.join(directory, WORKER + ".key"))
        self.controller_public, _ = zmq.auth.load_certificate(os.path.join(directory, CONTROLLER + ".key"))

    def as_client(self, sock: Any) -> None:
        """Make `sock` a CURVE client of a worker."""
        sock.curve_publickey = self.public
        sock.curve_secretkey = self.secret
        sock.curve_serverkey = self.worker_public

    def as_server(self, sock: Any, domain: str) -> None:
        """Make `sock` a CURVE server whose clients the worker's ZAP handler checks."""
        sock.curve_server = True
        sock.curve_publickey = self.public
        sock.curve_secretkey = self.secret
        sock.zap_domain = domain.encode()

    def allowed(self, domain: str, client_key: bytes) -> bool:
        """Control: the controller only. Data: the controller or a fellow worker."""
        if domain == CONTROL_DOMAIN:
            return client_key == self.controller_public
        return client_key in (self.controller_public, self.worker_public)


def is_tcp(endpoint: str) -> bool:
    return endpoint.startswith("tcp://")


def check_bind(endpoint: str, keys: Optional[str]) -> None:
    """Refuse a TCP endpoint without keys: whoever reaches it could run code here."""
    if not is_tcp(endpoint):
        if not endpoint.startswith("ipc://"):
            raise SecurityError(f"Unsupported endpoint {endpoint!r}: use ipc://PATH or tcp://HOST:PORT.")
        return
    if keys is None:
        where = "a loopback" if is_loopback(endpoint) else "a non-loopback"
        raise SecurityError(
            f"Refusing to listen on {endpoint} ({where} TCP address) without CURVE keys: "
            "anyone who reaches it could run code in this process. "
            "Make keys with `velarix keys DIR` and pass --keys DIR.")


def is_loopback(endpoint: str) -> bool:
    host = urlsplit(endpoint).hostname or ""
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        try:
            return ipaddress.ip_address(socket.gethostbyname(host)).is_loopback
        except (OSError, ValueError):
            return False


def private_folder(directory: str) -> None:
    """Check that an ipc folder is ours alone: other users must not reach the sockets."""
    mode = os.stat(directory).st_mode & 0o777
    if mode & 0o077:
        raise SecurityError(f"ipc folder {directory} is open to other users (mode {mode:o}); use a folder with mode 0700.")


class ZapHandler:
    """Answers ZeroMQ's authentication requests for this process's CURVE servers,
    polled by the worker's main loop; refusals go to `report`."""

    VERSION = b"1.0"

    def __init__(self, context: Any, keys: Keys, report: Callable[[str], None]) -> None:
        zmq = require_zmq()
        self.keys = keys
        self.report = report
        self.refused: set[tuple[bytes, bytes]] = set()  # a refused client retries its handshake: say it once per key
        self.socket = context.socket(zmq.REP)
        self.socket.linger = 0
        self.socket.bind("inproc://zeromq.zap.01")

    def handle(self) -> None:
        frames = self.socket.recv_multipart()
        version, request_id, domain, address, _identity, mechanism = frames[:6]
        ok = False
        if mechanism == b"CURVE" and len(frames) > 6:
            from zmq.utils import z85

            key = z85.encode(frames[6])
            ok = self.keys.allowed(domain.decode(), key)
            if not ok and (domain, key) not in self.refused:
                self.refused.add((domain, key))
                self.report(f"Refused a connection from {address.decode() or 'unknown'} on the "
                            f"{domain.decode()} socket: public key {key.decode()} is not allowed.")
        status = (b"200", b"OK") if ok else (b"400", b"Unknown key")
        self.socket.send_multipart([self.VERSION, request_id, *status, b"", b""])

    def close(self) -> None:
        self.socket.close(linger=0)
