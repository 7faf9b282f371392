"""Output ports."""

from ._port import PortConfiguration
from .imp import OPortImp
from .portable import Portable


_NO_METADATA = object()


class OPort(Portable):
    class Configuration(PortConfiguration):
        # Any stored value counts, None included: a set-up run that stored metadata
        # must not leave the downstream node waiting for it.
        def set_metadata(self, metadata):
            self._metadata = metadata

        def has_metadata(self):
            return getattr(self, "_metadata", _NO_METADATA) is not _NO_METADATA

        def get_metadata(self):
            metadata = getattr(self, "_metadata", _NO_METADATA)
            return None if metadata is _NO_METADATA else metadata

    _imp_class = OPortImp
