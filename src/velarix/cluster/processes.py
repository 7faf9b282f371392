"""Starting and ending local worker processes."""

from __future__ import annotations

import os
import selectors
import subprocess
import sys
import time
from typing import Optional

from .errors import ClusterError

SPAWN_TIMEOUT = 20.0  # seconds a local worker gets to start listening
LOCAL_IDLE_TIMEOUT = 120.0  # a spawned worker that no controller contacts exits


def start_worker(name: str, folder: str, keys: str, bind: str) -> tuple[subprocess.Popen[bytes], str]:
    """A local worker process for the controller whose private folder is `folder`:
    the process and the endpoint it listens on. `keys`: its key folder."""
    command = [sys.executable, "-m", "velarix.cluster", "worker", "--name", name,
               "--parent", str(os.getpid()), "--parent-folder", folder,
               "--idle-timeout", str(LOCAL_IDLE_TIMEOUT), "--keys", keys, "--bind", bind]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, env=worker_environment())
    try:
        return process, read_endpoint(process, name)
    except BaseException:
        end_process(process)
        raise


# glibc gives freed memory back to the system as soon as 128 KB are free at the top
# of the heap, and serves blocks from 128 KB (up to the largest freed) with fresh
# mappings: a worker that receives arrays then takes page faults on every value
# (the copy out of a link and the step's copy), most of a 64 KB value's cost.
MALLOC_TUNABLES = "glibc.malloc.trim_threshold=67108864:glibc.malloc.mmap_threshold=4194304"


def worker_environment() -> dict[str, str]:
    """The worker imports this same velarix, also from a source tree. Unless the
    environment tunes glibc's allocator already, the worker keeps up to 64 MB of
    freed memory and takes blocks up to 4 MB from its heap (MALLOC_TUNABLES)."""
    env = dict(os.environ)
    package_root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (package_root, env.get("PYTHONPATH")) if p)
    if "glibc.malloc." not in env.get("GLIBC_TUNABLES", "") and not any(k.startswith("MALLOC_") for k in env):
        env["GLIBC_TUNABLES"] = ":".join(t for t in (env.get("GLIBC_TUNABLES"), MALLOC_TUNABLES) if t)
    return env


def read_endpoint(process: subprocess.Popen[bytes], name: str) -> str:
    """The endpoint from the worker's first line, bounded by SPAWN_TIMEOUT."""
    prefix = f"velarix worker {name} listening on "
    deadline = time.monotonic() + SPAWN_TIMEOUT
    stdout = process.stdout
    assert stdout is not None  # start_worker pipes it
    with selectors.DefaultSelector() as selector:
        selector.register(stdout, selectors.EVENT_READ)
        while time.monotonic() < deadline:
            if selector.select(timeout=0.1):
                line = stdout.readline().decode()
                if line.startswith(prefix):
                    return line[len(prefix):].strip()
                if not line:
                    break
    code = process.poll()
    raise ClusterError(f"Worker {name} did not start ({'still running' if code is None else exit_text(code)}).")


def exit_text(code: int) -> str:
    """How a process ended: "exit code 1", "killed by signal 9"."""
    return f"killed by signal {-code}" if code < 0 else f"exit code {code}"


def end_process(process: subprocess.Popen[bytes], polite: bool = False, hung: bool = False) -> None:
    """Wait for a worker to exit (when it was told to); terminate, then kill.
    One that stopped answering is killed at once: it may not be able to exit."""
    steps = (process.kill,) if hung else ((None,) if polite else ()) + (process.terminate, process.kill)
    for signal_it in steps:
        if signal_it is not None:
            signal_it()
        try:
            process.wait(timeout=3)
            break
        except subprocess.TimeoutExpired:
            continue
    if process.stdout is not None:
        process.stdout.close()


def returncode(process: Optional[subprocess.Popen[bytes]]) -> Optional[int]:
    """The exit code of an ended process; None while it runs (or for none)."""
    return None if process is None else process.poll()
