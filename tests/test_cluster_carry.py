"""Input nodes of a worker that step on the thread receiving their values."""

import threading

import pytest

pytest.importorskip("zmq")

from cluster_nodes import Collect, Gate, Named, Source  # noqa: E402
from test_cluster import WAIT, chain, reaper, wait_until  # noqa: E402,F401
from velarix.cluster import links  # noqa: E402

RECEIVING = "velarix-links-in"


class _Socket:
    def close(self, linger=0):
        pass


def _fed(*ports, local=()):
    """The nodes a Receiver with one link into each (node, port name, timing) finds
    fed by it alone; `local` ports also get a link from a node of this process."""
    receiver = links.Receiver(10)
    source = Source()
    for node, name, timing in ports:
        receiver.add(_Socket(), node._imp._input_ports[name], timing, node)
    for node, name in local:
        output, port = source._imp._output_ports["out"], node._imp._input_ports[name]
        output.connect(port)
        port.connect(output)
    return {node.get_name() for node in receiver.fed_alone()}


def test_only_nodes_that_keep_every_remote_value_are_carried():
    plain = Named(name="plain")
    blocking = Named(name="blocking", input_ports=[{"name": "in", "capacity": 3}])
    told = Named(name="told", input_ports=[{"name": "in", "capacity": 3, "overflow": "block"}])
    dropping = Named(name="dropping", input_ports=[{"name": "in", "capacity": 3, "overflow": "drop_oldest"}])
    raising = Named(name="raising", input_ports=[{"name": "in", "capacity": 3, "overflow": "raise"}])
    late = Named(name="late", input_ports=[{"name": "in", "timing": "ASYNC"}])
    nodes = (plain, blocking, told, dropping, raising, late)
    assert _fed(*[(n, "in", n._imp._input_ports["in"].get_timing()) for n in nodes]) == {"plain", "blocking", "told"}
    # Two ports: both must come from other processes, and over SYNC links.
    both = Named(name="both", input_ports=[{"name": "a"}, {"name": "b"}])
    half = Named(name="half", input_ports=[{"name": "a"}, {"name": "b"}])
    mixed = Named(name="mixed", input_ports=[{"name": "a"}, {"name": "b", "timing": "ASYNC"}])
    local = Named(name="local")
    assert _fed((both, "a", "SYNC"), (both, "b", "SYNC"), (half, "a", "SYNC"),
                (mixed, "a", "SYNC"), (mixed, "b", "ASYNC"), (local, "in", "SYNC"),
                local=[(local, "in")]) == {"both"}


def _thread_names(reaper, monkeypatch, carry, shm="1"):
    """source -> a (w1) -> b (w1) -> c (w2, dropping when full) -> sink: the thread
    names that stepped each value in a, b and c."""
    monkeypatch.setenv("VELARIX_CARRY", carry)
    monkeypatch.setenv("VELARIX_SHM", shm)
    source, a, b, sink = Source(), Named(name="a"), Named(name="b"), Collect()
    c = Named(name="c", input_ports=[{"name": "in", "capacity": 1000, "overflow": "drop_oldest"}])
    pipeline, cluster = chain(reaper, source, a, b, c, sink)
    cluster.spawn("w1")
    cluster.spawn("w2")
    for node, worker in ((a, "w1"), (b, "w1"), (c, "w2")):
        cluster.place(node, worker)
    pipeline.start()
    count = 200
    for n in range(count):
        source.cycle({"x": (n, [])})
    assert sink.wait_for(lambda v: len(v) == count, WAIT)
    assert [v[0] for v in sink.values] == list(range(count))
    transports = {link["transport"] for link in cluster.get_links()}
    pipeline.stop()
    assert pipeline.get_condition() == "HEALTHY"
    return {tuple(v[1]) for v in sink.values}, transports


@pytest.mark.parametrize("carry, shm", [("1", "1"), ("1", "0"), ("0", "1")])
def test_a_node_fed_by_other_processes_alone_steps_on_its_receiving_thread(reaper, monkeypatch, carry, shm):
    names, transports = _thread_names(reaper, monkeypatch, carry, shm)
    assert transports == ({"shm"} if shm == "1" else {"ipc"})
    assert len(names) == 1
    a, b, c = names.pop()
    # b has a local input and c drops values when full: both keep a thread of their own,
    # as a does with carrying turned off.
    assert (a == RECEIVING) == (carry == "1") and RECEIVING not in (b, c) and a != b


def test_a_carried_step_that_holds_its_thread_stops_with_the_pipeline(reaper, tmp_path):
    """The receiving thread is inside the step: the link waits in the ring, then
    everything arrives in order once the step lets go; stopping still ends it."""
    gate, entered = tmp_path / "gate", tmp_path / "entered"
    source, sink = Source(), Collect()
    held = Gate(name="held", gate=str(gate), entered=str(entered))
    pipeline, cluster = chain(reaper, source, held, sink)
    cluster.spawn("w1")
    cluster.place(held, "w1")
    pipeline.start()
    for n in range(50):
        source.cycle({"x": n})
    assert wait_until(entered.exists)
    gate.touch()
    assert sink.wait_for(lambda v: len(v) == 50, WAIT) and sink.values == list(range(50))
    gate.unlink()
    entered.unlink()
    source.cycle({"x": 50})
    assert wait_until(entered.exists)  # held again: the stop comes while it is inside the step
    release = threading.Timer(0.3, gate.touch)
    release.start()
    pipeline.stop()
    release.join()
    assert pipeline.get_state() == "STOPPED" and held.get_state() == "STOPPED"


def test_a_node_feeding_an_async_port_or_an_unknown_one_is_not_carried():
    def feeding(*timings):
        node = Named(name="feeding")
        output = node._imp._output_ports["out"]
        for timing in timings:
            if timing in ("SYNC", "ASYNC"):
                port = Named(input_ports=[{"name": "in", "timing": timing}])._imp._input_ports["in"]
                output.connect(port)
            else:
                sender = links.Sender(_Socket(), output, lambda: True)
                sender.timing = timing[len("remote "):] or None
                links.add_link(output, sender)
        return links.feeds_sync_only(node)

    assert feeding() and feeding("SYNC", "remote SYNC")
    assert not feeding("SYNC", "ASYNC") and not feeding("remote ASYNC") and not feeding("remote ")
