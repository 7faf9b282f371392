"""`velarix replay`: run a pipeline over a recording, its recorded sources replaced."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any, Optional

from .._saving import check_saved_pipeline
from ..errors import NotAPipelineError, PipelineError
from ..graphfile import is_graph_file
from ..pipeline import Pipeline
from ._common import EXIT_FAILED, EXIT_OK, CommandError, deserialize, failure_report, load_pipeline
from ._recordings import cut_short_note, open_recording
from .run import add_foxglove_option, serve_foxglove


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
        return deserialize(data, path, log_dir)
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


def command_replay(args: argparse.Namespace) -> int:
    """`velarix replay`: run a pipeline over a recording, its recorded sources replaced."""
    speed = _speed(args.speed)
    if args.seconds is not None and args.seconds < 0:
        raise CommandError("--seconds must not be negative")
    reader = open_recording(args.file, args.allow_pickle)
    from ..record._offline import run_offline

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
                                 else lambda: serve_foxglove(pipeline, args.foxglove))
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
    cut_short_note("replay", args.file, figures["problem"] if figures["problem"] != "stopped" else None)
    print(f"replayed {figures['replayed']} values of {args.file} in place of "
          f"{', '.join(result['replaced'])}")
    recorded = result["recording"]
    if recorded is not None:
        print(f"recorded {recorded['recorded']} values ({recorded['dropped']} dropped) to {args.record}")
    file_name = pipeline.get_logger().get_file_name()
    if file_name:
        print(f"log: {file_name}")
    return EXIT_OK


def add_command(commands: Any) -> None:
    """Add `velarix replay` to the subcommands of the parser."""
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
    add_foxglove_option(replay)
    replay.set_defaults(func=command_replay)
