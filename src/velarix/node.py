"""Nodes: the unit of processing. Subclasses override `step` and, as needed,
`setup`, `pre_step` and `post_step`; the constructor installs them as handlers."""

from __future__ import annotations

from typing import Any, Callable, Optional, Union

from ._stats import node_stats
from .constants import Constants
from .imp import NodeImp, SkipType
from .imp.portan import current_origin, set_origin
from .logger import Logger
from .portable import Portable

#: Port data: input- or output-port name -> value.
PortData = dict[str, Any]
#: Port metadata: port name -> that port's metadata dictionary.
PortMetadata = dict[str, dict[str, Any]]
#: What a step returns: the output data, None (no outputs) or SKIP (push nothing).
StepResult = Union[PortData, SkipType, None]


class Node(Portable):
    """Base of every node: handlers, running state, health condition, load and log.

    Derive from `INode`, `ONode` or `IONode` rather than from this class. Keyword
    arguments form the node's configuration: ``name`` (default: the class name),
    ``id`` (default: generated) and the keys of the subclass; any other entry is
    kept in the configuration for the node's own use (``self.config[...]``) and
    saved with it.

    A step runs inside a guarded cycle: an exception in a handler is logged as an
    ERROR entry and sets the node's condition to ERROR, after which the node does
    nothing more. The first cycle runs `setup` once.
    """

    class Configuration(Portable.Configuration):
        """A node's configuration: a dict with the keys in `Keys`."""

        class Keys(Portable.Configuration.Keys):
            NAME = "name"

    _imp_class = NodeImp
    _imp: NodeImp

    def __init__(self, **entries: Any) -> None:
        entries.setdefault(self.Configuration.Keys.NAME, type(self).__name__)
        self._prepare_entries(entries)
        super().__init__(**entries)
        self._install_handlers()

    def _prepare_entries(self, entries: dict[str, Any]) -> None:
        """Fill in defaults and normalise the entries before the configuration is built."""

    def _install_handlers(self) -> None:
        imp = self._imp
        imp.set_setup_handler(self.setup)
        imp.set_step_handler(self.step)
        # The implementation's own do-nothing handlers stay unless overridden.
        cls = type(self)
        if cls.pre_step is not Node.pre_step:
            imp.set_pre_step_handler(self.pre_step)
        if cls.post_step is not Node.post_step:
            imp.set_post_step_handler(self.post_step)

    # Handlers -----------------------------------------------------------------

    def setup(self, data: PortData, metadata: PortMetadata) -> Optional[PortMetadata]:
        """Runs once, before the first step; returns the metadata of every output
        port (port name -> dict). `metadata` holds the metadata of every input
        port. The default gives each output port an empty dictionary."""
        return {name: {} for name in getattr(self._imp, "_output_ports", {})}

    def pre_step(self, data: PortData) -> None:
        """Runs before each step with the input data itself (not a copy)."""

    def step(self, data: PortData) -> StepResult:
        """The node's work: gets a private deep copy of the input data (input-port
        name -> value) and returns the output data (output-port name -> value,
        one value for every output port) or None for a node without outputs.
        `velarix.SKIP`, returned alone, pushes nothing this cycle; as one port's
        value, it pushes nothing on that port. A skipped step still counts.

        Raises:
            NotImplementedError: unless a subclass overrides it.
        """
        raise NotImplementedError(f"{type(self).__name__}.step() is not implemented.")

    def post_step(self, data: PortData) -> None:
        """Runs after each step of an output node, with the step's result."""

    # Delegates ----------------------------------------------------------------

    def start(self) -> None:
        """Start the node (state RUNNING); an input node starts its worker thread.
        Starting a running node only restarts its load clock."""
        self._imp.start()

    def stop(self) -> None:
        """Stop the node (state STOPPED); an input node waits for its worker."""
        self._imp.stop()

    def get_name(self) -> Optional[str]:
        """The configured name.

        Raises:
            TypeError: the configured name is neither a str nor None.
        """
        return self._imp.get_name()

    def get_state(self) -> str:
        """`Constants.States.RUNNING` or `Constants.States.STOPPED`."""
        return self._imp.get_state()

    def get_condition(self) -> str:
        """`Constants.Conditions.HEALTHY`, or `ERROR` once a cycle has failed."""
        return self._imp._condition

    def _keep_exception(self, exception: BaseException) -> None:
        """Make `exception` what get_last_exception() answers, as a failed step does,
        where the implementation keeps one."""
        try:
            setattr(self._imp, "_last_exception", exception)
        except Exception:
            pass  # the log entry and the condition still tell

    def _enter_error_condition(self) -> None:
        """Condition ERROR, as after a failed step, for a failure outside one (a
        connector's thread, a link's values)."""
        self._imp._condition = Constants.Conditions.ERROR

    def get_counter(self) -> int:
        """The number of completed step cycles."""
        return self._imp.get_counter()

    def get_load(self) -> float:
        """Time spent in step cycles since the last start, in percent of the
        elapsed time (at least one second)."""
        return self._imp.get_load()

    def get_stats(self) -> dict[str, Any]:
        """What the node has done, as plain data: its name, class, state, condition
        and load; "steps" done; "skipped" (steps that returned `velarix.SKIP`,
        counted among the steps); "step_time" (seconds: "mean", "p50", "p99",
        "max" over the latest 1024 steps, None before the first); "blocked_time"
        (seconds its pushes waited for room in full bounded ports downstream,
        since it was made; part of the load, which counts whole steps); "rate_in" and
        "rate_out" (steps per second over the last few seconds, where the node has
        such ports); and per port, "inputs" ({name: {"timing", "received",
        "queued", "dropped"}}) and "outputs" ({name: {"timing", "pushed",
        "skipped"}}). "dropped" counts values an ASYNC port replaced before they
        were read; an output port's "skipped" counts the steps that pushed nothing
        there (SKIP for the whole result or as that port's value).

        With latency tracing on (`velarix.set_tracing`, the default), each input
        port also has "latency" (seconds from the push to the start of the step
        that took the value) and "age" (seconds since the value's origin, the time
        its source made it), each {"mean", "p50", "p99", "max"} over the latest
        1024 values (None before the first); and the node has "busy", "idle" and
        "blocked": the seconds per second over the last few seconds spent in
        steps, not stepping, and waiting for room in full ports downstream."""
        return node_stats(self)

    def get_origin(self) -> Optional[float]:
        """Inside a step: the origin of its values (time.time() seconds), the
        oldest among the inputs it took, or, for a source, when its step began or
        what it gave to `set_origin`. None outside a step or with tracing off."""
        return current_origin()

    def set_origin(self, seconds: float) -> None:
        """Inside a step: what it pushes carries `seconds` (time.time() scale,
        such as a device's own timestamp) as its origin.

        Raises:
            RuntimeError: called outside a step.
            TypeError, ValueError: `seconds` is not a finite number.
        """
        set_origin(seconds)

    def get_last_exception(self) -> Optional[BaseException]:
        """The last exception a guard of this node caught (a failing step, set-up
        or worker), with its traceback; None while nothing has failed."""
        return self._imp.get_last_exception()

    def set_logger(self, logger: Logger) -> None:
        """Write this node's log entries to `logger` (a pipeline hands over its own)."""
        self._imp.set_logger(logger)

    def set_setup_handler(self, handler: Callable[[PortData, PortMetadata], Optional[PortMetadata]]) -> None:
        """Use `handler(data, metadata)` as the set-up run instead of `setup`."""
        self._imp.set_setup_handler(handler)

    def set_pre_step_handler(self, handler: Callable[[PortData], None]) -> None:
        """Use `handler(data)` before each step instead of `pre_step`."""
        self._imp.set_pre_step_handler(handler)

    def set_step_handler(self, handler: Callable[[PortData], StepResult]) -> None:
        """Use `handler(data)` as the step instead of `step`."""
        self._imp.set_step_handler(handler)

    def set_post_step_handler(self, handler: Callable[[PortData], None]) -> None:
        """Use `handler(data)` after each step of an output node instead of `post_step`."""
        self._imp.set_post_step_handler(handler)

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.config.get(self.Configuration.Keys.NAME)!r}>"
