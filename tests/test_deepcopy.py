"""The step cycle's deep copy against copy.deepcopy: same structure, same sharing and
cycles, same types, the same memo, and no crash when copied containers change."""

import copy

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from velarix.imp.vertan import _deepcopy


class Box:
    """Plain object: copied through __reduce_ex__ with the shared memo."""

    def __init__(self, content=None):
        self.content = content


class Hooked:
    """Copies itself through the memo, as a careful __deepcopy__ does."""

    def __init__(self, content=None):
        self.content = content

    def __deepcopy__(self, memo):
        clone = Hooked()
        memo[id(self)] = clone
        clone.content = copy.deepcopy(self.content, memo)
        return clone


class Shared:
    """Its own copy: the copies must share it with the original."""

    def __deepcopy__(self, memo):
        return self


class DictSub(dict):
    pass


class ListSub(list):
    pass


# Snapshots of the memo as foreign code sees it, taken by Probe.__deepcopy__.
snapshots = []


class Probe:
    def __deepcopy__(self, memo):
        snapshots.append(memo_shape(memo))
        return Probe()


LABELS = {}  # id of an original -> its position in a walk of the original


def memo_shape(memo):
    keep = memo.get(id(memo), [])
    return (
        [("keep" if key == id(memo) else LABELS.get(key, "?"), type(value).__name__)
         for key, value in memo.items()],
        [LABELS.get(id(o), "?") for o in keep],
    )


def children(obj):
    if isinstance(obj, dict):
        return [x for item in obj.items() for x in item]
    if isinstance(obj, (list, tuple)):
        return list(obj)
    if isinstance(obj, (set, frozenset)):
        return sorted(obj, key=repr)
    if isinstance(obj, (Box, Hooked)):
        return [obj.content]
    return []


def walk(root):
    """Every object reachable from root, in a fixed order."""
    seen, order, stack = set(), [], [root]
    while stack:
        obj = stack.pop()
        if id(obj) in seen:
            continue
        seen.add(id(obj))
        order.append(obj)
        stack.extend(reversed(children(obj)))
    return order


def assert_same_copy(original, expected, actual):
    """`actual` is what `expected` is: types, sharing with the original, and the
    pattern of shared references and cycles."""
    originals = {id(o) for o in walk(original)}
    pairs, reverse, stack = {}, {}, [(expected, actual)]
    while stack:
        e, a = stack.pop()
        if id(e) in pairs:
            assert pairs[id(e)] is a
            continue
        assert reverse.get(id(a), e) is e
        pairs[id(e)], reverse[id(a)] = a, e
        assert type(a) is type(e)
        if id(e) in originals:
            assert a is e
            continue
        assert id(a) not in originals
        if isinstance(e, (set, frozenset)):
            assert a == e
            continue
        if isinstance(e, (Box, Hooked)):
            assert a.__dict__.keys() == e.__dict__.keys()
        ce, ca = children(e), children(a)
        assert len(ce) == len(ca)
        stack.extend(zip(ce, ca))
    return pairs


atoms = st.one_of(
    st.integers(), st.text(max_size=3), st.floats(allow_nan=False), st.none(),
    st.booleans(), st.binary(max_size=2), st.just(len), st.just(str), st.just(Ellipsis),
    st.just(range(3)), st.just(assert_same_copy), st.complex_numbers(allow_nan=False),
)
keys = st.one_of(st.integers(-3, 3), st.text(max_size=2), st.tuples(st.integers(0, 2)))
KINDS = ["list", "dict", "tuple", "listsub", "dictsub", "set", "box", "hooked", "shared", "probe"]


@st.composite
def graphs(draw):
    """A root object over a few containers with shared references and cycles."""
    count = draw(st.integers(1, 7))
    kinds = draw(st.lists(st.sampled_from(KINDS), min_size=count, max_size=count))
    link = st.one_of(atoms.map(lambda a: ("atom", a)), st.just(("probe", None)),
                     st.integers(0, count - 1).map(lambda i: ("node", i)))
    key = st.one_of(keys.map(lambda k: ("atom", k)), st.just(("probe", None)),
                    st.integers(0, count - 1).map(lambda i: ("key", i)))
    plan = [draw(st.lists(st.tuples(key, link), max_size=4)) for _ in range(count)]

    made = {}
    factories = {"list": list, "dict": dict, "listsub": ListSub, "dictsub": DictSub,
                 "box": Box, "hooked": Hooked, "shared": Shared, "probe": Probe}
    for i, kind in enumerate(kinds):
        if kind in factories:
            made[i] = factories[kind]()

    def resolve(target, in_set=False):
        tag, value = target
        if tag == "atom":
            return value
        if tag == "probe":
            return value if in_set else Probe()
        obj = made.get(value)
        # Not built yet, in a set (whose copied members have no order to pair them
        # by) or an unhashable key: the index itself.
        if obj is None or in_set or (tag == "key" and not isinstance(obj, (Box, Hooked, Shared, Probe))):
            return value
        return obj

    # Immutable containers take what exists when they are made; mutable ones are
    # filled afterwards, which is where cycles come from.
    for i, kind in enumerate(kinds):
        if kind == "tuple":
            made[i] = tuple(resolve(link) for _, link in plan[i])
        elif kind == "set":
            made[i] = {resolve(link, in_set=True) for _, link in plan[i]}
    for i, kind in enumerate(kinds):
        obj, entries = made[i], plan[i]
        if kind in ("list", "listsub"):
            obj.extend(resolve(link) for _, link in entries)
        elif kind in ("dict", "dictsub"):
            for key, link in entries:
                obj[resolve(key)] = resolve(link)
        elif kind in ("box", "hooked") and entries:
            obj.content = resolve(entries[0][1])
    return made[0]


def label(root):
    LABELS.clear()
    LABELS.update((id(o), n) for n, o in enumerate(walk(root)))


SHARED_LEAF = [1, "a"]


@settings(max_examples=300, deadline=None)
@given(graphs())
# Port data as steps take it: flat dicts over containers of atoms, one shared.
@example({"in": {"n": 1, "hops": 0}})
@example({"a": SHARED_LEAF, "b": SHARED_LEAF, "c": (1, 2), "d": []})
@example({"a": 1, "b": None, 2: "x"})
@example({"a": {"k": [1]}, "b": ListSub([1])})
def test_matches_copy_deepcopy(root):
    label(root)
    snapshots.clear()
    expected = copy.deepcopy(root)
    expected_snapshots = list(snapshots)
    snapshots.clear()
    actual = _deepcopy(root)
    # The memo foreign code sees, including the first time it exists at all.
    assert snapshots == expected_snapshots
    assert_same_copy(root, expected, actual)


# Native containers with foreign objects deep inside: the Python memo is first made
# part-way through, where it must look as copy.deepcopy would have built it so far.
native_trees = st.recursive(
    st.one_of(atoms, st.builds(Probe)),
    lambda inner: st.one_of(st.lists(inner, max_size=3), st.tuples(inner, inner),
                            st.dictionaries(st.one_of(keys, st.builds(Probe)), inner, max_size=3)),
    max_leaves=12,
)


@settings(max_examples=200, deadline=None)
@given(native_trees)
def test_memo_made_part_way_matches(root):
    label(root)
    snapshots.clear()
    expected = copy.deepcopy(root)
    expected_snapshots = list(snapshots)
    snapshots.clear()
    actual = _deepcopy(root)
    assert snapshots == expected_snapshots
    assert_same_copy(root, expected, actual)


@settings(max_examples=150, deadline=None)
@given(graphs(), st.booleans())
def test_given_memo_ends_up_the_same(root, copy_twice):
    label(root)
    expected_memo, actual_memo = {}, {}
    expected = copy.deepcopy(root, expected_memo)
    actual = _deepcopy(root, actual_memo)
    if copy_twice:  # a second copy with the same memo answers from it
        assert copy.deepcopy(root, expected_memo) is expected
        assert _deepcopy(root, actual_memo) is actual
    pairs = assert_same_copy(root, expected, actual)
    assert memo_shape(actual_memo) == memo_shape(expected_memo)
    for key, value in expected_memo.items():
        if key != id(expected_memo) and id(value) in pairs:
            assert actual_memo[key] is pairs[id(value)]


def test_entries_in_memo_answer_first():
    marker = object()
    value = [1]
    assert _deepcopy(value, {id(value): marker}) is marker
    # The memo may be any mapping with get and item access, as for copy.deepcopy.
    memo = DictSub()
    result = _deepcopy({"a": value, "b": value}, memo)
    assert result["a"] is result["b"] is memo[id(value)]


class RefusingKeep(list):
    """A keep-alive list in a given memo whose append raises KeyError."""

    def append(self, item):
        raise KeyError(item)


class OwnKeep(list):
    pass


@pytest.mark.parametrize("keep_class", [RefusingKeep, OwnKeep])
def test_keep_alive_list_given_in_the_memo(keep_class):
    # copy.deepcopy appends to memo[id(memo)] and starts a fresh list on KeyError.
    memos = []
    for function in (copy.deepcopy, _deepcopy):
        memo = {}
        memo[id(memo)] = keep_class()
        assert function({"a": [1, 2], "b": ([3],)}, memo) == {"a": [1, 2], "b": ([3],)}
        memos.append(memo)
    expected, actual = (memo[id(memo)] for memo in memos)
    assert (type(actual), len(actual)) == (type(expected), len(expected))


class Mutator:
    """Changes the container being copied while its own copy is made."""

    def __init__(self, action):
        self.action = action

    def __deepcopy__(self, memo):
        self.action()
        return Mutator(None)


def both(build):
    """copy.deepcopy and _deepcopy on fresh, equal inputs: results or errors."""
    outcomes = []
    for function in (copy.deepcopy, _deepcopy):
        try:
            result = function(build())
            outcomes.append(("ok", [type(x).__name__ for x in result] if isinstance(result, list)
                             else sorted(result)))
        except Exception as error:  # noqa: BLE001 - the error itself is compared
            outcomes.append((type(error), str(error)))
    return outcomes


@pytest.mark.parametrize("case", ["list cleared", "list grown", "dict grown", "dict own key deleted",
                                  "dict key swapped", "dict emptied"])
def test_foreign_code_changing_the_container(case):
    def build():
        if case.startswith("list"):
            items = []
            action = items.clear if case == "list cleared" else (lambda: items.append(Box()))
            items.extend([Mutator(action), Box(), [1, 2], Box()])
            return items
        entries = {}

        def swap():
            del entries["m"]
            entries["z"] = Box()

        action = {
            "dict grown": lambda: entries.setdefault("new", Box()),
            "dict own key deleted": lambda: entries.pop("m"),
            "dict key swapped": swap,
            "dict emptied": entries.clear,
        }[case]
        entries.update(a=[1], m=Mutator(action))
        return entries

    expected, actual = both(build)
    assert actual == expected


def test_deep_nesting_raises_recursion_error():
    nested = []
    for _ in range(100_000):
        nested = [nested]
    with pytest.raises(RecursionError):
        _deepcopy(nested)


def test_arguments():
    with pytest.raises(TypeError, match=r"_deepcopy\(\) takes at least 1 positional argument \(0 given\)"):
        _deepcopy()
    assert _deepcopy(x=[1], memo=None) == [1]


def _layout(value):
    """What tells two copies of a buffer apart: type, items, and for arrays the
    dtype, shape and memory order."""
    if type(value).__module__ == "numpy":
        return (type(value), value.dtype, value.shape, value.strides, value.tolist())
    return (type(value), bytes(value))


def test_buffers_copy_as_copy_deepcopy_copies_them():
    numpy = pytest.importorskip("numpy")
    base = numpy.arange(24.0).reshape(4, 6)
    shared = bytearray(b"shared")
    cases = [base, base.T, base[::2, 1:4], numpy.asfortranarray(base), numpy.zeros(0, dtype="i4"),
             numpy.array([b"ab", b"cd"]), shared, bytearray()]
    for value in cases:
        ours, theirs = _deepcopy(value), copy.deepcopy(value)
        assert _layout(ours) == _layout(theirs)
        assert ours is not value and not numpy.shares_memory(numpy.asarray(ours), numpy.asarray(value))
    # Sharing, and the memo as copy.deepcopy leaves it.
    root = {"a": base, "b": [base, shared, shared]}
    ours = _deepcopy(root)
    assert ours["a"] is ours["b"][0] and ours["b"][1] is ours["b"][2]
    def memo_after(deepcopy):
        memo = {}
        deepcopy(root, memo)
        labels = {id(root): "root", id(base): "base", id(shared): "shared", id(root["b"]): "list", id(memo): "memo"}
        return [labels[key] for key in memo], [labels[id(kept)] for kept in memo[id(memo)]]

    assert memo_after(_deepcopy) == memo_after(copy.deepcopy)
    # Arrays of objects keep the generic path: their items are copied too.
    boxes = numpy.array([Box(1), Box(2)], dtype=object)
    copied = _deepcopy({"x": boxes})["x"]
    assert copied[0] is not boxes[0] and copied[0].content == 1
