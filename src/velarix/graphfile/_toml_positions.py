"""Where each key and value of a TOML text starts, for messages that point at lines.

tomllib gives the values but no positions, so the text is scanned a second time,
after tomllib has accepted it: the scan only has to find where keys, values and
array items begin, not to check the syntax.
"""

from __future__ import annotations

import bisect
import re
import tomllib

Path = tuple[object, ...]
Position = tuple[int, int]  # line and column, both from 1

_BARE_KEY = re.compile(r"[A-Za-z0-9_-]+")
_SCALAR_END = re.compile(r"[,\]}#\n]")


class TomlPositions:
    """`keys[path]`: where the key of `path` is written (a table header's name
    for a table); `values[path]`: where its value starts (array items too, their
    index in the path)."""

    def __init__(self, text: str) -> None:
        self.keys: dict[Path, Position] = {}
        self.values: dict[Path, Position] = {}
        self._text = text
        self._at = 0
        self._lines = [0] + [m.end() for m in re.finditer(r"\n", text)]
        self._table_counts: dict[Path, int] = {}
        self._scan()

    def _position(self, index: int) -> Position:
        line = bisect.bisect_right(self._lines, index)
        return line, index - self._lines[line - 1] + 1

    # The document --------------------------------------------------------------

    def _scan(self) -> None:
        table: Path = ()
        while self._skip_space(newlines=True):
            text, at = self._text, self._at
            if text.startswith("[[", at):
                self._at += 2
                self._skip_space()
                start = self._at
                name = self._key()
                index = self._table_counts.get(name, 0)
                self._table_counts[name] = index + 1
                table = (*name, index)
                self._record_key(name, start)
                self._record_key(table, start)
                self._at = text.index("]]", self._at) + 2
            elif text.startswith("[", at):
                self._at += 1
                self._skip_space()
                start = self._at
                table = self._key()
                self._record_key(table, start)
                self._at = text.index("]", self._at) + 1
            else:
                self._key_value(table)

    def _record_key(self, path: Path, index: int) -> None:
        position = self._position(index)
        self.keys.setdefault(path, position)
        self.values.setdefault(path, position)

    def _key_value(self, table: Path) -> None:
        self._skip_space()
        start = self._at
        key = self._key()
        for length in range(1, len(key) + 1):  # a dotted key names its tables too
            self.keys.setdefault((*table, *key[:length]), self._position(start))
        self._skip_space()
        self._at += 1  # "="
        self._skip_space()
        self._value((*table, *key))

    def _key(self) -> Path:
        parts: list[object] = []
        while True:
            self._skip_space()
            parts.append(self._simple_key())
            self._skip_space()
            if self._text.startswith(".", self._at):
                self._at += 1
                continue
            return tuple(parts)

    def _simple_key(self) -> str:
        text, at = self._text, self._at
        if text.startswith('"', at) or text.startswith("'", at):
            end = self._string_end(at)
            self._at = end
            return str(tomllib.loads(f"k = {text[at:end]}")["k"])
        match = _BARE_KEY.match(text, at)
        end = match.end() if match else at + 1
        self._at = end
        return text[at:end]

    # Values --------------------------------------------------------------------

    def _value(self, path: Path) -> None:
        text, at = self._text, self._at
        self.values[path] = self._position(at)
        if text.startswith("[", at):
            self._at += 1
            index = 0
            while self._skip_space(newlines=True) and not text.startswith("]", self._at):
                self._value((*path, index))
                index += 1
                self._skip_space(newlines=True)
                if text.startswith(",", self._at):
                    self._at += 1
            self._at += 1
        elif text.startswith("{", at):
            self._at += 1
            while self._skip_space() and not text.startswith("}", self._at):
                self._key_value(path)
                self._skip_space()
                if text.startswith(",", self._at):
                    self._at += 1
            self._at += 1
        elif text.startswith('"', at) or text.startswith("'", at):
            self._at = self._string_end(at)
        else:
            match = _SCALAR_END.search(text, at)
            self._at = match.start() if match else len(text)

    def _string_end(self, at: int) -> int:
        """The index after the string that starts at `at`."""
        text = self._text
        for quote in ('"""', "'''", '"', "'"):
            if text.startswith(quote, at):
                break
        index = at + len(quote)
        while index < len(text):
            if quote[0] == '"' and text[index] == "\\":
                index += 2
                continue
            if text.startswith(quote, index):
                end = index + len(quote)
                if len(quote) == 3:  # up to two quotes of the content may end it
                    while end < len(text) and text[end] == quote[0] and end - index < 5:
                        end += 1
                return end
            index += 1
        return index

    def _skip_space(self, newlines: bool = False) -> bool:
        """Skip blanks and comments (and line ends when `newlines`); False at the end."""
        text = self._text
        while self._at < len(text):
            char = text[self._at]
            if char in " \t\r" or (newlines and char == "\n"):
                self._at += 1
            elif char == "#":
                end = text.find("\n", self._at)
                self._at = len(text) if end < 0 else end
            else:
                return True
        return False
