"""Processing nodes for sampled streams (the optional extra `nodes`: numpy, scipy).

    from velarix.nodes import Filter, Window, BandPower, Resample

Each passes *chunks*, ``{"samples": 2-D array (time x channels), "timestamps":
1-D array}``, and passes on the stream's description (``channel_count``,
``channel_names``, ``nominal_srate``, ``channel_format``), which travels as the
ports' metadata. Importing this package needs nothing beyond velarix; using a
node needs numpy and scipy.
"""

from typing import TYPE_CHECKING, Any

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


def __getattr__(name: str) -> Any:
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module 'velarix.nodes' has no attribute {name!r}")
    from importlib import import_module

    return getattr(import_module(f".{module}", __name__), name)
