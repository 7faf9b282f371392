"""Package attributes imported on first use, so that importing a package with an
optional extra needs nothing beyond velarix until one of its names is used."""

from __future__ import annotations

from importlib import import_module
from typing import Any, Callable


def lazy_exports(package: str, exports: dict[str, str]) -> Callable[[str], Any]:
    """The module `__getattr__` of `package`: a name of `exports` ({public name:
    the module of the package that defines it}) is imported from its module."""

    def __getattr__(name: str) -> Any:
        module = exports.get(name)
        if module is None:
            raise AttributeError(f"module {package!r} has no attribute {name!r}")
        return getattr(import_module(f".{module}", package), name)

    return __getattr__
