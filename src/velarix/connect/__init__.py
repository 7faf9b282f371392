"""Connectors: real streams into and out of a pipeline.

    from velarix.connect import LSLInlet, MQTTPublisher

Each connector needs its optional extra (``lsl``, ``xdf``, ``mqtt``); importing
this package needs none of them: a name is imported on first use.
"""

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .lsl import LSLInlet, LSLOutlet, LSLStreamNotFound
    from .mqtt import MQTTPublisher, MQTTSubscriber
    from .xdf import XDFReplay

__all__ = ["LSLInlet", "LSLOutlet", "LSLStreamNotFound", "MQTTPublisher", "MQTTSubscriber", "XDFReplay"]

_EXPORTS = {
    "LSLInlet": "lsl",
    "LSLOutlet": "lsl",
    "LSLStreamNotFound": "lsl",
    "MQTTPublisher": "mqtt",
    "MQTTSubscriber": "mqtt",
    "XDFReplay": "xdf",
}


def __getattr__(name: str) -> Any:
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module 'velarix.connect' has no attribute {name!r}")
    from importlib import import_module

    return getattr(import_module(f".{module}", __name__), name)
