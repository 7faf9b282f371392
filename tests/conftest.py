"""Shared fixtures: a clean registry per test and a check that no thread outlives it.

Loggers made with the default folder (a pipeline's, a loaded one's) write into a
temporary state folder, here and in the interpreters the tests start, not into
the home folder."""

import atexit
import os
import shutil
import tempfile
import threading

import pytest

# Before velarix loads: its default log folder is fixed then.
_STATE_HOME = tempfile.mkdtemp(prefix="velarix-tests-state-")
os.environ["XDG_STATE_HOME"] = _STATE_HOME
atexit.register(shutil.rmtree, _STATE_HOME, ignore_errors=True)

from velarix.imp import PortableImp, scribon  # noqa: E402

assert scribon.DEFAULT_DIR.startswith(_STATE_HOME), scribon.DEFAULT_DIR


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


def pytest_collection_modifyitems(items):
    # A Ray driver leaves native threads and sockets in its process after its
    # shutdown (reconnecting now and then): the tests that make this process one
    # run last, so the tests that count descriptors see none of that.
    items.sort(key=lambda item: os.path.basename(str(item.fspath)) == "test_cluster_ray.py")
