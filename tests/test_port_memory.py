"""Ports: exact messages and links, and a million values through a port without
growth in memory or references."""

import gc
import os
import sys

import pytest

from node_helpers import bounded
from velarix.constants import Constants
from velarix.i_port import IPort
from velarix.o_port import OPort


def test_port_messages_and_links_are_exact():
    i, o = IPort(name="in")._imp, OPort(name="out")._imp
    with pytest.raises(LookupError, match=r"^No data waiting on port 'in'\.$"):
        i.get()
    with pytest.raises(TypeError, match=r"^An input port connects only to an output port, not to int\.$"):
        i.connect(1)
    with pytest.raises(TypeError, match=r"^An output port connects only to an input port, not to OPortImp\.$"):
        o.connect(o)
    o.connect(i)
    o.connect(i)
    i.connect(o)
    assert o._connected_ports == [i] and i._connected_ports == [o]
    assert not i.config.has_metadata()
    metadata = {"rate": 5}
    o.config.set_metadata(metadata)
    assert i.config.has_metadata() and i.config.get_metadata() is metadata
    assert type(i).__mro__[1].__name__ == "PortableImp"
    assert type(i).get_by_id(i.config["id"]) is i


def test_a_million_values_through_a_port_leave_memory_and_references_flat():
    port = bounded(8, Constants.Overflow.BLOCK)
    value = object()
    calls = []
    port.set_event_handler(lambda: None)
    refs = sys.getrefcount(value)
    with open(f"/proc/{os.getpid()}/statm") as statm:
        before = int(statm.read().split()[1])
    for _ in range(1_000_000):
        port._receive(value)
        port.get()
    gc.collect()
    with open(f"/proc/{os.getpid()}/statm") as statm:
        after = int(statm.read().split()[1])
    assert sys.getrefcount(value) == refs
    assert (after - before) * os.sysconf("SC_PAGE_SIZE") < 8 * 2**20
    assert calls == []
