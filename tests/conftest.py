"""Shared fixtures: a clean registry per test and a check that no thread outlives it."""

import threading

import pytest

from velarix.imp import PortableImp


@pytest.fixture(autouse=True)
def fresh_registry():
    preinstalled = set(PortableImp._preinstalled_modules)
    PortableImp.reset()
    yield
    PortableImp.reset()
    # No operation removes a preinstalled module, so restore the set by hand.
    PortableImp._preinstalled_modules.clear()
    PortableImp._preinstalled_modules.update(preinstalled)


@pytest.fixture
def no_thread_leak():
    """Fails the test when it leaves a thread running (threads get 5 s to end)."""
    before = set(threading.enumerate())
    yield
    for thread in set(threading.enumerate()) - before:
        thread.join(timeout=5)
        assert not thread.is_alive(), f"thread left running: {thread!r}"
