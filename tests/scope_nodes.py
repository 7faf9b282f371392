"""Sources for the tests of the scope and the viewer bridge (saved pipelines store
their classes' source, so they live at module level)."""

import math

from velarix.o_node import ONode


class Sine(ONode):
    """A timed source: sin(2 pi f t) over its steps at `rate` per second."""

    def __init__(self, frequency=1.0, **entries):
        super().__init__(**entries)
        self.frequency = frequency
        self.k = 0

    def step(self, data):
        self.k += 1
        return {"out": math.sin(2 * math.pi * self.frequency * self.k / self.config["rate"])}


class Counter(ONode):
    """A timed source of 1, 2, 3, ..."""

    def __init__(self, **entries):
        super().__init__(**entries)
        self.k = 0

    def step(self, data):
        self.k += 1
        return {"out": self.k}
