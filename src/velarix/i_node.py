"""Input nodes: a worker thread runs a step whenever every input port holds data."""

from .constants import Constants
from .i_port import IPort
from .imp import INodeImp
from .node import Node


def _port_configurations(entries, key, port_class, default_name):
    """Default to one port; plain dictionaries become the port's configuration."""
    ports = entries.get(key)
    if ports is None and key not in entries:
        entries[key] = [port_class.Configuration(name=default_name)]
    elif type(ports) is list:  # anything else meets the implementation's own check
        entries[key] = [
            port_class.Configuration(**p) if type(p) is dict else p for p in ports
        ]


class INode(Node):
    class Configuration(Node.Configuration):
        class Keys(Node.Configuration.Keys):
            INPUT_PORTS = "input_ports"

    _imp_class = INodeImp

    def _prepare_entries(self, entries):
        super()._prepare_entries(entries)
        _port_configurations(entries, self.Configuration.Keys.INPUT_PORTS, IPort,
                             Constants.Defaults.PORT_IN)

    def get_port(self, name):
        return INodeImp.get_port(self._imp, name)
