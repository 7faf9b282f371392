"""Importing an optional dependency: the module, or an ImportError that says which
extra brings it."""

from __future__ import annotations

import importlib
from types import ModuleType


def import_or_explain(module: str, hint: str) -> ModuleType:
    """`module` imported, or ImportError(`hint`) chained to the import's own error."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(hint) from error
