"""Log entries: the five keys, the table line and the display block."""

import datetime
import re
import threading

import pytest

from velarix.imp import Implementation, LogEntryImp, scribon
from velarix.logger import LogEntry, LogType

COLUMNS = (("timestamp", "TIMESTAMP_WIDTH"), ("type", "TYPE_WIDTH"), ("stack", "STACK_WIDTH"),
           ("thread", "THREAD_WIDTH"), ("message", "MESSAGE_WIDTH"))


def reference_line(entry):
    """The table line as format() gives it with the module's current widths."""
    return " | ".join(format(entry[key], "<" + str(getattr(scribon, width))) for key, width in COLUMNS)


class Kind:
    """Any object with a `value` is accepted as an entry's type."""

    def __init__(self, value):
        self.value = value


def test_entry_is_a_dict_with_five_keys_in_order():
    before = datetime.datetime.now()
    entry = LogEntryImp(LogType.WARNING, "app.py:3, ...", "disk low")
    after = datetime.datetime.now()

    assert isinstance(entry, dict) and isinstance(entry, Implementation)
    assert LogEntryImp.__mro__[1:3] == (dict, Implementation)
    assert list(entry) == ["timestamp", "type", "stack", "thread", "message"]
    assert entry["type"] == "WARNING" and type(entry["type"]) is str  # the value, not the member
    assert entry["stack"] == "app.py:3, ..." and entry["message"] == "disk low"
    assert entry["thread"] == hex(threading.get_ident())

    stamp = entry["timestamp"]
    parsed = datetime.datetime.fromisoformat(stamp)
    assert before <= parsed <= after and parsed.tzinfo is None
    # isoformat drops a zero fraction; a round trip checks either form.
    assert parsed.isoformat() == stamp
    assert len(stamp) == (26 if parsed.microsecond else 19)


def test_entry_made_on_another_thread_through_the_public_class():
    made = {}
    worker = threading.Thread(target=lambda: made.update(entry=LogEntry(LogType.INFO, "", "")))
    worker.start()
    worker.join()
    entry = made["entry"]
    assert isinstance(entry._imp, LogEntryImp) and str(entry) == entry._imp.to_line()
    assert entry["thread"] == hex(worker.ident) != hex(threading.get_ident())


@pytest.mark.parametrize("type_value, stack, message", [
    ("INFO", "app.py:1, ...", "started"),
    ("ERROR", "x" * 60, ""),                       # stack exactly full, empty message
    (7, "a.py:2, ...", "an integer type value"),  # formatted left-aligned like text
    ("WARNING", "ü.py:1, ...", "naïve ☃ 日本 \U0001F600"),  # wider character kinds
])
def test_table_line_matches_format(type_value, stack, message):
    entry = LogEntryImp(Kind(type_value), stack, message)
    entry["thread"] = "0x1a2b"  # real idents are longer than their column
    line = entry.to_line()
    assert line == reference_line(entry)
    assert len(line) == 174
    assert line.split(" | ")[1] == format(type_value, "<10")
    if message == "":
        assert line.endswith(" | " + " " * 50)


def test_long_values_are_never_cut():
    entry = LogEntryImp(LogType.INFO, "s" * 61, "m" * 80)
    line = entry.to_line()
    assert line == reference_line(entry)
    assert "s" * 61 + " | " in line and line.endswith("m" * 80)
    assert len(line) == 174 + 1 + 30 + (len(entry["thread"]) - 12)


def test_widths_are_read_at_each_call(monkeypatch):
    entry = LogEntryImp(LogType.INFO, "s", "m")
    monkeypatch.setattr(scribon, "TYPE_WIDTH", 3)
    monkeypatch.setattr(scribon, "MESSAGE_WIDTH", 0)
    assert entry.to_line() == reference_line(entry)
    assert entry.to_line().endswith(" | INFO | s" + " " * 59 + f" | {entry['thread']:<12} | m")

    class Width(int):  # an int subclass goes through str() like format() would
        def __str__(self):
            return "5"

    monkeypatch.setattr(scribon, "STACK_WIDTH", Width(40))
    assert entry.to_line() == reference_line(entry)

    for nonsense in (-1, "x", None, 1.5e300, True):  # fails as format() does
        monkeypatch.setattr(scribon, "THREAD_WIDTH", nonsense)
        with pytest.raises(ValueError) as expected:
            format(entry["thread"], "<" + str(nonsense))
        with pytest.raises(ValueError, match=re.escape(str(expected.value))):
            entry.to_line()


def test_formatted_block():
    entry = LogEntryImp(Kind(42), "app.py:9, ...", "two\nlines")
    rule = "-" * 55
    assert entry.to_formatted_string() == (
        f"\n\n\n{rule}\nLog entry:\n{rule}\n"
        f"Timestamp: {entry['timestamp']}\n"
        f"Type:      42\n"
        f"Stack:     app.py:9, ...\n"
        f"Thread:    {entry['thread']}\n"
        f"Message:   two\nlines"
        f"\n{rule}\n\n\n\n")


def test_wrong_arguments():
    def message_of(call):
        with pytest.raises(TypeError) as info:
            call()
        return str(info.value)

    class Text(str):
        pass

    assert message_of(lambda: LogEntryImp(LogType.INFO, None, 5)) == (
        "Argument 'stack' has incorrect type (expected str, got NoneType)")  # stack first
    assert message_of(lambda: LogEntryImp(LogType.INFO, "s", Text("m"))) == (
        "Argument 'message' has incorrect type (expected str, got Text)")
    assert message_of(lambda: LogEntryImp(LogType.INFO, "s")) == (
        "__init__() takes exactly 3 positional arguments (2 given)")
    assert message_of(lambda: LogEntryImp(LogType.INFO, "s", "m", "x")) == (
        "__init__() takes exactly 3 positional arguments (4 given)")
    assert message_of(lambda: LogEntryImp(LogType.INFO, "s", "m").to_line(1)) == (
        "to_line() takes exactly 0 positional arguments (1 given)")
    with pytest.raises(AttributeError):
        LogEntryImp(object(), "s", "m")
    with pytest.raises(TypeError):
        LogEntryImp.to_line({})  # not an entry
    entry = LogEntryImp(LogType.INFO, "s", "m")
    del entry["stack"]
    for render in (entry.to_line, entry.to_formatted_string):
        with pytest.raises(KeyError, match="stack"):
            render()
