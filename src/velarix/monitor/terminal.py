"""A live table of a running pipeline in the terminal: per node its state,
condition, load, rates, p99 step time and deepest queue; the pipeline's elapsed
time and condition; the latest warnings and errors below. Where the output is not
a terminal (nor a notebook) it falls back to one plain line per refresh."""

from __future__ import annotations

import os
import re
import threading
import time
from typing import TYPE_CHECKING, Any, Literal, Optional

from .._stats import deepest_queue, oldest_input
from ..constants import Constants
from ..logger import LogType
from ._run import Reading, RunClock

if TYPE_CHECKING:
    from ..logger import LogEntry
    from ..pipeline import Pipeline

_RECENT_PROBLEMS = 5

# C0 controls, DEL and C1 controls: a terminal acts on them (ESC starts an escape
# sequence, C1's CSI too), so names and messages show them as \xNN instead.
_CONTROLS = re.compile("[\x00-\x1f\x7f-\x9f]")
_CONTROLS_BUT_LINES = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f]")


def _escape(match: re.Match[str]) -> str:
    return f"\\x{ord(match.group()):02x}"


def visible(text: object, lines: bool = False) -> str:
    """`text` with its control characters written out as \\xNN, so that printing
    it moves no cursor and starts no escape sequence; `lines` keeps newlines and
    tabs."""
    return (_CONTROLS_BUT_LINES if lines else _CONTROLS).sub(_escape, str(text))


def _milliseconds(seconds: Optional[float]) -> str:
    return "-" if seconds is None else f"{seconds * 1000:.2f}"


def _figure(value: float) -> str:
    # Rates can be large: drop the decimal from 1000 on, so the column stays narrow.
    return f"{value:.1f}" if abs(value) < 1000 else f"{value:.0f}"


def _problems(pipeline: Pipeline) -> list[LogEntry]:
    entries = [e for e in pipeline.get_logger().get_all()
               if e["type"] in (LogType.WARNING.value, LogType.ERROR.value)]
    return entries[-_RECENT_PROBLEMS:]


def _title(reading: Reading) -> str:
    title = f"{reading.state}  {reading.condition}  elapsed {reading.elapsed:.1f} s"
    threads = reading.threads_text()
    return f"{title}  {threads}" if threads else title


def render(pipeline: Pipeline, clock: Optional[RunClock] = None) -> Any:
    """The monitor's picture of `pipeline` now, as a rich renderable. `clock`
    keeps the elapsed time of a run after it has stopped (LiveMonitor passes its
    own); without it the elapsed time is the pipeline's."""
    from . import _require

    _require("rich")
    from rich import box
    from rich.console import Group
    from rich.table import Table
    from rich.text import Text

    reading = (clock or RunClock()).read(pipeline)
    # No vertical rules and the units in the header: nine columns fit 80 columns,
    # and names too long for their column end in an ellipsis instead of wrapping.
    table = Table(title=Text(_title(reading)), title_justify="left", expand=False,
                  box=box.SIMPLE_HEAD, pad_edge=False, show_edge=False,
                  collapse_padding=True)
    for column in ("node", "class"):
        table.add_column(column, overflow="ellipsis", min_width=4)
    for column in ("state", "condition"):
        table.add_column(column, no_wrap=True)
    for column in ("load %", "in /s", "out /s", "p99 ms", "age ms", "queue"):
        table.add_column(column, justify="right", no_wrap=True)

    def name(text: object) -> Any:
        return Text(visible(text), no_wrap=True, overflow="ellipsis")

    every = pipeline.get_stats()
    on_ray = any(isinstance(s, dict) and s.get("ray_node") for s in every)  # workers on Ray: where each runs
    if on_ray:
        table.add_column("ray node", no_wrap=True)
    for stats in every:
        healthy = stats["condition"] == Constants.Conditions.HEALTHY
        deepest = deepest_queue(stats)
        table.add_row(
            name(stats["name"]), name(stats["class"]), Text(visible(stats["state"])),
            Text(visible(stats["condition"]), style="green" if healthy else "bold red"),
            _figure(stats["load"]), _figure(stats["rate_in"]), _figure(stats["rate_out"]),
            _milliseconds(stats["step_time"]["p99"]), _milliseconds(oldest_input(stats)),
            "-" if deepest is None else str(deepest),
            *([name(stats.get("ray_node") or "-")] if on_ray else []),
        )
    replays = [Text(replay_line(stats), style="cyan") for stats in every if "replay" in stats]
    lines = [Text(f"{e['type']:<8} {visible(e['message'], lines=True)}",
                  style="red" if e["type"] == "ERROR" else "yellow")
             for e in _problems(pipeline)]
    return Group(table, *replays, *lines)


def replay_line(stats: dict[str, Any]) -> str:
    """A replay node's play as one line: position, duration, speed and what is left."""
    play = stats["replay"]
    speed = play["speed"]
    pace = "max" if speed == "max" else f"{speed:g}x"
    left = play["remaining"] if speed == "max" else play["remaining"] / speed
    done = 100.0 * play["replayed"] / play["total"] if play["total"] else 100.0
    state = "finished" if play["finished"] else "paused" if play["paused"] else "playing"
    loops = f", loop {play['loops'] + 1}" if play["loops"] else ""
    return (f"replay {visible(stats['name'])}: {state} {_seconds(play['position'])} of "
            f"{_seconds(play['duration'])} s ({done:.0f}% of {play['total']} values{loops}), speed {pace}, "
            f"{'-' if speed == 'max' else _seconds(left) + ' s'} left")


def _seconds(value: float) -> str:
    return f"{value:.2f}" if value < 10 else f"{value:.1f}"


def plain_line(pipeline: Pipeline, clock: Optional[RunClock] = None) -> str:
    """One line of text for logs and pipes: state, condition, elapsed, highest load."""
    reading = (clock or RunClock()).read(pipeline)
    report = pipeline.get_load()
    highest = report[-1]["load"] if report else 0.0
    return (f"{reading.state} {reading.condition} "
            f"elapsed {reading.elapsed:.1f} s, highest load {highest:.1f}%")


def fit_to_terminal(console: Any) -> None:
    """Give a rich `console` on a terminal that calls itself dumb (TERM=dumb, as
    the shells of editors and tools do) the width of its window: rich takes 80
    columns there however wide the window is, and the names are cut to fit."""
    if not (console.is_terminal and console.is_dumb_terminal):
        return
    try:
        size = os.get_terminal_size(console.file.fileno())
    except (AttributeError, OSError, ValueError):  # no file descriptor, or not a window
        return
    if size.columns > 0 and size.lines > 0:
        console.size = (size.columns, size.lines)


def _notebook_widgets() -> bool:
    import importlib.util

    return all(importlib.util.find_spec(name) is not None for name in ("IPython", "ipywidgets"))


class LiveMonitor:
    """Shows `pipeline` live while the `with` block runs (or between start() and
    stop()): a table refreshed `refresh` times a second on a terminal or in a
    notebook, else a plain line every `plain_interval` seconds. `console` is a rich
    Console (default: rich's own for stdout); on a terminal that calls itself
    dumb (TERM=dumb) the table still takes the window's width. The last picture,
    drawn at stop(), keeps the elapsed time of the run it watched."""

    def __init__(self, pipeline: Pipeline, refresh: float = 4.0, console: Any = None,
                 plain_interval: float = 5.0) -> None:
        self._pipeline = pipeline
        self._refresh = refresh
        self._console = console
        self._plain_interval = plain_interval
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = None
        self._clock = RunClock()

    def start(self) -> None:
        from . import _require

        _require("rich")
        from rich.console import Console

        if self._thread is not None:
            return
        console = self._console or Console()
        # In a notebook rich's Live draws into the cell's output through ipywidgets;
        # elsewhere off a terminal it would only stack frames, so plain lines instead.
        live = console.is_terminal or (console.is_jupyter and _notebook_widgets())
        target = self._live if live else self._plain
        self._stop.clear()
        self._clock = RunClock()
        self._thread = threading.Thread(target=target, args=(console,), daemon=True,
                                         name="velarix-monitor")
        self._thread.start()

    def stop(self) -> None:
        self._stop.set()
        if self._thread is not None and self._thread is not threading.current_thread():
            self._thread.join(timeout=5.0)
        self._thread = None

    def __enter__(self) -> LiveMonitor:
        self.start()
        return self

    def __exit__(self, *exc: object) -> Literal[False]:
        self.stop()
        return False

    def _live(self, console: Any) -> None:
        from rich.live import Live

        fit_to_terminal(console)
        with Live(render(self._pipeline, self._clock), console=console,
                  refresh_per_second=self._refresh) as live:
            while not self._stop.wait(1.0 / self._refresh):
                fit_to_terminal(console)  # the window may have been resized
                live.update(render(self._pipeline, self._clock))
            live.update(render(self._pipeline, self._clock), refresh=True)

    def _plain(self, console: Any) -> None:
        # The clock reads the pipeline at every refresh, between the lines too: a run
        # that ends before the next line still has its elapsed time in the last one.
        interval = min(1.0 / self._refresh, self._plain_interval)
        due = time.monotonic() + self._plain_interval
        while not self._stop.wait(interval):
            if time.monotonic() < due:
                self._clock.read(self._pipeline)
                continue
            due += self._plain_interval
            console.print(plain_line(self._pipeline, self._clock), highlight=False, markup=False)
        if console.is_jupyter:  # a notebook shows the table as its last picture
            console.print(render(self._pipeline, self._clock))
        else:
            console.print(plain_line(self._pipeline, self._clock), highlight=False, markup=False)
