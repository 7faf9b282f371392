"""Offline runs: a saved pipeline over a recording, its recorded sources replaced
by a Replay, until the replay has played everything and the nodes downstream
have nothing left to do."""

from __future__ import annotations

import time
from dataclasses import dataclass
from typing import Any, Callable, Optional

from .._ending import wait_until_settled
from ..constants import Constants
from ..i_node import INode
from ..o_node import ONode
from ._format import RecordingReader
from ._recorder import Recording
from ._replay import Replay
from ..pipeline import Pipeline


@dataclass
class OfflineRun:
    """A pipeline prepared for an offline run: its `replay`, and the sources it
    stands in for (names)."""

    pipeline: Pipeline
    replay: Replay
    replaced: list[str]


def replace_sources(pipeline: Pipeline, path: str, speed: Any = "max", loop: bool = False,
                    name: str = "replay", allow_pickle: bool = False) -> OfflineRun:
    """Put a Replay of `path` in place of the pipeline's recorded sources: nodes
    without input ports with an output port recorded in the file. Each such port's
    links go to the replay's port of the same "node.port" name; the sources leave
    the pipeline.

    Raises:
        ValueError: the file records none of the pipeline's sources.
    """
    contents = RecordingReader(path, allow_pickle).contents()
    topics = {channel.topic for channel in contents.channels.values()}
    inputs: dict[int, tuple[INode, str]] = {}
    for node in pipeline.get_nodes():
        if isinstance(node, INode):
            for port_name, in_port in node._imp._input_ports.items():
                inputs[id(in_port)] = (node, port_name)
    sources: list[tuple[ONode, list[str]]] = []
    for node in pipeline.get_nodes():
        if isinstance(node, ONode) and not isinstance(node, INode):
            recorded = [port for port in node._imp._output_ports if f"{node.get_name()}.{port}" in topics]
            if recorded:
                sources.append((node, recorded))
    if not sources:
        raise ValueError(f"{path} records no source of this pipeline (recorded: "
                         f"{', '.join(sorted(topics)) or 'nothing'}).")
    mapping = {f"{node.get_name()}.{port}": f"{node.get_name()}.{port}"
               for node, ports in sources for port in ports}
    replay = Replay(name=name, path=path, speed=speed, loop=loop, ports=mapping, allow_pickle=allow_pickle)
    for node, ports in sources:
        for port in ports:
            topic = f"{node.get_name()}.{port}"
            for linked in list(node.get_port(port)._connected_ports):
                target = inputs.get(id(linked))
                if target is None:
                    continue  # a port outside the pipeline: it keeps its link
                pipeline.disconnect_ports(node, port, target[0], target[1])
                pipeline.connect_ports(replay, topic, target[0], target[1])
        pipeline.remove_node(node)
    if replay not in pipeline.get_nodes():
        pipeline.add_node(replay)  # its ports feed nothing: it is played all the same
    return OfflineRun(pipeline, replay, [str(node.get_name()) for node, _ in sources])


def run_offline(pipeline: Pipeline, path: str, speed: Any = "max", loop: bool = False,
                record: Optional[str] = None, pipeline_json: Optional[str] = None,
                seconds: Optional[float] = None,
                progress: Optional[Callable[[Replay], None]] = None,
                allow_pickle: bool = False,
                foxglove: Optional[Callable[[], Any]] = None) -> dict[str, Any]:
    """Run `pipeline` (stopped, as loaded) over the recording `path`: its recorded
    sources replaced by a replay at `speed`, every output port recorded to
    `record` when given (with `pipeline_json`, the saved form to store). Returns
    {"replay": the replay's statistics, "recording": the recording's or None,
    "replaced": the source names}. Ends when the replay has played everything
    and the nodes have nothing left to do, after `seconds`, or when the pipeline
    stops itself; `progress(replay)` is called a few times a second meanwhile.
    A file with pickled values is refused unless `allow_pickle`.
    `foxglove()`, when given, is called once the replay is in place and returns a
    viewer bridge (Pipeline.serve_foxglove), stopped after the run.

    Raises:
        ValueError: the file is not a recording, or records no source of the pipeline.
        PipelineError: a node failed.
    """
    run = replace_sources(pipeline, path, speed, loop, allow_pickle=allow_pickle)
    recording = None
    if record is not None:
        recording = Recording(pipeline, record, None, pipeline_json=pipeline_json)
    started = time.monotonic()
    bridge = None
    try:
        if foxglove is not None:
            bridge = foxglove()
        pipeline.start()
        while pipeline.get_state() == Constants.States.RUNNING:
            if seconds is not None and time.monotonic() - started >= seconds:
                break
            if run.replay.wait(0.2):
                left = None if seconds is None else max(0.0, seconds - (time.monotonic() - started))
                wait_until_settled(pipeline, left)
                break
            if run.replay.is_finished():
                break
            if progress is not None:
                progress(run.replay)
        if progress is not None:
            progress(run.replay)
    finally:
        pipeline.stop()
        if recording is not None:
            recording.stop()
        if bridge is not None:
            bridge.stop()
    pipeline._raise_if_failed()
    pipeline._raise_if_node_failed()
    return {"replay": run.replay.get_stats()["replay"],
            "recording": recording.get_stats() if recording is not None else None,
            "replaced": run.replaced}
