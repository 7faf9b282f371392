"""The input worker's fallback: port methods replaced on the object, and stand-in
ports without an instance dict, are served through their Python methods instead
of the native path."""

import threading

from node_helpers import Recorder
from nodes import GatedSink
from velarix.constants import Constants
from velarix.o_port import OPort


def test_a_replaced_port_method_is_called_instead_of_the_native_path(no_thread_leak):
    logger = Recorder()
    sink = GatedSink(expected=1, name="sink")
    sink.set_logger(logger)
    port = sink.get_port("in")

    def broken():
        raise RuntimeError("get replaced")

    port.get = broken
    sink.start()
    try:
        port._receive(1)
        for _ in range(500):
            if logger.messages("ERROR"):
                break
            threading.Event().wait(0.01)
    finally:
        sink.stop()
    assert logger.messages("ERROR") == ["get replaced"]
    assert sink.values == []


class Slotted:
    """A port stand-in without an instance dict."""

    __slots__ = ("got",)

    def __init__(self):
        self.got = []

    def _receive(self, value):
        self.got.append(value)

    def data_available(self):
        return False

    def get_timing(self):
        return Constants.Timing.SYNC


def test_stand_in_ports_without_a_dict_are_served_through_their_methods(no_thread_leak):
    output, stand_in = OPort(name="out")._imp, Slotted()
    output._connected_ports = [stand_in]
    output.push(5)
    assert stand_in.got == [5]
    sink = GatedSink(name="sink")
    sink.set_logger(Recorder())
    sink._imp._input_ports = {"in": Slotted()}
    sink.start()
    sink.stop()
    assert sink.get_state() == Constants.States.STOPPED
