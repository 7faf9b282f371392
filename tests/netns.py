"""Runs LSL code where its multicast cannot leave the machine: a fresh network
namespace with only the loopback interface up, and an LSL configuration that
keeps discovery on this machine and IPv4 loopback."""

import functools
import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]

LSL_CONFIG = """\
[ports]
IPv6 = disable

[multicast]
ResolveScope = machine
AddressesOverride = {127.0.0.1}

[lab]
KnownPeers = {127.0.0.1}
"""


@functools.lru_cache(maxsize=None)
def namespace_problem():
    """None when a namespace can be made here, else why not."""
    if shutil.which("unshare") is None or shutil.which("ip") is None:
        return "unshare or ip (util-linux, iproute2) is missing"
    try:
        probe = subprocess.run(["unshare", "-n", "sh", "-c", "ip link set lo up"],
                               capture_output=True, text=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired) as error:
        return f"unshare -n failed: {error}"
    if probe.returncode != 0:
        return f"cannot make a network namespace: {probe.stderr.strip() or probe.returncode}"
    return None


def skip_without_namespace():
    problem = namespace_problem()
    if problem is not None:
        pytest.skip(f"LSL tests run in a private network namespace: {problem}")


def run_confined(args, tmp_path, timeout=60, package_root=None):
    """Runs `python args...` in a new network namespace (only lo, up) with the LSL
    configuration above; returns the CompletedProcess."""
    skip_without_namespace()
    config = tmp_path / "lsl_api.cfg"
    config.write_text(LSL_CONFIG)
    env = dict(os.environ, LSLAPICFG=str(config),
               PYTHONPATH=os.pathsep.join(filter(None, [package_root, str(ROOT / "tests")])))
    command = "ip link set lo up && exec \"$0\" \"$@\""
    return subprocess.run(["unshare", "-n", "sh", "-c", command, sys.executable, *map(str, args)],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=timeout)


def last_json(result):
    """The JSON object on the last line of stdout (what a scenario reports)."""
    lines = result.stdout.strip().splitlines()
    assert result.returncode == 0 and lines, result.stdout + result.stderr[-4000:]
    return json.loads(lines[-1])
