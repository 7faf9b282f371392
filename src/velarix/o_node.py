"""Output nodes: push each step's result through their output ports."""

from __future__ import annotations

from typing import Any, Callable, Optional

from ._timing import DEFAULT_CATCH_UP, Driver, check_number
from .constants import Constants
from .i_node import INode, _port_configurations
from .imp import ONodeImp
from .node import Node
from .o_port import OPort


class ONode(Node):
    """A node with output ports; each step returns one value per output port.

    Configuration keys, besides those of `Node` (`id`, `name`):

    - ``output_ports``: a list of port configurations (dictionaries with ``name``
      and ``timing``, see `OPort`); default one port named ``"out"``.
    - ``rate``: cycles per second for a timed source, or None (the default): the
      application drives the node with `cycle`. Only for nodes without input ports.
    - ``catch_up``: for a timed source, how many seconds of missed deadlines it
      makes up after a stall (default 0.02; 0: none).

    A timed source is driven by a daemon thread from its `start` until its `stop`
    (a pipeline starts and stops its nodes together). Each driven step receives
    ``{"count": k, "time": t}``: ``k`` the index of the deadline it runs for and
    ``t`` that deadline as wall-clock seconds (``time.time()`` scale). Cycle 0 runs
    at start (with the node's one-time set-up); deadline k is k / rate seconds
    after it ended. Deadlines are absolute, so the rate does not drift. After a
    stall the node makes up, back to back, the deadlines missed within the last
    ``catch_up`` seconds and skips older ones (a gap in ``count``), so a burst is
    at most ``catch_up * rate`` cycles beyond the one for the latest deadline.
    A node whose ports are all ``ASYNC`` runs one extra cycle with empty data
    when it starts, before the driver's first.

    Raises:
        TypeError, ValueError: on a malformed port list, rate or catch_up.
    """

    class Configuration(Node.Configuration):
        """An output node's configuration: adds ``output_ports``, ``rate`` and ``catch_up``."""

        class Keys(Node.Configuration.Keys):
            OUTPUT_PORTS = "output_ports"
            RATE = "rate"
            CATCH_UP = "catch_up"

    _imp_class = ONodeImp
    _imp: ONodeImp
    _driver: Optional[Driver] = None
    _ended = False  # end_stream() was called in this run
    # Told when this source ends: the watch of the pipeline that started it.
    _end_listener: Optional[Callable[[], None]] = None

    def _prepare_entries(self, entries: dict[str, Any]) -> None:
        super()._prepare_entries(entries)
        _port_configurations(entries, self.Configuration.Keys.OUTPUT_PORTS, OPort,
                             Constants.Defaults.PORT_OUT)
        rate = entries.get(ONode.Configuration.Keys.RATE)
        check_number(ONode.Configuration.Keys.RATE, rate, True, " of cycles per second")
        check_number(ONode.Configuration.Keys.CATCH_UP, entries.get(ONode.Configuration.Keys.CATCH_UP), False)
        if rate is not None and isinstance(self, INode):
            raise ValueError("rate applies only to source nodes, which have no input ports.")

    def start(self) -> None:
        """Start the node; a timed source also starts its driver thread. A
        source that had ended starts a new stream."""
        self._ended = False
        super().start()
        rate = self.get_rate()
        if rate is not None and not (self._driver is not None and self._driver.is_alive()):
            catch_up = self.config.get(ONode.Configuration.Keys.CATCH_UP)
            self._driver = Driver(self, rate, DEFAULT_CATCH_UP if catch_up is None else catch_up)
            self._driver.start()

    def stop(self) -> None:
        """Stop the node; a timed source's driver ends and is waited for (unless
        `stop` runs inside one of the driven steps)."""
        super().stop()
        driver = self._driver
        if driver is not None:
            driver.stop()

    def end_stream(self) -> None:
        """Say that this source has no more values. Once every source of a running
        pipeline has ended and its nodes have nothing left to do, the pipeline
        stops (condition HEALTHY), so `wait()` and `run()` return. Call it after
        the last `cycle()`, or from the step that returns the last value (that
        value is still handed on); a timed source steps no more. Sources that
        never call it (and timed, LSL, ZeroMQ and MQTT sources) run until
        stopped; a `Replay` without ``loop`` and an ``XDFReplay`` end at the end
        of their file. The next `start()` begins a new stream."""
        self._ended = True
        listener = self._end_listener
        if listener is not None:
            listener()

    def has_ended(self) -> bool:
        """Whether `end_stream()` was called since the node's last `start()`."""
        return self._ended

    def _still_producing(self) -> bool:
        """Whether a thread of this source may still step it (its driver)."""
        driver = self._driver
        return driver is not None and driver.is_alive()

    def get_rate(self) -> Optional[float]:
        """The configured rate in cycles per second, or None when not timed."""
        rate: Optional[float] = self.config.get(ONode.Configuration.Keys.RATE)
        return rate

    def connect(self, output_port: str, input_node: Any, input_port: str) -> None:
        """Link this node's `output_port` to `input_port` of `input_node`.

        Raises:
            ValueError: when either port name is unknown.
            TypeError: when a port name is not a `str`.
        """
        self._imp.connect(output_port, _imp_of(input_node), input_port)

    def disconnect(self, output_port: str, input_node: Any, input_port: str) -> None:
        """Remove the link made by `connect` with the same arguments.

        Raises:
            ValueError: when either port name is unknown.
        """
        self._imp.disconnect(output_port, _imp_of(input_node), input_port)

    def get_port(self, name: str) -> Any:
        """The output port implementation called `name`.

        Raises:
            ValueError: "Output port '<name>' not found."
        """
        return ONodeImp.get_port(self._imp, name)

    def cycle(self, data: Optional[dict[str, Any]] = None) -> None:
        """Run one step cycle now, on this thread: how an application drives a
        source node. `data` is what the step receives (default: empty).
        A failing step is logged and sets the node's condition to ERROR.
        On a node that is not started the data is dropped, and the first such
        call writes a WARNING saying so.
        A timed source's driver calls it already: do not drive one from two threads."""
        self._imp._drive(data)


def _imp_of(node: Any) -> Any:
    return getattr(node, "_imp", node)
