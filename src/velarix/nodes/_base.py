"""What the processing nodes share: the chunk they pass, the stream description
that travels as port metadata, key checks, and saving by module import."""

from __future__ import annotations

import copy
import math
from typing import Any, Optional

from ..constants import Constants
from ..imp import SKIP
from ..io_node import IONode
from ..logger import LogType
from ..node import PortData, PortMetadata, StepResult
from ..portable import near_miss

EXTRA_HINT = "velarix.nodes needs numpy and scipy; install them with: pip install 'velarix[nodes]'"

try:
    import numpy as np
except ImportError as _error:  # pragma: no cover - the extra is installed by make test
    raise ImportError(EXTRA_HINT) from _error

from .axes import (CHANNEL_COUNT, CHANNEL_FORMAT, CHANNEL_NAMES, FREQUENCIES, NOMINAL_SRATE,  # noqa: F401
                   channel_format, check_chunk, make_chunk)

RATE = "rate"
_ARRAY = np.ndarray


def check_int(owner: str, key: str, value: Any, least: int = 1) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{owner}: {key} must be an int, not {type(value).__name__}.")
    if value < least:
        raise ValueError(f"{owner}: {key} must be at least {least}, got {value}.")
    return value


def check_positive(owner: str, key: str, value: Any) -> float:
    """A positive finite number."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{owner}: {key} must be a number, not {type(value).__name__}.")
    if not (math.isfinite(value) and value > 0):
        raise ValueError(f"{owner}: {key} must be positive and finite, got {value!r}.")
    return float(value)


def check_rate(owner: str, key: str, value: Any, required: bool = False) -> Optional[float]:
    """None (unless required), or a positive finite number of samples per second."""
    if value is None:
        if required:
            raise ValueError(f"{owner}: {key} is required (samples per second).")
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{owner}: {key} must be a number of samples per second, not {type(value).__name__}.")
    if not (math.isfinite(value) and value > 0):
        raise ValueError(f"{owner}: {key} must be positive and finite, got {value!r}.")
    return float(value)


class LibraryNode:
    """Library nodes are saved by name and re-created by importing their module."""

    def serialize(self) -> dict[str, Any]:
        """As `Portable.serialize`, without source text: loading imports the module."""
        data: dict[str, Any] = super().serialize()  # type: ignore[misc]
        data["source"] = None
        return data


class ChunkNode(LibraryNode, IONode):
    """Base of the processing nodes: one input port and one output port, each
    value a chunk ``{"samples": 2-D array (time x channels), "timestamps": 1-D
    array}``; the stream description (``channel_count``, ``channel_names``,
    ``nominal_srate``, ``channel_format``) arrives as the input port's metadata
    and each node passes it on, updated.

    A chunk that completes several results (windows, say) gives one value per
    result, in order; one that completes none pushes nothing. Keys are checked
    at construction; what needs the input's description (its rate) is checked in
    the set-up run, before the first step, and fails the node with one message.
    Library nodes are saved by name and re-created by importing their module.
    """

    #: The input ports' default names (nodes that join two streams have two).
    INPUTS: tuple[str, ...] = ("in",)
    #: Until a set-up run succeeds, steps are skipped; -1: no chunk seen yet.
    _ready = False
    _columns_seen = -1

    def _prepare_entries(self, entries: dict[str, Any]) -> None:
        # Here ``rate`` is the stream's sample rate, not a source's cycle rate:
        # kept away from the output node's check of it.
        missing = object()
        rate = entries.pop(RATE, missing)
        inputs = self.Configuration.Keys.INPUT_PORTS
        if len(self.INPUTS) > 1 and inputs not in entries:
            entries[inputs] = [{"name": name} for name in self.INPUTS]
        super()._prepare_entries(entries)
        if rate is not missing:
            entries[RATE] = rate
        for key, count in ((inputs, len(self.INPUTS)), (self.Configuration.Keys.OUTPUT_PORTS, 1)):
            ports = entries.get(key)
            if isinstance(ports, list) and len(ports) != count:
                raise ValueError(f"{type(self).__name__} has {len(self.INPUTS)} input and one output port; "
                                 f"{key} lists {len(ports)}.")
        try:
            self._check(entries)
        except (TypeError, ValueError) as error:
            hint = self._near_misses(entries)
            if hint:
                raise type(error)(f"{error} {hint}") from error
            raise

    def _near_misses(self, entries: dict[str, Any]) -> str:
        """"did you mean" for the keys given that the node does not read."""
        keys = self.Configuration.Keys
        known = frozenset(value for name in dir(keys) if name.isupper()
                          for value in [getattr(keys, name)] if type(value) is str)
        hints = [f"{key!r} is not a key it reads; did you mean {candidate!r}?"
                 for key in entries if isinstance(key, str) and key not in known
                 for candidate in [near_miss(key, known)] if candidate is not None]
        return " ".join(hints)

    def get_rate(self) -> Optional[float]:
        """None: a processing node steps when its input arrives (its ``rate`` key,
        where it has one, is a sample rate)."""
        return None

    def _check(self, entries: dict[str, Any]) -> None:
        """Check and normalise the node's own keys (TypeError, ValueError)."""

    def _owner(self) -> str:
        return f"{type(self).__name__} {self.config.get('name')!r}"

    def _port_name(self, key: str, default: str) -> str:
        ports = self.config.get(key) or []
        return str(ports[0]["name"]) if ports else default

    # Handlers -----------------------------------------------------------------

    def setup(self, data: PortData, metadata: PortMetadata) -> Optional[PortMetadata]:
        self._ready = False
        name_in = self._port_name(self.Configuration.Keys.INPUT_PORTS, Constants.Defaults.PORT_IN)
        name_out = self._port_name(self.Configuration.Keys.OUTPUT_PORTS, Constants.Defaults.PORT_OUT)
        self._out = name_out
        self._in = name_in
        description = copy.deepcopy(dict(metadata.get(name_in) or {}))
        self._upstream = description
        self._shape = dict(description)  # what the input's chunks must agree with
        self._columns_seen = -1
        out = self._configure(description)
        self._ready = True
        return {name_out: out}

    def step(self, data: PortData) -> StepResult:
        if not self._ready:
            return SKIP  # the set-up run failed and said why
        chunk = data[self._in]
        samples, timestamps = self._unpack(chunk)
        if len(chunk) == 2:  # no keys of its own to carry on
            single = self._single(samples, timestamps)
            if single is not None:
                return {self._out: single}
        results = self._process(samples, timestamps)
        if not results:
            return SKIP
        if len(chunk) > 2:  # a chunk's own keys (an epoch's label) go on with it
            for result in results:
                for key, value in chunk.items():
                    result.setdefault(key, value)
        return {self._out: results[0]} if len(results) == 1 else self._push(results)

    def _push(self, results: list[dict[str, Any]]) -> StepResult:
        if len(results) > 1:
            port = self.get_output_port(self._out)
            for result in results[:-1]:
                port.push(result)
        return {self._out: results[-1]}

    def _configure(self, description: dict[str, Any]) -> dict[str, Any]:
        """Take the input's description; return the output's."""
        return description

    def _process(self, samples: Any, timestamps: Any) -> list[dict[str, Any]]:
        """The output chunks for one input chunk."""
        raise NotImplementedError

    def _single(self, samples: Any, timestamps: Any) -> Optional[dict[str, Any]]:
        """The one output chunk of an input chunk without keys of its own, for a
        node with a quicker way to it than `_process` in its usual case; None:
        `_process` does it."""
        return None

    def _unpack(self, chunk: Any) -> tuple[Any, Any]:
        if not isinstance(chunk, dict) or "samples" not in chunk or "timestamps" not in chunk:
            raise TypeError(f"{self._owner()} takes chunks, dicts with 'samples' and 'timestamps', "
                            f"not {type(chunk).__name__}.")
        samples, timestamps = chunk["samples"], chunk["timestamps"]
        # Arrays, as chunks usually hold, are taken as they are.
        if type(samples) is not _ARRAY:
            samples = np.asarray(samples)
        if type(timestamps) is not _ARRAY:
            timestamps = np.asarray(timestamps)
        # The usual chunk, a time x channel block as the last one was, skips the
        # full check (which names what disagrees).
        shape = samples.shape
        if not (samples.ndim == 2 and shape[1] == self._columns_seen and timestamps.ndim == 1
                and len(timestamps) == shape[0]):
            check_chunk(self._owner(), samples, timestamps, self._shape)
            if self._shape.get(CHANNEL_COUNT) is None:
                self._shape[CHANNEL_COUNT] = shape[1]  # the first chunk sets it
            if FREQUENCIES not in self._shape:  # a spectrum's rows are checked every time
                self._columns_seen = shape[1]
        return samples, timestamps

    def _rate(self, key: str, description: dict[str, Any]) -> float:
        """The input's sample rate: the key when given (a differing description is
        a WARNING), else the description's nominal rate."""
        configured = self.config.get(key)
        described = description.get(NOMINAL_SRATE)
        if isinstance(described, bool) or not isinstance(described, (int, float)) or not described > 0:
            described = None
        if configured is not None:
            if described is not None and float(described) != float(configured):
                self._warn(f"{self._owner()}: {key}={configured} differs from the input's "
                           f"nominal_srate {described}; using {configured}.")
            return float(configured)
        if described is None:
            raise ValueError(f"{self._owner()} needs the input's sample rate: its input's metadata has no "
                             f"positive nominal_srate; give the key {key}=.{self._silent_upstream()}")
        return float(described)

    def _silent_upstream(self) -> str:
        """Where the input has no description at all: which node before passes none
        on, and how it would."""
        if self._upstream:
            return ""
        names = upstream_names(self, self._in)
        if not names:
            return ""
        return (f" The node before it, {', '.join(names)}, passes no stream description on: in its "
                f"class put `setup = velarix.nodes.pass_description` (or return "
                f"{{\"out\": metadata[\"in\"]}} from its setup).")

    def _warn(self, message: str) -> None:
        logger = getattr(self._imp, "_logger", None)
        if logger is not None:
            logger.write(LogType.WARNING, message)


def upstream_names(node: Any, port: str) -> list[str]:
    """The names (and classes) of the nodes whose output ports link to `node`'s
    input `port`: found among the registered objects, as only the nodes know their
    ports."""
    try:
        linked = node.get_port(port)._connected_ports
        registered = list(node._imp._id_map.values())
    except (AttributeError, ValueError):
        return []
    names = []
    for other in registered:
        outputs = getattr(other, "_output_ports", None)
        if isinstance(outputs, dict) and any(p is q for p in outputs.values() for q in linked):
            handler = getattr(getattr(other, "_step_handler", None), "__self__", other)
            names.append(f"{other.get_name()!r} ({type(handler).__name__})")
    return names
