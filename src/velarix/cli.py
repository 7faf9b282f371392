"""The `velarix` command (also `python -m velarix`): run, show and draw saved pipelines.

Loading a file runs the class source stored in it: use these commands only on
files you trust.
"""

from __future__ import annotations

import argparse
import importlib
import json
import logging
import os
import sys
import time
import traceback
from typing import AbstractSet, Any, Callable, Optional, Sequence, TextIO

from . import __version__, graph
from .constants import Constants
from ._saving import check_saved_pipeline
from .errors import NotAPipelineError, PipelineError
from .graphfile import cli as graphfile_cli, is_graph_file, web_settings
from .i_node import INode
from .monitor._run import RunClock
from .monitor.terminal import visible
from .node import Node
from .o_node import ONode
from .pipeline import Pipeline
from .portable import loading

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2
STATUS_INTERVAL = 0.2  # seconds between two status lines


class CommandError(Exception):
    """A failure the command reports as one line on stderr, with exit code 2."""


# Loading ------------------------------------------------------------------------

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
        with loading(origin=path):
            return _reports_failures(Pipeline.deserialize(data, log_dir))
    except Exception as error:  # whatever the stored classes raise
        raise CommandError(f"{path} is not a loadable pipeline: {type(error).__name__}: {error}") from None


# run ------------------------------------------------------------------------------

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
    return _table(("class", "name", "load"), rows)


def _live_table(pipeline: Pipeline, out: TextIO) -> Any:
    """The monitor's live table on `out` when it is a terminal and rich is
    installed (velarix[monitor]), else None."""
    if not out.isatty():
        return None
    try:
        from rich.console import Console

        from .monitor import LiveMonitor
    except ImportError:
        return None
    return LiveMonitor(pipeline, console=Console(file=out))


def _watch(pipeline: Pipeline, seconds: Optional[float], out: TextIO) -> None:
    """Until the pipeline stops itself, `seconds` pass or Ctrl-C."""
    table = _live_table(pipeline, out)
    if table is not None:
        with table:
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


def _reports_failures(pipeline: Pipeline) -> Pipeline:
    # The commands print failure_report() with the tracebacks: the pipeline need not.
    pipeline._tells_failures = False
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


def command_run(args: argparse.Namespace) -> int:
    """`velarix run`: load, start, watch, stop, report."""
    if args.seconds is not None and args.seconds < 0:
        raise CommandError("--seconds must not be negative")
    if args.threads is not None and not 1 <= args.threads <= 1024:
        raise CommandError("--threads must be from 1 to 1024")
    pipeline = load_pipeline(args.file, args.log_dir, args.overrides, run_parts=True)
    if args.threads is not None:
        pipeline._use_threads(args.threads)
    logger = pipeline.get_logger()
    note = undriven_note(pipeline)
    if note is not None:
        print(f"velarix run: {note}", file=sys.stderr)
    for text in _unlinked_notes(*graph.unlinked_ports(pipeline)):
        print(f"velarix run: {text}", file=sys.stderr)
    pipeline._stop_notice = lambda text: print(f"velarix run: {text}", file=sys.stderr, flush=True)
    try:
        try:
            pipeline.start()
        except Exception:  # a node's start failed: the nodes before it run
            for node in pipeline.get_nodes():
                node.stop()
            print(f"velarix run: starting the pipeline failed\n{traceback.format_exc()}", file=sys.stderr)
            return EXIT_FAILED
        web = web_settings(pipeline)  # a graph file's `web = true`
        server = pipeline.serve(**(web or {})) if args.web or web is not None else None
        if server is not None:
            print(f"live page: {server.url}", file=sys.stderr)
        try:
            bridge = _serve_foxglove(pipeline, args.foxglove)
        except CommandError:
            pipeline.stop()
            raise
        _watch(pipeline, args.seconds, sys.stderr)
        if bridge is not None:
            bridge.stop()
        # A pipeline that stopped itself with ERROR: this waits for its monitoring thread.
        if (pipeline.get_state() == Constants.States.RUNNING
                or pipeline.get_condition() == Constants.Conditions.ERROR):
            pipeline.stop()
        if server is not None:
            server.stop()  # open pages get the last reading before the process ends
        print(load_report(pipeline))
        file_name = logger.get_file_name()
        if file_name:
            print(f"log: {file_name}")
        failure = failure_report(pipeline)
    finally:
        logger.stop()
    if failure is not None:
        print(failure, file=sys.stderr)
        return EXIT_FAILED
    return EXIT_OK


# show ------------------------------------------------------------------------------

def _table(header: Sequence[str], rows: Sequence[Sequence[str]]) -> str:
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]
    return "\n".join("  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip()
                     for row in [header, *rows])


UNLINKED_MARK = "*"  # after a port in `show`'s table: linked to nothing / fed by nothing


def _port_list(ports: Sequence[graph.PortInfo], index: int, unlinked: AbstractSet[tuple[int, str]]) -> str:
    """The ports of the node at `index`, those in `unlinked` marked."""
    return ", ".join(f"{p.name} ({_port_terms(p)}){UNLINKED_MARK if (index, p.name) in unlinked else ''}"
                     for p in ports) or "-"


def _port_terms(port: graph.PortInfo) -> str:
    """The port's timing, and for a bounded one its capacity and overflow policy."""
    if port.capacity is None:
        return port.timing
    return f"{port.timing}, capacity {port.capacity}, {port.overflow}"


def _unlinked_notes(outputs: Sequence[str], inputs: Sequence[str]) -> list[str]:
    """Lines naming the "node.port" texts of graph.unlinked_ports()."""
    notes = []
    if outputs:
        notes.append(f"outputs linked to nothing: {', '.join(outputs)}")
    if inputs:
        notes.append(f"inputs fed by nothing (their nodes never step): {', '.join(inputs)}")
    return notes


def describe_text(pipeline: Pipeline) -> str:
    """The nodes (name, class, ports with timing, rate) and the links, as tables;
    ports linked to nothing carry a "*" and are listed after the tables."""
    info = graph.describe(pipeline)
    outputs, inputs = graph.unlinked(pipeline)
    loose_out, loose_in = frozenset(outputs), frozenset(inputs)
    names = {node.key: node.name for node in info.nodes}
    nodes = [(n.name, n.class_name, _port_list(n.inputs, i, loose_in), _port_list(n.outputs, i, loose_out),
              "-" if n.rate is None else f"{n.rate:g}/s")
             for i, n in enumerate(info.nodes)]
    links = [(f"{names[l.source]}.{l.source_port}", "->", f"{names[l.target]}.{l.target_port}",
              l.timing) for l in info.links]
    text = "nodes\n" + _table(("name", "class", "inputs", "outputs", "rate"), nodes)
    text += "\n\nlinks\n" + (_table(("from", "", "to", "timing"), links) if links else "(none)")
    notes = _unlinked_notes([f"{info.nodes[i].name}.{port}" for i, port in outputs],
                            [f"{info.nodes[i].name}.{port}" for i, port in inputs])
    if notes:
        text += "\n\n" + "\n".join(f"{UNLINKED_MARK} {note}" for note in notes)
    threads = _threads_text(pipeline)
    if threads:
        text += "\n\nthreads\n" + threads
    return text


def _threads_text(pipeline: Pipeline) -> str:
    """For a pipeline on shared scheduler threads: how many, and the nodes that
    keep a thread of their own ("" for a worker thread per input node)."""
    threads = pipeline.get_threads()
    if threads is None:
        return ""
    own = [visible(node.get_name()) for node in pipeline.get_nodes()
           if isinstance(node, INode) and node.has_own_thread()]
    text = f"input nodes run on {threads} shared scheduler thread{'s' if threads != 1 else ''}"
    return text + (f"; own thread: {', '.join(own)}" if own else "")


def command_show(args: argparse.Namespace) -> int:
    """`velarix show`: print the nodes and links of a saved pipeline."""
    pipeline = load_pipeline(args.file, "", args.overrides)
    print(describe_text(pipeline))
    return EXIT_OK


def command_graph(args: argparse.Namespace) -> int:
    """`velarix graph`: print a saved pipeline as DOT or Mermaid text."""
    pipeline = load_pipeline(args.file, "", args.overrides)
    render = graph.to_mermaid if args.format == "mermaid" else graph.to_dot
    sys.stdout.write(render(pipeline))
    return EXIT_OK


# record, replay, info ---------------------------------------------------------------

def _record_module() -> Any:
    """velarix.record, or a CommandError saying which extra to install."""
    try:
        from . import record
        from .record._format import require_mcap

        require_mcap()
    except ImportError as error:
        raise CommandError(str(error)) from None
    return record


def _open_recording(path: str, allow_pickle: bool = False) -> Any:
    record = _record_module()
    try:
        return record.RecordingReader(path, allow_pickle)
    except record.RecordingError as error:
        raise CommandError(str(error)) from None


def _size_text(size: float) -> str:
    for unit in ("B", "kB", "MB", "GB"):
        if size < 1000 or unit == "GB":
            return f"{size:.0f} {unit}" if unit == "B" else f"{size:.1f} {unit}"
        size /= 1000
    return f"{size:.1f} GB"


def _cut_short_note(command: str, path: str, problem: Optional[str]) -> None:
    if problem is not None:
        print(f"velarix {command}: warning: {path} is cut short ({problem}); it reads up to its "
              f"last complete chunk", file=sys.stderr)


def command_record(args: argparse.Namespace) -> int:
    """`velarix record`: run a saved pipeline and record its output ports."""
    if args.seconds is not None and args.seconds < 0:
        raise CommandError("--seconds must not be negative")
    record = _record_module()
    pipeline = load_pipeline(args.file, args.log_dir)
    logger = pipeline.get_logger()
    try:
        try:
            # The file's own text: a loaded class saves again without its source.
            with open(args.file, encoding="utf-8") as file:
                saved: Optional[str] = file.read()
            if is_graph_file(args.file):
                saved = None  # the recording saves the pipeline it runs
            recording = record.Recording(pipeline, args.out, args.ports, pipeline_json=saved)
        except ValueError as error:
            raise CommandError(str(error)) from None
        except OSError as error:
            raise CommandError(f"cannot write {args.out}: {error.strerror or error}") from None
        note = undriven_note(pipeline)
        if note is not None:
            print(f"velarix record: {note}", file=sys.stderr)
        try:
            pipeline.start()
        except Exception:
            recording.stop()
            for node in pipeline.get_nodes():
                node.stop()
            print(f"velarix record: starting the pipeline failed\n{traceback.format_exc()}", file=sys.stderr)
            return EXIT_FAILED
        _watch(pipeline, args.seconds, sys.stderr)
        if (pipeline.get_state() == Constants.States.RUNNING
                or pipeline.get_condition() == Constants.Conditions.ERROR):
            pipeline.stop()
        recording.stop()
        stats = recording.get_stats()
        print(f"recorded {stats['recorded']} values ({stats['dropped']} dropped) of "
              f"{len(stats['ports'])} ports to {args.out}, {_size_text(stats['bytes'])}")
        if stats["error"]:
            print(f"velarix record: the recording stopped early: {stats['error']}", file=sys.stderr)
        failure = failure_report(pipeline)
    finally:
        logger.stop()
    if failure is not None:
        print(failure, file=sys.stderr)
        return EXIT_FAILED
    return EXIT_OK


def _speed(text: str) -> Any:
    if text == "max":
        return "max"
    try:
        value = float(text)
    except ValueError:
        raise CommandError(f"--speed must be a positive number or max, got {text!r}") from None
    if not value > 0 or value == float("inf"):
        raise CommandError(f"--speed must be a positive number or max, got {text!r}")
    return value


def _stored_pipeline(reader: Any, path: str, log_dir: str = "") -> Pipeline:
    text = reader.pipeline_json()
    if text is None:
        raise CommandError(f"{path} holds no saved pipeline: name one with --pipeline")
    try:
        data = json.loads(text)
        check_saved_pipeline(data, path)
        with loading(origin=path):
            return _reports_failures(Pipeline.deserialize(data, log_dir))
    except (ValueError, NotAPipelineError) as error:
        raise CommandError(f"the pipeline stored in {path} does not load: {error}") from None
    except Exception as error:  # whatever the stored classes raise
        raise CommandError(f"the pipeline stored in {path} does not load: {type(error).__name__}: "
                           f"{error}") from None


def _progress_bar(replay: Any, live: bool) -> str:
    figures = replay.get_stats()["replay"]
    done = figures["replayed"] / figures["total"] if figures["total"] else 1.0
    width = 30
    bar = "#" * int(done * width)
    left = figures["remaining"]
    if live and isinstance(figures["speed"], float):
        left /= figures["speed"]
    return (f"[{bar:<{width}}] {done * 100:5.1f}%  {figures['position']:.1f} of "
            f"{figures['duration']:.1f} s, {left:.1f} s left, {figures['replayed']} values")


def _serve_foxglove(pipeline: Pipeline, port: Optional[int]) -> Any:
    """The viewer bridge of `--foxglove [PORT]` (None without the option)."""
    if port is None:
        return None
    try:
        bridge = pipeline.serve_foxglove(port=port)
    except (ImportError, OSError) as error:
        raise CommandError(str(error)) from None
    print(f"viewer bridge: ws://127.0.0.1:{bridge.port}", file=sys.stderr)
    return bridge


def _add_foxglove_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--foxglove", nargs="?", type=int, const=8765, metavar="PORT",
                        help="also publish the output ports to the live viewer over WebSocket "
                             "on 127.0.0.1:PORT (default 8765; needs velarix[foxglove])")


def command_replay(args: argparse.Namespace) -> int:
    """`velarix replay`: run a pipeline over a recording, its recorded sources replaced."""
    speed = _speed(args.speed)
    if args.seconds is not None and args.seconds < 0:
        raise CommandError("--seconds must not be negative")
    reader = _open_recording(args.file, args.allow_pickle)
    from .record._offline import run_offline

    if args.pipeline is not None:
        pipeline = load_pipeline(args.pipeline, args.log_dir)
        with open(args.pipeline, encoding="utf-8") as file:
            saved: Optional[str] = None if is_graph_file(args.pipeline) else file.read()
    else:
        pipeline = _stored_pipeline(reader, args.file, args.log_dir)
        saved = reader.pipeline_json()
    out = sys.stderr
    tty = out.isatty()

    def progress(replay: Any) -> None:
        if tty:
            out.write("\r" + _progress_bar(replay, speed != "max") + " ")
            out.flush()

    try:
        try:
            result = run_offline(pipeline, args.file, speed=speed, loop=args.loop, record=args.record,
                                 pipeline_json=saved, seconds=args.seconds, progress=progress,
                                 allow_pickle=args.allow_pickle,
                                 foxglove=None if args.foxglove is None
                                 else lambda: _serve_foxglove(pipeline, args.foxglove))
        except PipelineError:
            if tty:
                out.write("\n")
            failure = failure_report(pipeline)
            print(failure or "a node failed", file=sys.stderr)
            return EXIT_FAILED
        except ValueError as error:
            raise CommandError(str(error)) from None
        except OSError as error:
            raise CommandError(f"cannot write {args.record}: {error.strerror or error}") from None
    except KeyboardInterrupt:
        if tty:
            out.write("\n")
        print("velarix replay: interrupted", file=sys.stderr)
        return 128 + 2
    finally:
        pipeline.get_logger().stop()
    if tty:
        out.write("\n")
    figures = result["replay"]
    _cut_short_note("replay", args.file, figures["problem"] if figures["problem"] != "stopped" else None)
    print(f"replayed {figures['replayed']} values of {args.file} in place of "
          f"{', '.join(result['replaced'])}")
    recorded = result["recording"]
    if recorded is not None:
        print(f"recorded {recorded['recorded']} values ({recorded['dropped']} dropped) to {args.record}")
    file_name = pipeline.get_logger().get_file_name()
    if file_name:
        print(f"log: {file_name}")
    return EXIT_OK


def info_text(path: str, contents: Any, size: int, profile: str = "velarix") -> str:
    """What `velarix info` prints about a recording (or any MCAP file)."""
    duration = ((contents.end or 0) - (contents.start or 0)) / 1e9
    stored = contents.metadata.get("velarix.pipeline", {}).get("json")
    nodes = "-"
    if stored:
        try:
            nodes = f"{len(json.loads(stored)['nodes'])} nodes"
        except (ValueError, KeyError, TypeError):
            nodes = "unreadable"
    lines = [f"file      {path}  ({_size_text(size)}, "
             f"{'complete' if contents.complete else 'cut short'})",
             f"duration  {duration:.3f} s",
             f"values    {contents.messages}",
             f"pipeline  {nodes if stored else 'not stored'}"]
    if profile != "velarix":
        lines.append(f"profile   {profile or '(none)'}: not a velarix recording")
    if any(channel.encoding == "pickle5" for channel in contents.channels.values()):
        lines.append("pickled   yes: replaying it needs --allow-pickle (unpickling can run code)")
    lines.append("")
    from .record._format import port_metadata_text

    rows = []
    described = [port_metadata_text(channel.metadata) for channel in contents.channels.values()]
    for channel_id, channel in sorted(contents.channels.items()):
        count = contents.counts.get(channel_id, 0)
        rate = f"{count / duration:.1f}" if duration > 0 else "-"
        row: tuple[str, ...] = (visible(channel.topic), channel.encoding, str(count), rate)
        if any(described):  # never unpickled: JSON text, or "pickled"
            row += (visible(port_metadata_text(channel.metadata) or "-"),)
        rows.append(row)
    head = ("channel", "encoding", "values", "rate /s") + (("port metadata",) if any(described) else ())
    lines.append(_table(head, rows) if rows else "(no channels)")
    return "\n".join(lines)


def command_info(args: argparse.Namespace) -> int:
    """`velarix info`: channels, counts, duration, rates and size of a recording."""
    # Listing decodes no value and no port metadata: a file with pickles is safe here.
    reader = _open_recording(args.file, allow_pickle=True)
    contents = reader.contents()
    print(info_text(args.file, contents, os.path.getsize(args.file), reader.profile))
    _cut_short_note("info", args.file, contents.problem)
    return EXIT_OK


def command_export(args: argparse.Namespace) -> int:
    """`velarix export`: a recording's values per port as CSV, npz or parquet files."""
    reader = _open_recording(args.file, args.allow_pickle)
    from .record._export import export

    total = reader.contents().messages
    out = sys.stderr
    tty = out.isatty()

    def progress(done: int) -> None:
        if tty:
            share = done / total if total else 1.0
            bar = "#" * int(share * 30)
            out.write(f"\r[{bar:<30}] {100 * share:3.0f}%  {done}/{total} values ")
            out.flush()

    try:
        written = export(reader, args.format, args.out, progress)
    except (ImportError, ValueError) as error:
        raise CommandError(str(error)) from None
    except OSError as error:
        raise CommandError(f"cannot write {args.out}: {error.strerror or error}") from None
    if tty:
        out.write("\n")
    _cut_short_note("export", args.file, reader.problem)
    print(f"exported {len(written)} ports of {args.file} to {args.out} as {args.format}")
    return EXIT_OK


# Parser ----------------------------------------------------------------------------

PIPELINE_FILE = "a pipeline saved by Pipeline.save (.json), or a graph file (.toml, .yaml)"


def build_parser() -> argparse.ArgumentParser:
    """The argument parser with every subcommand; each sets `func(args) -> int`."""
    parser = argparse.ArgumentParser(
        prog="velarix", description="Run, inspect and draw saved velarix pipelines.",
        epilog="Loading a file runs the class source stored in it: use only files you trust. "
        "The current folder is put first on the import path, as `python -m` does, so the "
        "stored classes can import the project's own modules.")
    parser.add_argument("--version", action="version", version=f"velarix {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    run = commands.add_parser("run", help="run a saved pipeline or a graph file",
                              description="Run a saved pipeline with a live status line until it "
                              "stops itself, N seconds pass or Ctrl-C; then print the load report. "
                              "Exits 1 with the failing node's traceback when a node failed. The "
                              "current folder is on the import path, as with `python -m`, so the "
                              "stored classes may import modules that lie there.")
    run.add_argument("file", metavar="FILE", help=PIPELINE_FILE)
    graphfile_cli.add_set_option(run)
    run.add_argument("--seconds", type=float, metavar="N", help="stop after N seconds")
    run.add_argument("--threads", type=int, metavar="N",
                     help="run the input nodes on N shared scheduler threads (default: as saved)")
    run.add_argument("--log-dir", metavar="DIR", help="folder for the log file (default: the "
                     "default log folder; an empty string keeps the log in memory)")
    run.add_argument("--web", action="store_true", help="also serve a live page of the run on "
                     "127.0.0.1 (needs velarix[monitor]); its address is printed")
    run.set_defaults(func=command_run)

    _add_foxglove_option(run)

    show = commands.add_parser("show", help="list the nodes and links of a saved pipeline or a graph file",
                               description="Print the nodes (name, class, ports with timing, "
                               "rate) and the links of a saved pipeline.")
    show.add_argument("file", metavar="FILE", help=PIPELINE_FILE)
    graphfile_cli.add_set_option(show)
    show.set_defaults(func=command_show)

    draw = commands.add_parser("graph", help="print a saved pipeline or a graph file as DOT or Mermaid",
                               description="Print the graph of a saved pipeline as Graphviz DOT "
                               "(default) or Mermaid text.")
    draw.add_argument("file", metavar="FILE", help=PIPELINE_FILE)
    graphfile_cli.add_set_option(draw)
    draw.add_argument("--format", choices=("dot", "mermaid"), default="dot")
    draw.set_defaults(func=command_graph)

    rec = commands.add_parser("record", help="run a saved pipeline and record its output ports",
                              description="Run a saved pipeline as `run` does and record its output "
                              "ports (all unless --ports names some) to an MCAP file. Needs "
                              "velarix[record].")
    rec.add_argument("file", metavar="FILE", help=PIPELINE_FILE)
    rec.add_argument("--out", required=True, metavar="REC.mcap", help="the recording to write")
    rec.add_argument("--seconds", type=float, metavar="N", help="stop after N seconds")
    rec.add_argument("--ports", nargs="+", metavar="NODE.PORT", help="the output ports to record")
    rec.add_argument("--log-dir", metavar="DIR", help="folder for the log file (as for run)")
    rec.set_defaults(func=command_record)

    replay = commands.add_parser("replay", help="run a pipeline over a recording",
                                 description="Run a saved pipeline (--pipeline, else the one stored "
                                 "in the recording) with its recorded sources replaced by a replay of "
                                 "REC.mcap, until everything is played and the nodes are done; "
                                 "optionally record every output port. Needs velarix[record].")
    replay.add_argument("file", metavar="REC.mcap", help="a recording written by Pipeline.record")
    replay.add_argument("--pipeline", metavar="FILE", help="the pipeline to run, saved (.json) or a graph "
                        "file (.toml, .yaml); default: the recording's own")
    replay.add_argument("--speed", default="1", metavar="X|max", help="1 plays at the recorded pace "
                        "(default), 2 twice as fast, max as fast as the pipeline takes the values")
    replay.add_argument("--loop", action="store_true", help="start again at the end (stop with "
                        "Ctrl-C or --seconds)")
    replay.add_argument("--record", metavar="OUT.mcap", help="record every output port of the run")
    replay.add_argument("--seconds", type=float, metavar="N", help="stop after N seconds")
    replay.add_argument("--log-dir", metavar="DIR", default="", help="folder for the log file "
                        "(default: none, the log stays in memory)")
    replay.add_argument("--allow-pickle", action="store_true", help="play pickled values too (unpickling "
                        "can run any code: only for files you trust)")
    _add_foxglove_option(replay)
    replay.set_defaults(func=command_replay)

    export = commands.add_parser("export", help="write a recording's values as CSV, npz or parquet files",
                                 description="Write each port of a recording (or any MCAP file with "
                                 "JSON channels) to a file of its own in DIR, the times (ns) in the "
                                 "first column; parquet needs pyarrow (velarix[analysis]).")
    export.add_argument("file", metavar="REC.mcap", help="a recording")
    export.add_argument("--format", choices=["csv", "npz", "parquet"], default="csv", help="the files' format")
    export.add_argument("--out", required=True, metavar="DIR", help="the folder to write to")
    export.add_argument("--allow-pickle", action="store_true", help="read pickled values too (unpickling "
                        "can run any code: only for files you trust)")
    export.set_defaults(func=command_export)

    info = commands.add_parser("info", help="describe a recording",
                               description="Print a recording's channels with their encodings, "
                               "value counts and rates, its duration and size.")
    info.add_argument("file", metavar="REC.mcap")
    info.set_defaults(func=command_info)

    graphfile_cli.add_commands(commands, CommandError)
    _add_optional_commands(commands)
    return parser


def _add_optional_commands(commands: Any) -> None:
    """Commands of optional parts of the package, present when they import."""
    try:  # the cluster extra: `worker`, `keys`
        cluster_cli = importlib.import_module("velarix.cluster.cli")
    except ImportError:
        return
    cluster_cli.add_commands(commands)


def _import_from_current_folder() -> None:
    """Put the current folder first on sys.path, as `python -m velarix` has it; the
    installed `velarix` script starts with its own folder there instead."""
    folder = os.getcwd()
    if not any(entry in ("", folder) or os.path.abspath(entry) == folder for entry in sys.path):
        sys.path.insert(0, folder)


def _parse(parser: argparse.ArgumentParser, argv: Optional[Sequence[str]]) -> argparse.Namespace:
    """`parser.parse_args(argv)`, but an option the command does not take is reported
    with that command's usage (argparse would show the top-level one)."""
    args, unknown = parser.parse_known_args(argv)
    if unknown:
        commands = next(action for action in parser._actions if isinstance(action, argparse._SubParsersAction))
        command = commands.choices.get(args.command, parser)
        command.error(f"unrecognized arguments: {' '.join(unknown)}")
    return args


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line; returns the exit code (0 ok, 1 failed run, 2 usage
    or file error)."""
    args = _parse(build_parser(), argv)
    _import_from_current_folder()
    # The commands report failures themselves (one line, or the failing node's
    # traceback after a run), so the log's entries are not echoed to stderr too.
    logging.getLogger("velarix").disabled = True
    try:
        code: int = args.func(args)
        sys.stdout.flush()  # here, so a closed pipe is seen below and not at exit
    except CommandError as error:
        print(f"velarix {args.command}: error: {error}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:  # Ctrl-C outside a run's watch loop, e.g. while loading
        print(f"velarix {args.command}: interrupted", file=sys.stderr)
        return 128 + 2
    except BrokenPipeError:  # `velarix show f.json | head`: the reader has gone
        # What is still buffered would fail again at exit: send it nowhere.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 128 + 13
    return code


if __name__ == "__main__":
    raise SystemExit(main())
