"""Nodes with both input and output ports: transform what arrives and pass it on."""

from __future__ import annotations

from typing import Any

from .i_node import INode
from .imp import INodeImp, ONodeImp
from .o_node import ONode


class IONodeImp(INodeImp, ONodeImp):  # type: ignore[misc]  # get_port: each base's own ports
    """Runs the input node's and the output node's constructors on one object."""

    def __init__(self, config: Any) -> None:
        INodeImp.__init__(self, config)
        ONodeImp.__init__(self, config)


class IONode(INode, ONode):
    """A node with input and output ports: each step gets one value per input
    port and returns one value per output port. Configuration keys: those of
    `INode` and `ONode` (``rate`` excepted: it is for source nodes only)."""

    class Configuration(INode.Configuration, ONode.Configuration):
        """Both port lists."""

        class Keys(INode.Configuration.Keys, ONode.Configuration.Keys):
            pass

    _imp_class = IONodeImp
    _imp: IONodeImp

    def get_input_port(self, name: str) -> Any:
        """The input port implementation called `name` (ValueError when unknown)."""
        return INode.get_port(self, name)

    def get_output_port(self, name: str) -> Any:
        """The output port implementation called `name` (ValueError when unknown)."""
        return ONode.get_port(self, name)
