"""Portable objects: a process-wide identity, a configuration, and serialisation."""

from __future__ import annotations

from typing import Any

from .imp import ConstantsImp, PortableImp


class Portable:
    """Base of every framework object with an id and a configuration.

    Keyword arguments become the configuration. ``id`` defaults to a generated
    one; an object registers under its id, so `get_by_id` finds it.

    Raises:
        ValueError: the configured id is already taken.
    """

    class Configuration(dict[str, Any]):
        """The configuration: a dict whose keys are named in `Keys`; entries
        named in `ReservedKeys` are left out when the object is saved."""

        class Keys:
            ID = "id"

        class ReservedKeys:
            pass

        def __init__(self, **entries: Any) -> None:
            entries.setdefault(self.Keys.ID, ConstantsImp.ID_TO_BE_GENERATED)
            super().__init__(**entries)

    _imp_class = PortableImp
    _imp: PortableImp

    def __init__(self, **entries: Any) -> None:
        self._imp = self._imp_class(self.Configuration(**entries))

    def __getattr__(self, name: str) -> Any:
        # Only reached when normal lookup fails: costs nothing once initialised.
        if name == "_imp":
            from .errors import NodeNotInitializedError

            cls = type(self).__name__
            raise NodeNotInitializedError(
                f"{cls} is not initialised: {cls}.__init__() must call "
                f"super().__init__(**entries) before the object is used."
            )
        raise AttributeError(f"'{type(self).__name__}' object has no attribute '{name}'", name=name, obj=self)

    @property
    def config(self) -> Any:
        """This object's configuration (a `Configuration`, a dict)."""
        return self._imp.config

    def serialize(self) -> dict[str, Any]:
        """{"class", "module", "source", "config"}: the class, its source text
        (None for classes of preinstalled modules) and a copy of the configuration."""
        return self._imp.serialize(self)

    @staticmethod
    def deserialize(data: dict[str, Any]) -> Any:
        """A new object re-created from `serialize()`'s form (runs its source text).

        Raises:
            TypeError: `data` is not a dict, or the class is missing or not portable.
            KeyError: an entry is missing.
        """
        return PortableImp.deserialize(data)

    @staticmethod
    def get_by_id(id: str) -> Any:
        """The object registered under `id`, or None."""
        return PortableImp.get_by_id(id)

    @staticmethod
    def reset() -> None:
        """Forget every registered object and generated id."""
        return PortableImp.reset()

    @staticmethod
    def add_preinstalled_module(module: str) -> None:
        """Save classes whose module name contains `module` without source text;
        loading imports their module instead."""
        return PortableImp.add_preinstalled_module(module)
