"""End of stream: when every source of a running pipeline has said it has no more
values (`ONode.end_stream()`), the pipeline stops as soon as its nodes have nothing
left to do. The same look at the nodes ends offline runs over a recording."""

from __future__ import annotations

import threading
import time
from typing import TYPE_CHECKING, Any, Callable, Optional, Sequence

from .constants import Constants
from .i_node import INode
from .o_node import ONode

if TYPE_CHECKING:
    from .pipeline import Pipeline

SETTLE = 0.02  # seconds between the two looks that must agree for "nothing left to do"


def sources_of(nodes: Sequence[Any]) -> list[ONode]:
    """The nodes without input ports that push values."""
    return [node for node in nodes if isinstance(node, ONode) and not isinstance(node, INode)]


def _on_a_worker(node: Any) -> bool:
    # A node placed on a cluster worker has its run control replaced on the object.
    return "start" in getattr(node, "__dict__", {})


def all_sources_ended(nodes: Sequence[Any]) -> bool:
    """Whether the pipeline of `nodes` has sources, all of them ended. A pipeline
    with nodes on workers never ends so: what is in flight there is not seen here."""
    sources = sources_of(nodes)
    return (bool(sources) and all(source.has_ended() for source in sources)
            and not any(_on_a_worker(node) for node in nodes))


def _figures(nodes: Sequence[Any], sources: Sequence[ONode] = ()) -> Optional[tuple[Any, ...]]:
    """What the input nodes (and `sources`) have done; None while one of them is
    inside a step or could step now (every input holds a value), or one of
    `sources` still has a thread of its own running."""
    seen: list[Any] = []
    for source in sources:
        if source._still_producing():
            return None
        seen.append(source.get_counter())
    for node in nodes:
        if not isinstance(node, INode):
            continue
        if (node.get_state() != Constants.States.RUNNING
                or node.get_condition() != Constants.Conditions.HEALTHY):
            continue  # a failed or stopped node does nothing more
        steps = node.get_counter()
        ready = True
        for port in node._imp._input_ports.values():
            counts = port.get_stats()
            queued = counts.get("queued") or 0
            taken = (counts.get("received") or 0) - (counts.get("dropped") or 0) - queued
            if taken > steps:
                return None  # took its inputs, step not done yet
            ready = ready and queued > 0
            seen.append((counts.get("received"), queued))
        if ready:
            return None
        seen.append(steps)
    return tuple(seen)


def wait_until_settled(pipeline: Pipeline, timeout: Optional[float] = None,
                       sources: Sequence[ONode] = (), go_on: Callable[[], bool] = lambda: True) -> bool:
    """Until no input node is inside a step or able to step (two looks a moment
    apart agree; `sources` count too, see _figures): True. False when `timeout`
    passes first or `go_on()` turns false; True when the pipeline stops meanwhile."""
    deadline = None if timeout is None else time.monotonic() + timeout
    before: Optional[tuple[Any, ...]] = None
    while pipeline.get_state() == Constants.States.RUNNING:
        if not go_on():
            return False
        now = _figures(pipeline.get_nodes(), sources)
        if now is not None and now == before:
            return True
        before = now
        if deadline is not None and time.monotonic() >= deadline:
            return False
        time.sleep(SETTLE)
    return True


class EndOfStream:
    """A pipeline's watch for the end of its sources: `check()` (at the start and
    each time a source ends) starts a thread, once per run, that stops the pipeline
    when every source has ended and nothing is left to do."""

    def __init__(self, pipeline: Pipeline) -> None:
        self._pipeline = pipeline
        self._lock = threading.Lock()
        self._run = 0  # counts the starts: a thread of an earlier run gives up
        self._thread: Optional[threading.Thread] = None

    def started(self) -> None:
        """A new run began: its sources report to this watch."""
        with self._lock:
            self._run += 1
        for source in sources_of(self._pipeline.get_nodes()):
            source._end_listener = self.check
        self.check()

    def check(self) -> None:
        pipeline = self._pipeline
        if (pipeline.get_state() != Constants.States.RUNNING
                or not all_sources_ended(pipeline.get_nodes())):
            return
        with self._lock:
            if self._thread is not None and self._thread.is_alive():
                return
            self._thread = threading.Thread(target=self._end, args=(self._run,), daemon=True,
                                            name="velarix-end-of-stream")
            self._thread.start()

    def _end(self, run: int) -> None:
        pipeline = self._pipeline

        def same_run() -> bool:
            return self._run == run and all_sources_ended(pipeline.get_nodes())

        sources = sources_of(pipeline.get_nodes())
        if not wait_until_settled(pipeline, None, sources, same_run) or not same_run():
            return
        if pipeline.get_state() != Constants.States.RUNNING or _failed(pipeline):
            return  # a failure is the monitoring thread's to stop the pipeline for
        pipeline.write_log("Every source has ended and nothing is left to do: the pipeline stops.")
        pipeline.stop()


def _failed(pipeline: Pipeline) -> bool:
    return pipeline.get_last_error() is not None or any(
        node.get_condition() == Constants.Conditions.ERROR for node in pipeline.get_nodes())
