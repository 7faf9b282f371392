"""Ray nodes for the tests and the bench: started with `ray start` (on loopback or
in network namespaces made here), found again by their temp folder, and ended
with every process they started, however a test ends.

Every node gets its own temp folder; its processes are the ones whose command
line names that folder and everything they started (worker processes rename
themselves, so they are found as descendants)."""

import json
import os
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

RAY = os.path.join(os.path.dirname(sys.executable), "ray")
TOKEN = secrets.token_hex(32)
START_TIMEOUT = 180


def ray_missing():
    """Why Ray nodes cannot be started here, or None."""
    try:
        import importlib.util

        if importlib.util.find_spec("ray") is None:
            return "the ray package is not installed (extra ray)"
    except ImportError:
        return "the ray package is not installed (extra ray)"
    if not os.path.exists(RAY):
        return f"no ray command beside {sys.executable}"
    return None


def ray_env(base, home, token=TOKEN, loopback=False):
    """The environment of Ray processes and drivers: usage statistics off, token
    authentication on with `token` (None: no token at all), HOME a folder of ours
    so that nothing lands in the real one (nor in /tmp/ray)."""
    scratch = os.path.join(home, "t")  # where drivers and private Rays put their session folders
    os.makedirs(scratch, exist_ok=True)
    env = dict(base, HOME=home, RAY_USAGE_STATS_ENABLED="0", RAY_TMPDIR=scratch)
    env.pop("RAY_AUTH_TOKEN_PATH", None)
    if token is None:
        env.pop("RAY_AUTH_TOKEN", None)
        env["RAY_AUTH_MODE"] = "disabled"
    else:
        env.update(RAY_AUTH_MODE="token", RAY_AUTH_TOKEN=token)
    if loopback:  # Ray would take the host's own address for 127.0.0.1 otherwise
        env["RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER"] = "0"
    return env


def free_port(host="127.0.0.1"):
    with socket.socket() as sock:
        sock.bind((host, 0))
        return sock.getsockname()[1]


class RayNode:
    """One `ray start` node with its own temp folder; stop() ends all of it."""

    def __init__(self, ip, env, head=None, port=None, num_cpus=1, resources=None, prefix=()):
        self.ip = ip
        self.folder = tempfile.mkdtemp(prefix="vxr-")
        self.port = port
        command = [*prefix, RAY, "start", "--node-ip-address", ip, "--temp-dir", self.folder,
                   "--num-cpus", str(num_cpus), "--disable-usage-stats", "--include-log-monitor=false"]
        if head is None:
            command += ["--head", "--port", str(port), "--include-dashboard=false"]
        else:
            command += ["--address", head]
        if resources:
            command += ["--resources", json.dumps(resources)]
        try:
            done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=START_TIMEOUT)
        except BaseException:
            self.stop()
            raise
        if done.returncode != 0:
            self.stop()
            raise RuntimeError(f"ray start failed: {done.stdout[-2000:]}{done.stderr[-2000:]}")

    @property
    def address(self):
        return f"{self.ip}:{self.port}"

    def pids(self):
        """Every process of this node: those naming its folder and their descendants."""
        parents, roots = {}, set()
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    command = f.read()
                with open(f"/proc/{entry}/stat") as f:
                    parents[int(entry)] = int(f.read().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                continue
            if self.folder.encode() in command:
                roots.add(int(entry))
        found = set(roots)
        grew = True
        while grew:
            grew = False
            for pid, parent in parents.items():
                if parent in found and pid not in found:
                    found.add(pid)
                    grew = True
        return found - {os.getpid()}

    def kill(self):
        """SIGKILL to every process of the node until none is left (the node is lost)."""
        for _ in range(50):
            pids = self.pids()
            if not pids:
                return
            for pid in pids:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            time.sleep(0.1)
        raise RuntimeError(f"Ray processes {sorted(self.pids())} did not end")

    def stop(self):
        try:
            self.kill()
        finally:
            shutil.rmtree(self.folder, ignore_errors=True)


class Namespaces:
    """Two network namespaces joined by a veth pair, 10.231.0.1 and 10.231.0.2;
    traffic between them stays inside this machine."""

    ADDRESSES = ("10.231.0.1", "10.231.0.2")

    def __init__(self):
        tag = f"{os.getpid() % 100000}"
        self.names = (f"vxr{tag}a", f"vxr{tag}b")
        self.links = (f"vxr{tag}a", f"vxr{tag}b")
        self.made = []
        try:
            for name in self.names:
                self._ip("netns", "add", name)
                self.made.append(name)
            self._ip("link", "add", self.links[0], "type", "veth", "peer", "name", self.links[1])
            for name, link, address in zip(self.names, self.links, self.ADDRESSES):
                self._ip("link", "set", link, "netns", name)
                self._ip("-n", name, "addr", "add", f"{address}/24", "dev", link)
                self._ip("-n", name, "link", "set", link, "up")
                self._ip("-n", name, "link", "set", "lo", "up")
                # Ray finds a host's own address by the route to a public one: the
                # veth, which leads only to the other namespace.
                self._ip("-n", name, "route", "add", "default", "dev", link)
        except BaseException:
            self.remove()
            raise

    @staticmethod
    def _ip(*args):
        done = subprocess.run(["ip", *args], capture_output=True, text=True, timeout=30)
        if done.returncode != 0:
            raise OSError(f"ip {' '.join(args)}: {done.stderr.strip()}")

    def prefix(self, index):
        """The command prefix that runs a program in namespace `index`."""
        return ("ip", "netns", "exec", self.names[index])

    def remove(self):
        for name in self.made:  # the veth pair goes with its namespaces
            subprocess.run(["ip", "netns", "del", name], capture_output=True, timeout=30)
        self.made = []


def namespaces_missing():
    """Why network namespaces cannot be made here, or None."""
    if shutil.which("ip") is None:
        return "the ip command (iproute2) is not installed"
    if os.geteuid() != 0:
        return "making network namespaces needs root"
    try:
        Namespaces().remove()
    except OSError as error:
        return f"network namespaces cannot be made here: {error}"
    return None
