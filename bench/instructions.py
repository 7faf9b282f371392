"""Instructions per value through the 10-stage chain on the shared scheduler
(Pipeline(threads=1)), counted by callgrind, so the figure compares across
machines. Slow: `make bench-instructions` (or `bench/run.py --instructions`).

The chain runs twice under callgrind, with a few and with many values; the
difference of the two totals over the difference of the counts is the cost of a
value, without the interpreter's start, the imports and the set-up.
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
STAGES = 10
FEW, MANY = 300, 1_800


def chain(count):
    """The workload, run inside callgrind: the chain of dataplane.py, small values."""
    import dataplane as plane

    _, sink, _, _ = plane.ours(count, STAGES, threads=1)
    plane.check_small(sink, count, STAGES)


def absolute_path():
    """PYTHONPATH with its entries made absolute: the workload runs in this folder,
    where `PYTHONPATH=src` would name nothing (and the installed package would be
    counted instead)."""
    entries = os.environ.get("PYTHONPATH", "").split(os.pathsep)
    return os.pathsep.join(str(pathlib.Path(entry).resolve()) for entry in entries if entry)


def counted(count, folder):
    out = pathlib.Path(folder) / f"callgrind.{count}"
    command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "--dump-instr=no",
               sys.executable, str(HERE / "instructions.py"), "--run", str(count)]
    subprocess.run(command, cwd=HERE, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   env={**os.environ, "PYTHONPATH": absolute_path(), "PYTHONMALLOC": "malloc"})
    # One file for all threads; its "summary:" (or "totals:") line is the total count.
    match = re.search(r"^(?:summary|totals): (\d+)", out.read_text(), re.MULTILINE)
    if not match:
        raise RuntimeError(f"no total in {out}")
    return int(match.group(1))


def main():
    if not shutil.which("valgrind"):
        print("skipped: valgrind is not installed (make system-tools)")
        return 0
    with tempfile.TemporaryDirectory() as folder:
        few, many = counted(FEW, folder), counted(MANY, folder)
    per_value = (many - few) / (MANY - FEW)
    print(f"{STAGES} stages, shared scheduler, small values: {per_value / 1e3:.1f}k instructions per value "
          f"(callgrind, {FEW} and {MANY} values; target at most 120k)")
    return 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["--run"]:
        chain(int(sys.argv[2]))
        sys.exit(0)
    sys.exit(main())
