"""The step cycle's private copy of numpy arrays: the array copy.deepcopy makes,
independent of its source, in pooled memory that numpy's own free returns and that
stays bounded however many copies are made."""

import copy
import ctypes
import gc
import threading

import pytest

numpy = pytest.importorskip("numpy")

from velarix.imp.vertan import _array_pool, _deepcopy  # noqa: E402

OURS = "velarix_step_copy"
try:  # numpy 2, and numpy 1 where its core had no underscore yet
    from numpy._core import _multiarray_umath as core  # noqa: E402
except ImportError:
    from numpy.core import _multiarray_umath as core  # noqa: E402


def handler_of(array):
    return core.get_handler_name(array)


def _read_only(array):
    array.flags.writeable = False
    return array


_base = numpy.arange(60.0).reshape(3, 4, 5)
CASES = {
    "float64 3-d": _base,
    "0-d": numpy.array(7.5),
    "empty": numpy.zeros(0, dtype="i4"),
    "empty 2-d": numpy.zeros((0, 3), dtype="f4"),
    "transposed": _base.T,
    "fortran": numpy.asfortranarray(_base),
    "sliced": _base[::2, 1:4, ::-2],
    "reversed": numpy.arange(10, dtype="i2")[::-1],
    "broadcast": numpy.broadcast_to(numpy.arange(4, dtype="u1"), (3, 4)),
    "read-only": _read_only(numpy.arange(6, dtype="i8")),
    "byte-swapped": numpy.arange(8, dtype=">i4"),
    "unaligned": numpy.frombuffer(bytes(range(17)), dtype="<i4", offset=1),
    "structured": numpy.array([(1, 2.5), (3, 4.5)], dtype=[("a", "<i4"), ("b", ">f8")]),
    "strings": numpy.array([b"ab", b"cde"]),
    "unicode": numpy.array(["x", "yz"]),
    "complex": numpy.array([1 + 2j, 3 - 4j]),
    "bool": numpy.array([[True, False]] * 3),
    "float16 nan": numpy.array([numpy.nan, 1.0], dtype="f2"),
    "datetime": numpy.array(["2024-01-01", "2025-06-30"], dtype="datetime64[D]"),
    "large": numpy.full(8192, 3.0),
    "over a megabyte": numpy.arange(140_000.0).reshape(350, 400),
    "large fortran slice": numpy.asfortranarray(numpy.arange(12000.0).reshape(40, 300))[:, 10:290],
    "unit axis, any stride": numpy.lib.stride_tricks.as_strided(numpy.arange(1000.0), (1000, 1), (8, 800)),
}


def _flip_bytes(array, mask):
    """XOR every byte of an array that owns its data, whatever its dtype and shape."""
    assert array.flags.owndata and min(array.strides, default=0) >= 0
    raw = (ctypes.c_ubyte * array.nbytes).from_address(array.ctypes.data)
    for i in range(array.nbytes):
        raw[i] ^= mask


def _layout(array):
    flags = array.flags
    return (type(array), array.dtype.str, array.dtype.descr, array.shape, array.strides, flags.writeable,
            flags.owndata, flags.aligned, flags.c_contiguous, flags.f_contiguous, array.base, array.tobytes())


@pytest.mark.parametrize("name", CASES)
def test_array_copies_as_copy_deepcopy_copies_it(name):
    source = CASES[name]
    ours, theirs = _deepcopy(source), copy.deepcopy(source)
    assert _layout(ours) == _layout(theirs)
    assert handler_of(ours) == OURS
    assert ours.size == 0 or not numpy.shares_memory(ours, source)
    # Independent both ways, and alive after its source is gone.
    if ours.size:
        before = source.tobytes()
        _flip_bytes(ours, 0xAB)
        assert source.tobytes() == before and ours.tobytes() != before
        if source.flags.writeable and source.flags.owndata:
            kept = _deepcopy(source)
            _flip_bytes(source, 0xFF)
            assert kept.tobytes() != source.tobytes()
            _flip_bytes(source, 0xFF)
            assert kept.tobytes() == source.tobytes()


def test_arrays_inside_containers_keep_their_sharing():
    a, b = numpy.arange(5.0), numpy.ones((2, 2), dtype="i1")
    root = {"a": a, "list": [a, b, (b, 1)], "nested": {"b": b}}
    ours, theirs = _deepcopy(root), copy.deepcopy(root)
    assert ours["a"] is ours["list"][0] and ours["list"][1] is ours["nested"]["b"] is ours["list"][2][0]
    for path in (("a",), ("list", 1), ("nested", "b")):
        mine, other = ours, theirs
        for key in path:
            mine, other = mine[key], other[key]
        assert _layout(mine) == _layout(other) and handler_of(mine) == OURS


class Sub(numpy.ndarray):
    pass


@pytest.mark.parametrize("value", [
    numpy.arange(3.0).view(Sub),
    numpy.ma.masked_array([1, 2, 3], mask=[0, 1, 0]),
    numpy.array([[1], "a", None], dtype=object),
    numpy.array([(1, [2])], dtype=[("n", "i4"), ("o", "O")]),
], ids=["subclass", "masked", "objects", "structured objects"])
def test_subclasses_and_object_arrays_keep_their_own_deepcopy(value):
    ours, theirs = _deepcopy(value), copy.deepcopy(value)
    assert type(ours) is type(theirs) and ours.dtype == theirs.dtype
    assert repr(ours) == repr(theirs)
    assert handler_of(ours) != OURS
    if value.dtype.hasobject:
        assert ours.flat[0] is not value.flat[0] or not isinstance(value.flat[0], list)


def test_pooled_copies_resize_and_are_freed_on_any_thread():
    copied = _deepcopy(numpy.arange(100, dtype="i8"))
    copied.resize(5000, refcheck=False)  # numpy's realloc, through the pool
    assert copied[:100].tolist() == list(range(100)) and not copied[100:].any()
    copies = [_deepcopy(numpy.full(1000, float(n))) for n in range(50)]
    start = _array_pool()["outstanding"]
    worker = threading.Thread(target=copies.clear)
    worker.start()
    worker.join()
    assert _array_pool()["outstanding"] == start - 50
    del copied


def test_pool_memory_stays_bounded_over_many_copies():
    gc.collect()
    start = _array_pool()
    sources = [numpy.zeros(8192), numpy.zeros(3, dtype="u1"), numpy.zeros((64, 64), dtype="f4").T]
    for n in range(100_000):
        _deepcopy({"x": sources[n % 3]})
    # Many alive at once, then all freed: the cache keeps only a few of them.
    in_flight = [_deepcopy(sources[0]) for _ in range(200)]
    assert _array_pool()["outstanding"] == start["outstanding"] + 200
    del in_flight
    end = _array_pool()
    assert end["outstanding"] == start["outstanding"]
    assert end["cached_bytes"] <= 64 << 20 and end["cached_bytes"] - start["cached_bytes"] <= 3 * (16 << 20)
    # Reused, not fresh: the 100,000 copies took a handful of blocks from the system.
    assert end["from_system"] - start["from_system"] <= 200 + 3
    assert end["reused"] - start["reused"] >= 100_000 - 3
    for _ in range(3):  # the freed 200 serve the next 200
        in_flight = [_deepcopy(sources[0]) for _ in range(200)]
        del in_flight
    assert _array_pool()["from_system"] == end["from_system"]


def test_the_step_cycle_copies_into_the_pool(monkeypatch):
    import time

    import velarix.imp as imp
    from node_helpers import Recorder
    from velarix.imp import NodeImp
    from velarix.node import Node

    class Bare(NodeImp):
        def _get_metadata(self):
            return {}

        def _push_metadata(self, metadata):
            pass

        def _push_data(self, data):
            pass

    monkeypatch.setattr(time, "sleep", lambda seconds: None)  # the set-up run's pause
    monkeypatch.delattr(imp, "ONodeImp", raising=False)
    seen = []
    node = Bare(Node.Configuration(name="arrays"))
    node.set_logger(Recorder())
    node.set_setup_handler(lambda data, metadata: {})
    node.set_step_handler(lambda data: seen.append(data) or None)
    node.start()
    source = {"a": numpy.arange(4.0)}
    node._cycle(source)
    node._cycle(source)
    assert [handler_of(data["a"]) for data in seen] == [OURS, OURS]
    assert seen[0]["a"] is not seen[1]["a"] and not numpy.shares_memory(seen[0]["a"], source["a"])


def test_turned_off_the_copies_are_numpys_own():
    try:
        _array_pool(pooled=False)
        off = _deepcopy(numpy.arange(3.0))
    finally:
        _array_pool(pooled=True)
    assert handler_of(off) != OURS and handler_of(_deepcopy(numpy.arange(3.0))) == OURS


def _set_numpy_handler():
    """numpy's PyDataMem_SetHandler, called through its C API table."""
    api = ctypes.pythonapi
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    table = ctypes.cast(api.PyCapsule_GetPointer(core._ARRAY_API, None),
                        ctypes.POINTER(ctypes.c_void_p))
    return ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object)(table[304])


# A memory handler of the program's own (libc's functions behind ctypes), kept for
# the life of the process like any handler arrays may still refer to.
_libc = ctypes.CDLL(None)
for _name, _args in (("malloc", [ctypes.c_size_t]), ("calloc", [ctypes.c_size_t] * 2),
                     ("realloc", [ctypes.c_void_p, ctypes.c_size_t])):
    getattr(_libc, _name).restype = ctypes.c_void_p
    getattr(_libc, _name).argtypes = _args
_libc.free.argtypes = [ctypes.c_void_p]
_void, _size = ctypes.c_void_p, ctypes.c_size_t
_FUNCTIONS = (ctypes.CFUNCTYPE(_void, _void, _size)(lambda ctx, n: _libc.malloc(n)),
              ctypes.CFUNCTYPE(_void, _void, _size, _size)(lambda ctx, n, size: _libc.calloc(n, size)),
              ctypes.CFUNCTYPE(_void, _void, _void, _size)(lambda ctx, p, n: _libc.realloc(p, n)),
              ctypes.CFUNCTYPE(None, _void, _void, _size)(lambda ctx, p, n: _libc.free(p)))


class _Handler(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char * 127), ("version", ctypes.c_uint8), ("ctx", ctypes.c_void_p),
                ("malloc", type(_FUNCTIONS[0])), ("calloc", type(_FUNCTIONS[1])),
                ("realloc", type(_FUNCTIONS[2])), ("free", type(_FUNCTIONS[3]))]


_HANDLER = _Handler(b"programs_own", 1, None, *_FUNCTIONS)


def test_a_handler_the_program_set_makes_the_copies():
    ctypes.pythonapi.PyCapsule_New.restype = ctypes.py_object
    ctypes.pythonapi.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    capsule = ctypes.pythonapi.PyCapsule_New(ctypes.addressof(_HANDLER), b"mem_handler", None)
    set_handler = _set_numpy_handler()
    source = numpy.arange(5.0)
    previous = set_handler(capsule)
    try:
        names = {handler_of(_deepcopy(source)), handler_of(_deepcopy({"a": source})["a"])}
    finally:
        set_handler(previous)
    assert names == {"programs_own"}
    assert handler_of(_deepcopy(source)) == OURS
