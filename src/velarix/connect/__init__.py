"""Connectors: nodes that bring real streams into a pipeline and send results out.

    from velarix.connect import ZMQSubscriber, LSLInlet, MQTTPublisher

Importing this package needs nothing beyond velarix; each connector needs its
own library only when it is used (ZeroMQ: the optional extra `zmq`, pyzmq; Lab
Streaming Layer: `lsl`; XDF recordings: `xdf`; MQTT: `mqtt`).
"""

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .lsl import LSLInlet, LSLOutlet, LSLStreamNotFound
    from .mqtt import MQTTPublisher, MQTTSubscriber
    from .xdf import XDFReplay
    from .zmq import ZMQPublisher, ZMQSubscriber

__all__ = ["LSLInlet", "LSLOutlet", "LSLStreamNotFound", "MQTTPublisher", "MQTTSubscriber", "XDFReplay",
           "ZMQPublisher", "ZMQSubscriber"]

# Public name -> the module of this package that defines it.
_EXPORTS = {
    "ZMQSubscriber": "zmq",
    "ZMQPublisher": "zmq",
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
