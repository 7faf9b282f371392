"""The log: entries, their kinds and the logger that stores and files them."""

import enum

from .imp import LogEntryImp, LoggerImp


class LogType(enum.Enum):
    INFO = "INFO"
    WARNING = "WARNING"
    ERROR = "ERROR"


class LogEntry:
    """One log record; reads by key like a mapping ("timestamp", "type", "stack",
    "thread", "message") and renders as a table line or a display block."""

    __slots__ = ("_imp",)

    def __init__(self, type, stack, message):
        self._imp = LogEntryImp(type, stack, message)

    def __getitem__(self, key):
        return self._imp[key]

    def __iter__(self):
        return iter(self._imp)

    def __len__(self):
        return len(self._imp)

    def __contains__(self, key):
        return key in self._imp

    def keys(self):
        return self._imp.keys()

    def items(self):
        return self._imp.items()

    def get(self, key, default=None):
        return self._imp.get(key, default)

    def to_line(self):
        return self._imp.to_line()

    def to_formatted_string(self):
        return self._imp.to_formatted_string()

    def __str__(self):
        return self._imp.to_line()

    def __repr__(self):
        return f"LogEntry({dict(self._imp)!r})"


class _Forward:
    """Hands out the implementation's bound method itself, so a call through the
    public object adds no Python frame (the stack summary starts at the caller)."""

    def __init__(self, name):
        self._name = name

    def __set_name__(self, owner, name):
        self._name = name

    def __get__(self, instance, owner=None):
        if instance is None:
            return self
        return getattr(instance._imp, self._name)


class Logger:
    """Keeps the newest entries in memory and streams all of them to a time-stamped
    file in `directory` (None: the default folder; "": memory only)."""

    def __init__(self, directory=None):
        self._imp = LoggerImp(directory)

    write = _Forward("write")
    flush = _Forward("flush")
    stop = _Forward("stop")
    get_all = _Forward("get_all")
    get_by_type = _Forward("get_by_type")
    has_entries = _Forward("has_entries")
    get_last_error = _Forward("get_last_error")
    get_file_name = _Forward("get_file_name")
