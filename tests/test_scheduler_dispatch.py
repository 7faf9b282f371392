"""The shared scheduler dispatches a node natively when its _run_ready and _cycle
are the node class's own, and through the methods a subclass or an instance gives
it otherwise: the same values, counters and failures either way."""

import pytest

from nodes import Sink, Source
from pipeline_helpers import WAIT
from velarix import Pipeline
from velarix.io_node import IONode, IONodeImp

COUNT = 200


class Inc(IONode):
    def step(self, data):
        if data["in"] == "fail":
            raise RuntimeError("bad value")
        return {"out": data["in"] + 1}


class CountingImp(IONodeImp):
    """Its own _run_ready and _cycle, which the scheduler must call."""

    runs = 0
    cycles = 0

    def _run_ready(self, task):
        self.runs += 1
        return super()._run_ready(task)

    def _cycle(self, data=None):
        self.cycles += 1
        return super()._cycle(data)


class Overridden(Inc):
    _imp_class = CountingImp


def instance_override(node):
    runs, cycles = [], []
    own, own_cycle = node._imp._run_ready, node._imp._cycle
    node._imp._run_ready = lambda task: runs.append(task) or own(task)
    node._imp._cycle = lambda data: cycles.append(data) or own_cycle(data)
    return runs, cycles


def run_chain(kind, handed, values):
    p = Pipeline("", threads=1)
    source = Source(name="src")
    stages = [(Overridden if kind == "class" else Inc)(name=f"inc{i}", own_thread=handed and i == 0)
              for i in range(3)]
    sink = Sink(expected=len([v for v in values if v != "fail"]), name="sink")
    p.connect(source, stages[0])
    for upstream, downstream in zip(stages, stages[1:]):
        p.connect(upstream, downstream)
    p.connect(stages[-1], sink)
    spies = [instance_override(stage) for stage in stages[1:]] if kind == "instance" else []
    p.start()
    try:
        for value in values:
            source.cycle({"x": value})
        assert sink.done.wait(WAIT)
    finally:
        p.stop()
    p.close()
    if kind == "class":
        runs = [(stage._imp.runs, stage._imp.cycles) for stage in stages[1:]]
    else:
        runs = [(len(spy), len(cycles)) for spy, cycles in spies]
    return stages, sink, runs


@pytest.mark.parametrize("handed", [False, True], ids=["carried", "handed"])
@pytest.mark.parametrize("kind", ["own", "class", "instance"])
def test_each_dispatch_runs_the_same_cycles(kind, handed):
    stages, sink, runs = run_chain(kind, handed, list(range(COUNT)))
    assert sink.values == [n + 3 for n in range(COUNT)]
    assert [stage.get_counter() for stage in stages] == [COUNT] * 3
    if kind == "own":
        assert "_run_ready" not in vars(stages[1]._imp) and "_cycle" not in vars(stages[1]._imp)
    else:
        assert all(run for run, _ in runs), "an overriding _run_ready was passed by"
        assert [cycles for _, cycles in runs] == [COUNT] * 2, "an overriding _cycle was passed by"


@pytest.mark.parametrize("kind", ["own", "class"])
def test_a_failing_step_ends_the_node_either_way(kind):
    stages, sink, _ = run_chain(kind, False, [1, 2, "fail"])
    assert sink.values == [4, 5]
    assert [stage.get_condition() for stage in stages] == ["ERROR", "HEALTHY", "HEALTHY"]
    assert [stage.get_counter() for stage in stages] == [2, 2, 2]
