"""Implementation classes of velarix.

The extension modules look their base classes up in this package while they load,
so the order below is the order of their dependencies.
"""


class Implementation:
    """Common base of the implementation classes; carries no behaviour."""


class _GeneratedIdMarker:
    """Asks a portable object for a generated id. Copies and pickles stay the one
    marker, so a deep-copied default configuration still asks for an id."""

    __slots__ = ()

    def __repr__(self):
        return "ID_TO_BE_GENERATED"

    def __copy__(self):
        return self

    def __deepcopy__(self, memo):
        return self

    def __reduce__(self):
        return "_ID_TO_BE_GENERATED"


_ID_TO_BE_GENERATED = _GeneratedIdMarker()


class ConstantsImp:
    """Tunable values; the modules read them at use time, so tests may change them."""

    ID_TO_BE_GENERATED = _ID_TO_BE_GENERATED
    LOAD_WARNING_THRESHOLD = 80.0  # percent
    LOAD_ERROR_THRESHOLD = 95.0  # percent
    MONITORING_INTERVAL = 1.0  # seconds


# While the modules are being built, one that does not exist yet is skipped.
# TODO(before release): import all six unconditionally.
import importlib as _importlib  # noqa: E402

for _module, _names in (
    ("ferrant", ("PortableImp",)),
    ("_ports", ("IPortImp", "OPortImp")),
    ("vertan", ("NodeImp",)),
    ("intaran", ("INodeImp",)),
    ("exitran", ("ONodeImp",)),
    ("trellan", ("PipelineImp",)),
    ("scribon", ("LoggerImp", "LogEntryImp")),
):
    try:
        _loaded = _importlib.import_module(f"{__name__}.{_module}")
    except ModuleNotFoundError as _error:
        if _error.name != f"{__name__}.{_module}":
            raise
        continue
    for _name in _names:
        globals()[_name] = getattr(_loaded, _name)
