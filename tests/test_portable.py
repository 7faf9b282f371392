"""Portable objects: ids, the registry, and serialisation with class source."""

import importlib
import random
import subprocess
import sys
import textwrap
import traceback

import pytest

from velarix.imp import ConstantsImp, PortableImp
from velarix.i_node import INode
from velarix.io_node import IONode
from velarix.o_node import ONode
from velarix.portable import Portable


class Strict(Portable):
    """A configuration whose item assignment refuses every write."""

    class Configuration(Portable.Configuration):
        def __setitem__(self, key, value):
            raise RuntimeError("read-only configuration")


class EqualsEverything:
    def __eq__(self, other):
        return True

    def __hash__(self):
        return 0


# Identity ----------------------------------------------------------------------


def test_generated_id_is_the_seeded_draw_in_sixteen_hex_columns():
    random.seed(7)
    expected = format(random.randint(0, 2**64 - 1), "16X")
    random.seed(7)
    obj = Portable()
    assert obj.config["id"] == expected
    assert len(expected) == 16 and expected.strip() == expected.strip().upper()
    assert PortableImp._ids == {expected}
    assert PortableImp._id_map == {expected: obj._imp}


def test_small_draw_is_padded_with_blanks_and_a_taken_id_is_drawn_again(monkeypatch):
    draws = iter([2748, 2748, 255])
    monkeypatch.setattr(random, "randint", lambda a, b: next(draws))
    first, second = Portable(), Portable()
    assert first.config["id"] == " " * 13 + "ABC"
    assert second.config["id"] == " " * 14 + "FF"
    assert PortableImp._ids == {" " * 13 + "ABC", " " * 14 + "FF"}


def test_marker_is_recognised_by_identity_only():
    lookalike = EqualsEverything()
    obj = Portable(id=lookalike)
    assert obj.config["id"] is lookalike
    assert PortableImp._ids == set()


def test_explicit_ids_conflict_and_the_first_object_keeps_its_place():
    first = Portable(id="sensor")
    with pytest.raises(ValueError, match=r"^ID 'sensor' conflict with another object\.$"):
        Portable(id="sensor")
    assert Portable.get_by_id("sensor") is first._imp
    assert PortableImp._ids == set()


def test_constructor_may_run_again_on_the_same_object():
    obj = Portable(id="x")
    PortableImp.__init__(obj._imp, obj.config)
    assert Portable.get_by_id("x") is obj._imp


def test_id_is_written_past_the_configurations_own_item_assignment():
    obj = Strict()
    assert len(obj.config["id"]) == 16


def test_missing_id_key_raises_the_lookup_error_and_registers_nothing():
    config = Portable.Configuration()
    del config["id"]
    with pytest.raises(KeyError):
        PortableImp(config)
    assert PortableImp._id_map == {}


def test_get_by_id_and_reset():
    obj = Portable(id="a")
    generated = Portable()
    assert Portable.get_by_id("missing") is None
    PortableImp.add_preinstalled_module("keep.me")
    Portable.reset()
    assert Portable.get_by_id("a") is None
    assert Portable.get_by_id(generated.config["id"]) is None
    assert PortableImp._ids == set()
    assert "keep.me" in PortableImp._preinstalled_modules
    again = Portable(id="a")  # the old object still holds "a" in its configuration
    assert obj.config["id"] == "a" and Portable.get_by_id("a") is again._imp


def test_copies_of_the_marker_stay_the_marker():
    import copy
    import pickle

    marker = ConstantsImp.ID_TO_BE_GENERATED
    assert copy.deepcopy(marker) is marker
    assert pickle.loads(pickle.dumps(marker)) is marker


# Serialisation -------------------------------------------------------------------

MODULE_TEXT = '''
import os
from collections import (
    OrderedDict,
    deque,
)

from velarix.portable import Portable


def helper():
    import json
    return json


LIMIT = 3


class Sample(Portable):
    """A sample class."""

    class Configuration(Portable.Configuration):
        class ReservedKeys:
            SECRET = "secret"

    def twice(self):
        return 2 * self.config["value"]
'''


@pytest.fixture
def sample_module(tmp_path, monkeypatch):
    name = "velarix_sample_mod_" + tmp_path.name.replace("-", "_")
    (tmp_path / f"{name}.py").write_text(textwrap.dedent(MODULE_TEXT))
    monkeypatch.syspath_prepend(str(tmp_path))
    module = importlib.import_module(name)
    yield module
    sys.modules.pop(name, None)


def test_serialised_form_carries_imports_class_text_and_filtered_config(sample_module):
    ports = [{"name": "in", "secret": 1}]
    obj = sample_module.Sample(value=21, secret="s3", ports=ports)
    data = obj.serialize()
    assert list(data) == ["class", "module", "source", "config"]
    assert data["class"] == "Sample" and data["module"] == sample_module.__name__
    imports, class_text = data["source"].split("\n\n", 1)
    assert imports.split("\n") == [
        "import os",
        "from collections import OrderedDict, deque",
        "from velarix.portable import Portable",
        "import json",  # nested in a function: walked after the top level
    ]
    assert class_text.startswith("class Sample(Portable):") and class_text.endswith("return 2 * self.config[\"value\"]\n")
    config = data["config"]
    assert type(config) is sample_module.Sample.Configuration
    assert "secret" not in config and config["ports"] == ports and config["ports"] is not ports
    assert obj.config["secret"] == "s3"  # the live configuration keeps it


def test_preinstalled_module_is_matched_anywhere_and_reimported(sample_module):
    obj = sample_module.Sample(value=2)
    PortableImp.add_preinstalled_module(sample_module.__name__[3:9])  # a substring from inside
    data = obj.serialize()
    assert data["source"] is None
    Portable.reset()
    again = Portable.deserialize(data)
    assert type(again) is sample_module.Sample and again.twice() == 4


def test_source_text_recreates_the_class_without_its_module(sample_module):
    data = sample_module.Sample(value=5).serialize()
    assert "LIMIT" not in data["source"]  # module constants are not captured
    Portable.reset()
    again = Portable.deserialize(data)
    assert type(again) is not sample_module.Sample
    assert type(again).__module__ == sample_module.__name__ and again.twice() == 10


def test_interactive_class_serialises_without_source():
    namespace = {"Portable": Portable}
    exec("class Made(Portable):\n    pass\n", namespace)
    data = namespace["Made"]().serialize()
    assert data["source"] is None and data["class"] == "Made"


def test_round_trip_in_a_fresh_process(sample_module, tmp_path):
    data = sample_module.Sample(value=4).serialize()
    data["config"] = dict(data["config"])
    script = textwrap.dedent(f"""
        from velarix.portable import Portable
        obj = Portable.deserialize({data!r})
        print(type(obj).__module__, obj.twice(), obj.config["id"])
    """)
    import os
    import velarix

    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(velarix.__file__)))
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         check=True, cwd=tmp_path, env=env)
    assert out.stdout.split() == [sample_module.__name__, "8", data["config"]["id"]]


def test_a_class_made_from_stored_text_saves_that_text_again(sample_module, tmp_path):
    # In a process where the module does not exist, inspect cannot find the text of
    # the class made from it; saving such an object again must not lose its class.
    data = sample_module.Sample(value=3).serialize()
    data["config"] = dict(data["config"])
    script = textwrap.dedent(f"""
        from velarix.portable import Portable
        first = Portable.deserialize({data!r})
        again = first.serialize()
        assert again["source"] == {data["source"]!r}, again["source"]
        Portable.reset()
        second = Portable.deserialize(dict(again, config=dict(again["config"])))
        print(type(second).__module__, second.twice())
    """)
    import os
    import velarix

    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(velarix.__file__)))
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         cwd=tmp_path, env=env)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == [sample_module.__name__, "6"]


@pytest.mark.parametrize(
    "change, error, message",
    [
        ({"class": "Missing"}, TypeError, "Class 'Missing' could not be imported."),
        ({"source": "class NotOurs:\n    pass\n", "class": "NotOurs"}, TypeError,
         "Class 'NotOurs' must be derived from class 'Portable'."),
        ({"config": None}, TypeError, "argument after ** must be a mapping, not NoneType"),
        ({"source": "import no_such_module_here\n"}, ModuleNotFoundError, "no_such_module_here"),
    ],
)
def test_deserialize_failures(sample_module, change, error, message):
    data = sample_module.Sample(value=1).serialize()
    Portable.reset()
    data.update(change)
    with pytest.raises(error) as raised:
        Portable.deserialize(data)
    assert message in str(raised.value)


def test_deserialize_reads_source_first_and_reports_missing_keys():
    with pytest.raises(KeyError, match="source"):
        Portable.deserialize({"class": "X", "module": "m", "config": {}})
    with pytest.raises(KeyError, match="module"):
        Portable.deserialize({"source": None})
    with pytest.raises(KeyError, match="config"):
        Portable.deserialize({"source": None, "module": "velarix.portable", "class": "Portable"})


def test_recreating_a_live_object_conflicts(sample_module):
    data = sample_module.Sample(value=1).serialize()
    with pytest.raises(ValueError, match="conflict with another object"):
        Portable.deserialize(data)


def test_fresh_ids_recreate_beside_the_live_object_and_its_ports(sample_module):
    sample = sample_module.Sample(value=2)
    data = sample.serialize()
    copies = [Portable.deserialize(data, fresh_ids=True) for _ in range(2)]
    assert [c.twice() for c in copies] == [4, 4]
    assert len({sample.config["id"], *(c.config["id"] for c in copies)}) == 3
    assert data["config"]["id"] == sample.config["id"]  # the saved form is not changed

    relay = Relay(name="relay", input_ports=[{"name": "a"}, {"name": "b", "timing": "ASYNC"}])
    data = relay.serialize()
    again = Portable.deserialize(data, fresh_ids=True)
    old_ports = relay.config["input_ports"] + relay.config["output_ports"]
    new_ports = again.config["input_ports"] + again.config["output_ports"]
    assert [(p["name"], p["timing"]) for p in new_ports] == [(p["name"], p["timing"]) for p in old_ports]
    assert not {p["id"] for p in old_ports} & {p["id"] for p in new_ports}
    live = [INode.get_port(again, name) for name in ("a", "b")] + [ONode.get_port(again, "out")]
    assert [Portable.get_by_id(p["id"]) for p in new_ports] == live
    assert [p["id"] for p in data["config"]["input_ports"]] == [p["id"] for p in relay.config["input_ports"]]
    with pytest.raises(ValueError, match="conflict with another object"):
        Portable.deserialize(data)


class Relay(IONode):
    def step(self, data):
        return {"out": data["a"]}


def test_recreated_code_is_named_after_its_class(sample_module):
    data = sample_module.Sample(value=1).serialize()
    data["source"] += "\n    def fail(self):\n        raise KeyError(self.config['value'])\n"
    Portable.reset()
    obj = Portable.deserialize(data)
    with pytest.raises(KeyError) as raised:
        obj.fail()
    text = "".join(traceback.format_exception(raised.value))
    assert 'File "<velarix: Sample>", line ' in text and "raise KeyError(self.config['value'])" in text
    Portable.reset()
    obj = PortableImp.deserialize(data, origin="/some/folder/app.json")
    assert type(obj).fail.__code__.co_filename == "<velarix: Sample from app.json>"


def test_an_indented_class_text_runs_dedented():
    text = "from velarix.portable import Portable\n\n    class Inner(Portable):\n        pass\n"
    obj = Portable.deserialize({"class": "Inner", "module": "m", "source": text, "config": {}})
    assert type(obj).__name__ == "Inner" and type(obj).__module__ == "m"


# Bad input -------------------------------------------------------------------------


class Str(str):
    pass


class Dict(dict):
    pass


class Hostile:
    def __eq__(self, other):
        raise RuntimeError("eq")

    def __hash__(self):
        raise RuntimeError("hash")


WRONG = [None, Str("x"), Dict(), 5, 1.5, Hostile(), "x" * 100_000, [], (), b"id", object()]


@pytest.mark.parametrize("value", WRONG, ids=lambda v: type(v).__name__)
def test_static_operations_reject_wrong_types_with_the_exact_message(value):
    for call, name, expected in [
        (PortableImp.get_by_id, "id", "str"),
        (PortableImp.add_preinstalled_module, "module", "str"),
        (PortableImp.deserialize, "data", "dict"),
    ]:
        if type(value).__name__ == expected:
            continue
        with pytest.raises(TypeError) as raised:
            call(value)
        assert str(raised.value) == (
            f"Argument '{name}' has incorrect type (expected {expected}, got {type(value).__name__})"
        )


def test_wrong_argument_counts():
    cases = [
        (lambda: PortableImp.get_by_id(), "get_by_id() takes exactly 1 positional argument (0 given)"),
        (lambda: PortableImp.get_by_id("a", "b"), "get_by_id() takes exactly 1 positional argument (2 given)"),
        (lambda: PortableImp.reset(1), "reset() takes exactly 0 positional arguments (1 given)"),
        (lambda: PortableImp.deserialize(), "deserialize() takes exactly 1 positional argument (0 given)"),
        (lambda: PortableImp(), "__init__() takes exactly 1 positional argument (0 given)"),
        # The file being loaded comes by keyword only.
        (lambda: PortableImp.deserialize({}, "app.json"), "deserialize() takes exactly 1 positional argument (2 given)"),
        (lambda: PortableImp.deserialize(origin="app.json"), "deserialize() takes exactly 1 positional argument (0 given)"),
        (lambda: PortableImp.deserialize({}, origin=5), "Argument 'origin' has incorrect type (expected str, got int)"),
        (lambda: PortableImp.get_by_id(key="a"), "get_by_id() got an unexpected keyword argument 'key'"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as raised:
            call()
        assert str(raised.value) == message


@pytest.mark.parametrize("config", [None, 5, "id", [], Hostile()], ids=repr)
def test_constructor_with_odd_configurations_raises_cleanly(config):
    with pytest.raises((TypeError, KeyError, AttributeError)):
        PortableImp(config)
    assert PortableImp._id_map == {}


def test_unhashable_or_hostile_explicit_ids_raise_cleanly():
    for bad in ([1], Hostile()):
        with pytest.raises((TypeError, RuntimeError)):
            Portable(id=bad)
