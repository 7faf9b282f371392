"""Channel nodes: pick channels, re-reference them, mix them through a matrix
(a spatial filter), and put two streams' channels side by side."""

from __future__ import annotations

import copy
from typing import Any, Optional

from ..constants import Constants
from ..imp import SKIP
from ..node import PortData, PortMetadata, StepResult
from ._base import EXTRA_HINT, ChunkNode
from .axes import CHANNEL_COUNT, NOMINAL_SRATE, channel_labels, make_chunk, with_channels

try:
    import numpy as np
except ImportError as _error:  # pragma: no cover - the extra is installed by make test
    raise ImportError(EXTRA_HINT) from _error


def _channel_list(owner: str, key: str, value: Any, least: int = 1) -> list[Any]:
    """A list of channel names (str) or indices (int)."""
    values = [value] if isinstance(value, (str, int)) and not isinstance(value, bool) else value
    if isinstance(values, tuple):
        values = list(values)
    if not isinstance(values, list) or len(values) < least or not all(
            isinstance(v, str) or (isinstance(v, int) and not isinstance(v, bool)) for v in values):
        raise TypeError(f"{owner}: {key} must be channel names or indices, got {value!r}.")
    return values


def _indices(owner: str, wanted: list[Any], description: dict[str, Any]) -> list[int]:
    """The column of each wanted channel (a name of the description, or an index)."""
    names = channel_labels(description)
    count = description.get(CHANNEL_COUNT)
    found = []
    for channel in wanted:
        if isinstance(channel, str):
            if channel not in names:
                raise ValueError(f"{owner}: the stream has no channel {channel!r}; it has {names}.")
            found.append(names.index(channel))
        elif isinstance(count, int) and not -count <= channel < count:
            raise ValueError(f"{owner}: channel index {channel} is outside the stream's {count} channels.")
        else:
            found.append(channel % count if isinstance(count, int) else channel)
    return found


class Select(ChunkNode):
    """The channels named in ``channels`` (names of the description, or indices),
    in that order: ``x[:, columns]``. The description passed on lists them."""

    class Configuration(ChunkNode.Configuration):
        """Adds ``channels``."""

        class Keys(ChunkNode.Configuration.Keys):
            CHANNELS = "channels"

    def _check(self, entries: dict[str, Any]) -> None:
        entries["channels"] = _channel_list(type(self).__name__, "channels", entries.get("channels"))

    def _configure(self, description: dict[str, Any]) -> dict[str, Any]:
        self._columns = _indices(self._owner(), self.config["channels"], description)
        names = channel_labels(description)
        units = description.get("units")
        out = with_channels(description, [names[i] for i in self._columns] if names else
                            [str(c) for c in self._columns])
        if isinstance(units, list) and len(units) == len(names):
            out["units"] = [units[i] for i in self._columns]
        return out

    def _process(self, samples: Any, timestamps: Any) -> list[dict[str, Any]]:
        return [make_chunk(samples[:, self._columns], timestamps)]


class Reference(ChunkNode):
    """Re-referencing: every channel minus a reference signal, ``x - r[:, None]``.
    ``reference`` is ``"average"`` (the default: the common average, ``r =
    x.mean(axis=1)``), a channel (name or index: ``r = x[:, c]``), or a list of
    channels whose mean is the reference (linked mastoids: ``["M1", "M2"]``).
    ``drop`` (default False) leaves the reference channels out of the output."""

    class Configuration(ChunkNode.Configuration):
        """Adds ``reference`` and ``drop``."""

        class Keys(ChunkNode.Configuration.Keys):
            REFERENCE = "reference"
            DROP = "drop"

    def _check(self, entries: dict[str, Any]) -> None:
        reference = entries.setdefault("reference", "average")
        if reference != "average":
            entries["reference"] = _channel_list(type(self).__name__, "reference", reference)
        if not isinstance(entries.setdefault("drop", False), bool):
            raise TypeError(f"{type(self).__name__}: drop must be True or False.")

    def _configure(self, description: dict[str, Any]) -> dict[str, Any]:
        reference = self.config["reference"]
        self._columns: Optional[list[int]] = None
        self._kept: Optional[list[int]] = None
        if reference == "average":
            return description
        self._columns = _indices(self._owner(), reference, description)
        if not self.config["drop"]:
            return description
        names = channel_labels(description)
        self._kept = [i for i in range(len(names)) if i not in self._columns]
        return with_channels(description, [names[i] for i in self._kept])

    def _single(self, samples: Any, timestamps: Any) -> Optional[dict[str, Any]]:
        # The usual case, the common average of a float chunk, has nothing between
        # the chunk and numpy's three calls.
        count = samples.shape[1]
        if self._columns is not None or not (count and samples.dtype.char in _FLOATS and samples.flags.writeable):
            return None
        total = _sum(samples, axis=1, keepdims=True)  # as in _row_mean; a float count divides a little sooner
        return {"samples": _subtract(samples, _divide(total, float(count), total), samples), "timestamps": timestamps}

    def _process(self, samples: Any, timestamps: Any) -> list[dict[str, Any]]:
        columns = self._columns
        if columns is None:
            reference = _row_mean(samples)
        elif len(columns) == 1:
            reference = samples[:, columns]
        else:
            reference = _row_mean(samples[:, columns])
        if samples.dtype.char in _FLOATS and samples.flags.writeable:
            # The step's input is its own copy: subtracting in place saves an array per chunk.
            out = _subtract(samples, reference, out=samples)
        else:
            out = samples - reference
        return [make_chunk(out if self._kept is None else out[:, self._kept], timestamps)]


#: float32 and float64: their row mean and difference keep the type, so both can reuse arrays.
_FLOATS = "fd"
_sum, _divide, _subtract = np.add.reduce, np.true_divide, np.subtract


def _row_mean(samples: Any) -> Any:
    """``samples.mean(axis=1, keepdims=True)``, the same bits, without its per-call
    dispatch (a third of the work on a small chunk): numpy's mean of floats is this
    sum divided in place by the count."""
    count = samples.shape[1]
    if samples.dtype.char not in _FLOATS or not count:
        return samples.mean(axis=1, keepdims=True)
    total = _sum(samples, axis=1, keepdims=True)
    return _divide(total, count, out=total)


class Affine(ChunkNode):
    """A spatial filter: ``x @ matrix.T + offset``, ``matrix`` one row per output
    channel (a list of lists, or an array: it is saved as lists), ``offset`` one
    number per output channel (default none), ``names`` the output channels'
    names (default ``"c0"``, ``"c1"``...). A CSP or ICA unmixing matrix goes here.
    """

    class Configuration(ChunkNode.Configuration):
        """Adds ``matrix``, ``offset`` and ``names``."""

        class Keys(ChunkNode.Configuration.Keys):
            MATRIX = "matrix"
            OFFSET = "offset"
            NAMES = "names"

    def _check(self, entries: dict[str, Any]) -> None:
        owner = type(self).__name__
        try:
            matrix = np.asarray(entries.get("matrix"), dtype=np.float64)
        except (TypeError, ValueError) as error:
            raise TypeError(f"{owner}: matrix must be numbers, rows of equal length: {error}") from error
        if matrix.ndim != 2 or 0 in matrix.shape or not np.all(np.isfinite(matrix)):
            raise ValueError(f"{owner}: matrix must be 2-D (outputs x inputs) and finite, got shape {matrix.shape}.")
        entries["matrix"] = matrix.tolist()
        offset = entries.setdefault("offset", None)
        if offset is not None:
            offset = np.asarray(offset, dtype=np.float64).reshape(-1)
            if offset.shape != (matrix.shape[0],):
                raise ValueError(f"{owner}: offset needs one number per output channel ({matrix.shape[0]}).")
            entries["offset"] = offset.tolist()
        names = entries.setdefault("names", [f"c{i}" for i in range(matrix.shape[0])])
        if not isinstance(names, list) or len(names) != matrix.shape[0] or not all(isinstance(n, str) for n in names):
            raise ValueError(f"{owner}: names needs one str per output channel ({matrix.shape[0]}).")

    def _configure(self, description: dict[str, Any]) -> dict[str, Any]:
        self._matrix = np.asarray(self.config["matrix"], dtype=np.float64)
        count = description.get(CHANNEL_COUNT)
        if isinstance(count, int) and count != self._matrix.shape[1]:
            raise ValueError(f"{self._owner()}: matrix takes {self._matrix.shape[1]} channels, the stream has "
                             f"{count}.")
        self._shape[CHANNEL_COUNT] = self._matrix.shape[1]
        offset = self.config["offset"]
        self._offset = None if offset is None else np.asarray(offset)
        out = with_channels(description, list(self.config["names"]))
        out.pop("units", None)
        out["channel_format"] = "double64"
        return out

    def _process(self, samples: Any, timestamps: Any) -> list[dict[str, Any]]:
        out = samples @ self._matrix.T
        return [make_chunk(out if self._offset is None else out + self._offset, timestamps)]


class Merge(ChunkNode):
    """Two streams' channels side by side, aligned by time: the input ports ``a``
    and ``b`` (the same sample rate) each take a chunk per step; the node drops
    the samples of the stream that began earlier until their first timestamps
    are within half a sample of each other, then gives row ``k`` of ``a`` next to
    row ``k`` of ``b``, with ``a``'s timestamps, as soon as both have it. The
    description is ``a``'s with ``b``'s channels after ``a``'s (a name both have
    gets its port's name added: ``"Cz_b"``)."""

    INPUTS = ("a", "b")

    def setup(self, data: PortData, metadata: PortMetadata) -> Optional[PortMetadata]:
        self._ready = False
        ports = [str(port["name"]) for port in self.config[self.Configuration.Keys.INPUT_PORTS]]
        self._out = self._port_name(self.Configuration.Keys.OUTPUT_PORTS, Constants.Defaults.PORT_OUT)
        self._in = ports[0]
        self._ports = ports
        first, second = (copy.deepcopy(dict(metadata.get(port) or {})) for port in ports)
        self._shapes = [dict(first), dict(second)]
        self._upstream = first
        rate = self._rate("rate", first)
        other = second.get(NOMINAL_SRATE)
        if isinstance(other, (int, float)) and other > 0 and float(other) != rate:
            raise ValueError(f"{self._owner()}: {ports[0]} is at {rate} Hz, {ports[1]} at {other} Hz; resample "
                             f"one first.")
        self._tolerance = 0.5 / rate
        self._held: list[Optional[tuple[Any, Any]]] = [None, None]
        self._aligned = False
        names_a, names_b = channel_labels(first), channel_labels(second)
        out = dict(first)
        if names_a and names_b:
            names = names_a + [f"{n}_{ports[1]}" if n in names_a else n for n in names_b]
            out = with_channels(first, names)
            out.pop("units", None)
        self._ready = True
        return {self._out: out}

    def step(self, data: PortData) -> StepResult:
        if not getattr(self, "_ready", False):
            return SKIP
        for side, port in enumerate(self._ports):
            self._shape = self._shapes[side]
            self._columns_seen = -1  # each side is checked against its own description
            samples, stamps = self._unpack(data[port])
            held = self._held[side]
            self._held[side] = (samples, stamps) if held is None else (
                np.concatenate((held[0], samples)), np.concatenate((held[1], stamps)))
        a, b = self._held
        assert a is not None and b is not None
        if not self._aligned:
            a, b = self._align(a, b)
        rows = min(len(a[1]), len(b[1]))
        self._held = [(a[0][rows:], a[1][rows:]), (b[0][rows:], b[1][rows:])]
        if not rows:
            return SKIP
        return {self._out: make_chunk(np.concatenate((a[0][:rows], b[0][:rows]), axis=1), a[1][:rows])}

    def _align(self, a: tuple[Any, Any], b: tuple[Any, Any]) -> tuple[tuple[Any, Any], tuple[Any, Any]]:
        if len(a[1]) and len(b[1]):
            start = max(a[1][0], b[1][0]) - self._tolerance
            a = (a[0][a[1] >= start], a[1][a[1] >= start])
            b = (b[0][b[1] >= start], b[1][b[1] >= start])
            self._aligned = bool(len(a[1]) and len(b[1]))
        return a, b



__all__ = ["Affine", "Merge", "Reference", "Select"]
