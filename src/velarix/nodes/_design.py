"""Key checks that the nodes designed with scipy.signal share: the window and
detrend keys, as scipy takes them, and cutting a stream into whole blocks."""

from __future__ import annotations

from typing import Any, Optional

from ._base import EXTRA_HINT

try:
    import numpy as np
    from scipy import signal  # type: ignore[import-untyped]
except ImportError as _error:  # pragma: no cover - the extra is installed by make test
    raise ImportError(EXTRA_HINT) from _error

WINDOW = "window"
DETREND = "detrend"


def window_argument(window: Any) -> Any:
    """A window as a saved key holds it (a name, or a list of a name and its
    parameters) as scipy takes it (a name or a tuple)."""
    return window if isinstance(window, str) else tuple(window)


def check_window(owner: str, entries: dict[str, Any], default: Any = "hann") -> None:
    """The ``window`` key, `default` when absent, a list when given as a tuple:
    refused unless scipy knows it."""
    window = entries.setdefault(WINDOW, default)
    if isinstance(window, tuple):
        window = entries[WINDOW] = list(window)
    try:
        signal.get_window(window_argument(window), 8)
    except (TypeError, ValueError) as error:
        raise ValueError(f"{owner}: {WINDOW} {window!r} is not a window scipy knows: {error}") from error


def check_detrend(owner: str, entries: dict[str, Any], default: Any) -> None:
    """The ``detrend`` key: 'constant', 'linear' or False."""
    if entries.setdefault(DETREND, default) not in ("constant", "linear", False):
        raise ValueError(f"{owner}: {DETREND} must be 'constant', 'linear' or False, got {entries[DETREND]!r}.")


class Blocks:
    """Cuts a stream into whole blocks of `size` samples, whatever its chunks,
    keeping the rest for the next chunk."""

    def __init__(self, size: int) -> None:
        self.size = size
        self._samples: Optional[Any] = None
        self._times: Optional[Any] = None

    def whole(self, samples: Any, timestamps: Any) -> tuple[Any, Any, int]:
        """The samples and timestamps kept and given, and how many of them
        complete whole blocks (0: none yet)."""
        if self._samples is not None and self._times is not None:
            samples = np.concatenate((self._samples, samples))
            timestamps = np.concatenate((self._times, timestamps))
        whole = samples.shape[0] // self.size * self.size
        self._samples, self._times = samples[whole:], timestamps[whole:]
        return samples, timestamps, whole
