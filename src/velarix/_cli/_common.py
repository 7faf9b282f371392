"""What the commands share: loading a pipeline, watching a run, its reports."""

from __future__ import annotations

import json
import sys
import time
import traceback
from typing import Any, Callable, Optional, Sequence, TextIO

from ..constants import Constants
from .._saving import check_saved_pipeline
from ..errors import NotAPipelineError, PipelineError
from ..graphfile import cli as graphfile_cli, is_graph_file
from ..i_node import INode
from ..monitor._run import RunClock
from ..monitor.terminal import visible
from ..node import Node
from ..o_node import ONode
from ..pipeline import Pipeline
from ..portable import loading

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2
STATUS_INTERVAL = 0.2  # seconds between two status lines


class CommandError(Exception):
    """A failure the command reports as one line on stderr, with exit code 2."""


def load_pipeline(path: str, log_dir: Optional[str] = None, overrides: Optional[Sequence[str]] = None,
                  run_parts: bool = False) -> Pipeline:
    """Load a saved pipeline, or build a graph file's (with its `--set`
    `overrides`; `run_parts` starts its workers and recording), whose log goes to
    `log_dir` (None: the default folder, or the graph file's; "": memory only).

    Raises:
        CommandError: the file is missing, unreadable, not JSON or not a pipeline.
    """
    if is_graph_file(path):
        try:
            pipeline: Pipeline = graphfile_cli.load_for_command(path, log_dir, overrides, run_parts)
        except graphfile_cli.GraphCommandError as error:
            raise CommandError(f"{path}: {error}") from None
        return pipeline
    try:
        with open(path, encoding="utf-8") as file:
            data = json.load(file)
    except OSError as error:
        raise CommandError(f"cannot read {path}: {error.strerror or error}") from None
    except (ValueError, UnicodeDecodeError) as error:
        raise CommandError(f"{path} is not valid JSON: {error}") from None
    try:
        check_saved_pipeline(data, path)
    except NotAPipelineError as error:
        raise CommandError(str(error)) from None
    try:
        return deserialize(data, path, log_dir)
    except Exception as error:  # whatever the stored classes raise
        raise CommandError(f"{path} is not a loadable pipeline: {type(error).__name__}: {error}") from None


def _highest_load(pipeline: Pipeline) -> tuple[str, float]:
    nodes = pipeline.get_load()[:-1]
    if not nodes:
        return "-", 0.0
    top = max(nodes, key=lambda entry: entry["load"])
    return str(top["name"]), float(top["load"])


def status_line(pipeline: Pipeline, clock: Optional[RunClock] = None) -> str:
    """State, condition, elapsed time and the highest node load, on one line.
    `clock` keeps the elapsed time of the run once it has stopped."""
    name, load = _highest_load(pipeline)
    reading = (clock or RunClock()).read(pipeline)
    return (f"{reading.state:<7} {reading.condition:<7} "
            f"{reading.elapsed:7.1f} s  highest load {load:5.1f}% ({visible(name)})")


def load_report(pipeline: Pipeline) -> str:
    """The pipeline's load report as a table."""
    rows = [(str(e["class"]), str(e["name"]), f"{e['load']:.2f}%") for e in pipeline.get_load()]
    return table(("class", "name", "load"), rows)


def _live_table(pipeline: Pipeline, out: TextIO) -> Any:
    """The monitor's live table on `out` when it is a terminal and rich is
    installed (velarix[monitor]), else None."""
    if not out.isatty():
        return None
    try:
        from rich.console import Console

        from ..monitor import LiveMonitor
    except ImportError:
        return None
    return LiveMonitor(pipeline, console=Console(file=out))


def watch(pipeline: Pipeline, seconds: Optional[float], out: TextIO) -> None:
    """Until the pipeline stops itself, `seconds` pass or Ctrl-C."""
    monitor = _live_table(pipeline, out)
    if monitor is not None:
        with monitor:
            _wait_for_end(pipeline, seconds)
            # Stopped inside the block, so the table's last frame shows the end.
            if pipeline.get_state() == Constants.States.RUNNING:
                pipeline.stop()
        return
    live = out.isatty()
    started = time.monotonic()
    clock = RunClock()
    try:
        while pipeline.get_state() == Constants.States.RUNNING:
            if seconds is not None and time.monotonic() - started >= seconds:
                break
            if live:
                out.write("\r" + status_line(pipeline, clock) + "  ")
                out.flush()
            time.sleep(STATUS_INTERVAL)
    except KeyboardInterrupt:
        pass
    if live:
        if pipeline.get_state() == Constants.States.RUNNING:
            pipeline.stop()  # the last line shows the end of the run
        out.write("\r" + status_line(pipeline, clock) + "  \n")


def _wait_for_end(pipeline: Pipeline, seconds: Optional[float]) -> None:
    try:
        pipeline.wait(seconds)
    except KeyboardInterrupt:
        pass
    except PipelineError:
        pass  # reported after the run, with the failing node's traceback


def deserialize(data: Any, path: str, log_dir: Optional[str]) -> Pipeline:
    """The pipeline saved as `data` (read from `path`), which leaves its failures'
    tracebacks to the command: it prints failure_report()."""
    with loading(origin=path):
        pipeline = Pipeline.deserialize(data, log_dir)
    pipeline._leave_failures_to_caller()
    return pipeline


def failure_report(pipeline: Pipeline) -> Optional[str]:
    """The failing node and its traceback, or None when the run is healthy.

    A node's exception comes from its `get_last_exception()` where nodes have it;
    otherwise the pipeline's last logged error stands in.
    """
    failed = [n for n in pipeline.get_nodes() if n.get_condition() == Constants.Conditions.ERROR]
    if not failed and pipeline.get_condition() != Constants.Conditions.ERROR:
        return None
    if pipeline.get_condition() == Constants.Conditions.ERROR:
        lines = [f"pipeline stopped with condition {Constants.Conditions.ERROR}"]
    else:  # the run ended before the monitoring thread's next pass
        lines = ["a node failed"]
    tracebacks = 0
    for node in failed:
        lines.append(f"node {node.get_name()!r} ({type(node).__name__}) failed:")
        get_exception: Optional[Callable[[], Optional[BaseException]]] = getattr(
            node, "get_last_exception", None)
        exception = get_exception() if get_exception is not None else None
        if exception is not None:
            lines.append("".join(traceback.format_exception(exception)).rstrip())
            tracebacks += 1
    entry = pipeline.get_last_error()
    if entry is not None and tracebacks == 0:
        lines.append(entry.to_formatted_string().strip("\n"))
    return "\n".join(lines)


def _drives_itself(node: Any) -> bool:
    """A timed source, or a node without inputs whose class starts something of
    its own (a connector's receiving thread). A node with inputs steps only when
    they are fed, whatever its start() does."""
    if isinstance(node, ONode) and node.get_rate() is not None:
        return True
    if isinstance(node, INode) and node.config.get(INode.Configuration.Keys.INPUT_PORTS):
        return False
    own = getattr(type(node), "start", None)
    return own not in (Node.start, INode.start, ONode.start)


def undriven_note(pipeline: Pipeline) -> Optional[str]:
    """A line saying that nothing drives the pipeline, or None: no node has a
    rate and none starts anything of its own, so after the start (and the set-up
    cycle of sources whose ports are all ASYNC) no step runs."""
    nodes = pipeline.get_nodes()
    if any(_drives_itself(node) for node in nodes):
        return None
    return ("nothing drives this pipeline: no source has a rate, so after the start no step runs "
            "(give a source rate=N to time it)")


def table(header: Sequence[str], rows: Sequence[Sequence[str]]) -> str:
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]
    return "\n".join("  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip()
                     for row in [header, *rows])


def unlinked_notes(outputs: Sequence[str], inputs: Sequence[str]) -> list[str]:
    """Lines naming the "node.port" texts of graph.unlinked_ports()."""
    notes = []
    if outputs:
        notes.append(f"outputs linked to nothing: {', '.join(outputs)}")
    if inputs:
        notes.append(f"inputs fed by nothing (their nodes never step): {', '.join(inputs)}")
    return notes


PIPELINE_FILE = "a pipeline saved by Pipeline.save (.json), or a graph file (.toml, .yaml)"


def add_pipeline_command(commands: Any, name: str, func: Callable[[Any], int], **texts: str) -> Any:
    """The parser of a subcommand on one pipeline FILE, saved or a graph file (whose
    entries --set changes); `texts` are its help and description."""
    parser = commands.add_parser(name, **texts)
    parser.add_argument("file", metavar="FILE", help=PIPELINE_FILE)
    graphfile_cli.add_set_option(parser)
    parser.set_defaults(func=func)
    return parser


def start(pipeline: Pipeline, command: str, cleanup: Optional[Callable[[], None]] = None) -> bool:
    """Start the pipeline; when a node's start fails, call `cleanup`, stop the
    nodes before it (they run) and print the traceback: False."""
    try:
        pipeline.start()
    except Exception:
        if cleanup is not None:
            cleanup()
        for node in pipeline.get_nodes():
            node.stop()
        print(f"velarix {command}: starting the pipeline failed\n{traceback.format_exc()}", file=sys.stderr)
        return False
    return True


def stop_after_watch(pipeline: Pipeline) -> None:
    """Stop a pipeline still running; one that stopped itself with ERROR too: this
    waits for its monitoring thread."""
    if (pipeline.get_state() == Constants.States.RUNNING
            or pipeline.get_condition() == Constants.Conditions.ERROR):
        pipeline.stop()


def exit_code(failure: Optional[str]) -> int:
    """Print a run's failure report, if any: the command's exit code."""
    if failure is not None:
        print(failure, file=sys.stderr)
        return EXIT_FAILED
    return EXIT_OK
