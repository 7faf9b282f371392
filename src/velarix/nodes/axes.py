"""What a chunk is and the stream description that says how to read it.

A chunk is ``{"samples": 2-D array, "timestamps": 1-D array}``, one timestamp
per row of samples. Any other key of a chunk (an epoch's ``label``, say) goes on
with what the node makes of it. The stream description travels as the port metadata of a
chunk stream (each node reads its input's and passes its own on):

- ``nominal_srate``: rows per second of a time axis (0: irregular);
- ``channel_count`` and ``channel_names``: the columns;
- ``channel_format``: the samples' type (``"float32"``, ``"double64"``, ...);
- ``units``: one unit (a str) for every channel, or a list of one per channel;
- ``axes``: what the two axes of ``samples`` are, ``["time", "channel"]`` when
  absent; a spectrum's rows are ``"frequency"``, listed in ``frequencies`` (Hz).

A node that gets a chunk whose shape disagrees with the description fails with
one ERROR that names the shape it got and what the description says.
"""

from __future__ import annotations

from typing import Any, Optional

from ..node import Node, PortData, PortMetadata

try:
    import numpy as np
except ImportError as _error:  # pragma: no cover - the extra is installed by make test
    raise ImportError("velarix.nodes needs numpy and scipy; install them with: "
                      "pip install 'velarix[nodes]'") from _error

CHANNEL_COUNT = "channel_count"
CHANNEL_NAMES = "channel_names"
NOMINAL_SRATE = "nominal_srate"
CHANNEL_FORMAT = "channel_format"
UNITS = "units"
AXES = "axes"
FREQUENCIES = "frequencies"

TIME = "time"
CHANNEL = "channel"
FREQUENCY = "frequency"
DEFAULT_AXES = [TIME, CHANNEL]

# The channel formats of the stream description, by numpy dtype.
_FORMATS = {"float32": "float32", "float64": "double64", "int8": "int8", "int16": "int16",
            "int32": "int32", "int64": "int64"}


def channel_format(dtype: Any) -> str:
    """The stream description's name for a numpy dtype ("double64" for float64)."""
    name = str(np.dtype(dtype).name)
    return _FORMATS.get(name, name)


def dtype_of(description: dict[str, Any]) -> Optional[Any]:
    """The numpy dtype the description's ``channel_format`` names, or None."""
    name = description.get(CHANNEL_FORMAT)
    if not isinstance(name, str):
        return None
    try:
        return np.dtype("float64" if name == "double64" else name)
    except TypeError:
        return None


def make_chunk(samples: Any, timestamps: Any) -> dict[str, Any]:
    """A chunk: ``{"samples": 2-D array (time x channels), "timestamps": 1-D array}``."""
    return {"samples": samples, "timestamps": timestamps}


def describe(rate: float, channels: list[str], dtype: Any = np.float64,
             units: Optional[Any] = None) -> dict[str, Any]:
    """A stream description of `channels` (their names) at `rate` rows per second."""
    description: dict[str, Any] = {NOMINAL_SRATE: float(rate), CHANNEL_COUNT: len(channels),
                                   CHANNEL_NAMES: list(channels), CHANNEL_FORMAT: channel_format(dtype),
                                   AXES: list(DEFAULT_AXES)}
    if units is not None:
        description[UNITS] = units
    return description


def channel_labels(description: dict[str, Any]) -> list[str]:
    """The channels' names, ``"0"``, ``"1"``... where the description has a count
    but no names, none where it has neither."""
    names = description.get(CHANNEL_NAMES)
    if isinstance(names, list) and names:
        return [str(name) for name in names]
    count = description.get(CHANNEL_COUNT)
    if isinstance(count, int) and not isinstance(count, bool) and count > 0:
        return [str(index) for index in range(count)]
    return []


def axes_of(description: dict[str, Any]) -> list[str]:
    """The description's two axes (``["time", "channel"]`` when it names none)."""
    axes = description.get(AXES)
    return [str(axis) for axis in axes] if isinstance(axes, list) and len(axes) == 2 else list(DEFAULT_AXES)


def with_channels(description: dict[str, Any], names: list[str]) -> dict[str, Any]:
    """The description with new channels (their count and names); per-channel
    units are dropped unless they still match."""
    out = dict(description)
    out[CHANNEL_COUNT] = len(names)
    out[CHANNEL_NAMES] = list(names)
    units = out.get(UNITS)
    if isinstance(units, list) and len(units) != len(names):
        out.pop(UNITS)
    return out


def check_chunk(owner: str, samples: Any, timestamps: Any, description: dict[str, Any]) -> None:
    """Raise ValueError, naming the shape got, where a chunk disagrees with its
    description: 2-D samples, one timestamp per row, ``channel_count`` columns,
    and on a frequency axis one row per listed frequency."""
    axes = axes_of(description)
    if samples.ndim != 2:
        raise ValueError(f"{owner}: a chunk's samples must be 2-D ({axes[0]} x {axes[1]}), "
                         f"got shape {samples.shape}.")
    if timestamps.ndim != 1 or timestamps.shape[0] != samples.shape[0]:
        raise ValueError(f"{owner}: a chunk's timestamps must be 1-D with one per sample "
                         f"({samples.shape[0]}), got shape {timestamps.shape}.")
    count = description.get(CHANNEL_COUNT)
    if isinstance(count, int) and samples.shape[1] != count:
        raise ValueError(f"{owner}: a chunk has {samples.shape[1]} channels (samples of shape "
                         f"{samples.shape}), the stream {count} ({axes[0]} x {axes[1]}).")
    frequencies = description.get(FREQUENCIES)
    if axes[0] == FREQUENCY and isinstance(frequencies, list) and samples.shape[0] != len(frequencies):
        raise ValueError(f"{owner}: a spectrum chunk has {samples.shape[0]} rows (samples of shape "
                         f"{samples.shape}), the description {len(frequencies)} frequencies.")


def pass_description(self: Node, data: PortData, metadata: PortMetadata) -> PortMetadata:
    """A `setup` that passes the stream description on unchanged: each output
    port gets the metadata of the first input port that has any. In a node's
    class body, ``setup = pass_description`` is all it takes."""
    given = next((dict(value) for value in metadata.values() if value), {})
    return {name: dict(given) for name in getattr(self._imp, "_output_ports", {})}


__all__ = ["AXES", "CHANNEL", "CHANNEL_COUNT", "CHANNEL_FORMAT", "CHANNEL_NAMES", "DEFAULT_AXES", "FREQUENCIES",
           "FREQUENCY", "NOMINAL_SRATE", "TIME", "UNITS", "axes_of", "channel_format", "channel_labels",
           "check_chunk", "describe", "dtype_of", "make_chunk", "pass_description", "with_channels"]
