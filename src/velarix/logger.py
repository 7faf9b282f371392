"""The log: entries, their kinds and the logger that stores and files them."""

from __future__ import annotations

import enum
import inspect
from typing import Any, Callable, Iterator, Optional, TypeVar, cast

from .imp import LogEntryImp, LoggerImp


class LogType(enum.Enum):
    """The kind of a log entry. An ERROR entry in a pipeline's log stops the pipeline."""

    INFO = "INFO"
    WARNING = "WARNING"
    ERROR = "ERROR"


class LogEntry:
    """One log record; reads by key like a mapping ("timestamp", "type", "stack",
    "thread", "message") and renders as a table line or a display block."""

    __slots__ = ("_imp",)
    _imp: LogEntryImp

    def __init__(self, type: LogType, stack: str, message: str) -> None:
        """Record `message` of kind `type` with `stack` (a call-stack summary), the
        current time and thread. Loggers make entries; applications rarely do.

        Raises:
            TypeError: `type` is not a `LogType`.
        """
        self._imp = LogEntryImp(type, stack, message)

    def __getitem__(self, key: str) -> Any:
        """The field `key` (raises KeyError for an unknown key)."""
        return self._imp[key]

    def __iter__(self) -> Iterator[str]:
        """The field names."""
        return iter(self._imp)

    def __len__(self) -> int:
        return len(self._imp)

    def __contains__(self, key: object) -> bool:
        return key in self._imp

    def keys(self) -> Any:
        """The field names, as a dict view."""
        return self._imp.keys()

    def items(self) -> Any:
        """(field, value) pairs, as a dict view."""
        return self._imp.items()

    def get(self, key: str, default: Any = None) -> Any:
        """The field `key`, or `default` when there is none."""
        return self._imp.get(key, default)

    def to_line(self) -> str:
        """The fixed-width table line of the log file, without a line end."""
        return self._imp.to_line()

    def to_formatted_string(self) -> str:
        """The entry as a multi-line block for display."""
        return self._imp.to_formatted_string()

    def __str__(self) -> str:
        return self._imp.to_line()

    def __repr__(self) -> str:
        return f"LogEntry({dict(self._imp)!r})"


class _Forward:
    """Hands out the implementation's bound method itself, so a call through the
    public object adds no Python frame (the stack summary starts at the caller).

    Made from a specification function (`_forward`) whose name, signature and
    docstring it carries, so `help()` and editors show a documented method."""

    def __init__(self, spec: Callable[..., Any]) -> None:
        self._name = spec.__name__
        self.__name__ = spec.__name__
        self.__qualname__ = spec.__qualname__
        self.__doc__ = spec.__doc__
        self.__signature__ = inspect.signature(spec)
        # As functools.wraps leaves it: documentation tools that unwrap the
        # descriptor find a function and show a method.
        self.__wrapped__ = spec

    def __set_name__(self, owner: type, name: str) -> None:
        self._name = name

    def __get__(self, instance: Any, owner: Optional[type] = None) -> Any:
        if instance is None:
            return self
        return getattr(instance._imp, self._name)

    def __call__(self, instance: Any, *args: Any, **kwargs: Any) -> Any:
        """Called through the class, as `Logger.write(logger, ...)`."""
        return getattr(instance._imp, self._name)(*args, **kwargs)


_F = TypeVar("_F", bound=Callable[..., Any])


def _forward(spec: _F) -> _F:
    """Decorator: the method is the implementation's method of the same name; the
    decorated function (never called) gives its signature and documentation."""
    return cast(_F, _Forward(spec))


class Logger:
    """Keeps the newest 100 entries in memory and streams every entry to a
    time-stamped file (``YYYYmmdd_HHMMSS.log``) by a background writer thread.

    A file that refuses a write (a full disk) is reported once per run of failures
    as a WARNING entry; the writer keeps the lines (up to ``MAX_PENDING_LINES``),
    tries again each second and goes on when it can; `get_lost_count()` counts the
    entries that never reached the file. A folder or file that cannot be made
    leaves the log in memory only, with a WARNING entry.

    Args:
        directory: the log folder. None: the default folder (on Linux
            ``$XDG_STATE_HOME/brio/velarix``, else ``~/.local/state/brio/velarix``);
            "": memory only, no file.

    Raises:
        TypeError: `directory` is neither None nor a str.
    """

    _imp: LoggerImp

    def __init__(self, directory: Optional[str] = None) -> None:
        self._imp = LoggerImp(directory)

    def _leave_tracebacks_to_raised_errors(self) -> None:
        """Print no failure's traceback to stderr: the error raised to the
        application carries it."""
        setattr(self._imp, "_tracebacks_raised", True)

    def _keep_entry(self, entry: LogEntry) -> None:
        """Store and file an entry made elsewhere (another process's) as `write`
        stores and files its own; handing it to `logging` is the caller's."""
        imp: Any = self._imp
        if entry["type"] == LogType.ERROR.value:
            imp._has_error = True
        with imp._lock:
            imp._log.append(entry)
        file = imp._file
        if isinstance(file, str) and file and not imp._stop:
            imp._log_file_queue.put(entry)

    def _store_with(self, make: Callable[[Any], Any]) -> None:
        """Keep the entries in `make(store)` instead of the store (a bounded
        deque), which `make` fills from it and bounds alike: one that also hands
        each new entry on, say."""
        imp: Any = self._imp
        imp._log = make(imp._log)

    @_forward
    def write(self, type: LogType, message: str) -> LogEntry:
        """Add an entry of kind `type` with `message`, stamped with the time, the
        calling code's stack summary and the thread; returns the entry.

        Raises:
            TypeError: `type` is not a `LogType` or `message` is not a str.
        """
        raise NotImplementedError

    @_forward
    def flush(self) -> None:
        """Wake the file writer now instead of at its next interval."""

    @_forward
    def stop(self) -> None:
        """Write what is pending, end the file writer thread and wait for it."""

    @_forward
    def get_all(self) -> list[LogEntry]:
        """The entries kept in memory (the newest 100), oldest first."""
        raise NotImplementedError

    @_forward
    def get_by_type(self, type: LogType | str) -> list[LogEntry]:
        """The kept entries of kind `type` (a LogType, or its name), oldest first.

        Raises:
            TypeError: a name that is no LogType's.
        """
        raise NotImplementedError

    @_forward
    def has_entries(self, type: Optional[LogType | str] = None) -> bool:
        """Whether entries (of kind `type`, a LogType or its name, when given) are kept."""
        raise NotImplementedError

    @_forward
    def get_last_error(self) -> Optional[LogEntry]:
        """The newest kept ERROR entry, or None."""
        raise NotImplementedError

    @_forward
    def get_file_name(self) -> Optional[str]:
        """The path of the log file, or None when the log stays in memory."""
        raise NotImplementedError

    @_forward
    def get_lost_count(self) -> int:
        """How many entries never reached the log file: those the writer could not
        write while the disk refused them beyond the ``MAX_PENDING_LINES`` it holds
        for a retry, and those still held when the logger stopped."""
        raise NotImplementedError
