"""Input ports."""

from __future__ import annotations

from typing import Any, NoReturn, Optional

from ._port import PortConfiguration
from .imp import IPortImp
from .portable import Portable


class IPort(Portable):
    """An input port. Configuration keys: ``name`` and ``timing`` (`Constants.Timing`:
    SYNC, the default, keeps every value in arrival order; ASYNC only the newest)."""

    class Configuration(PortConfiguration):
        """An input port's metadata is that of the output port linked to it."""

        def _source(self) -> Any:
            """The configuration of the first linked output port that has metadata."""
            port = getattr(self, "_port", None)
            return port._source_metadata() if port is not None else None

        def set_metadata(self, metadata: Any) -> NoReturn:
            """Always raises TypeError: metadata is set on the output port."""
            raise TypeError("Metadata is set on the output port; an input port reads it from its link.")

        def has_metadata(self) -> bool:
            """Whether a linked output port has metadata."""
            return self._source() is not None

        def get_metadata(self) -> Optional[Any]:
            """The metadata of the first linked output port that has any, or None."""
            source = self._source()
            return source.get_metadata() if source is not None else None

    _imp_class = IPortImp
