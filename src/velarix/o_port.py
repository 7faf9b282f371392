"""Output ports."""

from __future__ import annotations

from typing import Any, Optional

from ._port import PortConfiguration
from .imp import OPortImp
from .portable import Portable


_NO_METADATA = object()


class OPort(Portable):
    """An output port. Configuration keys: ``name`` and ``timing`` (`Constants.Timing`,
    default SYNC). It passes each value to every input port linked to it."""

    class Configuration(PortConfiguration):
        """An output port's configuration; it holds the metadata of the set-up run."""

        # Any stored value counts, None included: a set-up run that stored metadata
        # must not leave the downstream node waiting for it.
        def set_metadata(self, metadata: Any) -> None:
            """Store the metadata the set-up run produced for this port."""
            self._metadata = metadata

        def has_metadata(self) -> bool:
            """Whether metadata was stored (None counts)."""
            return getattr(self, "_metadata", _NO_METADATA) is not _NO_METADATA

        def get_metadata(self) -> Optional[Any]:
            """The stored metadata, or None."""
            metadata = getattr(self, "_metadata", _NO_METADATA)
            return None if metadata is _NO_METADATA else metadata

    _imp_class = OPortImp
