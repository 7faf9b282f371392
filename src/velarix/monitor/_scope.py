"""What the page's scope draws: the values of watched ports reduced, on the
server, to one (min, max) pair per screen column, so a fast stream reaches the
browser as a few thousand points per line whatever its rate, and its peaks stay.

Numbers make one line; a short numeric array (or list) is one sample of several
channels, a line each; an array of samples x channels is that many samples; a long
one-dimensional array is shown as itself, the latest one, as a line over its index
(a spectrum, a window of samples). Values arrive in batches (what a tap held at a
read); a batch's values are spread evenly over the time since the previous one."""

from __future__ import annotations

import math
import time
from typing import Any, Optional

from ._watch import Tap

MAX_CHANNELS = 16  # an array longer than this is drawn as one line over its index
MIN_COLUMNS, MAX_COLUMNS = 50, 2000
MIN_WINDOW, MAX_WINDOW = 0.5, 600.0
# Values a scope's tap keeps between two updates: 25 updates a second keep up with
# 200,000 values a second, and one update's work stays short (the pipeline's
# threads wait for the interpreter lock meanwhile).
TAP_SIZE = 8192


def _number(value: Any) -> Optional[float]:
    if isinstance(value, (bool, int, float)):
        number = float(value)
    elif type(value).__module__ == "numpy" and getattr(value, "shape", None) == ():
        try:
            number = float(value)
        except (TypeError, ValueError):
            return None
    else:
        return None
    return number if math.isfinite(number) else None


def _rows(value: Any) -> Optional[list[list[Any]]]:
    """A short array or list as its samples (rows of channels); None otherwise."""
    shape = getattr(value, "shape", None)
    if shape is not None and type(value).__module__ == "numpy":
        if getattr(value.dtype, "kind", "O") not in "biuf" or len(shape) == 0:
            return None
        if len(shape) == 1:
            return [value.tolist()] if 0 < shape[0] <= MAX_CHANNELS else None
        if len(shape) == 2 and 0 < shape[1] <= MAX_CHANNELS:
            return [list(row) for row in value.tolist()]
        return None
    if isinstance(value, (list, tuple)) and 0 < len(value) <= MAX_CHANNELS:
        if all(_number(item) is not None or item is None for item in value):
            return [list(value)]
    return None


def _long_array(value: Any) -> Optional[list[float]]:
    shape = getattr(value, "shape", None)
    if shape is not None and type(value).__module__ == "numpy" and getattr(value.dtype, "kind", "O") in "biuf":
        if len(shape) >= 1 and value.size > MAX_CHANNELS:
            return [float(x) for x in value.reshape(-1).tolist()]
        return None
    if isinstance(value, (list, tuple)) and len(value) > MAX_CHANNELS:
        numbers = [_number(item) for item in value]
        return [math.nan if x is None else x for x in numbers]
    return None


class Line:
    """One line over the rolling window: (min, max) per column of width `dt`."""

    def __init__(self, name: str, dt: float) -> None:
        self.name = name
        self._dt = dt
        self._columns: dict[int, list[float]] = {}
        self._changed: set[int] = set()

    def add(self, t: float, value: float) -> None:
        self._merge(int(t // self._dt), value, value)

    def add_run(self, since: float, span: float, numbers: list[float]) -> None:
        """numbers[k] at since + span * (k + 1), a column's worth at a time."""
        if span <= 0:
            self._merge(int(since // self._dt), min(numbers), max(numbers))
            return
        k, count = 0, len(numbers)
        while k < count:
            column = int((since + span * (k + 1)) // self._dt)
            # The first value past this column, at least one further.
            end = min(count, max(k + 1, math.ceil(((column + 1) * self._dt - since) / span) - 1))
            part = numbers[k:end]
            self._merge(column, min(part), max(part))
            k = end

    def _merge(self, column: int, low: float, high: float) -> None:
        seen = self._columns.get(column)
        if seen is None:
            self._columns[column] = [low, high]
        elif low < seen[0] or high > seen[1]:
            seen[0], seen[1] = min(low, seen[0]), max(high, seen[1])
        else:
            return
        self._changed.add(column)

    def news(self, oldest: int) -> list[list[float]]:
        """The columns changed since the last call, [column, min, max] each; columns
        before `oldest` are forgotten."""
        for column in [c for c in self._columns if c < oldest]:
            del self._columns[column]
        changed = sorted(c for c in self._changed if c >= oldest)
        self._changed.clear()
        return [[c, *self._columns[c]] for c in changed]


def reduce_array(values: list[float], columns: int) -> list[list[float]]:
    """[index, min, max] per column of an array drawn over its index."""
    if not values:
        return []
    step = max(1, math.ceil(len(values) / columns))
    out = []
    for start in range(0, len(values), step):
        part = [x for x in values[start:start + step] if not math.isnan(x)]
        if part:
            out.append([start, min(part), max(part)])
    return out


class PortTrace:
    """The lines of one watched port."""

    def __init__(self, name: str, tap: Tap, dt: float, columns: int) -> None:
        self.name = name
        self.tap = tap
        self._dt = dt
        self._columns = columns
        self.lines: list[Line] = []
        self._latest: Optional[list[float]] = None
        self._latest_changed = False
        self.skipped = 0  # values that are neither numbers nor numeric arrays

    def _line(self, channel: int, channels: int) -> Line:
        while len(self.lines) < channels:
            index = len(self.lines)
            self.lines.append(Line(self.name if channels == 1 else f"{self.name}[{index}]", self._dt))
        return self.lines[channel]

    def add(self, values: list[Any], since: float, now: float) -> None:
        if not values:
            return
        if set(map(type, values)) <= {int, float} and all(map(math.isfinite, values)):
            # Plain numbers, the common case: whole columns at a time, at C speed.
            self._line(0, 1).add_run(since, (now - since) / len(values), values)
            return
        samples: list[tuple[int, list[Any]]] = []  # (value index, channels) in order
        for index, value in enumerate(values):
            number = _number(value)
            if number is not None:
                samples.append((index, [number]))
                continue
            rows = _rows(value)
            if rows is not None:
                samples.extend((index, row) for row in rows)
                continue
            latest = _long_array(value)
            if latest is not None:
                self._latest, self._latest_changed = latest, True
            else:
                self.skipped += 1
        if not samples:
            return
        span = (now - since) / len(samples)
        for k, (_, row) in enumerate(samples):
            t = since + span * (k + 1)
            for channel, item in enumerate(row):
                number = _number(item)
                if number is not None:
                    self._line(channel, len(row)).add(t, number)

    def news(self, oldest: int) -> dict[str, Any]:
        news: dict[str, Any] = {"port": self.name, "dropped": self.tap.dropped(),
                                "lines": [{"name": line.name, "points": line.news(oldest)} for line in self.lines]}
        if self._latest_changed and self._latest is not None:
            news["array"] = reduce_array(self._latest, self._columns)
            news["array_length"] = len(self._latest)
            self._latest_changed = False
        return news


class Scope:
    """A page's scope: a tap and lines per chosen port over a window of `window`
    seconds drawn on `columns` columns. `update()` reads the taps and says what
    changed; `close()` unlinks the taps."""

    def __init__(self, ports: dict[str, Any], window: float, columns: int) -> None:
        self.window = min(max(float(window), MIN_WINDOW), MAX_WINDOW)
        self.columns = min(max(int(columns), MIN_COLUMNS), MAX_COLUMNS)
        self.dt = self.window / self.columns
        self._start = time.monotonic()
        self._last = 0.0
        self.traces: list[PortTrace] = []
        try:
            for name, port in ports.items():
                self.traces.append(PortTrace(name, Tap(port, TAP_SIZE), self.dt, self.columns))
        except BaseException:
            self.close()
            raise

    def update(self) -> dict[str, Any]:
        now = time.monotonic() - self._start
        for trace in self.traces:
            trace.add(trace.tap.take(), self._last, now)
        self._last = now
        oldest = int((now - self.window) // self.dt)
        return {"t": now, "dt": self.dt, "window": self.window,
                "ports": [trace.news(oldest) for trace in self.traces]}

    def close(self) -> None:
        for trace in self.traces:
            trace.tap.close()
