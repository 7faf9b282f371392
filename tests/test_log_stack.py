"""The call-stack summary agrees with the inspect.stack() reading at any depth."""

import gc
import sys
import weakref

import pytest
from hypothesis import example, given, settings, strategies as st

from velarix.imp import LoggerImp, scribon
from velarix.logger import Logger, LogType

# The plain-Python reading the native walk must reproduce. It lives in a file of its
# own name, which its own frames are excluded by, as the module's frames are.
RECIPE = '''
import inspect
import os

def recipe(width=60, excluded=("stack_recipe.py",)):
    stack = inspect.stack()
    locations = []
    try:
        for info in stack:
            source = os.path.basename(info.filename)
            if source in excluded:
                continue
            location = source + ":" + str(info.lineno)
            if len(", ".join(locations)) > width - 7 - len(location):
                break
            locations.append(location)
    finally:
        del stack
    if not locations:
        return "Unknown"
    return ", ".join(locations) + ", ..."
'''
_namespace = {}
exec(compile(RECIPE, "stack_recipe.py", "exec"), _namespace)
recipe = _namespace["recipe"]


def both(**options):
    # One line, so the innermost frame stands at the same place for both readings.
    return LoggerImp._get_stack(), recipe(**options)


def descend(depth, **options):
    if depth:
        return descend(depth - 1, **options)
    return both(**options)


def chain_through_files(lengths, lines):
    """Calls `both` through one function per (file-name length, line) pair, the
    outermost first, each compiled under a file name of that length."""
    call = both
    for index, (length, line) in enumerate(zip(lengths, lines)):
        name = f"m{index}_".ljust(length - 3, "x")[: length - 3] + ".py"
        source = "\n" * (line - 1) + "def hop():\n    return call()\n"
        namespace = {"call": call}
        exec(compile(source, name, "exec"), namespace)
        call = namespace["hop"]
    return call()


@pytest.mark.parametrize("depth", [0, 1, 2, 5, 12, 40])
def test_matches_recipe_at_depth(depth):
    ours, theirs = descend(depth)
    assert ours == theirs
    assert len(ours) <= 60 and ours.endswith(", ...")


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(st.integers(4, 60), st.integers(1, 20_000)), min_size=1, max_size=8))
@example([(51, 1)])    # 53 characters: just fits
@example([(51, 10)])   # 54 characters: Unknown
@example([(40, 7), (10, 1)])  # the second location does not fit
@example([(30, 1)] + [(3, 1)] * 6)  # the bound falls between short names
def test_matches_recipe_for_any_names_and_lines(hops):
    lengths, lines = zip(*hops)
    ours, theirs = chain_through_files(lengths, lines)
    assert ours == theirs


def test_unknown_when_the_innermost_location_is_too_long():
    name = "a_file_name_long_enough_to_fill_the_summary_" + "x" * 20 + ".py"
    namespace = {"LoggerImp": LoggerImp, "recipe": recipe, "descend": descend}
    # Deeper frames with short names do not rescue it: the scan stops at once.
    source = "def inner():\n    return LoggerImp._get_stack(), recipe()\nresult = descend(3)\n"
    exec(compile(source, name, "exec"), namespace)
    ours, theirs = namespace["result"]
    assert ours == theirs
    exec(compile("result = inner()", "short.py", "exec"), namespace)
    assert namespace["result"] == ("Unknown", "Unknown")


def test_multiline_calls_and_tracing():
    def spread():
        return descend(
            2,
        )

    assert spread()[0] == spread()[1]
    previous = sys.gettrace()
    sys.settrace(lambda *args: None)  # a tracer keeps its own line numbers on frames
    try:
        ours, theirs = spread()
    finally:
        sys.settrace(previous)
    assert ours == theirs


def test_width_and_excluded_name_are_read_at_each_call(monkeypatch):
    monkeypatch.setattr(scribon, "STACK_WIDTH", 100)
    ours, theirs = descend(10, width=100)
    assert ours == theirs and len(ours) > 60

    monkeypatch.setattr(scribon, "STACK_WIDTH", 60.5)
    ours, theirs = descend(3, width=60.5)
    assert ours == theirs

    # Frames of the module's own file do not count: with this file named as the
    # module's, the summary starts further out.
    monkeypatch.setattr(scribon, "STACK_WIDTH", 60)
    monkeypatch.setattr(scribon, "__file__", "/elsewhere/" + __file__.rsplit("/", 1)[-1])
    ours, theirs = LoggerImp._get_stack(), recipe(excluded=("stack_recipe.py", "test_log_stack.py"))
    assert ours == theirs and "test_log_stack.py" not in ours


def test_write_records_its_caller():
    logger = Logger("")
    entry, expected = logger.write(LogType.INFO, "here"), recipe()
    assert entry["stack"] == expected
    assert entry["stack"].startswith("test_log_stack.py:")
    direct, expected = logger._imp.write(LogType.INFO, "x"), recipe()
    assert direct["stack"] == expected


def test_frames_are_released():
    class Marker:
        pass

    def hold(fail):
        marker = Marker()
        ref = weakref.ref(marker)
        if fail:
            with pytest.raises(TypeError):
                LoggerImp._get_stack()
        else:
            LoggerImp._get_stack()
        return ref

    assert hold(False)() is None
    scribon.STACK_WIDTH, saved = "not a number", scribon.STACK_WIDTH
    try:
        ref = hold(True)
    finally:
        scribon.STACK_WIDTH = saved
    gc.collect()
    assert ref() is None
    filename = descend.__code__.co_filename
    before = sys.getrefcount(filename)
    for _ in range(1000):
        descend(5)
    assert sys.getrefcount(filename) == before
