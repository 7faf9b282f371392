"""What Pipeline.save() checks before it writes, and how it writes."""

from __future__ import annotations

import builtins
import json
import os
import symtable
import tempfile
import textwrap
from typing import Any, NoReturn

from .errors import NotAPipelineError

# Names a stored class source may use without defining them: the builtins, and
# what exec() gives the namespace it runs the source in.
_PROVIDED = frozenset(dir(builtins)) | {"__name__", "__builtins__"}


def needed_names(source: str) -> list[str]:
    """The global names `source` uses but neither defines nor imports."""
    top = symtable.symtable(source, "<stored class>", "exec")
    bound = {symbol.get_name() for symbol in top.get_symbols()
             if symbol.is_assigned() or symbol.is_imported()}
    used: set[str] = set()

    def visit(table: symtable.SymbolTable) -> None:
        for symbol in table.get_symbols():
            if not symbol.is_referenced():
                continue
            if table is top:
                if not (symbol.is_assigned() or symbol.is_imported()):
                    used.add(symbol.get_name())
            elif symbol.is_global():
                used.add(symbol.get_name())
        for child in table.get_children():
            visit(child)

    visit(top)
    return sorted(used - bound - _PROVIDED)


def runnable_source(source: str) -> str:
    """The stored text as loading runs it: a class defined inside a function is
    stored as written, indented, so its text after the imports is dedented."""
    imports, blank, body = source.partition("\n\n")
    if blank and body[:1] in (" ", "\t"):
        return imports + blank + textwrap.dedent(body)
    return source


# The entries of a saved node, as Portable.serialize() writes them.
_NODE_KEYS = ("class", "module", "source", "config")


def check_saved_pipeline(data: Any, path: str) -> None:
    """NotAPipelineError saying what is wrong when the JSON read from `path` does
    not have the shape Pipeline.save() writes."""
    def refuse(reason: str) -> NoReturn:
        raise NotAPipelineError(f"{path} is not a saved pipeline: {reason}")

    if not isinstance(data, dict):
        refuse(f"it holds a JSON {_json_kind(data)}, not an object")
    for key in ("nodes", "connections"):
        if key not in data:
            refuse(f'it has no "{key}" entry')
        if not isinstance(data[key], list):
            refuse(f'its "{key}" entry is a JSON {_json_kind(data[key])}, not an array')
    for index, node in enumerate(data["nodes"]):
        if not isinstance(node, dict):
            refuse(f"node {index} is a JSON {_json_kind(node)}, not an object")
        missing = [key for key in _NODE_KEYS if key not in node]
        if missing:
            names = ", ".join(f'"{key}"' for key in missing)
            refuse(f"node {index} has no {names} " + ("entry" if len(missing) == 1 else "entries"))


def kind_of(value: Any, kinds: tuple[tuple[Any, str], ...], other: str) -> str:
    """The name that `kinds` ((types, name) pairs, bool before int: True is an
    int too) gives the first of its types `value` is of, else `other`."""
    return next((name for types, name in kinds if isinstance(value, types)), other)


_JSON_KINDS = ((type(None), "null"), (bool, "boolean"), ((int, float), "number"), (str, "string"),
               (list, "array"))


def _json_kind(value: Any) -> str:
    return kind_of(value, _JSON_KINDS, "object")


def check_loadable(data: dict[str, Any]) -> None:
    """ValueError naming the class and the names when a stored class source could
    not run on its own, as loading will run it."""
    for node in data["nodes"]:
        source = node.get("source")
        if source is None:
            continue  # re-created by importing its module
        try:
            missing = needed_names(runnable_source(source))
        except SyntaxError as error:
            raise ValueError(f"Class '{node['class']}' cannot be saved: its source does not parse ({error}).") from error
        if missing:
            names = ", ".join(missing)
            raise ValueError(
                f"Class '{node['class']}' cannot be saved: its stored source uses {names}, which it "
                f"neither defines nor imports (a saved class carries its own text and its module's "
                f"imports, nothing else of the module). Define them in the class, import them, or "
                f"register the class's module with Portable.add_preinstalled_module()."
            )


def to_json(data: dict[str, Any]) -> str:
    """The pipeline as JSON text; ValueError naming the node and the entry when a
    configuration holds a value JSON cannot."""
    try:
        return json.dumps(data, indent=2)
    except (TypeError, ValueError) as error:
        _raise_for_entry(data, error)
        raise ValueError(f"The pipeline cannot be written as JSON: {error}") from error


def _raise_for_entry(data: dict[str, Any], error: Exception) -> None:
    for node in data["nodes"]:
        for key, value in node["config"].items():
            try:
                json.dumps(value)
            except (TypeError, ValueError) as cause:
                name = node["config"].get("name", node["class"])
                raise ValueError(
                    f"Node '{name}' (class {node['class']}): configuration entry '{key}' "
                    f"cannot be written as JSON: {cause}"
                ) from error


def write_atomically(path: str, text: str) -> None:
    """Write `text` to `path` through a temporary file in the same folder, so the
    file is either the old one or the whole new one, never a truncated one."""
    folder = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(dir=folder, prefix=".velarix-", suffix=".tmp")
    try:
        with os.fdopen(handle, "w", encoding="utf-8") as file:
            file.write(text)
            file.flush()
            os.fsync(file.fileno())
        os.chmod(temporary, _new_file_mode(path))
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def _new_file_mode(path: str) -> int:
    """The mode the file has, or the one a plain open() would give a new file."""
    try:
        return os.stat(path).st_mode & 0o777
    except OSError:
        mask = os.umask(0)
        os.umask(mask)
        return 0o666 & ~mask
