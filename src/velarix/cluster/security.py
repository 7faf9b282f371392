"""Keys and endpoints: who may connect, and where a worker may listen.

`velarix keys DIR --worker NAME ...` makes one CURVE key pair for the controller
and one for each worker, laid out so that each host gets only what it needs:

    DIR/controller/controller.key(_secret)   the controller's pair: stays with it
    DIR/controller/workers/NAME.key          each worker's public key
    DIR/workers/NAME/worker.key(_secret)     worker NAME's pair, for its host
    DIR/workers/NAME/controller.key          the controller's public key

A worker's control socket accepts the controller's key only; its data sockets the
controller's and the keys of this cluster's workers, which the controller (the one
client the control socket lets in) names when it builds the worker's part.
"""

from __future__ import annotations

import collections
import ipaddress
import os
import shutil
import socket
import time
from typing import Any, Callable, Iterable, Optional
from urllib.parse import urlsplit

from ._zmq import require_zmq

CONTROLLER = "controller"
WORKER = "worker"
WORKERS = "workers"
CONTROL_DOMAIN = "control"
DATA_DOMAIN = "data"


class SecurityError(RuntimeError):
    """A connection or a binding that the security rules refuse."""


def _private_dir(path: str) -> None:
    os.makedirs(path, mode=0o700, exist_ok=True)
    os.chmod(path, 0o700)


def _check_worker_name(name: str) -> None:
    if not name or name.startswith(".") or os.sep in name or (os.altsep and os.altsep in name):
        raise ValueError(f"Worker name {name!r} cannot name a keys folder.")


def is_keys_folder(directory: str) -> bool:
    """A folder `make_keys` made: it holds the controller's key pair."""
    return os.path.isfile(os.path.join(directory, CONTROLLER, CONTROLLER + ".key_secret"))


def make_worker_keys(directory: str, controller_key_file: str) -> str:
    """A new worker key pair in the private folder `directory`, with a copy of the
    controller's public key file; the worker's public key file."""
    require_zmq()
    import zmq.auth

    _private_dir(directory)
    public_file, secret_file = zmq.auth.create_certificates(directory, WORKER)
    os.chmod(secret_file, 0o600)
    shutil.copyfile(controller_key_file, os.path.join(directory, CONTROLLER + ".key"))
    return str(public_file)


def make_keys(directory: str, workers: Iterable[str] = ("worker1",), force: bool = False) -> str:
    """Make the controller's key pair in `directory`/controller (kept when it exists,
    unless `force`) and one pair per name in `workers` under `directory`/workers.
    `directory` must be new, empty or a keys folder: another folder is refused
    rather than made private. An existing worker pair needs `force` to be replaced."""
    require_zmq()
    import zmq.auth

    names = list(workers)
    for name in names:
        _check_worker_name(name)
    if os.path.lexists(directory):
        if not os.path.isdir(directory):
            raise FileExistsError(f"{directory} exists and is not a folder.")
        if os.path.isfile(os.path.join(directory, CONTROLLER + ".key_secret")):
            raise FileExistsError(f"{directory} holds keys of the old layout (one pair shared by every worker, "
                                  "the controller's secret beside it): make the new keys in another folder.")
        if os.listdir(directory) and not is_keys_folder(directory):
            raise FileExistsError(f"{directory} is not empty and holds no velarix keys: refusing to make it a "
                                  "keys folder (mode 0700); name a new or an empty folder.")
    controller_dir = os.path.join(directory, CONTROLLER)
    if not force:
        for name in names:
            secret = os.path.join(directory, WORKERS, name, WORKER + ".key_secret")
            if os.path.exists(secret):
                raise FileExistsError(f"{secret} exists; pass force=True (--force) to replace the keys.")
    _private_dir(directory)
    _private_dir(controller_dir)
    _private_dir(os.path.join(controller_dir, WORKERS))
    _private_dir(os.path.join(directory, WORKERS))
    controller_secret = os.path.join(controller_dir, CONTROLLER + ".key_secret")
    renewed = force or not os.path.exists(controller_secret)
    if renewed:
        zmq.auth.create_certificates(controller_dir, CONTROLLER)
        os.chmod(controller_secret, 0o600)
    controller_public = os.path.join(controller_dir, CONTROLLER + ".key")
    for name in names:
        public = make_worker_keys(os.path.join(directory, WORKERS, name), controller_public)
        shutil.copyfile(public, os.path.join(controller_dir, WORKERS, name + ".key"))
    if renewed:  # workers made earlier must know the new controller key
        for name in os.listdir(os.path.join(directory, WORKERS)):
            folder = os.path.join(directory, WORKERS, name)
            if os.path.isfile(os.path.join(folder, WORKER + ".key")):
                shutil.copyfile(controller_public, os.path.join(folder, CONTROLLER + ".key"))
    return directory


class _Keys:
    public: bytes
    secret: bytes
    controller_public: bytes

    def as_client(self, sock: Any, server_key: bytes) -> None:
        """Make `sock` a CURVE client of the server whose public key is `server_key`."""
        curve_client(sock, self.public, self.secret, server_key)

    def as_server(self, sock: Any, domain: str) -> None:
        """Make `sock` a CURVE server whose clients the ZAP handler checks."""
        curve_server(sock, self.public, self.secret)
        sock.zap_domain = domain.encode()


def curve_client(sock: Any, public: bytes, secret: bytes, server_key: bytes) -> None:
    """Make `sock` a CURVE client, with this key pair, of the server whose public key is `server_key`."""
    sock.curve_publickey = public
    sock.curve_secretkey = secret
    sock.curve_serverkey = server_key


def curve_server(sock: Any, public: bytes, secret: bytes) -> None:
    """Make `sock` a CURVE server with this key pair."""
    sock.curve_server = True
    sock.curve_publickey = public
    sock.curve_secretkey = secret


class ControllerKeys(_Keys):
    """The controller's key pair and its workers' public keys, from DIR/controller
    (or DIR, the folder `make_keys` made)."""

    def __init__(self, directory: str) -> None:
        require_zmq()
        directory = os.path.expanduser(directory)
        if is_keys_folder(directory):
            directory = os.path.join(directory, CONTROLLER)
        self.directory = directory
        self.public, self.secret = _load_own_pair(directory, CONTROLLER, "keys", "the controller DIR/controller")
        self.controller_public = self.public
        self.workers: dict[str, bytes] = {}
        folder = os.path.join(directory, WORKERS)
        for entry in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
            if entry.endswith(".key"):
                self.workers[entry[:-len(".key")]] = load_public_key(os.path.join(folder, entry))

    def worker_key(self, name: str) -> bytes:
        """The public key of the worker key pair `name`."""
        if name not in self.workers:
            known = ", ".join(sorted(self.workers)) or "none"
            raise KeyError(f"No public key for worker {name!r} in {self.directory} (there are: {known}); "
                           f"make one with `velarix keys DIR --worker {name}`.")
        return self.workers[name]

    def add_local_worker(self, name: str, directory: str) -> str:
        """A fresh key pair for a worker this process starts, in `directory`."""
        _check_worker_name(name)
        public = make_worker_keys(directory, os.path.join(self.directory, CONTROLLER + ".key"))
        self.workers[name] = load_public_key(public)
        return directory


def load_key_file(path: str) -> tuple[bytes, Optional[bytes]]:
    """The public key in the key file `path`, and its secret key when it is a
    ``.key_secret`` file (else None)."""
    import zmq.auth

    public, secret = zmq.auth.load_certificate(path)
    return bytes(public), None if secret is None else bytes(secret)


def load_public_key(path: str) -> bytes:
    """The public key in the key file `path`."""
    return load_key_file(path)[0]


def load_public_keys(folder: str) -> set[bytes]:
    """The public keys of the key files in `folder`."""
    import zmq.auth

    return {bytes(key) for key in zmq.auth.load_certificates(folder)}


def _load_own_pair(directory: str, role: str, what: str, whom: str) -> tuple[bytes, bytes]:
    """The public and secret key of `role` in `directory`; FileNotFoundError saying
    how to make them when they are not there."""
    own = os.path.join(directory, role + ".key_secret")
    if not os.path.exists(own):
        raise FileNotFoundError(f"No {role} key pair in {directory}: make {what} with "
                                f"`velarix keys DIR --worker NAME` and give {whom}.")
    public, secret = load_key_file(own)
    assert secret is not None
    return public, secret


class WorkerKeys(_Keys):
    """A worker's key pair and its controller's public key, from DIR/workers/NAME.
    A folder that also holds the controller's secret is refused: that secret
    belongs on the controller's host only."""

    directory: Optional[str]

    def __init__(self, directory: str) -> None:
        require_zmq()
        directory = os.path.expanduser(directory)
        if is_keys_folder(directory) or os.path.isfile(os.path.join(directory, CONTROLLER + ".key_secret")):
            raise SecurityError(
                f"{directory} holds the controller's secret key, which must stay with the controller: give "
                f"this worker only its own folder (DIR/workers/NAME, made by `velarix keys DIR --worker NAME`).")
        self.directory = directory
        self.public, self.secret = _load_own_pair(directory, WORKER, "one", "this worker DIR/workers/NAME")
        self.controller_public = load_public_key(os.path.join(directory, CONTROLLER + ".key"))
        self.peers: frozenset[bytes] = frozenset()  # the other workers of the cluster, named at build

    @classmethod
    def from_pair(cls, public: bytes, secret: bytes, controller_public: bytes) -> WorkerKeys:
        """Keys handed over in memory (a worker on Ray): nothing of them on disk."""
        keys = cls.__new__(cls)
        keys.directory = None
        keys.public, keys.secret, keys.controller_public = bytes(public), bytes(secret), bytes(controller_public)
        keys.peers = frozenset()
        return keys

    def allowed(self, domain: str, client_key: bytes) -> bool:
        """Control: the controller only. Data: the controller or a worker of its cluster."""
        if domain == CONTROL_DOMAIN:
            return client_key == self.controller_public
        return client_key == self.controller_public or client_key in self.peers


def is_tcp(endpoint: str) -> bool:
    return endpoint.startswith("tcp://")


def check_bind(endpoint: str, keys: Optional[object]) -> None:
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
            "Make keys with `velarix keys DIR --worker NAME` and pass --keys DIR/workers/NAME.")


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


REFUSAL_INTERVAL = 10.0  # seconds: at most one refusal line this often, the rest counted
RECENT_REFUSALS = 256  # refused keys remembered: a client retrying its handshake is one refusal


class ZapHandler:
    """Answers ZeroMQ's authentication requests for this process's CURVE servers,
    polled by the worker's main loop; refusals go to `report`, rate-limited:
    whoever reaches the port must not be able to fill the log."""

    VERSION = b"1.0"

    def __init__(self, context: Any, keys: WorkerKeys, report: Callable[[str], None],
                 clock: Callable[[], float] = time.monotonic) -> None:
        zmq = require_zmq()
        self.keys = keys
        self.report = report
        self.clock = clock
        self.refused: collections.OrderedDict[tuple[bytes, bytes], None] = collections.OrderedDict()
        self.next_report = float("-inf")
        self.unreported = 0  # refusals counted since the last line
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
            if not ok:
                self._refused(domain, key, address)
        status = (b"200", b"OK") if ok else (b"400", b"Unknown key")
        self.socket.send_multipart([self.VERSION, request_id, *status, b"", b""])

    def _refused(self, domain: bytes, key: bytes, address: bytes) -> None:
        seen = (domain, key)
        if seen in self.refused:
            self.refused.move_to_end(seen)
            return
        self.refused[seen] = None
        if len(self.refused) > RECENT_REFUSALS:
            self.refused.popitem(last=False)
        now = self.clock()
        if now < self.next_report:
            self.unreported += 1
            return
        self.next_report = now + REFUSAL_INTERVAL
        self.report(f"Refused a connection from {address.decode(errors='replace') or 'unknown'} on the "
                    f"{domain.decode(errors='replace')} socket: public key {key.decode()} is not allowed.")

    def flush(self, final: bool = False) -> None:
        """Report the refusals counted since the last line, once its interval is over."""
        if self.unreported and (final or self.clock() >= self.next_report):
            self.report(f"Refused {self.unreported} more connection(s) whose public keys are not allowed "
                        f"(refusals are reported at most every {REFUSAL_INTERVAL:g} s).")
            self.unreported = 0
            self.next_report = self.clock() + REFUSAL_INTERVAL

    def close(self) -> None:
        self.flush(final=True)
        self.socket.close(linger=0)
