"""Portable objects: identity, configuration and serialisation (compiled)."""

from typing import Any, ClassVar, Optional

from . import Implementation

class PortableImp(Implementation):
    """Identity, configuration and serialisation of framework objects."""

    class SerializationKeys:
        CLASS: ClassVar[str]
        MODULE: ClassVar[str]
        SOURCE: ClassVar[str]
        SETTINGS: ClassVar[str]

    _id_map: ClassVar[dict[str, PortableImp]]
    _ids: ClassVar[set[str]]
    _preinstalled_modules: ClassVar[set[str]]
    config: Any

    def __init__(self, config: Any) -> None:
        """Register this object under its configured or a generated id.

        Raises ValueError when the id is taken."""
    def serialize(self, interface: object) -> dict[str, Any]:
        """The serialised form of this object; `interface` names the class."""
    @staticmethod
    def get_by_id(id: str) -> Any:
        """The object registered under `id`, or None."""
    @staticmethod
    def reset() -> None:
        """Forget every registered object and generated id."""
    @staticmethod
    def deserialize(data: dict[str, Any], *, origin: Optional[str] = None) -> Any:
        """Re-create an object from its serialised form; `origin`, the file being
        loaded, is named in the tracebacks of the class's code."""
    @staticmethod
    def add_preinstalled_module(module: str) -> None:
        """Serialise classes of modules matching `module` without source."""
