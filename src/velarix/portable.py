"""Portable objects: a process-wide identity, a configuration, and serialisation."""

from __future__ import annotations

import contextlib
import copy
import os
import sys
import threading
import warnings
from contextvars import ContextVar
from typing import Any, Iterator, Optional

from .errors import ConfigurationWarning, NodeNotInitializedError
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
    def deserialize(data: dict[str, Any], fresh_ids: bool = False) -> Any:
        """A new object re-created from `serialize()`'s form (runs its source text).

        Ids are identities: by default the object takes the id it was saved with,
        which fails while an object with that id is registered in this process.
        With `fresh_ids=True` the object and its ports get newly generated ids
        instead; the saved data is not changed.

        Raises:
            TypeError: `data` is not a dict, or the class is missing or not portable.
            KeyError: an entry is missing.
            ValueError: "ID '...' conflict with another object." (the id is taken).
        """
        load = _fresh_load.get()
        if fresh_ids or (load is not None and id(data) in load.entries):
            return _recreate_with_fresh_ids(data, load.ids if load is not None else {})
        return _recreate(data)

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


# Re-creation ------------------------------------------------------------------------

# The file a load reads, named in the tracebacks of the classes it re-creates.
_origin: ContextVar[Optional[str]] = ContextVar("velarix_load_origin", default=None)


class FreshIds:
    """One load with fresh ids: which node entries it re-creates, and the old id ->
    new id of every object they gave (nodes and their ports)."""

    def __init__(self, entries: Any) -> None:
        # The entries stay alive in the caller's list for the whole load, so their
        # object ids cannot be reused meanwhile.
        self.entries = {id(entry) for entry in entries} if type(entries) is list else set()
        self.ids: dict[str, str] = {}


_fresh_load: ContextVar[Optional[FreshIds]] = ContextVar("velarix_fresh_load", default=None)


@contextlib.contextmanager
def loading(origin: Optional[str] = None, fresh: Optional[FreshIds] = None) -> Iterator[None]:
    """While it lasts, re-created classes name `origin` in their tracebacks, and
    the entries of `fresh` get new ids."""
    origin_token = _origin.set(origin) if origin is not None else None
    fresh_token = _fresh_load.set(fresh) if fresh is not None else None
    try:
        yield
    finally:
        if fresh_token is not None:
            _fresh_load.reset(fresh_token)
        if origin_token is not None:
            _origin.reset(origin_token)


def _recreate(data: Any) -> Any:
    origin = _origin.get()
    if origin is None:
        return PortableImp.deserialize(data)
    return PortableImp.deserialize(data, origin=origin)


def _port_list_keys() -> tuple[str, ...]:
    """The configuration keys under which a node keeps its ports' configurations,
    each a portable object with an id of its own."""
    from .i_node import INode
    from .o_node import ONode

    return (INode.Configuration.Keys.INPUT_PORTS, ONode.Configuration.Keys.OUTPUT_PORTS)


def _recreate_with_fresh_ids(data: Any, ids: dict[str, str]) -> Any:
    """Re-create from a copy of `data` whose ids all ask for generated ones, and
    record in `ids` the new id of each old one."""
    settings_key = PortableImp.SerializationKeys.SETTINGS
    settings = data.get(settings_key) if type(data) is dict else None
    if not isinstance(settings, dict):
        return _recreate(data)  # refused as it is, with the usual error
    id_key = Portable.Configuration.Keys.ID
    marker = ConstantsImp.ID_TO_BE_GENERATED
    fresh_settings = dict(settings)
    fresh_settings[id_key] = marker
    ports: list[tuple[str, Any, Any]] = []  # (list key, port name, old id)
    for key in _port_list_keys():
        entries = fresh_settings.get(key)
        if type(entries) is not list:
            continue
        fresh_entries = []
        for entry in entries:
            if isinstance(entry, dict) and id_key in entry:
                ports.append((key, entry.get("name"), entry[id_key]))
                entry = copy.copy(entry)
                dict.__setitem__(entry, id_key, marker)
            fresh_entries.append(entry)
        fresh_settings[key] = fresh_entries
    fresh_data = dict(data)
    fresh_data[settings_key] = fresh_settings

    made = _recreate(fresh_data)
    config = made.config
    old_id = settings.get(id_key)
    if isinstance(old_id, str):
        ids[old_id] = config[id_key]
    for key, name, old in ports:
        if not isinstance(old, str):
            continue
        for port in config.get(key) or ():
            if isinstance(port, dict) and port.get("name") == name:
                ids[old] = port[id_key]
                break
    return made


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


# Keys this long or shorter only match by a trailing "s": one edit turns one short
# word into another ("gate" and "rate"), which is no sign of a slip.
_SHORT_KEY = 4


def near_miss(key: str, known: frozenset[str]) -> Optional[str]:
    """The known key `key` is probably a misspelling of, or None. Keys of four
    letters or fewer only match by a trailing "s" ("ids" for "id", "rates" for
    "rate"), so short keys of the application's own are left alone."""
    for candidate in sorted(known):
        if key.rstrip("s") == candidate.rstrip("s"):
            return candidate
        if min(len(key), len(candidate)) > _SHORT_KEY and _one_edit_apart(key, candidate):
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
