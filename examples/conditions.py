"""Conditions: a failing step is logged, puts its node into condition ERROR, and
the pipeline's monitoring thread then stops the whole pipeline with ERROR.

    python examples/conditions.py
"""

import time
from typing import Any

from velarix import Constants, INode, ONode, Pipeline


class Numbers(ONode):
    def step(self, data: dict[str, Any]) -> dict[str, Any]:
        return {"out": data["count"]}


class Picky(INode):
    def step(self, data: dict[str, Any]) -> None:
        if data["in"] == 5:
            raise ValueError("five is not allowed")


def main() -> int:
    pipeline = Pipeline(directory="")
    picky = Picky(name="picky")
    pipeline.connect(Numbers(name="numbers", rate=20), picky)
    pipeline.start()
    deadline = time.monotonic() + 10
    # The monitoring thread looks once a second; the step fails after a quarter second.
    while pipeline.get_state() == Constants.States.RUNNING and time.monotonic() < deadline:
        time.sleep(0.05)
    pipeline.stop()  # on a pipeline stopped with ERROR: waits for the monitoring thread
    print("node condition:    ", picky.get_condition())
    print("pipeline condition:", pipeline.get_condition())
    error = pipeline.get_last_error()
    print("last error:        ", error["message"] if error is not None else None)
    pipeline.start()  # refused: a pipeline stopped with ERROR stays stopped
    print("after start():     ", pipeline.get_state())
    return 0 if pipeline.get_condition() == Constants.Conditions.ERROR else 1


if __name__ == "__main__":
    raise SystemExit(main())
