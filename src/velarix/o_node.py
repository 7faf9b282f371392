"""Output nodes: push each step's result through their output ports."""

from .constants import Constants
from .i_node import _port_configurations
from .imp import ONodeImp
from .node import Node
from .o_port import OPort


class ONode(Node):
    class Configuration(Node.Configuration):
        class Keys(Node.Configuration.Keys):
            OUTPUT_PORTS = "output_ports"

    _imp_class = ONodeImp

    def _prepare_entries(self, entries):
        super()._prepare_entries(entries)
        _port_configurations(entries, self.Configuration.Keys.OUTPUT_PORTS, OPort,
                             Constants.Defaults.PORT_OUT)

    def connect(self, output_port, input_node, input_port):
        """Link this node's `output_port` to `input_port` of `input_node`."""
        self._imp.connect(output_port, _imp_of(input_node), input_port)

    def disconnect(self, output_port, input_node, input_port):
        self._imp.disconnect(output_port, _imp_of(input_node), input_port)

    def get_port(self, name):
        return ONodeImp.get_port(self._imp, name)

    def cycle(self, data=None):
        """Run one step cycle now: how an application drives a source node."""
        if data is None:
            self._imp._cycle()
        else:
            self._imp._cycle(data)


def _imp_of(node):
    return getattr(node, "_imp", node)
