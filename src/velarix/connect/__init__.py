"""Connectors: nodes that bring real streams into a pipeline and send results out.

    from velarix.connect import ZMQSubscriber, ZMQPublisher

Importing this package needs nothing beyond velarix; each connector needs its
own library only when it is used (ZeroMQ: the optional extra `zmq`, pyzmq).
"""

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .zmq import ZMQPublisher, ZMQSubscriber

__all__ = ["ZMQPublisher", "ZMQSubscriber"]

# Public name -> the module of this package that defines it.
_EXPORTS = {
    "ZMQSubscriber": "zmq",
    "ZMQPublisher": "zmq",
}


def __getattr__(name: str) -> Any:
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module 'velarix.connect' has no attribute {name!r}")
    from importlib import import_module

    return getattr(import_module(f".{module}", __name__), name)
