"""A recording's values per port as tables: numpy arrays, pandas data frames, and
CSV, npz or parquet files (one per port, the times in ns first)."""

from __future__ import annotations

import csv
import importlib
import json
import os
import re
from typing import TYPE_CHECKING, Any, Callable, Optional

if TYPE_CHECKING:
    from ._format import RecordingReader

FORMATS = ("csv", "npz", "parquet")


def port_values(reader: RecordingReader, topics: Optional[set[str]] = None,
                progress: Optional[Callable[[int], None]] = None) -> dict[str, tuple[list[int], list[Any]]]:
    """{topic: (times, values)} in file order; `progress(values read)` after each chunk."""
    found: dict[str, tuple[list[int], list[Any]]] = {}
    done = 0
    for batch in reader.batches(lambda channel: channel.topic if topics is None or channel.topic in topics
                                else None):
        for topic, log_time, value in batch:
            times, values = found.setdefault(topic, ([], []))
            times.append(log_time)
            values.append(value)
        done += len(batch)
        if progress is not None:
            progress(done)
    return found


def stacked(values: list[Any]) -> Any:
    """The values as one numpy array: stacked where they share a shape and dtype kind
    (scalars, arrays), else a 1-D array of objects."""
    import numpy

    if all(_numeric(value) for value in values) and len({numpy.shape(value) for value in values}) <= 1:
        return numpy.stack([numpy.asarray(value) for value in values]) if values else numpy.array([])
    array = numpy.empty(len(values), dtype=object)
    array[:] = values
    return array


def _numeric(value: Any) -> bool:
    kind = type(value)
    if kind in (bool, int, float):
        return kind is not int or -2**63 <= value < 2**63
    return kind.__name__ == "ndarray" and value.dtype.kind in "biufc"


def to_numpy(reader: RecordingReader, topic: str) -> tuple[Any, Any]:
    """(times in ns as int64, values stacked) of one port."""
    import numpy

    known = {channel.topic for channel in reader.contents().channels.values()}
    if topic not in known:
        raise KeyError(f"{reader.path} holds no port {topic!r} (it holds: {', '.join(sorted(known)) or 'none'})")
    times, values = port_values(reader, {topic}).get(topic, ([], []))
    return numpy.array(times, dtype=numpy.int64), stacked(values)


def columns(times: list[int], values: list[Any]) -> dict[str, list[Any]]:
    """A port's table: "time_ns" first, then "value" for scalars, "value_0"... for
    arrays of one shape (flattened), a column per key for dicts of scalars, or
    "value" as JSON text (or repr) for anything else."""
    import numpy

    table: dict[str, list[Any]] = {"time_ns": list(times)}
    if values and all(type(v) in (bool, int, float, str) or v is None for v in values):
        table["value"] = list(values)
    elif values and all(_numeric(v) for v in values) and len({numpy.shape(v) for v in values}) == 1:
        flat = numpy.stack([numpy.asarray(v).reshape(-1) for v in values])
        for index in range(flat.shape[1]):
            table[f"value_{index}"] = flat[:, index].tolist()
    elif values and all(type(v) is dict and all(type(k) is str and _scalar(x) for k, x in v.items())
                        for v in values):
        keys = list(dict.fromkeys(k for v in values for k in v))
        for key in keys:
            table[key if key != "time_ns" else "value.time_ns"] = [v.get(key) for v in values]
    else:
        table["value"] = [_text(v) for v in values]
    return table


def _scalar(value: Any) -> bool:
    return value is None or type(value) in (bool, int, float, str)


def _text(value: Any) -> str:
    try:
        return json.dumps(value, allow_nan=True)
    except (TypeError, ValueError):
        return repr(value)


def to_pandas(reader: RecordingReader) -> dict[str, Any]:
    """{topic: data frame} of every port (pandas needed)."""
    try:
        pandas: Any = importlib.import_module("pandas")
    except ImportError:
        raise ImportError("to_pandas() needs pandas: pip install 'velarix[analysis]'") from None
    return {topic: pandas.DataFrame(columns(times, values))
            for topic, (times, values) in port_values(reader).items()}


def file_name(topic: str) -> str:
    """A port's file name stem: its topic with what a file name cannot hold replaced."""
    return re.sub(r"[^A-Za-z0-9._-]", "_", topic).strip(".") or "port"


def export(reader: RecordingReader, form: str, folder: str,
           progress: Optional[Callable[[int], None]] = None) -> list[str]:
    """Write each port's values to `folder` as `form` ("csv", "npz", "parquet");
    returns the files written."""
    if form not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(FORMATS)}, got {form!r}")
    if form == "parquet":
        try:
            pyarrow: Any = importlib.import_module("pyarrow")
            parquet: Any = importlib.import_module("pyarrow.parquet")
        except ImportError:
            raise ImportError("parquet export needs pyarrow: pip install 'velarix[analysis]'") from None
    os.makedirs(folder, exist_ok=True)
    written = []
    for topic, (times, values) in port_values(reader, progress=progress).items():
        path = os.path.join(folder, f"{file_name(topic)}.{form}")
        if form == "npz":
            import numpy

            numpy.savez(path, time_ns=numpy.array(times, dtype=numpy.int64), value=stacked(values))
        elif form == "csv":
            table = columns(times, values)
            with open(path, "w", newline="", encoding="utf-8") as file:
                out = csv.writer(file)
                out.writerow(table)
                out.writerows(zip(*table.values()))
        else:
            parquet.write_table(pyarrow.table(columns(times, values)), path)
        written.append(path)
    return written
