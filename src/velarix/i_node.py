"""Input nodes: a worker thread runs a step whenever every input port holds data."""

from __future__ import annotations

from typing import Any

from .constants import Constants
from .i_port import IPort
from .imp import INodeImp
from .node import Node


def _port_configurations(entries: dict[str, Any], key: str, port_class: Any, default_name: str) -> None:
    """Default to one port; plain dictionaries become the port's configuration."""
    ports = entries.get(key)
    if ports is None and key not in entries:
        entries[key] = [port_class.Configuration(name=default_name)]
    elif type(ports) is list:  # anything else meets the implementation's own check
        entries[key] = [
            port_class.Configuration(**p) if type(p) is dict else p for p in ports
        ]


class INode(Node):
    """A node with input ports: its worker thread runs a step whenever every
    input port holds a value, with data {port name: value}.

    Configuration keys, besides those of `Node` (`id`, `name`):

    - ``input_ports``: a list of port configurations, each a dict with ``name``
      and ``timing`` (`Constants.Timing.SYNC`, the default: every value is kept
      in arrival order; `ASYNC`: only the newest); default one port ``"in"``.
    - ``own_thread``: True keeps a worker thread of its own for this node in a
      pipeline that runs its nodes on shared scheduler threads
      (``Pipeline(threads=N)``): for a node whose step blocks on I/O or sleeps.
      Default False; without shared threads every input node has its own.

    Raises:
        TypeError: ``input_ports`` is not a list, or ``own_thread`` not a bool.
        ValueError: the list is empty or holds duplicate names.
    """

    class Configuration(Node.Configuration):
        """An input node's configuration: adds ``input_ports`` and ``own_thread``."""

        class Keys(Node.Configuration.Keys):
            INPUT_PORTS = "input_ports"
            OWN_THREAD = "own_thread"

    _imp_class = INodeImp
    _imp: INodeImp

    def _prepare_entries(self, entries: dict[str, Any]) -> None:
        super()._prepare_entries(entries)
        _port_configurations(entries, self.Configuration.Keys.INPUT_PORTS, IPort,
                             Constants.Defaults.PORT_IN)
        own = entries.get(INode.Configuration.Keys.OWN_THREAD, False)
        if type(own) is not bool:
            raise TypeError(f"own_thread must be True or False, not {type(own).__name__}.")

    def has_own_thread(self) -> bool:
        """True when the node keeps a worker thread of its own on a pipeline with
        shared scheduler threads (configuration key ``own_thread``)."""
        return self.config.get(INode.Configuration.Keys.OWN_THREAD, False) is True

    def _place_on(self, scheduler: Any) -> None:
        """From its next start, step on `scheduler`'s shared threads (a Scheduler);
        None: on a thread of its own."""
        setattr(self._imp, "_scheduler", scheduler)

    def _placed_on(self) -> Any:
        """The Scheduler it steps on from its next start, or None."""
        return getattr(self._imp, "_scheduler", None)

    def get_port(self, name: str) -> Any:
        """The input port implementation called `name`.

        Raises:
            ValueError: no input port has that name.
        """
        return INodeImp.get_port(self._imp, name)
