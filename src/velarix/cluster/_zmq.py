"""The one import of pyzmq: a clear message when the optional extra is missing."""

from types import ModuleType

EXTRA_HINT = "velarix.cluster needs pyzmq; install it with: pip install 'velarix[cluster]'"


def require_zmq() -> ModuleType:
    try:
        import zmq
    except ImportError as error:
        raise ImportError(EXTRA_HINT) from error
    return zmq
