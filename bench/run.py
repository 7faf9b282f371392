"""Runs every benchmark of this folder in its own process and prints its figures.

Each benchmark compares against a baseline measured in the same process, so the
ratios hold on a noisy machine; absolute times are printed for the record only.
"""

import os
import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent


def absolute_path():
    """The environment with PYTHONPATH's entries made absolute: the benchmarks run
    in this folder, where `PYTHONPATH=src` would name nothing and the installed
    package would be measured instead of the one asked for."""
    entries = os.environ.get("PYTHONPATH", "")
    paths = [str(pathlib.Path(entry).resolve()) for entry in entries.split(os.pathsep) if entry]
    return {**os.environ, "PYTHONPATH": os.pathsep.join(paths)} if paths else dict(os.environ)


# Run only when asked for (--instructions or by name): callgrind takes minutes.
SLOW = ("instructions.py",)


def main(names):
    if "--instructions" in names:
        names = [name for name in names if name != "--instructions"] + ["instructions"]
    # Modules whose name starts with "_" hold helpers of a benchmark, not one.
    scripts = sorted(p for p in HERE.glob("*.py")
                     if p.name not in ("run.py", "common.py") and not p.name.startswith("_"))
    if not names:
        scripts = [p for p in scripts if p.name not in SLOW]
    if names:
        scripts = [p for p in scripts if p.stem in names]
    failed = []
    for script in scripts:
        print(f"== {script.stem}", flush=True)
        if subprocess.call([sys.executable, str(script)], cwd=HERE, env=absolute_path()) != 0:
            failed.append(script.stem)
    if failed:
        print("failed:", ", ".join(failed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
