"""What input and output port configurations share."""

import copy

from .constants import Constants
from .portable import Portable


class PortConfiguration(Portable.Configuration):
    class Keys(Portable.Configuration.Keys):
        NAME = "name"
        TIMING = "timing"
        # Input ports only, both optional: at most CAPACITY values wait (None:
        # unbounded), and OVERFLOW (a Constants.Overflow value) says what a push into
        # a full port does.
        CAPACITY = "capacity"
        OVERFLOW = "overflow"

    def __init__(self, **entries):
        entries.setdefault(self.Keys.TIMING, Constants.Timing.SYNC)
        super().__init__(**entries)

    def __deepcopy__(self, memo):
        # Copy the entries only: the link to the live port and its metadata belong
        # to this process, not to a saved configuration.
        clone = type(self).__new__(type(self))
        memo[id(self)] = clone
        for key, value in self.items():
            dict.__setitem__(clone, copy.deepcopy(key, memo), copy.deepcopy(value, memo))
        return clone

    def __reduce__(self):
        return (_rebuild, (type(self), dict(self)))


def _rebuild(cls, entries):
    clone = cls.__new__(cls)
    dict.update(clone, entries)
    return clone
