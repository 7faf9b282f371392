"""A graph file read into plain values with the position of every key and value."""

from __future__ import annotations

import importlib
import os
import re
import tomllib
from dataclasses import dataclass, field
from typing import Any, Optional

from ._problems import Problem
from ._toml_positions import Path, Position, TomlPositions

TOML_SUFFIXES = (".toml",)
YAML_SUFFIXES = (".yaml", ".yml")
YAML_HINT = "graph files in YAML need PyYAML: pip install 'velarix[graphfile]'"


def is_graph_file(path: str) -> bool:
    """Whether `path` names a graph file (by its suffix) rather than saved JSON."""
    return os.fspath(path).lower().endswith(TOML_SUFFIXES + YAML_SUFFIXES)


@dataclass
class Document:
    """The file's values and where each key and value is written. Values set
    from the command line keep the `--set` text they came from instead."""

    file: str
    data: dict[str, Any]
    text: str = ""
    keys: dict[Path, Position] = field(default_factory=dict)
    values: dict[Path, Position] = field(default_factory=dict)
    overridden: dict[Path, str] = field(default_factory=dict)
    # Values that could not be given (an unset ${VAR}): their node is not made.
    broken: set[Path] = field(default_factory=set)
    _lines: list[str] = field(default_factory=list, repr=False)

    def broken_under(self, path: Path) -> bool:
        """Whether a value at or below `path` could not be given."""
        return any(broken[:len(path)] == path for broken in self.broken)

    def quoted(self, line: int, column: int) -> int:
        """1 when a quote opens the value at `line`, `column`, else 0."""
        if len(self._lines) == 0:
            self._lines.extend(self.text.split("\n"))
        lines = self._lines
        row = lines[line - 1] if 0 < line <= len(lines) else ""
        return 1 if row[column - 1:column] in ("'", '"') else 0

    def problem(self, path: Path, message: str, at_value: bool = False) -> Problem:
        """A problem at the key of `path` (or its value), or at the nearest
        enclosing key that has a position."""
        for length in range(len(path), -1, -1):
            prefix = path[:length]
            if prefix in self.overridden:
                return Problem(f"--set {self.overridden[prefix]}", 0, 0, message)
            table = self.values if at_value and length == len(path) else self.keys
            position = table.get(prefix) or self.keys.get(prefix)
            if position is not None:
                return Problem(self.file, position[0], position[1], message)
        return Problem(self.file, 1, 1, message)


class SyntaxProblem(Exception):
    """The file does not parse; carries the one problem to report."""

    def __init__(self, problem: Problem) -> None:
        super().__init__(str(problem))
        self.problem = problem


def read_document(path: str) -> Document:
    """Parse the TOML or YAML file at `path`.

    Raises:
        OSError: the file cannot be read.
        SyntaxProblem: it does not parse, or does not hold a table at its top.
    """
    with open(path, encoding="utf-8") as file:
        text = file.read()
    if os.fspath(path).lower().endswith(YAML_SUFFIXES):
        return _read_yaml(path, text)
    return _read_toml(path, text)


_TOML_AT = re.compile(r"\s*\(at line (\d+), column (\d+)\)$")


def _read_toml(path: str, text: str) -> Document:
    try:
        data = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        message = str(error.args[0] if error.args else error)
        found = _TOML_AT.search(message)
        line, column = (int(found[1]), int(found[2])) if found else (text.count("\n") + 1, 1)
        reason = _TOML_AT.sub("", message).replace("(at end of document)", "at the end").strip()
        raise SyntaxProblem(Problem(path, line, column, f"not valid TOML: {reason}")) from None
    positions = TomlPositions(text)
    return Document(path, data, text, positions.keys, positions.values)


def _read_yaml(path: str, text: str) -> Document:
    try:
        yaml: Any = importlib.import_module("yaml")
    except ImportError:
        raise SyntaxProblem(Problem(path, 1, 1, YAML_HINT)) from None
    # The C parser where PyYAML has one: its nodes carry the same marks.
    loader = getattr(yaml, "CSafeLoader", yaml.SafeLoader)(text)
    try:
        root = loader.get_single_node()
        data = loader.construct_object(root, deep=True) if root is not None else {}
    except yaml.MarkedYAMLError as error:
        mark = error.problem_mark or error.context_mark
        line, column = (mark.line + 1, mark.column + 1) if mark is not None else (1, 1)
        reason = error.problem or error.context or "it does not parse"
        raise SyntaxProblem(Problem(path, line, column, f"not valid YAML: {reason}")) from None
    except yaml.YAMLError as error:
        raise SyntaxProblem(Problem(path, 1, 1, f"not valid YAML: {error}")) from None
    finally:
        loader.dispose()
    if not isinstance(data, dict):
        raise SyntaxProblem(Problem(path, 1, 1, "expected a mapping of keys at the top of the file"))
    document = Document(path, data, text)
    _yaml_positions(loader.constructed_objects, root, (), document)
    return document


def _yaml_positions(made: dict[Any, Any], node: Any, path: Path, document: Document) -> None:
    """Walk the composed nodes beside the values built from them."""
    kind = type(node).__name__
    if kind == "MappingNode":
        for key_node, value_node in node.value:
            key = made.get(key_node, getattr(key_node, "value", None))
            if not isinstance(key, (str, int, float, bool)):
                continue
            child = (*path, key)
            document.keys.setdefault(child, (key_node.start_mark.line + 1, key_node.start_mark.column + 1))
            document.values.setdefault(child, (value_node.start_mark.line + 1, value_node.start_mark.column + 1))
            _yaml_positions(made, value_node, child, document)
    elif kind == "SequenceNode":
        for index, item in enumerate(node.value):
            child = (*path, index)
            document.values[child] = (item.start_mark.line + 1, item.start_mark.column + 1)
            document.keys.setdefault(child, document.values[child])
            _yaml_positions(made, item, child, document)


# ${VAR} and ${VAR:-default} ------------------------------------------------------

_REFERENCE = re.compile(r"\$\$|\$\{([A-Za-z_][A-Za-z0-9_]*)(?::-([^}]*))?\}")


def substitute(document: Document, environ: dict[str, str], problems: list[Problem]) -> None:
    """Replace every ${VAR} in the file's strings from `environ`; an unset
    variable without a default is a problem at its string."""
    document.data = _substitute(document.data, (), document, environ, problems)


def _substitute(value: Any, path: Path, document: Document, environ: dict[str, str],
                problems: list[Problem]) -> Any:
    if isinstance(value, dict):
        return {key: _substitute(item, (*path, key), document, environ, problems) for key, item in value.items()}
    if isinstance(value, list):
        return [_substitute(item, (*path, index), document, environ, problems) for index, item in enumerate(value)]
    if not isinstance(value, str) or "$" not in value:
        return value

    def replace(match: re.Match[str]) -> str:
        if match[0] == "$$":
            return "$"
        name, default = match[1], match[2]
        if name in environ:
            return environ[name]
        if default is not None:
            return default
        document.broken.add(path)
        problems.append(document.problem(path, f"${{{name}}} is not set in the environment (give a default "
                                         f"with ${{{name}:-value}})", at_value=True))
        return ""

    whole = _REFERENCE.fullmatch(value)
    text = _REFERENCE.sub(replace, value)
    # A string that is one reference alone takes the type its text spells: rate = "${RATE:-250}".
    return parse_scalar(text) if whole is not None and whole[0] != "$$" else text


def parse_scalar(text: str) -> Any:
    """A number, a boolean, an array or an inline table when `text` spells one
    in TOML; otherwise the text itself."""
    try:
        return tomllib.loads(f"v = {text}")["v"]
    except tomllib.TOMLDecodeError:
        return text


# --set nodes.filter.cutoff=40 ------------------------------------------------------

def apply_overrides(document: Document, overrides: Optional[list[str]], problems: list[Problem]) -> None:
    """Set each "dotted.key=value" into the file's values; the value is read as
    a TOML value when it is one, else as text."""
    for text in overrides or ():
        key, equals, raw = text.partition("=")
        parts = tuple(part.strip() for part in key.split("."))
        if not equals or not all(parts):
            problems.append(Problem(f"--set {text}", 0, 0, "expected KEY=VALUE, the key dotted as in "
                                    "nodes.filter.cutoff=40"))
            continue
        table: Any = document.data
        for depth, part in enumerate(parts[:-1]):
            child = table.get(part) if isinstance(table, dict) else None
            if child is None and isinstance(table, dict):
                child = table[part] = {}
            if not isinstance(child, dict):
                problems.append(Problem(f"--set {text}", 0, 0, f"{'.'.join(parts[:depth + 1])} is not a table"))
                break
            table = child
        else:
            table[parts[-1]] = parse_scalar(raw.strip())
            document.overridden[parts] = text
            # What the file wrote there is gone: its positions must not be blamed.
            for positions in (document.keys, document.values):
                for path in [path for path in positions if path[:len(parts)] == parts]:
                    del positions[path]
