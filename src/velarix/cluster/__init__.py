"""Pipelines across processes and hosts over ZeroMQ (the optional extra `cluster`).

    from velarix.cluster import Cluster

Importing this package needs nothing beyond velarix; using Cluster needs pyzmq.
"""

from typing import TYPE_CHECKING

from .._lazy import lazy_exports

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


__getattr__ = lazy_exports(__name__, _EXPORTS)
