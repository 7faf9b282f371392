"""Watching a running pipeline: a live table in the terminal and a page in the
browser. Both need the optional extra `velarix[monitor]`."""


from types import ModuleType


def _require(module: str, extra: str = "monitor") -> ModuleType:
    """Import an optional dependency, or say which extra brings it."""
    from .._optional import import_or_explain

    return import_or_explain(module, f"This feature needs the package '{module}': pip install 'velarix[{extra}]'")


from .terminal import LiveMonitor, render  # noqa: E402

__all__ = ["LiveMonitor", "render"]
