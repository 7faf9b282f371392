"""Input ports."""

from ._port import PortConfiguration
from .imp import IPortImp
from .portable import Portable


class IPort(Portable):
    class Configuration(PortConfiguration):
        """An input port's metadata is that of the output port linked to it."""

        def _source(self):
            """The configuration of the first linked output port that has metadata."""
            port = getattr(self, "_port", None)
            return port._source_metadata() if port is not None else None

        def set_metadata(self, metadata):
            raise TypeError("Metadata is set on the output port; an input port reads it from its link.")

        def has_metadata(self):
            return self._source() is not None

        def get_metadata(self):
            source = self._source()
            return source.get_metadata() if source is not None else None

    _imp_class = IPortImp
