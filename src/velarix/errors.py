"""Public exceptions."""

from __future__ import annotations

from typing import TYPE_CHECKING, Optional

if TYPE_CHECKING:
    from .logger import LogEntry


class PipelineError(RuntimeError):
    """A pipeline stopped because of an error.

    The message is the error entry's message, led by the failing node's name
    (``"breaker: division by zero"``; for a step that returned what cannot be
    pushed, what a step returns instead, the push's error being the cause).
    `node` is the name of the node whose
    failure stopped the pipeline (for an overload, the node with the highest load),
    or None when no node can be named; `entry` is the ERROR log entry. When a node's
    step failed, the exception it raised is the `__cause__`, with its original
    traceback, and its notes are repeated here.
    """

    def __init__(self, message: str, node: Optional[str] = None, entry: Optional[LogEntry] = None) -> None:
        super().__init__(message)
        self.node = node
        self.entry = entry


class NodeNotInitializedError(TypeError, AttributeError):
    """A node whose `__init__` did not call `super().__init__()`.

    Also an AttributeError, so `hasattr()` and `getattr()` with a default still
    treat the missing implementation as absent.
    """


class NotANodeError(TypeError, AttributeError):
    """An object that is not a node where a node is needed.

    Also an AttributeError: the object lacks what a node offers (`set_logger`,
    `get_name`), which is how such a call failed before it was checked.
    """


class NotAPipelineError(ValueError, KeyError, TypeError):
    """A file that holds JSON, but not a saved pipeline.

    Also a KeyError and a TypeError: what loading such a file raised before it
    was checked (a missing entry, a value of the wrong kind).
    """

    # KeyError would quote the message.
    __str__ = ValueError.__str__


class ConfigurationWarning(UserWarning):
    """A configuration entry that is one edit away from a key the object reads
    (``input_port`` for ``input_ports``): it is kept, but nothing reads it."""
