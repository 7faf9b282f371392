"""python -m velarix.cluster worker ... | keys DIR"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Optional, Sequence

from .cli import add_commands


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m velarix.cluster")
    add_commands(parser.add_subparsers(dest="command", required=True))
    args = parser.parse_args(argv)
    code: int = args.func(args)
    return code


if __name__ == "__main__":
    code = main()
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(code)  # a node thread stuck in a step must not keep the worker alive
