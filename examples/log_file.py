"""Where the log goes: every entry stays in memory (the newest 100) and goes to a
time-stamped file in the pipeline's log folder, written by a background thread.

Pipeline(directory) picks the folder: None is the default folder
(velarix.imp.scribon.DEFAULT_DIR), "" keeps the log in memory only.

    .venv/bin/python examples/log_file.py [FOLDER]

(after `make test` or `make install`, from the repository's root)
"""

import sys
import tempfile
from typing import Any

from velarix import INode, LogType, ONode, Pipeline


class Hello(ONode):
    def step(self, data: dict[str, Any]) -> dict[str, Any]:
        return {"out": "hello"}


class Shout(INode):
    def step(self, data: dict[str, Any]) -> None:
        pass


def main(folder: str) -> int:
    pipeline = Pipeline(directory=folder)
    pipeline.connect(Hello(name="hello"), Shout(name="shout"))
    pipeline.write_log("A line of our own.")  # an INFO entry
    logger = pipeline.get_logger()
    logger.write(LogType.WARNING, "Entries carry a kind, the caller's stack and the thread.")
    logger.stop()  # writes what is pending and ends the writer thread
    name = logger.get_file_name()
    print("log file:", name)
    for entry in logger.get_all()[-2:]:
        print(entry.to_line())
    with open(name or "", encoding="utf-8") as file:
        lines = file.read().splitlines()
    print(f"{len(lines)} lines in the file")
    return 0 if any("A line of our own." in line for line in lines) else 1


if __name__ == "__main__":
    if len(sys.argv) > 1:
        raise SystemExit(main(sys.argv[1]))
    with tempfile.TemporaryDirectory() as folder:
        raise SystemExit(main(folder))
