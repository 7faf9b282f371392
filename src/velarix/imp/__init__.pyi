"""Implementation classes of velarix (types for checkers and editors)."""

from typing import Final, final

from .portan import IPortImp as IPortImp, OPortImp as OPortImp
from .exitran import ONodeImp as ONodeImp
from .ferrant import PortableImp as PortableImp
from .intaran import INodeImp as INodeImp
from .scribon import LogEntryImp as LogEntryImp, LoggerImp as LoggerImp
from .trellan import PipelineImp as PipelineImp
from .vertan import NodeImp as NodeImp

class Implementation:
    """Common base of the implementation classes; carries no behaviour."""

class _GeneratedIdMarker:
    def __copy__(self) -> _GeneratedIdMarker: ...
    def __deepcopy__(self, memo: object) -> _GeneratedIdMarker: ...
    def __reduce__(self) -> str: ...

_ID_TO_BE_GENERATED: Final[_GeneratedIdMarker]

@final
class SkipType:
    """The type of `SKIP`, of which there is only the one object."""

    def __copy__(self) -> SkipType: ...
    def __deepcopy__(self, memo: object) -> SkipType: ...
    def __reduce__(self) -> str: ...

SKIP: Final[SkipType]

class ConstantsImp:
    """Tunable values; the modules read them at use time."""

    ID_TO_BE_GENERATED: _GeneratedIdMarker
    LOAD_WARNING_THRESHOLD: float
    LOAD_ERROR_THRESHOLD: float
    MONITORING_INTERVAL: float

# The public names are those above without an underscore, as the module's __all__ lists them.
