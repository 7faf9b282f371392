"""Nodes with input and output ports, in a chain with a source and a sink."""

import pytest

from node_helpers import ASYNC, Recorder
from nodes import Double, Sink, Source
from velarix.constants import Constants
from velarix.imp import INodeImp


def wired(count, **io_entries):
    source, double, sink = Source(), Double(**io_entries), Sink(count)
    for node in (source, double, sink):
        node.set_logger(Recorder())
    source.connect("out", double, "in")
    double.connect("out", sink, "in")
    return source, double, sink


def test_values_flow_in_order_and_every_thread_ends_on_stop(no_thread_leak):
    source, double, sink = wired(500)
    for node in (sink, double, source):
        node.start()
    for n in range(500):
        source.cycle({"x": n})
    assert sink.done.wait(10)
    for node in (source, double, sink):
        node.stop()
    assert sink.values == [2 * n for n in range(500)]
    for node in (source, double, sink):
        assert node.get_condition() == Constants.Conditions.HEALTHY
        assert node._imp._logger.messages("ERROR") == []
    assert double.get_counter() == 500
    assert double._imp._logger.messages("INFO") == [
        "Node Double started.", "Setting up node Double.", "Node Double stopped."]


def test_names_resolve_against_the_right_port_list():
    source, double, sink = Source(), Double(input_ports=[{"name": "a"}], output_ports=[{"name": "b"}]), Sink(1)
    source.connect("out", double, "a")
    double.connect("b", sink, "in")
    assert double.get_input_port("a")._connected_ports == [source.get_port("out")]
    assert double.get_output_port("b")._connected_ports == [sink.get_port("in")]
    with pytest.raises(ValueError, match="^Output port 'a' not found.$"):
        double.connect("a", sink, "in")
    with pytest.raises(ValueError, match="^Input port 'b' not found.$"):
        source.connect("out", double, "b")


def test_port_lists_are_replaced_past_a_read_only_configuration():
    class Strict(Double):
        class Configuration(Double.Configuration):
            def __setitem__(self, key, value):
                raise RuntimeError("read-only configuration")

    node = Strict()
    imp = node._imp
    assert node.config["input_ports"] == [imp._input_ports["in"].config]
    assert node.config["output_ports"][0] is imp._output_ports["out"].config


def test_async_outputs_start_each_part_once_with_a_one_cycle_set_up_thread(monkeypatch, no_thread_leak):
    monkeypatch.setattr(INodeImp, "_GET_METADATA_TIMEOUT", 0.05)
    double = Double(output_ports=[{"name": "out", "timing": ASYNC}])
    double.set_logger(Recorder())
    double.start()
    imp = double._imp
    setup, worker = imp._setup_thread, imp._thread
    assert setup is not worker and worker.is_alive()
    setup.join(5)
    assert not setup.is_alive(), "the set-up thread runs the input worker's loop"
    assert imp._logger.messages("INFO").count("Node Double started.") == 1
    # No metadata arrives on "in": the set-up run on that thread fails as it should.
    assert imp._logger.messages("ERROR") == ["No input metadata found for port 'in'."]
    double.stop()
    assert not worker.is_alive()
    assert imp._logger.messages("INFO")[-1] == "Node Double stopped."
