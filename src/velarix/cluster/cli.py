"""The `worker` and `keys` commands; the main command line adds them with
add_commands(subparsers). pyzmq is imported only when a command runs."""

from __future__ import annotations

import argparse
import os
import signal
import sys
from typing import Any


def add_commands(subparsers: Any) -> None:
    worker = subparsers.add_parser(
        "worker", help="run a worker that a controller can reach",
        description="Run the part of a pipeline that a controller sends. TCP endpoints need "
                    "CURVE keys (made by the keys command). The worker serves one controller after another "
                    "until it is stopped (Ctrl-C or SIGTERM); with --once it exits when its first controller goes away.")
    worker.add_argument("--bind", required=True, help="ipc://PATH (a folder only you can enter) or tcp://HOST:PORT")
    worker.add_argument("--name", default=None, help="the worker's name in log entries (default: host-pid)")
    worker.add_argument("--keys", default=None, metavar="DIR",
                        help="this worker's keys folder, DIR/workers/NAME made by the keys command")
    worker.add_argument("--idle-timeout", type=float, default=None, metavar="SECONDS",
                        help="exit when no controller has connected after this long")
    worker.add_argument("--once", action="store_true",
                        help="serve one controller only: exit when it says goodbye or goes silent")
    worker.add_argument("--parent", type=int, default=None, help=argparse.SUPPRESS)
    # The spawning controller's private folder: removed by us if that controller dies
    # (killed, it cannot remove it itself, and the folder holds its secret keys).
    worker.add_argument("--parent-folder", default=None, help=argparse.SUPPRESS)
    worker.set_defaults(func=run_worker)

    keys = subparsers.add_parser(
        "keys", help="make CURVE keys for controllers and workers",
        description="Make a controller key pair in DIR/controller and one key pair per worker in "
                    "DIR/workers/NAME (all mode 0700; run again with new names to add workers). Give "
                    "DIR/controller to the controller (Cluster(keys=DIR/controller)) and DIR/workers/NAME "
                    "to worker NAME only (--keys DIR/workers/NAME): the controller's secret stays with "
                    "the controller. DIR must be new, empty or a keys folder made before.")
    keys.add_argument("directory", metavar="DIR")
    keys.add_argument("--worker", action="append", default=[], metavar="NAME",
                      help="a worker to make a key pair for (repeatable)")
    keys.add_argument("--workers", type=int, default=1, metavar="N",
                      help="without --worker: key pairs for N workers named worker1 .. workerN (default 1)")
    keys.add_argument("--force", action="store_true", help="replace existing keys")
    keys.set_defaults(func=run_keys)


def run_worker(args: argparse.Namespace) -> int:
    from .security import SecurityError
    from .worker import Worker

    name = args.name or f"{os.uname().nodename}-{os.getpid()}"
    try:
        worker = Worker(name, args.bind, keys=args.keys, idle_timeout=args.idle_timeout, parent=args.parent,
                        parent_folder=args.parent_folder, sessions=not args.once)
    except (SecurityError, ImportError, OSError) as error:
        print(f"velarix worker: {error}", file=sys.stderr)
        return 2
    # SIGTERM ends the worker as a goodbye does: its nodes stop and its files go.
    # Ctrl-C too, for a worker started by hand that would otherwise serve on.
    for ending in (signal.SIGTERM, signal.SIGINT):
        signal.signal(ending, lambda signum, frame: worker.terminate())
    if args.parent is not None:
        # Started by a controller, which reads only our first line: the rest of our
        # output (print() in a node) goes to stderr, which we share with it.
        worker.out = _first_line_then_stderr()
    return worker.run()


class _first_line_then_stderr:
    def write(self, text: str) -> None:
        sys.stdout.write(text)

    def flush(self) -> None:
        sys.stdout.flush()
        os.dup2(2, 1)


def run_keys(args: argparse.Namespace) -> int:
    from .security import make_keys

    names = args.worker or [f"worker{n}" for n in range(1, args.workers + 1)]
    try:
        make_keys(args.directory, names, force=args.force)
    except (FileExistsError, ImportError, OSError, ValueError) as error:
        print(f"velarix keys: {error}", file=sys.stderr)
        return 2  # a folder or name refused: a usage error, as for the other commands
    folder = args.directory
    print(f"Keys written to {folder}:")
    print(f"  {os.path.join(folder, 'controller')}: for the controller only (Cluster(keys=...)); "
          "its controller.key_secret never leaves that host.")
    for name in names:
        print(f"  {os.path.join(folder, 'workers', name)}: copy to worker {name}'s host only (--keys ...).")
    return 0
