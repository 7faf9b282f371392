"""python -m velarix.cluster worker ... | keys DIR"""

import argparse
import os
import sys

from .cli import add_commands


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m velarix.cluster")
    add_commands(parser.add_subparsers(dest="command", required=True))
    args = parser.parse_args(argv)
    return args.func(args)


if __name__ == "__main__":
    code = main()
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(code)  # a node thread stuck in a step must not keep the worker alive
