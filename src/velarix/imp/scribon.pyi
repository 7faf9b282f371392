"""Log entries and the logger (compiled)."""

from typing import Any, Optional

from ..logger import LogEntry, LogType
from . import Implementation

MAX_LOG_ENTRIES: int
TIMESTAMP_WIDTH: int
TYPE_WIDTH: int
STACK_WIDTH: int
THREAD_WIDTH: int
MESSAGE_WIDTH: int
DEFAULT_DIR: str
MAX_PENDING_LINES: int

class LogEntryImp(dict[str, Any], Implementation):
    """One log record: a dict of timestamp, type, stack, thread and message."""

    def __init__(self, type: LogType, stack: str, message: str) -> None:
        """Record `type`'s value, `stack` and `message` with the time and thread."""
    def to_line(self) -> str:
        """The fixed-width table line of this entry, without a line end."""
    def to_formatted_string(self) -> str:
        """This entry as a block for display."""

class LoggerImp(Implementation):
    """The newest entries in memory, and every entry in a log file."""

    def __init__(self, directory: Optional[str]) -> None:
        """A logger filing into `directory` (None: DEFAULT_DIR, "": memory only)."""
    def write(self, type: LogType, message: str) -> LogEntry:
        """Store and file an entry of `type` with `message`; returns the entry."""
    def flush(self) -> None:
        """Wake the file writer now."""
    def stop(self) -> None:
        """End the file writer and wait for it."""
    def get_all(self) -> list[LogEntry]:
        """The stored entries, oldest first."""
    def get_by_type(self, type: LogType | str) -> list[LogEntry]:
        """The stored entries of `type`, oldest first."""
    def has_entries(self, type: Optional[LogType | str] = None) -> bool:
        """Whether entries (of `type`, when given) are stored."""
    def get_last_error(self) -> Optional[LogEntry]:
        """The newest stored ERROR entry, or None."""
    def get_file_name(self) -> Optional[str]:
        """The log file's path, or None."""
    def get_lost_count(self) -> int:
        """How many entries never reached the log file (the writer could not write them)."""
    def _log_worker(self) -> None: ...
    @staticmethod
    def _get_stack() -> str: ...

def _stop_file_loggers() -> None:
    """Stop every logger that still writes a file: its queue is drained and the file closed."""
