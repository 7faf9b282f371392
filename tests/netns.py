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
def unshare_command():
    """(the unshare command that makes a network namespace here, None) or
    (None, why none can be made). Root needs -n alone; other users get one
    inside a user namespace of their own (-r) where the system allows that."""
    if shutil.which("unshare") is None or shutil.which("ip") is None:
        return None, "unshare or ip (util-linux, iproute2) is missing"
    why = ""
    for command in (["unshare", "-n"], ["unshare", "-r", "-n"]):
        try:
            probe = subprocess.run([*command, "sh", "-c", "ip link set lo up"],
                                   capture_output=True, text=True, timeout=10)
        except (OSError, subprocess.TimeoutExpired) as error:
            why = str(error)
            continue
        if probe.returncode == 0:
            return command, None
        why = probe.stderr.strip() or f"exit code {probe.returncode}"
    return None, f"cannot make a network namespace: {why}"


def skip_without_namespace():
    command, problem = unshare_command()
    if command is None:
        pytest.skip(f"LSL tests run in a private network namespace: {problem}")
    return command


def run_confined(args, tmp_path, timeout=60, package_root=None):
    """Runs `python args...` in a new network namespace (only lo, up) with the LSL
    configuration above; returns the CompletedProcess."""
    unshare = skip_without_namespace()
    config = tmp_path / "lsl_api.cfg"
    config.write_text(LSL_CONFIG)
    env = dict(os.environ, LSLAPICFG=str(config),
               PYTHONPATH=os.pathsep.join(filter(None, [package_root, str(ROOT / "tests")])))
    command = "ip link set lo up && exec \"$0\" \"$@\""
    return subprocess.run([*unshare, "sh", "-c", command, sys.executable, *map(str, args)],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=timeout)


def last_json(result):
    """The JSON object on the last line of stdout (what a scenario reports)."""
    lines = result.stdout.strip().splitlines()
    assert result.returncode == 0 and lines, result.stdout + result.stderr[-4000:]
    return json.loads(lines[-1])
