"""The step cycle remembers what it read from a node's __dict__ while the dict is
unchanged, told of changes by a dict watcher: more dicts than it can follow at once,
freed dicts whose address a new one takes, and another watcher on the same dict."""

import time

import pytest

import velarix.imp as imp
from node_helpers import Recorder
from velarix.constants import Constants
from velarix.imp import NodeImp
from velarix.node import Node


@pytest.fixture(autouse=True)
def quiet(monkeypatch):
    """No set-up pause and no output class: the cycle of an input-side node."""
    monkeypatch.setattr(time, "sleep", lambda seconds: None)
    monkeypatch.delattr(imp, "ONodeImp", raising=False)


def started(name="w"):
    node = NodeImp(Node.Configuration(name=name))
    node.set_logger(Recorder())
    node.set_setup_handler(lambda data, metadata: {"out": {}})
    node.set_step_handler(lambda data: {})
    node.start()
    return node


def test_more_nodes_than_followed_dicts_each_keep_their_own_values():
    # Far more dicts than the watcher's table holds: places are taken over,
    # dicts unwatched and watched again, and no node reads another's values.
    nodes = [started() for _ in range(1500)]
    for round_ in range(2):
        for node in nodes:
            node._cycle({})
    for i, node in enumerate(nodes):
        node._counter = i  # from outside, between cycles
    for node in nodes:
        node._cycle({})
    assert [node.get_counter() for node in nodes] == [i + 1 for i in range(len(nodes))]
    assert all(node._condition == Constants.Conditions.HEALTHY for node in nodes)


def test_a_freed_dict_leaves_nothing_for_the_next_one_at_its_address():
    for i in range(200):
        node = started()
        node._counter = 1000 + i
        node._cycle({})
        assert node.get_counter() == 1001 + i
        del node
        fresh = started()  # often in the memory the freed node and dict had
        fresh._cycle({})
        assert fresh.get_counter() == 1
        del fresh


def test_another_watcher_on_the_node_dict_sees_every_change_and_changes_nothing():
    testcapi = pytest.importorskip("_testcapi")
    node = started()
    node._cycle({})
    watcher = testcapi.add_dict_watcher(0)  # records each event
    try:
        testcapi.watch_dict(watcher, node.__dict__)
        for _ in range(3):
            node._cycle({})
        node._counter = 10
        node._cycle({})
        testcapi.unwatch_dict(watcher, node.__dict__)
    finally:
        testcapi.clear_dict_watcher(watcher)
    assert node.get_counter() == 11


def test_attribute_stores_of_a_warmed_up_handler_are_seen():
    # Stores the interpreter has specialised may write an instance's attributes
    # without going through its __dict__ (3.13): each must still be seen.
    node = started()
    node._cycle({})

    def store(value):
        node._counter = value

    for i in range(200):
        store(i)
        node._cycle({})
        assert node.get_counter() == i + 1
