"""Input nodes: construction, the worker's two ways of running, the metadata wait,
start and stop of the worker, and wrong values at the public operations."""

import threading

import pytest

from node_helpers import (ASYNC, SYNC, DictSub, ListSub, Recorder, ScriptedPort, StrSub,
                          Unhashable, install_probe)
from velarix.constants import Constants
from velarix.i_node import INode
from velarix.i_port import IPort
from velarix.imp import INodeImp, PortableImp


class Recording(INode):
    def __init__(self, **entries):
        super().__init__(**entries)
        self.steps = []
        self.pre_steps = []
        self.set_logger(Recorder())

    def pre_step(self, data):
        self.pre_steps.append(data)

    def step(self, data):
        self.steps.append(data)


def scripted(node, **ports):
    node._imp._input_ports = ports
    return install_probe(node._imp)


# Construction ------------------------------------------------------------------------


def test_ports_are_built_in_order_and_share_their_configurations():
    node = Recording(input_ports=[{"name": "b", "timing": ASYNC}, IPort.Configuration(name="a")])
    imp = node._imp
    assert list(imp._input_ports) == ["b", "a"]
    configs = node.config["input_ports"]
    assert configs == [p.config for p in imp._input_ports.values()]
    assert all(c is p.config for c, p in zip(configs, imp._input_ports.values()))
    assert imp._input_ports["b"].get_timing() == ASYNC
    assert node.get_port("a") is node.get_port("a") is imp._input_ports["a"]
    with pytest.raises(ValueError, match="^Input port 'c' not found.$"):
        node.get_port("c")
    assert (imp._is_thread_running, imp._thread) == (False, None)
    assert not imp._thread_event.is_set()


def set_error(name):
    """The host's own message for a name its set cannot hold (3.14 words it anew)."""
    with pytest.raises(TypeError) as caught:
        set([name])
    return str(caught.value)


@pytest.mark.parametrize("ports, error, message", [
    ([], ValueError, "input_ports must not be empty."),
    ([{"name": "x"}, {"name": "x"}], ValueError, "input_ports contain duplicate names."),
    (("x",), TypeError, "Expected list, got tuple"),
    (ListSub([{"name": "x"}]), TypeError, "Expected list, got ListSub"),
    ({"name": "x"}, TypeError, "Expected list, got dict"),
    (None, TypeError, "object of type 'NoneType' has no len()"),
    ([{"name": "x"}, None], TypeError, "'NoneType' object is not iterable"),
    ([{"name": [1]}], TypeError, set_error([1])),
    ([{"name": Unhashable()}], TypeError, set_error(Unhashable())),
])
def test_a_bad_port_list_fails_before_the_node_exists(ports, error, message):
    with pytest.raises(error) as caught:
        Recording(input_ports=ports)
    assert str(caught.value) == message
    assert PortableImp._id_map == {}  # no node, no logger, no port


@pytest.mark.parametrize("name, error, message", [
    (None, TypeError, "Argument 'port_name' has incorrect type (expected str, got NoneType)"),
    (StrSub("in"), TypeError, "Argument 'port_name' has incorrect type (expected str, got StrSub)"),
    (1, TypeError, "Argument 'port_name' has incorrect type (expected str, got int)"),
    ("x" * 5000, ValueError, "Input port '" + "x" * 5000 + "' not found."),
])
def test_get_port_with_wrong_values(name, error, message):
    with pytest.raises(error) as caught:
        Recording().get_port(name)
    assert str(caught.value) == message


def test_wrong_configurations_raise_the_lookup_errors():
    with pytest.raises(AttributeError):
        INodeImp(None)
    with pytest.raises(AttributeError):
        INodeImp(DictSub(input_ports=[]))  # no Keys
    with pytest.raises(KeyError):
        INodeImp(INode.Configuration(name="n"))
    with pytest.raises(TypeError, match="takes exactly 1 positional argument"):
        INodeImp()


# The worker --------------------------------------------------------------------------


def test_all_async_ports_run_one_cycle_per_wake_up(no_thread_leak):
    node = Recording()
    probe = scripted(node, a=ScriptedPort([1, 2, 3], ASYNC), b=ScriptedPort([4, 5, 6], ASYNC))
    probe.set()
    probe.set()  # a flag: signals before a wait count once
    node.start()
    # One cycle on starting, one for the pending signal; then it waits with a value
    # still on every port.
    assert probe.reached("waits", 2)
    assert node.steps == [{"a": 1, "b": 4}, {"a": 2, "b": 5}]
    probe.set()
    assert probe.reached("waits", 3)
    assert node.steps[2:] == [{"a": 3, "b": 6}]
    node.stop()


def test_one_sync_port_runs_cycles_back_to_back(no_thread_leak):
    node = Recording()
    probe = scripted(node, a=ScriptedPort([1, 2, 3], ASYNC), b=ScriptedPort([4, 5, 6], SYNC))
    node.start()
    assert probe.reached("waits", 1)
    assert [d["a"] for d in node.steps] == [1, 2, 3]
    node.stop()


def test_no_cycle_until_every_port_holds_data(no_thread_leak):
    node = Recording()
    probe = scripted(node, a=ScriptedPort([1]), b=ScriptedPort())
    node.start()
    assert probe.reached("waits", 1)
    assert node.steps == []
    node._imp._input_ports["b"].values.append(2)
    probe.set()
    assert probe.reached("waits", 2)
    assert node.steps == [{"a": 1, "b": 2}]
    node.stop()


def test_missing_metadata_fails_the_set_up_after_the_class_timeout(monkeypatch, no_thread_leak):
    class Patient(INodeImp):
        _GET_METADATA_TIMEOUT = 1000.0  # must not be the one that counts

    class Node(Recording):
        _imp_class = Patient

    monkeypatch.setattr(INodeImp, "_GET_METADATA_TIMEOUT", 0.05)
    node = Node()
    port = node.get_port("in")
    probe = install_probe(node._imp)
    node.start()
    port._receive({"v": 1})
    assert probe.reached("waits", 2)
    log = node._imp._logger
    assert log.messages("ERROR") == ["No input metadata found for port 'in'."]
    assert node.get_condition() == Constants.Conditions.ERROR
    assert node.pre_steps == node.steps == [{"in": {"v": 1}}]  # that cycle still ran
    port._receive({"v": 2})
    assert probe.reached("waits", 3)
    assert len(node.steps) == 1
    node.stop()


@pytest.mark.parametrize("failure, message", [
    (LookupError("port gone"), "port gone"),
    (RuntimeError(), "RuntimeError"),  # no argument to log
    (ValueError(42), "42"),
])
def test_a_port_failure_ends_the_worker_with_one_entry(failure, message, no_thread_leak):
    node = Recording()
    scripted(node, a=ScriptedPort(fail=failure))
    node.start()
    worker = node._imp._thread
    worker.join(5)
    assert not worker.is_alive()
    assert node._imp._logger.messages("ERROR") == [message]
    assert node._imp._is_thread_running is True
    node.start()  # the flag is still set: no second worker
    assert node._imp._thread is worker
    node.stop()
    assert node._imp._logger.messages()[-1] == "Node Recording stopped."


# Start and stop ----------------------------------------------------------------------


def test_start_twice_one_worker_stop_ends_it_and_restart_makes_another(no_thread_leak):
    node = Recording()
    probe = install_probe(node._imp)
    node.start()
    node.start()
    worker = node._imp._thread
    assert [t for t in threading.enumerate() if t is worker] == [worker] and worker.daemon
    assert probe.reached("waits", 1)
    node.stop()
    assert not worker.is_alive()
    assert (node._imp._is_thread_running, node._imp._thread) == (False, None)
    assert node._imp._logger.messages() == ["Node Recording started.", "Node Recording stopped."]
    node.start()
    again = node._imp._thread
    assert again is not worker and again.is_alive()
    node.stop()
    assert not again.is_alive()


def test_a_worker_that_cannot_start_leaves_the_node_ready_to_try_again(monkeypatch, no_thread_leak):
    def refuse(thread):
        raise RuntimeError("can't start new thread")

    node = Recording()
    with monkeypatch.context() as patch:
        patch.setattr(threading.Thread, "start", refuse)
        with pytest.raises(RuntimeError, match="can't start new thread"):
            node.start()
    assert (node._imp._is_thread_running, node._imp._thread) == (False, None)
    node.start()
    assert node._imp._thread.is_alive()
    node.stop()


def test_stop_does_not_wait_for_a_sync_backlog(no_thread_leak):
    gate = threading.Event()

    class Slow(Recording):
        def step(self, data):
            super().step(data)
            gate.wait(5)

    node = Slow()
    probe = scripted(node, a=ScriptedPort(range(1000)))
    node.start()
    stopper = threading.Thread(target=node.stop)
    stopper.start()
    assert probe.reached("sets", 1)  # stop() has cleared the flag
    gate.set()
    stopper.join(5)
    assert not stopper.is_alive()
    assert len(node.steps) == 1 and len(node._imp._input_ports["a"].values) == 999


def test_a_handler_may_stop_its_own_node(no_thread_leak):
    stopped = threading.Event()

    class StopsItself(Recording):
        def step(self, data):
            self.stop()
            stopped.set()

    node = StopsItself()
    node.start()
    worker = node._imp._thread
    node.get_port("in")._receive(1)
    assert stopped.wait(5)
    worker.join(5)
    assert not worker.is_alive()
    assert node.get_state() == Constants.States.STOPPED
    assert (node._imp._is_thread_running, node._imp._thread) == (False, None)


def test_a_start_landing_inside_stop_neither_hangs_nor_keeps_the_old_worker(no_thread_leak):
    node = Recording()
    probe = install_probe(node._imp)
    node.start()
    first = node._imp._thread
    assert probe.reached("waits", 1)

    # stop() clears the flag, sets the event, and before it joins, another
    # controller starts the node again.
    original_set = probe.set

    def set_then_start():
        original_set()
        probe.set = original_set
        node.start()

    probe.set = set_then_start
    stopper = threading.Thread(target=node.stop, daemon=True)
    stopper.start()
    stopper.join(5)
    assert not stopper.is_alive(), "stop() waits for a worker that never ends"
    assert not first.is_alive()
    second = node._imp._thread
    assert second is not first and second.is_alive()
    node.stop()
    assert not second.is_alive()
