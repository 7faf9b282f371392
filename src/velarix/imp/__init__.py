"""Implementation classes of velarix.

The extension modules look their base classes up in this package while they load,
so the order below is the order of their dependencies.
"""

import atexit
import sys


def _drain_logs_at_exit():
    """Every logger that still writes a file drains its queue and closes it."""
    scribon = sys.modules.get(__name__ + ".scribon")
    if scribon is not None:
        scribon._stop_file_loggers()


# Registered before any module loads, so it runs after their own exit hooks (the
# monitoring threads' last lines then still reach the files).
atexit.register(_drain_logs_at_exit)


class Implementation:
    """Common base of the implementation classes; carries no behaviour."""


class _OneObject:
    """A marker of which there is one object: its copies are itself, and it is
    pickled by the name (`_NAME`) it has in this module."""

    __slots__ = ()
    _NAME = ""

    def __copy__(self):
        return self

    def __deepcopy__(self, memo):
        return self

    def __reduce__(self):
        return self._NAME


class _GeneratedIdMarker(_OneObject):
    """Asks a portable object for a generated id. Copies and pickles stay the one
    marker, so a deep-copied default configuration still asks for an id."""

    __slots__ = ()
    _NAME = "_ID_TO_BE_GENERATED"

    def __repr__(self):
        return "ID_TO_BE_GENERATED"


_ID_TO_BE_GENERATED = _GeneratedIdMarker()


class SkipType(_OneObject):
    """The type of `SKIP`, of which there is only the one object."""

    __slots__ = ()
    _NAME = "SKIP"

    def __new__(cls):
        # The cycle recognises the marker by identity: never make a second one.
        made = globals().get("SKIP")
        return made if made is not None else super().__new__(cls)

    def __repr__(self):
        return "velarix.SKIP"


#: Returned by a step (alone, or as one output port's value): push nothing this
#: cycle (on any port, or on that port). Defined before the modules load, which
#: keep it to compare by identity.
SKIP = SkipType()


class ConstantsImp:
    """Tunable values; the modules read them at use time, so tests may change them."""

    ID_TO_BE_GENERATED = _ID_TO_BE_GENERATED
    LOAD_WARNING_THRESHOLD = 80.0  # percent
    LOAD_ERROR_THRESHOLD = 95.0  # percent
    MONITORING_INTERVAL = 1.0  # seconds


from .ferrant import PortableImp  # noqa: E402
from .portan import IPortImp, OPortImp  # noqa: E402  (portable objects: after PortableImp)
from .vertan import NodeImp  # noqa: E402
from .intaran import INodeImp  # noqa: E402
from .exitran import ONodeImp  # noqa: E402
from .trellan import PipelineImp  # noqa: E402
from .scribon import LogEntryImp, LoggerImp  # noqa: E402

__all__ = [
    "Implementation",
    "SKIP",
    "SkipType",
    "ConstantsImp",
    "PortableImp",
    "IPortImp",
    "OPortImp",
    "NodeImp",
    "INodeImp",
    "ONodeImp",
    "PipelineImp",
    "LoggerImp",
    "LogEntryImp",
]
