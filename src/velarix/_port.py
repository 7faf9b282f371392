"""What input and output port configurations share."""

from __future__ import annotations

import copy
from typing import Any

from .constants import Constants
from .portable import Portable


_TIMINGS = (Constants.Timing.SYNC, Constants.Timing.ASYNC)


class PortConfiguration(Portable.Configuration):
    """A port's configuration: ``name`` and ``timing`` (default SYNC)."""

    class Keys(Portable.Configuration.Keys):
        NAME = "name"
        TIMING = "timing"
        # Input ports only, both optional: at most CAPACITY values wait (None:
        # unbounded), and OVERFLOW (a Constants.Overflow value) says what a push into
        # a full port does.
        CAPACITY = "capacity"
        OVERFLOW = "overflow"

    def __init__(self, **entries: Any) -> None:
        entries.setdefault(self.Keys.TIMING, Constants.Timing.SYNC)
        timing = entries[self.Keys.TIMING]
        if not any(timing == known for known in _TIMINGS):
            raise ValueError(
                f"Port timing must be Constants.Timing.SYNC or Constants.Timing.ASYNC, got {timing!r}."
            )
        super().__init__(**entries)

    def __deepcopy__(self, memo: dict[int, Any]) -> PortConfiguration:
        # Copy the entries only: the link to the live port and its metadata belong
        # to this process, not to a saved configuration.
        clone = type(self).__new__(type(self))
        memo[id(self)] = clone
        for key, value in self.items():
            dict.__setitem__(clone, copy.deepcopy(key, memo), copy.deepcopy(value, memo))
        return clone

    def __reduce__(self) -> tuple[Any, ...]:
        return (_rebuild, (type(self), dict(self)))


def _rebuild(cls: type[PortConfiguration], entries: dict[str, Any]) -> PortConfiguration:
    clone = cls.__new__(cls)
    dict.update(clone, entries)
    return clone
