"""Python code that the native side runs in the middle of its own work (a patched
clock, a handler) may drop or replace what that work was reading; the native side
must go on with what it had, never with freed memory (make test-asan shows it)."""

import time

import pytest

from node_helpers import Recorder
from velarix.imp import NodeImp
from velarix.node import Node


def stepped_node(steps=5):
    node = NodeImp(Node.Configuration(name="t"))
    node.set_logger(Recorder())
    node.set_setup_handler(lambda data, metadata: {})
    node.set_step_handler(lambda data: None)
    node.start()
    for _ in range(steps):
        node._cycle({})
    return node


def drop_stats(node, other):
    del node.__dict__["_step_stats"]


def replace_stats(node, other):
    node.__dict__["_step_stats"] = other.__dict__["_step_stats"]


def replace_dict(node, other):
    node.__dict__ = {}


@pytest.mark.parametrize("change", [drop_stats, replace_stats, replace_dict])
def test_a_clock_that_changes_the_step_statistics_under_get_step_stats(monkeypatch, change):
    monkeypatch.setattr(time, "sleep", lambda seconds: None)
    node, other = stepped_node(), stepped_node(2)
    real = time.time

    def clock():
        change(node, other)
        return real()

    monkeypatch.setattr(time, "time", clock)
    # The figures are those of the statistics as the call found them.
    figures = node.get_step_stats()
    assert (figures["steps"], figures["window"]) == (5, 5)
    assert figures["rate"] > 0
