"""Pipelines across processes and hosts over ZeroMQ (the optional extra `cluster`).

    from velarix.cluster import Cluster

Importing this package needs nothing beyond velarix; using Cluster needs pyzmq.
"""

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .controller import Cluster, ClusterError, RemoteNodeError
    from .links import LinkError
    from .security import SecurityError, make_keys

__all__ = ["Cluster", "ClusterError", "LinkError", "RemoteNodeError", "SecurityError", "make_keys"]

_EXPORTS = {
    "Cluster": "controller",
    "ClusterError": "controller",
    "RemoteNodeError": "controller",
    "LinkError": "links",
    "SecurityError": "security",
    "make_keys": "security",
}


def __getattr__(name: str) -> Any:
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module 'velarix.cluster' has no attribute {name!r}")
    from importlib import import_module

    return getattr(import_module(f".{module}", __name__), name)
