"""The node base and its step cycle (compiled)."""

from typing import Any, Callable, Optional

from ..logger import Logger
from .ferrant import PortableImp

class NodeImp(PortableImp):
    """Base of every node: handlers, state, condition, logger and the step cycle."""

    _counter: int
    _pre_step_handler: Callable[[dict[str, Any]], None]
    _post_step_handler: Callable[[dict[str, Any]], None]
    _setup_handler: Optional[Callable[[dict[str, Any], dict[str, dict[str, Any]]], Optional[dict[str, dict[str, Any]]]]]
    _step_handler: Optional[Callable[[dict[str, Any]], Optional[dict[str, Any]]]]
    _logger: Logger
    _state: str
    _condition: str
    _time_start: float
    _time_busy: float
    _load: float
    config: Any

    def __init__(self, config: Any) -> None:
        """Set up the node base on top of its portable identity."""
    def set_setup_handler(self, handler: Any) -> None:
        """Use `handler(data, metadata)` for the set-up run."""
    def set_pre_step_handler(self, handler: Any) -> None:
        """Use `handler(data)` before each step."""
    def set_post_step_handler(self, handler: Any) -> None:
        """Use `handler(data)` after each step of an output node."""
    def set_step_handler(self, handler: Any) -> None:
        """Use `handler(data)` as the step."""
    def start(self) -> None:
        """Restart the load clock; a stopped node becomes RUNNING."""
    def stop(self) -> None:
        """A running node becomes STOPPED."""
    def get_name(self) -> Optional[str]:
        """The name in the configuration (str or None)."""
    def set_logger(self, logger: Any) -> None:
        """Write log entries to `logger` from now on."""
    def get_state(self) -> str:
        """RUNNING or STOPPED."""
    def get_counter(self) -> int:
        """Number of completed step cycles."""
    def get_load(self) -> float:
        """Share of time spent in step cycles, in percent."""
    def get_step_stats(self) -> dict[str, Any]:
        """Steps done, and the step time (mean, p50, p99, max, in seconds) and steps per second over the latest steps."""
    def get_last_exception(self) -> Optional[BaseException]:
        """The last exception the node's guards caught, traceback included, or None."""
    def _get_data(self) -> dict[str, Any]: ...
    def _get_metadata(self) -> dict[str, dict[str, Any]]: ...
    def _push_data(self, data: dict[str, Any]) -> None: ...
    def _push_metadata(self, port_metadata_out: Optional[dict[str, dict[str, Any]]]) -> None: ...
    def _setup_wrapper(self, data: dict[str, Any]) -> None: ...
    def _cycle(self, data: dict[str, Any] = ...) -> None:
        """Run one guarded, timed step on `data`."""
    def _drive(self, data: Optional[dict[str, Any]] = None) -> None:
        """_cycle(data) for cycle(): a stopped node also warns, once, that the data is dropped."""

def _set_statistics(enabled: bool) -> None:
    """Whether step cycles record their times (on unless turned off)."""

def _deepcopy(x: Any, memo: Optional[dict[int, Any]] = None) -> Any:
    """The step cycle's deep copy: the result of copy.deepcopy(x, memo)."""

def _array_pool(pooled: Optional[bool] = None) -> dict[str, int]:
    """The memory of the step cycle's array copies: blocks outstanding and cached.
    pooled=False makes the copies as __deepcopy__ does, True natively again (for benchmarks)."""
