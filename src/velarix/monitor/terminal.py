"""A live table of a running pipeline in the terminal: per node its state,
condition, load, rates, p99 step time and deepest queue; the pipeline's elapsed
time and condition; the latest warnings and errors below. Where the output is not
a terminal it falls back to one plain line per refresh."""

from __future__ import annotations

import threading
from typing import TYPE_CHECKING, Any, Literal, Optional

from .._stats import deepest_queue
from ..constants import Constants
from ..logger import LogType

if TYPE_CHECKING:
    from ..logger import LogEntry
    from ..pipeline import Pipeline

_RECENT_PROBLEMS = 5


def _milliseconds(seconds: Optional[float]) -> str:
    return "-" if seconds is None else f"{seconds * 1000:.2f} ms"


def _problems(pipeline: Pipeline) -> list[LogEntry]:
    entries = [e for e in pipeline.get_logger().get_all()
               if e["type"] in (LogType.WARNING.value, LogType.ERROR.value)]
    return entries[-_RECENT_PROBLEMS:]


def render(pipeline: Pipeline) -> Any:
    """The monitor's picture of `pipeline` now, as a rich renderable."""
    from . import _require

    _require("rich")
    from rich.console import Group
    from rich.table import Table
    from rich.text import Text

    condition = pipeline.get_condition()
    title = (f"{pipeline.get_state()}  {condition}  "
             f"elapsed {pipeline.get_elapsed_time():.1f} s")
    table = Table(title=title, title_justify="left", expand=False)
    for column in ("node", "class", "state", "condition"):
        table.add_column(column)
    for column in ("load %", "in /s", "out /s", "p99 step", "queue"):
        table.add_column(column, justify="right")
    for stats in pipeline.get_stats():
        healthy = stats["condition"] == Constants.Conditions.HEALTHY
        deepest = deepest_queue(stats)
        table.add_row(
            str(stats["name"]), stats["class"], str(stats["state"]),
            Text(str(stats["condition"]), style="green" if healthy else "bold red"),
            f"{stats['load']:.1f}", f"{stats['rate_in']:.1f}", f"{stats['rate_out']:.1f}",
            _milliseconds(stats["step_time"]["p99"]), "-" if deepest is None else str(deepest),
        )
    lines = [Text(f"{e['type']:<8} {e['message']}", style="red" if e["type"] == "ERROR" else "yellow")
             for e in _problems(pipeline)]
    return Group(table, *lines)


def plain_line(pipeline: Pipeline) -> str:
    """One line of text for logs and pipes: state, condition, elapsed, highest load."""
    report = pipeline.get_load()
    highest = report[-1]["load"] if report else 0.0
    return (f"{pipeline.get_state()} {pipeline.get_condition()} "
            f"elapsed {pipeline.get_elapsed_time():.1f} s, highest load {highest:.1f}%")


class LiveMonitor:
    """Shows `pipeline` live while the `with` block runs (or between start() and
    stop()): a table refreshed `refresh` times a second on a terminal, else a
    plain line every `plain_interval` seconds. `console` is a rich Console
    (default: stdout)."""

    def __init__(self, pipeline: Pipeline, refresh: float = 4.0, console: Any = None,
                 plain_interval: float = 5.0) -> None:
        self._pipeline = pipeline
        self._refresh = refresh
        self._console = console
        self._plain_interval = plain_interval
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = None

    def start(self) -> None:
        from . import _require

        _require("rich")
        from rich.console import Console

        if self._thread is not None:
            return
        console = self._console or Console()
        target = self._live if console.is_terminal else self._plain
        self._stop.clear()
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

        with Live(render(self._pipeline), console=console, refresh_per_second=self._refresh) as live:
            while not self._stop.wait(1.0 / self._refresh):
                live.update(render(self._pipeline))
            live.update(render(self._pipeline))

    def _plain(self, console: Any) -> None:
        while not self._stop.wait(self._plain_interval):
            console.print(plain_line(self._pipeline), highlight=False)
        console.print(plain_line(self._pipeline), highlight=False)
