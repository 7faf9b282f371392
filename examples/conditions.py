"""Conditions: a failing step is logged, puts its node into condition ERROR, and
the pipeline's monitoring thread then stops the whole pipeline with ERROR.
`wait()` raises PipelineError with the node's exception (and its traceback) as
its cause; the log entry reaches the `logging` module too, so without logging set
up Python prints the line "node picky: five is not allowed" to stderr.

    .venv/bin/python examples/conditions.py

(after `make test` or `make install`, from the repository's root)
"""

from typing import Any

from velarix import Constants, INode, ONode, Pipeline, PipelineError


class Numbers(ONode):
    def step(self, data: dict[str, Any]) -> dict[str, Any]:
        return {"out": data["count"]}


class Picky(INode):
    def step(self, data: dict[str, Any]) -> None:
        if data["in"] == 5:
            raise ValueError("five is not allowed")


def main() -> int:
    picky = Picky(name="picky")
    with Pipeline(directory="") as pipeline:
        pipeline.connect(Numbers(name="numbers", rate=20), picky)
        try:
            pipeline.run(seconds=10)  # the monitoring thread looks once a second
        except PipelineError as error:
            print("PipelineError:     ", error, f"(node {error.node!r}, cause {error.__cause__!r})")
        print("node condition:    ", picky.get_condition())
        print("pipeline condition:", pipeline.get_condition())
        pipeline.start()  # refused: a pipeline stopped with ERROR stays stopped
        print("after start():     ", pipeline.get_state())
    return 0 if pipeline.get_condition() == Constants.Conditions.ERROR else 1


if __name__ == "__main__":
    raise SystemExit(main())
