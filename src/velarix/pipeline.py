"""Pipelines: a graph of nodes that starts, stops, watches and saves itself."""

import json

from .imp import PipelineImp


class Pipeline:
    """Holds the nodes and their links, runs them together and watches them.
    `directory` is the log folder (None: the default folder; "": memory only)."""

    def __init__(self, directory=None):
        self._imp = PipelineImp(directory)

    # Graph
    def add_node(self, node):
        self._imp.add_node(node)

    def remove_node(self, node):
        self._imp.remove_node(node)

    def connect_ports(self, output_node, output_node_port, input_node, input_node_port):
        self._imp.connect_ports(output_node, output_node_port, input_node, input_node_port)

    def connect(self, output_node, input_node):
        self._imp.connect(output_node, input_node)

    def disconnect_ports(self, output_node, output_node_port, input_node, input_node_port):
        self._imp.disconnect_ports(output_node, output_node_port, input_node, input_node_port)

    def disconnect(self, output_node, input_node):
        self._imp.disconnect(output_node, input_node)

    # Run control
    def start(self):
        self._imp.start()

    def stop(self):
        self._imp.stop()

    def get_state(self):
        return self._imp.get_state()

    def get_condition(self):
        return self._imp.get_condition()

    def get_last_error(self):
        return self._imp.get_last_error()

    def get_elapsed_time(self):
        return self._imp.get_elapsed_time()

    def get_load(self):
        return self._imp.get_load()

    def write_log(self, entry):
        self._imp.write_log(entry)

    def get_logger(self):
        return self._imp._logger

    def get_nodes(self):
        """The nodes, in the order they were added (a new list)."""
        return list(self._imp._nodes)

    # Serialisation
    def serialize(self):
        return self._imp.serialize()

    @staticmethod
    def deserialize(data):
        return PipelineImp.deserialize(data)

    def save(self, path):
        """Write the pipeline to a JSON file."""
        with open(path, "w", encoding="utf-8") as file:
            json.dump(self.serialize(), file, indent=2)

    @staticmethod
    def load(path):
        """Re-create a pipeline from a JSON file written by save().

        Loading runs the class source stored in the file: load only files you trust.
        """
        with open(path, encoding="utf-8") as file:
            return PipelineImp.deserialize(json.load(file))
