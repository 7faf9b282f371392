"""Nodes with both input and output ports: transform what arrives and pass it on."""

from .i_node import INode
from .imp import INodeImp, ONodeImp
from .o_node import ONode


class IONodeImp(INodeImp, ONodeImp):
    """Runs the input node's and the output node's constructors on one object."""

    def __init__(self, config):
        INodeImp.__init__(self, config)
        ONodeImp.__init__(self, config)


class IONode(INode, ONode):
    class Configuration(INode.Configuration, ONode.Configuration):
        class Keys(INode.Configuration.Keys, ONode.Configuration.Keys):
            pass

    _imp_class = IONodeImp

    def get_input_port(self, name):
        return INode.get_port(self, name)

    def get_output_port(self, name):
        return ONode.get_port(self, name)
