"""Portable objects: a process-wide identity, a configuration, and serialisation."""

from __future__ import annotations

import os
import sys
import threading
import warnings
from typing import Any, Optional

from .errors import ConfigurationWarning
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
            if not getattr(_building, "imp", False):
                known = _known_keys(self.Keys)
                for key in entries:
                    if key not in known and type(key) is str:
                        _warn_near_miss(type(self), key, known)
            super().__init__(**entries)

    _imp_class = PortableImp
    _imp: PortableImp

    def __init__(self, **entries: Any) -> None:
        config = self.Configuration(**entries)
        # The implementation copies configurations (its ports'): checked once, above.
        outer = getattr(_building, "imp", False)
        _building.imp = True
        try:
            self._imp = self._imp_class(config)
        finally:
            _building.imp = outer

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


_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__)) + os.sep
_known: dict[type, frozenset[str]] = {}
_building = threading.local()


def _known_keys(keys: type) -> frozenset[str]:
    """The key texts a `Keys` class names, its bases' included."""
    found = _known.get(keys)
    if found is None:
        found = frozenset(value for name in dir(keys) if name.isupper()
                          for value in [getattr(keys, name)] if type(value) is str)
        _known[keys] = found
    return found


def _one_edit_apart(a: str, b: str) -> bool:
    """One insertion, deletion, substitution or swap of neighbours turns `a` into `b`."""
    if a == b or abs(len(a) - len(b)) > 1:
        return False
    if len(a) == len(b):
        diff = [i for i in range(len(a)) if a[i] != b[i]]
        return len(diff) == 1 or (len(diff) == 2 and diff[1] == diff[0] + 1
                                  and a[diff[0]] == b[diff[1]] and a[diff[1]] == b[diff[0]])
    short, long = (a, b) if len(a) < len(b) else (b, a)
    i = 0
    while i < len(short) and short[i] == long[i]:
        i += 1
    return short[i:] == long[i + 1:]


def near_miss(key: str, known: frozenset[str]) -> Optional[str]:
    """The known key `key` is probably a misspelling of, or None. Keys of two
    letters or fewer only match by a trailing "s" ("ids" for "id"), so short
    keys of the application's own are left alone."""
    for candidate in sorted(known):
        if key.rstrip("s") == candidate.rstrip("s"):
            return candidate
        if min(len(key), len(candidate)) > 2 and _one_edit_apart(key, candidate):
            return candidate
    return None


def _warn_near_miss(configuration: type, key: str, known: frozenset[str]) -> None:
    candidate = near_miss(key, known)
    if candidate is None:
        return
    # Point the warning at the application's constructor call: past the frames of
    # this package and of the __init__ methods (its own subclasses') building it.
    frame, level, built = sys._getframe(0), 1, None
    while frame.f_back is not None:
        this = frame.f_locals.get("self") if frame.f_code.co_name == "__init__" else None
        if isinstance(this, Portable):
            built = this
        elif not (frame.f_code.co_filename.startswith(_PACKAGE_DIR)
                  or isinstance(this, Portable.Configuration)):
            break
        frame, level = frame.f_back, level + 1
    if built is not None and type(built).Configuration is configuration:
        owner = type(built).__name__
    else:
        owner = configuration.__qualname__.rsplit(".Configuration", 1)[0]
    warnings.warn(f"{owner}: configuration key {key!r} is not one it reads; did you mean {candidate!r}?",
                  ConfigurationWarning, stacklevel=level)
