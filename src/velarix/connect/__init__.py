"""Connectors: nodes that bring real streams into a pipeline and send results out.

    from velarix.connect import ZMQSubscriber, LSLInlet, MQTTPublisher

Importing this package needs nothing beyond velarix; each connector needs its
own library only when it is used (ZeroMQ: the optional extra `zmq`, pyzmq; Lab
Streaming Layer: `lsl`; XDF recordings: `xdf`; MQTT: `mqtt`).
"""

from typing import TYPE_CHECKING

from .._lazy import lazy_exports

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


__getattr__ = lazy_exports(__name__, _EXPORTS)
