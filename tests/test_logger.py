"""The logger: its store and queries, the log file and the writer thread."""

import collections
import gc
import io
import logging
import os
import pathlib
import queue
import re
import subprocess
import sys
import threading
import time

import pytest

from velarix.imp import LoggerImp, scribon
from velarix.logger import LogEntry, Logger, LogType
from velarix.node import Node

TITLE = " | ".join(format(title, f"<{width}") for title, width in (
    ("Timestamp", 30), ("Type", 10), ("Source", 60), ("Thread", 12), ("Message", 50)))
RULE = "-" * 134
SKIPPED = "Entry skipped: its line could not be rendered ({}).".format


class Kind:
    """A stand-in for a LogType member."""

    def __init__(self, value):
        self.value = value


def lines_of(path):
    with open(path) as file:
        return file.read().split("\n")


def columns(line):
    return [cell.rstrip() for cell in line.split(" | ")]


def messages(entries):
    return [entry["message"] for entry in entries]


@pytest.fixture
def frozen_clock(monkeypatch):
    """Every logger made in this test starts in the same second."""
    real = time.localtime
    fixed = real(1_709_288_130)

    class Clock:  # a bound method: any callable may stand in for the clock
        def localtime(self, *args):
            return real(*args) if args else fixed

    monkeypatch.setattr(time, "localtime", Clock().localtime)
    return time.strftime("%Y%m%d_%H%M%S", fixed)


class GatedEvent(threading.Event):
    """An event whose waits ignore their time-out, so the writer wakes only when the
    event is set; `rounds` counts the writer's returns to waiting."""

    def __init__(self):
        super().__init__()
        self.rounds = threading.Semaphore(0)

    def wait(self, timeout=None):
        self.rounds.release()
        return super().wait()


class GatedLogger(LoggerImp):
    def __setattr__(self, name, value):
        if name == "_event" and value is not None:
            value = GatedEvent()
        super().__setattr__(name, value)


# ---- memory, store and queries ----------------------------------------------------

def test_memory_only_logger(no_thread_leak):
    logger = Logger("")
    imp = logger._imp
    assert list(vars(imp)) == ["_log", "_log_file_queue", "_lock", "_has_error", "_stop",
                               "_thread", "_event", "_file", "_lost"]
    assert imp._log.maxlen == 100 and logger.get_lost_count() == 0 and [imp._file, imp._event, imp._thread] == [None] * 3
    assert logger.get_file_name() is None
    entry = logger.write(LogType.INFO, "kept")
    assert isinstance(entry, LogEntry) and logger.get_all() == [entry]
    logger.flush()  # nothing to wake: a no-op, not an error
    logger.stop()
    logger.stop()
    assert imp._log_file_queue.empty()
    assert messages(logger.get_all()) == ["kept"]


def test_store_keeps_the_newest_entries(monkeypatch):
    logger = Logger("")
    written = [logger.write(LogType.INFO, str(i)) for i in range(101)]
    entries = logger.get_all()
    assert len(entries) == 100 and entries[0] is written[1] and entries[-1] is written[-1]

    monkeypatch.setattr(scribon, "MAX_LOG_ENTRIES", 3)
    small = Logger("")
    for i in range(5):
        small.write(LogType.INFO, str(i))
    assert messages(small.get_all()) == ["2", "3", "4"]


def test_queries():
    logger = Logger("")
    assert logger.has_entries() is False and logger.get_last_error() is None
    logger.write(LogType.INFO, "a")
    assert logger.has_entries() is True
    assert logger.has_entries(LogType.ERROR) is False and logger.has_entries(None) is True
    first = logger.write(LogType.ERROR, "b")
    logger.write(LogType.WARNING, "c")
    second = logger.write(LogType.ERROR, "d")
    assert logger.get_last_error() is second and logger._imp._has_error is True
    assert logger.get_by_type(LogType.ERROR) == [first, second]
    assert messages(logger.get_by_type(LogType.WARNING)) == ["c"]
    assert logger.has_entries(LogType.WARNING) is True

    # New lists: changing them leaves the store alone.
    logger.get_all().clear()
    logger.get_by_type(LogType.ERROR).clear()
    assert len(logger.get_all()) == 4 and len(logger.get_by_type(LogType.ERROR)) == 2

    # Once pushed out of the store, errors are no longer found; the flag stays.
    for _ in range(100):
        logger.write(LogType.INFO, "filler")
    assert logger.get_last_error() is None and logger._imp._has_error is True


def test_queries_may_log_from_a_comparison():
    logger = Logger("")

    class Chatty(str):
        def __eq__(self, other):
            logger.write(LogType.INFO, "compared")  # takes the store's lock
            return str.__eq__(self, other)

        __hash__ = str.__hash__

    logger.write(Kind(Chatty("odd")), "chatty")
    done = threading.Event()
    found = {}

    def query():
        found["types"] = logger.get_by_type(LogType.INFO)
        found["has"] = logger.has_entries(LogType.WARNING)
        found["error"] = logger.get_last_error()
        done.set()

    threading.Thread(target=query, daemon=True).start()
    assert done.wait(5), "a query deadlocked on the store's lock"
    assert found["has"] is False and found["error"] is None
    assert "compared" in messages(logger.get_all())


# ---- the log file ------------------------------------------------------------------

def test_log_file_contents(tmp_path, no_thread_leak):
    directory = tmp_path / "nested" / "logs"
    logger = Logger(str(directory))
    path = logger.get_file_name()
    assert os.path.dirname(path) == str(directory)
    assert re.fullmatch(r"\d{8}_\d{6}\.log", os.path.basename(path))
    assert logger._imp._thread.daemon and logger._imp._thread.is_alive()

    written = [logger.write(LogType.INFO, "one"), logger.write(LogType.ERROR, "two"),
               logger.write(Kind(12), "int type")]
    logger.stop()
    assert not logger._imp._thread.is_alive()
    lines = lines_of(path)
    assert lines[0] == TITLE and len(TITLE) == 174
    assert lines[1] == RULE
    assert lines[2:5] == [entry.to_line() for entry in written]
    closing = columns(lines[5])
    assert closing[1:3] == ["INFO", "n/a"] and closing[4] == "Logging ended."
    assert closing[3] == hex(logger._imp._thread.ident)  # made on the writer thread
    assert lines[6:] == [""]
    assert messages(logger.get_all()) == ["one", "two", "int type"]  # closing not stored

    # Stopped: entries are still stored but no longer queued, and nothing reaches the file.
    for i in range(50):
        logger.write(LogType.INFO, f"after {i}")
    assert logger._imp._log_file_queue.empty() and len(logger.get_all()) == 53
    logger.stop()
    assert lines_of(path) == lines


def test_flush_wakes_the_writer(tmp_path, no_thread_leak):
    logger = GatedLogger(str(tmp_path))
    gate = logger._event
    assert gate.rounds.acquire(timeout=5)  # the writer waits, and only flush can wake it
    entry = logger.write(LogType.INFO, "flushed")
    logger.flush()
    assert gate.rounds.acquire(timeout=5)  # back to waiting: the batch is in the file
    assert lines_of(logger.get_file_name())[2] == entry._imp.to_line()
    logger.stop()


def test_a_queue_built_otherwise_is_drained_through_its_methods(tmp_path, no_thread_leak):
    # The writer empties a stock queue.Queue under its mutex; a Queue whose parts are
    # not the stock ones (here its deque) must still reach the file, in order.
    class Waiting(collections.deque):
        pass

    logger = GatedLogger(str(tmp_path))
    gate = logger._event
    assert gate.rounds.acquire(timeout=5)
    logger._log_file_queue.queue = Waiting()
    written = [logger.write(LogType.INFO, f"entry {i}") for i in range(5000)]
    logger.flush()
    assert gate.rounds.acquire(timeout=5)
    assert lines_of(logger.get_file_name())[2:-1] == [entry._imp.to_line() for entry in written]
    assert logger._log_file_queue.empty() and logger.get_lost_count() == 0
    logger.stop()


def test_entry_written_just_before_stop_is_kept(tmp_path, no_thread_leak):
    logger = GatedLogger(str(tmp_path))
    hooked = threading.Event()

    class HookQueue(queue.Queue):
        hook = None

        def get_nowait(self):
            try:
                return super().get_nowait()
            except queue.Empty:
                hook, self.hook = self.hook, None
                if hook:
                    hook()
                raise

    def write_then_stop():
        # What a caller does between the writer's last look at the queue and its
        # look at the stop flag.
        logger.write(LogType.INFO, "last words")
        logger._stop = True
        hooked.set()

    logger._log_file_queue = HookQueue()
    logger._log_file_queue.hook = write_then_stop
    logger.flush()
    assert hooked.wait(5)
    logger.stop()
    lines = lines_of(logger.get_file_name())
    assert columns(lines[2])[4] == "last words"
    assert columns(lines[3])[4] == "Logging ended."


def test_loggers_of_one_second_get_their_own_files(tmp_path, frozen_clock, no_thread_leak):
    first = Logger(str(tmp_path))
    first.write(LogType.INFO, "first")
    first.stop()
    kept = lines_of(first.get_file_name())
    others = [Logger(str(tmp_path)) for _ in range(2)]
    names = [os.path.basename(logger.get_file_name()) for logger in [first, *others]]
    assert names == [f"{frozen_clock}.log", f"{frozen_clock}_1.log", f"{frozen_clock}_2.log"]
    for logger in others:
        logger.stop()
    assert lines_of(first.get_file_name()) == kept


def test_taken_names_are_passed_over(tmp_path, frozen_clock, no_thread_leak):
    # A file, a directory and a dangling link hold the first three names; none is
    # touched or followed.
    (tmp_path / f"{frozen_clock}.log").write_text("someone else's\n")
    (tmp_path / f"{frozen_clock}_1.log").mkdir()
    target = tmp_path / "elsewhere.txt"
    os.symlink(target, tmp_path / f"{frozen_clock}_2.log")

    logger = Logger(str(tmp_path))
    logger.stop()
    assert os.path.basename(logger.get_file_name()) == f"{frozen_clock}_3.log"
    assert (tmp_path / f"{frozen_clock}.log").read_text() == "someone else's\n"
    assert not target.exists()


def test_unusable_directory_leaves_memory_only_and_says_so(tmp_path, monkeypatch, caplog, no_thread_leak):
    blocker = tmp_path / "a_file"
    blocker.write_text("")
    for directory in (str(blocker / "logs"), "x" * 5000):
        caplog.clear()
        logger = Logger(directory)
        assert logger.get_file_name() is None and logger._imp._thread is None
        (warning,) = logger.get_all()
        assert warning["type"] == "WARNING" and repr(directory) in warning["message"]
        assert warning["message"].endswith("; the log stays in memory only.")
        assert [(r.name, r.levelname, r.getMessage()) for r in caplog.records] == [
            ("velarix", "WARNING", warning["message"])]
        logger.write(LogType.INFO, "still stored")
        assert logger._imp._log_file_queue.empty() and len(logger.get_all()) == 2
        logger.stop()

    monkeypatch.setattr(scribon, "DEFAULT_DIR", str(tmp_path / "default"))
    logger = Logger()
    assert os.path.dirname(logger.get_file_name()) == str(tmp_path / "default")
    logger.stop()
    monkeypatch.setattr(scribon, "DEFAULT_DIR", "")
    assert Logger(None).get_file_name() is None


def test_unrenderable_entries_are_skipped(tmp_path, no_thread_leak):
    logger = Logger(str(tmp_path))
    logger.write(Kind(object()), "odd type")  # object() has no "<10" format
    good = logger.write(LogType.INFO, "fine")
    logger.write(LogType.INFO, "bad \ud800 text")  # not encodable: written escaped
    logger.stop()
    lines = lines_of(logger.get_file_name())
    assert lines[2] == SKIPPED("TypeError")
    assert lines[3] == good.to_line()
    assert columns(lines[4])[4] == "bad \\ud800 text"
    assert columns(lines[5])[4] == "Logging ended."


class RefusingFile:
    """A log file whose writes fail with a full disk while `full` is set."""

    def __init__(self, path):
        self.file = open(path, "a")
        self.full = True
        self.closed = False

    def write(self, text):
        if self.full:
            raise OSError(28, "No space left on device")
        return self.file.write(text)

    def flush(self):
        self.file.flush()

    def close(self):
        self.closed = True
        self.file.close()


def wait_for(condition, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "condition not met in time"
        time.sleep(0.01)


def test_writer_reports_a_failing_file_keeps_trying_and_resumes(tmp_path, monkeypatch, caplog, no_thread_leak):
    files = []
    real_open = io.open

    def open_log(path, mode="r", *args, **kwargs):
        if mode != "a":
            return real_open(path, mode, *args, **kwargs)
        files.append(RefusingFile(path))
        files[-1].full = len(files) < 3  # the third opening finds room again
        return files[-1]

    monkeypatch.setattr(io, "open", open_log)
    monkeypatch.setattr(scribon, "MAX_PENDING_LINES", 5)
    logger = Logger(str(tmp_path))
    written = [logger.write(LogType.INFO, f"entry {n}") for n in range(3)]
    logger.flush()
    wait_for(lambda: logger.has_entries(LogType.WARNING))
    # Reported once, in the log and to logging; the writer thread goes on.
    (warning,) = logger.get_by_type(LogType.WARNING)
    assert warning["message"] == ("Writing the log file failed ([Errno 28] No space left on device); "
                                  "the writer keeps trying.")
    assert [r.getMessage() for r in caplog.records if r.levelname == "WARNING"] == [warning["message"]]
    assert logger._imp._thread.is_alive() and files[0].closed
    # Beyond MAX_PENDING_LINES (the three entries and the warning are held) entries are lost.
    written += [logger.write(LogType.INFO, f"entry {n}") for n in range(3, 6)]
    logger.flush()
    wait_for(lambda: logger.has_entries(LogType.INFO) and "resumed" in logger.get_all()[-1]["message"])
    assert logger.get_all()[-1]["message"] == "Writing the log file resumed; 2 entries were lost."
    assert logger.get_lost_count() == 2
    after = logger.write(LogType.INFO, "after")
    logger.stop()
    lines = lines_of(logger.get_file_name())
    assert lines[:2] == [TITLE, RULE]
    assert lines[2:-2] == [e.to_line() for e in written[:3] + [warning] + written[3:4]
                           + [logger.get_all()[-2], after]]
    assert columns(lines[-2])[4] == "Logging ended." and lines[-1] == ""
    assert len(files) == 3 and not logger.has_entries(LogType.ERROR)


def test_a_busy_log_loses_nothing_while_the_file_takes_its_lines(tmp_path, monkeypatch, no_thread_leak):
    # More entries per turn than the writer holds for a retry: they are written out, not lost.
    monkeypatch.setattr(scribon, "MAX_PENDING_LINES", 7)
    logger = Logger(str(tmp_path))
    for n in range(500):
        logger.write(LogType.INFO, f"entry {n}")
    logger.stop()
    lines = lines_of(logger.get_file_name())
    assert [columns(line)[4] for line in lines[2:-2]] == [f"entry {n}" for n in range(500)]
    assert logger.get_lost_count() == 0 and not logger.has_entries(LogType.WARNING)


def test_full_disk(tmp_path, no_thread_leak):
    """A small file system filled up: the log file keeps whole lines, the entries
    wait, and they all reach the file once there is room again."""
    if os.geteuid() != 0 or sys.platform != "linux":
        pytest.skip("mounting a small file system needs root on Linux")
    disk = tmp_path / "disk"
    disk.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(disk)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount tmpfs: {mounted.stderr.strip()}")
    logger = Logger("")
    try:
        logger = Logger(str(disk / "logs"))
        filler = disk / "filler"
        with open(filler, "wb", buffering=0) as file:  # all the room there is
            try:
                while True:
                    file.write(b"x" * 1024)
            except OSError:
                pass
        written = [logger.write(LogType.INFO, f"entry {n}") for n in range(100)]
        logger.flush()
        wait_for(lambda: logger.has_entries(LogType.WARNING))
        assert "No space left on device" in logger.get_by_type(LogType.WARNING)[0]["message"]
        text = open(logger.get_file_name()).read()
        assert text.endswith("\n")  # cut back to whole lines
        filler.unlink()
        logger.flush()
        wait_for(lambda: "resumed" in logger.get_all()[-1]["message"])
        logger.stop()
        lines = lines_of(logger.get_file_name())
        assert [e.to_line() for e in written] == [line for line in lines if "| entry " in line]
        assert logger.get_lost_count() == 0
    finally:
        logger.stop()
        subprocess.run(["umount", "-l", str(disk)], capture_output=True)


def test_default_directory_on_linux(tmp_path):
    if sys.platform != "linux":
        pytest.skip("Linux default")
    code = "from velarix.imp import scribon; print(scribon.DEFAULT_DIR)"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), HOME=str(tmp_path))
    for state, expected in ((str(tmp_path / "state"), tmp_path / "state" / "brio" / "velarix"),
                            ("", tmp_path / ".local" / "state" / "brio" / "velarix"),
                            (None, tmp_path / ".local" / "state" / "brio" / "velarix")):
        env.pop("XDG_STATE_HOME", None)
        if state is not None:
            env["XDG_STATE_HOME"] = state
        out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
        assert out.stdout.strip() == str(expected), out.stderr


# ---- the bridge to logging -----------------------------------------------------------

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"


def test_failing_nodes_share_one_logging_logger_and_the_readme_filter_picks_one(monkeypatch, no_thread_leak):
    # logging never frees a logger, so one per node name would grow with every node
    # a program makes. The README's filter is what selects a node instead.
    monkeypatch.setattr(time, "sleep", lambda seconds: None)  # each node's set-up pause
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)
    code = next(block for block in blocks if "velarix_node" in block)
    node_logging = logging.getLogger("velarix.node")
    handlers = list(node_logging.handlers)
    loggers = dict(logging.Logger.manager.loggerDict)
    exec(compile(code, "README.md", "exec"), {"__name__": "readme_example"})
    (added,) = set(node_logging.handlers) - set(handlers)
    stream = io.StringIO()
    added.setStream(stream)
    try:
        logger = Logger("")
        for name in [f"device-{n}" for n in range(500)] + ["pump"] + [f"device-{n}" for n in range(500, 1000)]:
            node = Node(name=name)
            node.set_logger(logger)
            node.set_step_handler(lambda data: 1 / 0)
            node.start()
            node._imp._cycle({})
            assert logger.get_last_error()["message"] == "division by zero"
        del node
        gc.collect()
    finally:
        node_logging.removeHandler(added)
    assert dict(logging.Logger.manager.loggerDict) == loggers
    assert [line for line in stream.getvalue().splitlines() if line.startswith("node ")] == [
        "node pump: division by zero"]


EXIT_SCRIPT = """
import sys, threading
from velarix.logger import Logger, LogType
loggers = [Logger(""), Logger(sys.argv[1])]
def chatter(logger):
    while True:
        logger.write(LogType.INFO, "busy")
        logger.flush()
for logger in loggers:
    threading.Thread(target=chatter, args=(logger,), daemon=True).start()
for _ in range(3000):
    loggers[1].write(LogType.INFO, "main")
"""


def test_interpreter_exits_cleanly_with_daemon_threads_inside_the_logger(tmp_path):
    # At exit the interpreter ends daemon threads that are inside log calls, and the
    # writer thread; the process must still end normally. Several runs, since where
    # each thread stands at that moment varies.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    for _ in range(6):
        run = subprocess.run([sys.executable, "-c", EXIT_SCRIPT, str(tmp_path)], env=env,
                             capture_output=True, text=True, timeout=60)
        assert run.returncode == 0, run.stderr[-2000:]


# ---- wrong arguments ---------------------------------------------------------------

class Nasty:
    def __eq__(self, other):
        raise ValueError("no comparing")

    def __hash__(self):
        raise TypeError("no hashing")

    def __bool__(self):
        raise ValueError("no truth")


class Text(str):
    pass


class Mapping(dict):
    pass


WRONG = [None, 0, -1, 2**100, 1.5, Text("x"), Mapping(), {}, [], b"x", object(), Nasty(),
         "y" * 100_000]
ALLOWED = (TypeError, ValueError, KeyError, AttributeError)


def type_message(name, value):
    return f"Argument '{name}' has incorrect type (expected str, got {type(value).__name__})"


def test_wrong_arguments_raise_only_specified_errors(no_thread_leak):
    logger = LoggerImp("")
    logger.write(Kind(Nasty()), "compares badly")

    for value in WRONG:
        if value is not None and type(value) is not str:
            with pytest.raises(TypeError) as info:
                LoggerImp(value)
            assert str(info.value) == type_message("directory", value)

        if type(value) is not str:
            with pytest.raises(TypeError) as info:
                logger.write(LogType.INFO, value)
            assert str(info.value) == type_message("message", value)
        with pytest.raises(ALLOWED):
            logger.write(value, "m")
        for query in (logger.get_by_type, logger.has_entries):
            try:
                query(value)
            except ALLOWED:
                pass
        for method in (logger.flush, logger.stop, logger.get_all, logger.get_last_error,
                       logger.get_file_name, logger._log_worker, LoggerImp._get_stack):
            with pytest.raises(TypeError, match=r"takes exactly 0 positional arguments \(1 given\)"):
                method(value)

    with pytest.raises(TypeError, match=r"^__init__\(\) takes exactly 1 positional argument \(0 given\)$"):
        LoggerImp()
    with pytest.raises(TypeError, match=r"^write\(\) takes exactly 2 positional arguments \(3 given\)$"):
        logger.write(LogType.INFO, "m", "extra")
    with pytest.raises(TypeError, match="unexpected keyword argument 'level'"):
        logger.write(LogType.INFO, message="m", level=1)
    with pytest.raises(TypeError, match=r"^has_entries\(\) takes at most 1 positional argument \(2 given\)$"):
        logger.has_entries(LogType.INFO, 1)
    with pytest.raises(TypeError):
        LoggerImp.write(object(), LogType.INFO, "m")
    with pytest.raises(AttributeError):
        LoggerImp.__new__(LoggerImp).get_all()
    with pytest.raises(ValueError, match="no comparing"):
        logger.get_last_error()

    # The logger is intact afterwards.
    assert logger.write(LogType.INFO, "after")["message"] == "after"
    assert LoggerImp("y" * 100_000).get_file_name() is None  # too long a name: memory only
