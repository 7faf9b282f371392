"""End of stream: a pipeline whose sources have all ended stops by itself, HEALTHY,
once nothing is left in flight; one with a source that never ends keeps running;
the command line's offline run over a recording whose sources feed nothing ends."""

import threading

import pytest

pytest.importorskip("mcap", reason="recordings need the record extra")

from velarix import IONode, ONode, Pipeline, PipelineError  # noqa: E402
from velarix.constants import Constants  # noqa: E402
from velarix.imp import ConstantsImp  # noqa: E402
from velarix.record import Replay  # noqa: E402

from nodes import Sink, Source  # noqa: E402
from pipeline_helpers import WAIT  # noqa: E402
from test_cli import velarix_command  # noqa: E402

N = 200
STOPPED, HEALTHY = Constants.States.STOPPED, Constants.Conditions.HEALTHY


class Pass(IONode):
    def step(self, data):
        return {"out": data["in"]}


class Ticks(ONode):
    def step(self, data):
        return {"out": data["count"]}


class Countdown(ONode):
    """A timed source that ends its stream from the step that returns its last value."""

    def step(self, data):
        if data["count"] == 9:
            self.end_stream()
        return {"out": data["count"]}


class Fails(IONode):
    def step(self, data):
        if data["in"] == N - 1:
            raise ValueError("the last value is bad")
        return {"out": data["in"]}


@pytest.fixture
def numbers(tmp_path):
    """A recording of three sources that feed nothing, N values each."""
    path = str(tmp_path / "numbers.mcap")
    sources = [Source(name=name) for name in ("numbers", "more", "others")]
    with Pipeline(directory="") as pipeline:
        for source in sources:
            pipeline.add_node(source)
        pipeline.record(path)
        pipeline.start()
        for n in range(N):
            for source in sources:
                source.cycle({"x": n})
        pipeline.stop()
    return path


def replay_of(path, **options):
    return Replay(path=path, speed="max", ports={"numbers.out": "out"}, **options)


def linked(pipeline, nodes):
    for upstream, downstream in zip(nodes, nodes[1:]):
        pipeline.connect(upstream, downstream)


@pytest.mark.parametrize("threads", [None, 2])
@pytest.mark.parametrize("shape", ["replay", "chain of 10", "user source", "timed countdown"])
def test_a_pipeline_whose_sources_all_ended_stops_healthy_once_drained(numbers, shape, threads,
                                                                       no_thread_leak):
    sink = Sink()
    pipeline = Pipeline(directory="", threads=threads)
    expected = list(range(N))
    if shape == "replay":
        linked(pipeline, [replay_of(numbers), sink])
    elif shape == "chain of 10":
        linked(pipeline, [replay_of(numbers)] + [Pass(name=f"pass{i}") for i in range(10)] + [sink])
    elif shape == "user source":
        source = Source(name="user")
        linked(pipeline, [source, Pass(), sink])
        # Driven by the application: it ends the stream after its last cycle.
        feeder = threading.Thread(target=lambda: [source.cycle({"x": n}) for n in range(N)]
                                  + [source.end_stream()])
        pipeline.start()
        feeder.start()
    else:
        linked(pipeline, [Countdown(name="countdown", rate=200), sink])
        expected = list(range(10))
    if shape == "user source":
        assert pipeline.wait(WAIT) is True
        feeder.join()
    else:
        pipeline.run(WAIT)
    assert sink.values == expected  # every value went through before the stop
    assert (pipeline.get_state(), pipeline.get_condition()) == (STOPPED, HEALTHY)
    assert "Every source has ended and nothing is left to do: the pipeline stops." in [
        e["message"] for e in pipeline.get_logger().get_all()]
    pipeline.close()


@pytest.mark.parametrize("other", ["timed source", "looping replay", "source never ended"])
def test_a_source_that_does_not_end_keeps_the_pipeline_running(numbers, other, no_thread_leak):
    sink = Sink(expected=N)
    pipeline = Pipeline(directory="")
    if other == "looping replay":
        linked(pipeline, [replay_of(numbers, loop=True), sink])
    else:
        linked(pipeline, [replay_of(numbers), sink])
        pipeline.add_node(Ticks(name="ticks", rate=50) if other == "timed source" else Source(name="app"))
    pipeline.start()
    assert sink.done.wait(WAIT)
    assert pipeline.wait(0.5) is False
    assert pipeline.get_state() == Constants.States.RUNNING
    pipeline.stop()
    pipeline.close()


def test_an_ended_pipeline_starts_over_and_a_late_failure_is_not_reported_as_success(numbers, monkeypatch):
    sink = Sink()
    with Pipeline(directory="") as pipeline:
        linked(pipeline, [replay_of(numbers), sink])
        pipeline.run(WAIT)
        pipeline.run(WAIT)  # the replay plays from the start again
        assert sink.values == list(range(N)) * 2

    # A node failing on the last value: the pipeline ends in ERROR, and says so.
    monkeypatch.setattr(ConstantsImp, "MONITORING_INTERVAL", 0.05)
    pipeline = Pipeline(directory="")
    linked(pipeline, [replay_of(numbers), Fails(name="fails"), Sink()])
    with pytest.raises(PipelineError, match="fails: the last value is bad"):
        pipeline.run(WAIT)
    assert pipeline.get_condition() == Constants.Conditions.ERROR
    pipeline.close()


def test_the_command_line_replay_of_sources_that_feed_nothing_ends(numbers, tmp_path):
    result = velarix_command("replay", numbers, "--speed", "max", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert f"replayed {3 * N} values of" in result.stdout
