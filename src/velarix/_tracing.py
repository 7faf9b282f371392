"""The process-wide switch of latency tracing."""

from __future__ import annotations

from .imp.portan import _get_tracing, _set_tracing


def set_tracing(enabled: bool) -> None:
    """Latency tracing on (the default) or off, for the whole process. On, every
    value carries the time it was pushed and its origin, and input ports keep
    their "latency" and "age" figures (see `Node.get_stats`); off, no clock is
    read for them and the figures stay as they were."""
    _set_tracing(bool(enabled))


def get_tracing() -> bool:
    """Whether latency tracing is on."""
    return bool(_get_tracing())
