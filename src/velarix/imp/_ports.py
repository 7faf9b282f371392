"""Port implementations.

An output port pushes each value to every input port linked to it, in link order.
An input port queues what arrives: SYNC keeps every value in arrival order, ASYNC
keeps only the newest. Pushes, reads and (re)links may run on different threads:
deque appends and pops are atomic, and link lists are replaced, never changed in
place, so a push walks a consistent snapshot.
"""

import threading
from collections import deque

from .ferrant import PortableImp


# Link changes read, extend and replace a list; two at once must not lose one.
_links = threading.Lock()


def _timing_of(config):
    return config[config.Keys.TIMING]


def _linked(ports, port):
    return any(p is port for p in ports)


class IPortImp(PortableImp):
    def __init__(self, config):
        PortableImp.__init__(self, config)
        from ..constants import Constants

        self._timing = _timing_of(config)
        self._values = deque(maxlen=1 if self._timing == Constants.Timing.ASYNC else None)
        self._event_handler = None
        self._connected_ports = []
        config._port = self  # lets the configuration answer for the linked output port

    def set_event_handler(self, handler):
        self._event_handler = handler

    def data_available(self):
        return bool(self._values)

    def get(self):
        try:
            return self._values.popleft()
        except IndexError:
            raise LookupError(f"No data waiting on port '{self.config[self.config.Keys.NAME]}'.") from None

    def get_timing(self):
        return self._timing

    def _receive(self, value):
        self._values.append(value)
        handler = self._event_handler
        if handler is not None:
            handler()

    def connect(self, output_port):
        if not isinstance(output_port, OPortImp):
            raise TypeError(f"An input port connects only to an output port, not to {type(output_port).__name__}.")
        with _links:
            if not _linked(self._connected_ports, output_port):
                self._connected_ports = self._connected_ports + [output_port]

    def disconnect(self, output_port):
        with _links:
            self._connected_ports = [p for p in self._connected_ports if p is not output_port]

    def _source_metadata(self):
        """Metadata of the first linked output port that has any, else None."""
        for output_port in self._connected_ports:
            if output_port.config.has_metadata():
                return output_port.config
        return None


class OPortImp(PortableImp):
    def __init__(self, config):
        PortableImp.__init__(self, config)
        self._timing = _timing_of(config)
        self._connected_ports = []

    def get_timing(self):
        return self._timing

    def push(self, value):
        for input_port in self._connected_ports:
            input_port._receive(value)

    def connect(self, input_port):
        if not isinstance(input_port, IPortImp):
            raise TypeError(f"An output port connects only to an input port, not to {type(input_port).__name__}.")
        with _links:
            if not _linked(self._connected_ports, input_port):
                self._connected_ports = self._connected_ports + [input_port]

    def disconnect(self, input_port):
        with _links:
            self._connected_ports = [p for p in self._connected_ports if p is not input_port]
