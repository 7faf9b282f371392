"""The one import of pyzmq: a clear message when the optional extra is missing."""

from types import ModuleType

from .._optional import import_or_explain

EXTRA_HINT = "velarix.cluster needs pyzmq; install it with: pip install 'velarix[cluster]'"


def require_zmq() -> ModuleType:
    return import_or_explain("zmq", EXTRA_HINT)
