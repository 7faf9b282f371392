"""The port module's native types: refused constructions raise and keep nothing,
and instances caught in reference cycles are collected."""

import gc
import mmap
import sys

import pytest

from velarix.imp import portan


def live(kind):
    gc.collect()
    return sum(type(o) is kind for o in gc.get_objects())


class RingError(Exception):
    pass


@pytest.mark.parametrize(
    "make, error",
    [
        (lambda: portan.Scheduler(threads=0), ValueError),
        (lambda: portan.Scheduler(threads=1.5), TypeError),
        (lambda: portan.Waiter(1), TypeError),
        (lambda: portan.RecordTap(object(), 0), TypeError),
        (lambda: portan.RecordTap(portan.RecordBuffer(1, 1, 1, 1), 5), IndexError),
        (lambda: portan.RecordBuffer(1, 0, 1, 1), ValueError),
        (lambda: portan.RingEnd(bytearray(64), 0, 0, 64, False, RingError, 0.0, 0.0), ValueError),
        (lambda: portan.RingEnd(mmap.mmap(-1, 4096 + 4096), -1, -1, 4096, False, RingError, 0.0, 0.0), OSError),
        (lambda: portan.RingEnd(mmap.mmap(-1, 8192), 0, 0, 4096, False, int, 0.0, 0.0), TypeError),
    ],
)
def test_a_refused_construction_raises_and_keeps_no_reference(make, error):
    for _ in range(3):  # the first may load what later ones reuse
        with pytest.raises(error):
            make()
    references = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
    blocks = sys.getallocatedblocks()
    for _ in range(200):
        with pytest.raises(error):
            make()
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 50
    if references is not None:
        assert sys.gettotalrefcount() - references < 50


def test_cycles_through_native_objects_are_collected():
    gc.collect()
    before = {kind: live(kind) for kind in (portan.RecordBuffer, portan.RecordTap, portan.Scheduler)}
    for _ in range(20):
        buffer = portan.RecordBuffer(1, 10, 1 << 20, 1 << 20)
        tap = portan.RecordTap(buffer, 0)
        buffer.set_channel_maker(lambda tap_number, tap=tap: None)  # buffer -> maker -> tap -> buffer
        portan.Scheduler(threads=2)
    del buffer, tap
    assert {kind: live(kind) for kind in before} == before
