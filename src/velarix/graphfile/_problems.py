"""Problems found in a graph file: where (file, line, column) and what was expected."""

from __future__ import annotations

import difflib
from dataclasses import dataclass
from typing import Iterable


@dataclass(frozen=True)
class Problem:
    """One problem; `line` and `column` count from 1, both 0 for a value given on
    the command line (`file` then holds the `--set` text)."""

    file: str
    line: int
    column: int
    message: str

    def __str__(self) -> str:
        if self.line == 0:
            return f"{self.file}: {self.message}"
        return f"{self.file}:{self.line}:{self.column}: {self.message}"


class GraphFileError(ValueError):
    """A graph file that cannot become a pipeline; `problems` holds every problem
    found, in the order of the file, and the message lists them one a line."""

    def __init__(self, problems: Iterable[Problem]) -> None:
        # A node in the middle of a chain is met twice: its problem is told once.
        self.problems = sorted(dict.fromkeys(problems), key=lambda p: (p.line == 0, p.file, p.line, p.column))
        super().__init__("\n".join(map(str, self.problems)))


def did_you_mean(word: str, choices: Iterable[str]) -> str:
    """' (did you mean 'x'?)' for the closest of `choices`, or ''."""
    close = difflib.get_close_matches(word, list(choices), n=1, cutoff=0.6)
    return f" (did you mean {close[0]!r}?)" if close else ""
