"""Workers as Ray actors (the optional extra `ray`).

The controller joins a Ray cluster (RaySession), asks it for one actor per worker
with the resources the worker needs, and that actor runs the same worker loop as
`velarix worker`, bound to the address of the Ray node it landed on (RayWorker on
this side, WorkerActor on the other). The worker's CURVE key pair is made here
and handed over as an argument of the call that starts the loop: it lives in the
actor's memory only. Ray carries nothing else: the values go over velarix's own
links, which the controller sets up as for any worker.
"""

from __future__ import annotations

import glob
import os
import queue
import shutil
import socket
import sys
import tempfile
import threading
from types import ModuleType
from typing import Any, Optional, TextIO, cast

from .errors import ClusterError
from .processes import MALLOC_TUNABLES

EXTRA_HINT = "Workers on Ray need the ray package; install it with: pip install 'velarix[ray]'"
START_TIMEOUT = 60.0  # seconds Ray gets to place and start a worker's actor
REACH_TIMEOUT = 5.0  # seconds to reach a Ray address named "host:port" before joining it
END_TIMEOUT = 5.0  # seconds an actor gets to end its loop after the goodbye
FOLDER_PREFIX = "velarix-ray-"
LOCAL = "local"


def require_ray() -> ModuleType:
    try:
        import ray
    except ImportError as error:
        raise ImportError(EXTRA_HINT) from error
    module: ModuleType = ray  # typed as a module wherever Ray's own package is missing
    return module


# How many clusters of this process use Ray, and whether we joined it: the last
# one to close leaves a Ray it joined (one the program joined itself stays).
_state = {"users": 0, "owned": False}
_state_lock = threading.Lock()


class RaySession:
    """This process's place in a Ray cluster: `address` is "auto", "host:port",
    "ray://host:port" or "local" (a private one-node Ray on 127.0.0.1). A process
    already in Ray stays in the cluster it joined."""

    def __init__(self, address: str) -> None:
        if not isinstance(address, str) or not address:
            raise ValueError(f"ray_address must be 'auto', 'local', 'host:port' or 'ray://host:port', not {address!r}.")
        if address == LOCAL:
            # Ray takes loopback addresses for the host's own; this flag makes a
            # private Ray stay on 127.0.0.1. It is read when ray is first imported.
            os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")
        os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
        self.ray = require_ray()
        self.address = address
        self.closed = False
        with _state_lock:
            if not self.ray.is_initialized():
                self._join(address)
                _state["owned"] = True
            _state["users"] += 1
        self.client = address.startswith("ray://")  # a Ray client runs on no node of its own

    def _join(self, address: str) -> None:
        ray = self.ray
        if address not in ("auto", LOCAL):
            check_reachable(address)
        try:
            if address == LOCAL:
                ray.init(address="local", num_cpus=os.cpu_count() or 1, include_dashboard=False,
                         log_to_driver=True, configure_logging=False, _node_ip_address="127.0.0.1")
            elif address == "auto" or address.startswith("ray://"):
                ray.init(address=address, log_to_driver=True, configure_logging=False)
            else:  # the driver binds where it reaches the head, never an address Ray guesses
                ray.init(address=address, log_to_driver=True, configure_logging=False,
                         _node_ip_address=own_address_towards(address))
        except Exception as error:  # ConnectionError, an authentication error, a wrong address
            try:
                ray.shutdown()
            except Exception:
                pass
            hint = (" (is Ray running there, and does this process hold the cluster's token, such as in "
                    "RAY_AUTH_TOKEN, when it uses token authentication?)" if isinstance(error, ConnectionError) else "")
            raise ClusterError(f"Cannot join the Ray cluster at {address!r}: {type(error).__name__}: "
                               f"{first_line(error)}{hint}") from None

    def close(self) -> None:
        if self.closed:
            return
        self.closed = True
        with _state_lock:
            _state["users"] -= 1
            if _state["users"] == 0 and _state["owned"]:
                _state["owned"] = False
                try:
                    self.ray.shutdown()
                except Exception:
                    pass

    # The nodes ---------------------------------------------------------------

    def nodes(self) -> list[dict[str, Any]]:
        """The Ray nodes alive now."""
        return [node for node in self.ray.nodes() if node.get("Alive")]

    def own_node(self) -> tuple[Optional[str], Optional[str]]:
        """The id and address of the Ray node this process runs on (None, None for
        a client reaching Ray over ray://, which runs on no node of its own)."""
        if self.client:
            return None, None
        node_id = self.ray.get_runtime_context().get_node_id()
        for node in self.nodes():
            if node["NodeID"] == node_id:
                return node_id, node["NodeManagerAddress"]
        return node_id, None

    def choose(self, name: str, resources: dict[str, float], node: Optional[str]) -> Optional[str]:
        """Check that some node can ever hold a worker that needs `resources` (on
        the node at address `node`); the id of that node when `node` is given."""
        nodes = self.nodes()
        if node is not None:
            chosen = [n for n in nodes if n["NodeManagerAddress"] == node]
            if not chosen:
                raise ClusterError(f"Worker {name}: no Ray node at {node}; the nodes are: {describe(nodes)}.")
            nodes = chosen
        fitting = [n for n in nodes if all(n["Resources"].get(key, 0.0) >= amount
                                           for key, amount in resources.items())]
        if not fitting:
            lacking = [key for key, amount in resources.items()
                       if not any(n["Resources"].get(key, 0.0) >= amount for n in nodes)]
            need = ", ".join(f"{key} {amount:g}" for key, amount in resources.items())
            what = (f"no Ray node{' there' if node else ''} has {', '.join(lacking)} in the amount asked"
                    if lacking else "no single Ray node has all of them")
            raise ClusterError(f"Worker {name} needs {need}: {what}; the nodes are: {describe(nodes)}.")
        return str(fitting[0]["NodeID"]) if node is not None else None

    # The workers -------------------------------------------------------------

    def start_worker(self, name: str, keys: tuple[bytes, bytes, bytes], hwm: int, resources: dict[str, float],
                     num_cpus: float, node: Optional[str], runtime_env: Optional[dict[str, Any]]) -> RayWorker:
        """One worker actor placed by Ray, its loop started with `keys` (its public
        and secret key, the controller's public key); its handle once it listens."""
        ray = self.ray
        node_id = self.choose(name, dict(resources, **({"CPU": num_cpus} if num_cpus else {})), node)
        options: dict[str, Any] = {"num_cpus": num_cpus, "resources": dict(resources), "max_concurrency": 2,
                                   "max_restarts": 0, "runtime_env": worker_runtime_env(runtime_env)}
        gpus = options["resources"].pop("GPU", None)
        if gpus is not None:
            options["num_gpus"] = gpus
        if node_id is not None:
            from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy

            options["scheduling_strategy"] = NodeAffinitySchedulingStrategy(node_id, soft=False)
        actor = ray.remote(WorkerActor).options(**options).remote()
        run = actor.run.remote(name, *keys, hwm, os.getpriority(os.PRIO_PROCESS, 0))
        try:
            where = ray.get(actor.endpoint.remote(), timeout=START_TIMEOUT)
        except BaseException as error:
            kill(ray, actor)
            if isinstance(error, ray.exceptions.GetTimeoutError):
                raise ClusterError(f"Ray did not start worker {name} within {START_TIMEOUT:g} s: the nodes that "
                                   f"could hold it may be busy ({describe(self.nodes())}).") from None
            if isinstance(error, Exception):
                raise ClusterError(f"Worker {name} did not start on Ray: {type(error).__name__}: "
                                   f"{first_line(error)}") from None
            raise
        return RayWorker(ray, actor, run, where)


class RayWorker:
    """The controller's handle on one worker actor: where it runs, whether it ended."""

    def __init__(self, ray: Any, actor: Any, run: Any, where: dict[str, Any]) -> None:
        self.ray = ray
        self.actor = actor
        self.run = run  # resolves when the worker loop ends, or fails once the actor died
        self.actor_id: str = actor._actor_id.hex()
        self.endpoint: str = where["endpoint"]
        self.node_id: str = where["node_id"]
        self.node: str = where["node"]
        self.pid: int = where["pid"]
        self.killed = False

    def ended(self) -> Optional[str]:
        """Why the actor is gone, once it is; None while its loop runs."""
        try:
            done, _ = self.ray.wait([self.run], timeout=0)
            if not done:
                return None
            code = self.ray.get(self.run)
        except Exception as error:  # the actor died: killed, its process ended, its node lost
            return f"its Ray actor died ({type(error).__name__}: {first_line(error)})"
        return f"its Ray actor's worker loop ended (exit code {code})"

    def end(self, polite: bool) -> None:
        """Let the loop end (after its goodbye when `polite`, else told so now), so
        that it removes its files, then release the actor."""
        if self.killed:
            return
        self.killed = True
        try:
            if not polite:
                self.actor.stop.remote()
            self.ray.wait([self.run], timeout=END_TIMEOUT)
        except Exception:
            pass
        kill(self.ray, self.actor)


def kill(ray: Any, actor: Any) -> None:
    try:
        ray.kill(actor, no_restart=True)
    except Exception:
        pass  # gone already, or Ray is: either way nothing of ours runs there


def own_address_towards(address: str) -> str:
    """This host's address on the route to a "host:port" (a UDP socket's connect
    sends nothing)."""
    host, _, port = address.rpartition(":")
    with socket.socket(socket.AF_INET6 if ":" in host.strip("[]") else socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.connect((host.strip("[]"), int(port)))
        own: str = probe.getsockname()[0]
    return own


def check_reachable(address: str) -> None:
    """A "host:port" or "ray://host:port" that takes no TCP connection now is an
    error at once, not a join that retries for a minute."""
    rest = address[len("ray://"):] if address.startswith("ray://") else address
    host, _, port = rest.rpartition(":")
    if not host or not port.isdigit():
        raise ClusterError(f"ray_address {address!r} is not 'auto', 'local', 'host:port' or 'ray://host:port'.")
    try:
        socket.create_connection((host.strip("[]"), int(port)), timeout=REACH_TIMEOUT).close()
    except OSError as error:
        raise ClusterError(f"Cannot reach the Ray cluster at {address}: {error}.") from None


def describe(nodes: list[dict[str, Any]]) -> str:
    """Each node's address and the resources it has, those Ray makes up for itself left out."""
    if not nodes:
        return "none alive"
    def resources(node: dict[str, Any]) -> str:
        kept = sorted((key, amount) for key, amount in node["Resources"].items()
                      if not key.startswith("node:") and key not in ("memory", "object_store_memory"))
        return ", ".join(f"{key} {amount:g}" for key, amount in kept) or "nothing"
    return "; ".join(f"{n['NodeManagerAddress']} ({resources(n)})" for n in nodes)


def first_line(error: BaseException) -> str:
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__


def worker_runtime_env(runtime_env: Optional[dict[str, Any]]) -> dict[str, Any]:
    """The user's runtime_env with what a worker process needs from ours: this same
    velarix (also from a source tree), glibc tuned as for local workers, and our
    VELARIX_* settings. The user's own values win."""
    env = dict(runtime_env or {})
    variables = {key: value for key, value in os.environ.items() if key.startswith("VELARIX_")}
    package_root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    if not package_root.endswith("site-packages"):
        variables["PYTHONPATH"] = package_root
    if "glibc.malloc." not in os.environ.get("GLIBC_TUNABLES", ""):
        variables["GLIBC_TUNABLES"] = MALLOC_TUNABLES
    variables.update(env.get("env_vars") or {})
    env["env_vars"] = variables
    return env


# The actor -------------------------------------------------------------------


class WorkerActor:
    """The worker inside a Ray actor process: run() holds the worker loop, and
    endpoint() (on the actor's second thread) says where it listens."""

    def __init__(self) -> None:
        self.started: queue.Queue[Any] = queue.Queue()

    def run(self, name: str, public: bytes, secret: bytes, controller_public: bytes, hwm: int,
            niceness: int) -> int:
        from .security import WorkerKeys
        from .worker import Worker

        slowed = run_at(niceness)
        ray = require_ray()
        context = ray.get_runtime_context()
        node_id = context.get_node_id()
        host = next(n["NodeManagerAddress"] for n in ray.nodes() if n["NodeID"] == node_id)
        remove_stale_folders()
        folder = tempfile.mkdtemp(prefix=f"{FOLDER_PREFIX}{os.getpid()}-")  # mode 0700
        try:
            keys = WorkerKeys.from_pair(public, secret, controller_public)
            worker = Worker(name, f"tcp://{host}:*", keys=keys, hwm=hwm, out=cast(TextIO, _FirstLine(self.started)),
                            ipc_folder=folder)
        except BaseException as error:
            shutil.rmtree(folder, ignore_errors=True)
            self.started.put(error)
            raise
        if slowed:
            worker.report(slowed)
        self.where = {"node_id": node_id, "node": host, "pid": os.getpid()}
        self.worker = worker
        try:
            return worker.run()
        finally:
            self.started.put(RuntimeError("the worker loop ended"))
            shutil.rmtree(folder, ignore_errors=True)

    def stop(self) -> None:
        """End the loop as a goodbye does (a worker whose controller never said hello)."""
        worker = getattr(self, "worker", None)
        if worker is not None:
            worker.terminate()

    def endpoint(self) -> dict[str, Any]:
        got = self.started.get(timeout=START_TIMEOUT)
        if isinstance(got, BaseException):
            raise got
        return dict(self.where, endpoint=got)


def run_at(niceness: int) -> Optional[str]:
    """Ray starts its workers at a niceness of its own (15 unless the node was
    started with RAY_worker_niceness): a worker loop is as urgent as its
    controller, so this thread, and those it starts, go back to the controller's
    niceness where allowed. Why not, when it stays slower."""
    current = os.getpriority(os.PRIO_PROCESS, 0)  # on Linux, this thread's
    if current <= niceness:
        return None
    try:
        os.setpriority(os.PRIO_PROCESS, 0, niceness)
    except OSError as error:
        return (f"Runs at niceness {current}, above the controller's {niceness} ({error.strerror}): start Ray "
                f"on this host with RAY_worker_niceness={niceness} to give it the same share of the CPU.")
    return None


class _FirstLine:
    """The worker's "listening on ENDPOINT" line, as the endpoint; the rest of its
    output to stderr (the actor's log)."""

    PREFIX = "listening on "

    def __init__(self, started: queue.Queue[Any]) -> None:
        self.started = started

    def write(self, text: str) -> None:
        if self.PREFIX in text:
            self.started.put(text.split(self.PREFIX, 1)[1].strip())
        elif text.strip():  # not the line's own newline
            sys.stderr.write(text)

    def flush(self) -> None:
        sys.stderr.flush()


def remove_stale_folders() -> None:
    """The folders of worker actors on this host whose process is gone (killed
    before they could remove them): socket files only, no keys, but ours to clean."""
    for folder in glob.glob(os.path.join(tempfile.gettempdir(), FOLDER_PREFIX + "*")):
        pid = os.path.basename(folder)[len(FOLDER_PREFIX):].split("-", 1)[0]
        if not pid.isdigit() or os.stat(folder).st_uid != os.getuid():
            continue
        try:
            os.kill(int(pid), 0)
        except ProcessLookupError:
            shutil.rmtree(folder, ignore_errors=True)
        except OSError:
            pass
