"""The errors of the cluster's controller side."""

from __future__ import annotations


class ClusterError(RuntimeError):
    """A worker refused, failed or stopped answering."""


class RemoteNodeError(ClusterError):
    """What a node placed on a worker raised there, as its stand-in's
    get_last_exception() gives it: the message is its log entry's, `exception_type`
    the name of its class and `remote_traceback` the worker's traceback text (also
    a note, so a printed traceback shows it)."""

    def __init__(self, message: str, exception_type: str, remote_traceback: str) -> None:
        super().__init__(message)
        self.exception_type = exception_type
        self.remote_traceback = remote_traceback
        self.add_note(f"On the worker:\n{remote_traceback.rstrip()}")
