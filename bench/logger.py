"""Logger.write from about ten frames deep against the same write in plain Python with
the inspect.stack() reading, and the memory of a process that files a million entries."""

import sys
import tempfile

from common import best_of, report, rss_mib

from velarix.logger import Logger, LogType

MESSAGE = "sensor 3 reading out of range"
DEPTH = 8  # frames of `descend`, plus main, the module and the timing helper

# The baseline, compiled under a file name of its own: its own frames drop out of
# the summary the way the module's do, so both summaries start at the caller.
BASELINE = '''
import collections
import datetime
import inspect
import os
import queue
import threading

STACK_WIDTH = 60


class PythonLogger:
    def __init__(self):
        self._log = collections.deque(maxlen=100)
        self._log_file_queue = queue.Queue()
        self._lock = threading.Lock()
        self._has_error = False

    @staticmethod
    def _get_stack():
        excluded = os.path.basename(__file__)
        stack = inspect.stack()
        locations = []
        try:
            for info in stack:
                source = os.path.basename(info.filename)
                if source == excluded:
                    continue
                location = source + ":" + str(info.lineno)
                if len(", ".join(locations)) > STACK_WIDTH - 7 - len(location):
                    break
                locations.append(location)
        finally:
            del stack
        if not locations:
            return "Unknown"
        return ", ".join(locations) + ", ..."

    def write(self, type, message):
        entry = dict(timestamp=datetime.datetime.now().isoformat(), type=type.value,
                     stack=self._get_stack(), thread=hex(threading.get_ident()),
                     message=message)
        if type == LogType.ERROR:
            self._has_error = True
        with self._lock:
            self._log.append(entry)
        self._log_file_queue.put(entry)
        return entry
'''


def make_baseline():
    namespace = {"__file__": "pylogger.py", "LogType": LogType}
    exec(compile(BASELINE, "pylogger.py", "exec"), namespace)
    return namespace["PythonLogger"]()


def leaf(write, count):
    entry = None
    for _ in range(count):
        entry = write(LogType.INFO, MESSAGE)
    return entry


def descend(depth, write, count):
    if depth:
        return descend(depth - 1, write, count)
    return leaf(write, count)


def memory(directory, total=1_000_000, flush_every=10_000):
    logger = Logger(directory)
    print(f"RSS at start: {rss_mib():.1f} MiB")
    figures = {}
    for done in range(1, total + 1):
        logger.write(LogType.INFO, MESSAGE)
        if done % flush_every == 0:
            logger.flush()
        if done in (250_000, 500_000, 1_000_000):
            figures[done] = rss_mib()
            print(f"RSS after {done:>9,} writes: {figures[done]:.1f} MiB")
    logger.stop()
    with open(logger.get_file_name()) as file:
        lines = sum(1 for _ in file)
    print(f"log file: {lines:,} lines (title, rule, entries, closing)")
    growth = figures[1_000_000] - figures[250_000]
    print(f"RSS growth from 250k to 1M writes: {growth:+.1f} MiB")
    return lines == total + 3 and growth < 16


def main():
    with tempfile.TemporaryDirectory() as directory:
        memory_ok = memory(directory)

        ours = Logger(directory)
        theirs = make_baseline()
        ours_entry = descend(DEPTH, ours.write, 1)
        theirs_entry = descend(DEPTH, theirs.write, 1)
        same = ours_entry["stack"] == theirs_entry["stack"]
        print(f"summary: {ours_entry['stack']!r}; baseline identical: {same}")

        ours_time = best_of(lambda: descend(DEPTH, ours.write, 20_000), repeat=5) / 20_000
        theirs_time = best_of(lambda: descend(DEPTH, theirs.write, 200), repeat=3) / 200
        ratio = report("Logger.write at depth ~10", ours_time, theirs_time)
        ours.stop()

    # Every write also asks logging.getLogger("velarix") whether its level is on.
    print(f"target x100 (with the bridge to logging): {'met' if ratio >= 100 else 'MISSED'}")
    return 0 if same and memory_ok and ratio >= 100 else 1


if __name__ == "__main__":
    sys.exit(main())
