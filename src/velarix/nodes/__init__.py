"""Processing nodes for sampled streams (the optional extra `nodes`: numpy, scipy).

    from velarix.nodes import Filter, Window, BandPower, Resample

Each passes *chunks*, ``{"samples": 2-D array (time x channels), "timestamps":
1-D array}``, and passes on the stream's description (``channel_count``,
``channel_names``, ``nominal_srate``, ``channel_format``), which travels as the
ports' metadata. Importing this package needs nothing beyond velarix; using a
node needs numpy and scipy.
"""

from typing import TYPE_CHECKING

from .._lazy import lazy_exports

if TYPE_CHECKING:
    from ._base import ChunkNode, make_chunk
    from .filters import Filter, Resample
    from .windows import BandPower, Window

__all__ = ["BandPower", "ChunkNode", "Filter", "Resample", "Window", "make_chunk"]

_EXPORTS = {
    "ChunkNode": "_base",
    "make_chunk": "_base",
    "Filter": "filters",
    "Resample": "filters",
    "Window": "windows",
    "BandPower": "windows",
}


__getattr__ = lazy_exports(__name__, _EXPORTS)
