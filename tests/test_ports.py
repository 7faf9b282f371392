"""Ports: what arrives and in which order, links, metadata across a link, and pushes
and reads from several threads."""

import sys
import threading

import pytest

from node_helpers import ASYNC, SYNC
from velarix.i_port import IPort
from velarix.o_port import OPort


def port(kind, name="p", timing=SYNC):
    return kind(name=name, timing=timing)._imp


def linked(*inputs, timing=SYNC):
    output = port(OPort, "out", timing)
    for input_port in inputs:
        output.connect(input_port)
        input_port.connect(output)
    return output


def drain(input_port):
    values = []
    while input_port.data_available():
        values.append(input_port.get())
    return values


def test_sync_keeps_every_value_and_async_only_the_newest():
    calls = []
    sync, newest = port(IPort, "s"), port(IPort, "a", ASYNC)
    for p in (sync, newest):
        p.set_event_handler(lambda: calls.append(1))
    output = linked(sync, newest)
    for value in range(5):
        output.push(value)
    assert len(calls) == 10  # one call per arriving value, on each port
    assert drain(sync) == [0, 1, 2, 3, 4] and drain(newest) == [4]
    assert sync.get_timing() == SYNC and newest.get_timing() == ASYNC
    with pytest.raises(LookupError):
        sync.get()


def test_push_follows_links_in_order_once_each():
    first, second, third = port(IPort, "1"), port(IPort, "2"), port(IPort, "3")
    output = linked(second, first)
    output.connect(second)  # already linked
    output.connect(third)
    assert output._connected_ports == [second, first, third]
    output.disconnect(first)
    output.push("x")
    assert [drain(p) for p in (first, second, third)] == [[], ["x"], ["x"]]
    with pytest.raises(TypeError):
        output.connect(port(OPort))
    with pytest.raises(TypeError):
        first.connect(port(IPort))


def test_metadata_is_read_through_the_link():
    input_port = port(IPort)
    assert not input_port.config.has_metadata() and input_port.config.get_metadata() is None
    output = linked(input_port)
    assert not input_port.config.has_metadata()
    output.config.set_metadata(None)  # stored is stored, even None
    assert input_port.config.has_metadata() and input_port.config.get_metadata() is None
    output.config.set_metadata({"rate": 10})
    assert input_port.config.get_metadata() == {"rate": 10}
    with pytest.raises(TypeError):
        input_port.config.set_metadata({})


@pytest.fixture
def frequent_switching():
    """Switch threads as often as the interpreter allows, to bring races out."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_concurrent_pushes_are_lossless_and_keep_each_producers_order(frequent_switching):
    input_port = port(IPort)
    outputs = [linked(input_port) for _ in range(4)]
    seen, written = [], threading.Event()

    def consume():
        while not written.is_set() or input_port.data_available():
            if input_port.data_available():
                seen.append(input_port.get())

    reader = threading.Thread(target=consume, daemon=True)
    writers = [threading.Thread(target=lambda o=o, k=k: [o.push((k, i)) for i in range(2000)])
               for k, o in enumerate(outputs)]
    for thread in [reader, *writers]:
        thread.start()
    for thread in writers:
        thread.join()
    written.set()
    reader.join(10)
    assert not reader.is_alive()
    for k in range(4):
        assert [i for w, i in seen if w == k] == list(range(2000))


def test_the_same_link_made_on_several_threads_at_once_is_made_once(frequent_switching):
    for _ in range(100):
        output = port(OPort, "out")
        inputs = [port(IPort, str(i)) for i in range(20)]
        barrier = threading.Barrier(4)

        def link_all():
            barrier.wait()
            for input_port in inputs:
                output.connect(input_port)

        threads = [threading.Thread(target=link_all) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert output._connected_ports == inputs  # a duplicate would push twice


def test_push_reads_the_links_through_a_class_that_redefines_them():
    # The push reads a plain port's links straight from its __dict__; a class that
    # puts a property (or its own attribute protocol) in the way is asked instead.
    from velarix.imp import OPortImp

    class FirstOnly(OPortImp):
        @property
        def _connected_ports(self):
            return self.__dict__["_routes"][:1]

        @_connected_ports.setter
        def _connected_ports(self, value):
            self.__dict__["_routes"] = value

    class Counting(OPortImp):
        reads = 0

        def __getattribute__(self, name):
            if name == "_connected_ports":
                type(self).reads += 1
            return super().__getattribute__(name)

    first, second = port(IPort, "1"), port(IPort, "2")
    for cls in (FirstOnly, Counting):
        output = cls(OPort.Configuration(name=cls.__name__, timing=SYNC))
        for input_port in (first, second):
            output.connect(input_port)
        output.push(cls.__name__)
    assert drain(first) == ["FirstOnly", "Counting"] and drain(second) == ["Counting"]
    assert Counting.reads >= 1
