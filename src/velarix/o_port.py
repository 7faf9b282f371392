"""Output ports."""

from ._port import PortConfiguration
from .imp import OPortImp
from .portable import Portable


class OPort(Portable):
    class Configuration(PortConfiguration):
        def set_metadata(self, metadata):
            self._metadata = metadata

        def has_metadata(self):
            return getattr(self, "_metadata", None) is not None

        def get_metadata(self):
            return getattr(self, "_metadata", None)

    _imp_class = OPortImp
