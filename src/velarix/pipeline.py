"""Pipelines: a graph of nodes that starts, stops, watches and saves itself."""

from __future__ import annotations

import atexit
import json
import logging
from collections import Counter
import os
import sys
import threading
import time
import traceback
import weakref
from types import TracebackType
from typing import TYPE_CHECKING, Any, Callable, Iterator, Literal, NoReturn, Optional, Sequence

from . import graph
from ._ending import EndOfStream
from ._live import finish_each
from ._saving import check_loadable, check_saved_pipeline, to_json, write_atomically
from .constants import Constants
from .errors import NotANodeError, PipelineError
from .i_node import INode
from .imp import PipelineImp, PortableImp
from .imp.portan import Scheduler
from .logger import LogType
from .node import Node
from .o_node import ONode
from .portable import FreshIds, loading

if TYPE_CHECKING:
    from .logger import LogEntry, Logger
    from .monitor.web import WebMonitor
    from .monitor._foxglove import FoxgloveBridge
    from .record._recorder import Recording

# How often wait() looks at the state while the stop event stays unset (a restart
# clears it); a stop sets the event and ends the wait at once.
_WAIT_SLICE = 0.1
# Seconds stop() waits for the nodes before it writes which ones hold it up.
STOP_NOTICE_AFTER = 2.0


class Pipeline:
    """Holds the nodes and their links, runs them together and watches them.

    A monitoring thread runs while the pipeline runs: it stops the pipeline, with
    condition ERROR, at its next pass (every second) after an ERROR entry appears
    in the pipeline's log, or when a node's load exceeds 95 % more than 10 s after
    the start (a load over 80 % writes a warning). A pipeline stopped with ERROR
    cannot be started again.

    Args:
        directory: the log folder (None: the default folder; "": memory only).
        threads: None (the default) runs every input node on a worker thread of
            its own. A number N runs them all on N shared scheduler threads
            instead, except nodes configured with ``own_thread=True``: a value a
            step pushes is stepped by the next node on the same thread, right
            after, without waking another thread. Saved and loaded with the
            pipeline.

    Raises:
        TypeError, ValueError: `threads` is not None or a whole number from 1 to 1024.
    """

    _imp: PipelineImp
    # Called with the text of each stop notice besides the log (the command line prints it).
    _stop_notice: Optional[Callable[[str], None]] = None
    # A PipelineError already told the application; leaving a with-block raises no second.
    _failure_reported = False
    # Whether failures nothing raised get their tracebacks printed at the stop or the
    # exit (the command line reports them itself); >0 while run() or a with-block will.
    _tells_failures = True
    _telling_held = 0
    # The node names _shared_names has counted, and of how many nodes; -1: none yet.
    _name_counts: Counter[Optional[str]]
    _name_count_of = -1

    # Where a Cluster runs the pipeline: the worker a node is placed on, or None.
    _worker_of: Optional[Callable[[Any], Optional[str]]] = None

    # The shared scheduler threads, with threads=N; None: a worker thread per input node.
    _scheduler: Optional[Scheduler] = None

    def __init__(self, directory: Optional[str] = None, threads: Optional[int] = None) -> None:
        _check_threads(threads)
        self._imp = PipelineImp(directory)
        self._recordings: "weakref.WeakSet[Any]" = weakref.WeakSet()  # those running, as they say
        self._use_threads(threads)
        # wait() and run() raise a node's failure with its traceback, so the log's
        # bridge need not print that traceback to stderr too.
        self.get_logger()._leave_tracebacks_to_raised_errors()

    # Graph
    def add_node(self, node: Node) -> None:
        """Add `node` and hand it the pipeline's logger.

        Raises:
            ValueError: "Node already exists in pipeline."
        """
        before = len(self._imp._nodes)
        self._imp.add_node(node)
        # Warnings are written here, not in a helper, so their stack summary
        # reaches the application's line.
        for text in self._shared_names(self._imp._nodes[before:]):
            self._imp._logger.write(LogType.WARNING, text)

    def remove_node(self, node: Node) -> None:
        """Take `node` out of the pipeline; its links stay."""
        self._imp.remove_node(node)

    def connect_ports(self, output_node: ONode, output_node_port: str,
                      input_node: INode, input_node_port: str) -> None:
        """Link the output port `output_node_port` of `output_node` to the input
        port `input_node_port` of `input_node`, adding both nodes when missing.

        Raises:
            ValueError: a port name is unknown.
            TypeError: a port name is not a str, or the nodes are not an `ONode`
                and an `INode` (an argument that is no node at all gets a
                NotANodeError, which is also an AttributeError).
        """
        before = len(self._imp._nodes)
        again = self._linked_already(output_node, output_node_port, input_node, input_node_port)
        try:
            if again is None:
                self._imp.connect_ports(output_node, output_node_port, input_node, input_node_port)
        except AttributeError:
            _explain_non_nodes(output_node, input_node)
            raise
        finally:
            for text in self._shared_names(self._imp._nodes[before:]) + (again or []):
                self._imp._logger.write(LogType.WARNING, text)

    def connect(self, output_node: ONode, input_node: INode) -> None:
        """Link the default ports: "out" of `output_node` to "in" of `input_node`."""
        before = len(self._imp._nodes)
        again = self._linked_already(output_node, Constants.Defaults.PORT_OUT, input_node,
                                     Constants.Defaults.PORT_IN)
        try:
            if again is None:
                self._imp.connect(output_node, input_node)
        except AttributeError:
            _explain_non_nodes(output_node, input_node)
            raise
        finally:
            for text in self._shared_names(self._imp._nodes[before:]) + (again or []):
                self._imp._logger.write(LogType.WARNING, text)

    def disconnect_ports(self, output_node: ONode, output_node_port: str,
                         input_node: INode, input_node_port: str) -> None:
        """Remove the link between two named ports.

        Raises:
            ValueError: a node is not in the pipeline or a port name is unknown.
            TypeError: as for `connect_ports`.
        """
        self._imp.disconnect_ports(output_node, output_node_port, input_node, input_node_port)

    def disconnect(self, output_node: ONode, input_node: INode) -> None:
        """Remove the link between the default ports."""
        self._imp.disconnect(output_node, input_node)

    # Run control
    def start(self) -> None:
        """Start every node in the order added, then the monitoring thread. Does
        nothing (but log) when running or stopped with condition ERROR. A run
        that starts with ports linked to nothing writes one WARNING naming them.
        With shared scheduler threads, those start first. Once every source has
        ended its stream (`ONode.end_stream()`, a `Replay` at the end of its
        file) and nothing is left to do, the pipeline stops by itself, HEALTHY."""
        starting = (self.get_state() != Constants.States.RUNNING
                    and self.get_condition() == Constants.Conditions.HEALTHY)
        if starting:
            self._place_nodes()
        self._imp.start()
        if starting and self.get_state() == Constants.States.RUNNING:
            text = self._unlinked_ports()
            if text is not None:
                self._imp._logger.write(LogType.WARNING, text)
            self._end_of_stream().started()
            _started.add(self)

    def _end_of_stream(self) -> EndOfStream:
        watch = self.__dict__.get("_end_watch")
        if watch is None:
            watch = self.__dict__["_end_watch"] = EndOfStream(self)
        return watch

    def stop(self) -> None:
        """Stop every node. On a pipeline stopped with ERROR, waits for the
        monitoring thread that stopped it. When the nodes hold it up for
        `STOP_NOTICE_AFTER` seconds (a long step), a WARNING says which. A node
        failure that no `wait()` or `run()` raised has its traceback printed to
        stderr here, once (unless logging has handlers, which show it)."""
        if (self.get_state() == Constants.States.STOPPED
                and self.get_condition() == Constants.Conditions.HEALTHY):
            self._imp.stop()  # only its two lines: nothing to wait for
            self._end_scheduler()  # but the shared threads a concurrent stop is ending
            return
        done = threading.Event()
        watcher = threading.Thread(target=self._watch_stop, args=(done,), name="velarix-stop-notice",
                                   daemon=True)
        watcher.start()
        try:
            self._imp.stop()
            self._end_scheduler()
        finally:
            done.set()
            watcher.join()
        self._stop_recordings()
        if not self._telling_held:
            self._tell_untold_failures()

    def record(self, path: str, ports: Optional[Sequence[str]] = None, *, compression: str = "zstd",
               queue_size: int = 65536, queue_bytes: int = 64 << 20, chunk_size: int = 1 << 20,
               flush_interval: float = 1.0, values: str = "json", arrays: str = "npy") -> Recording:
        """Record output ports to the MCAP file `path` and return the Recording
        (its `stop()` and `get_stats()`). Needs the extra velarix[record].

        Args:
            path: the file to write (replaced).
            ports: "node.port" names; None records every output port.
            compression: of the file's chunks: "zstd", "lz4" or "none".
            queue_size: values that may wait for the writer; more are dropped
                (counted, and logged as a WARNING), so pushes never wait.
            queue_bytes: bytes of numpy arrays and byte strings that may wait
                for the writer; more are dropped likewise.
            chunk_size: bytes of messages per chunk; a process killed while
                recording leaves a file that reads up to its last complete chunk.
            flush_interval: seconds after which a chunk is written out even
                when it is not full.
            values: "json" writes the values JSON gives back exactly as JSON
                (any tool reads them), the others pickled; "pickle5" pickles
                every value that is not an array.
            arrays: "npy" writes numeric arrays in numpy's .npy format;
                "json" as JSON (value, dtype, shape) that generic viewers plot.

        The recording ends with `stop()`, when the pipeline stops, or at the end
        of the process. The file holds the pipeline's saved form (as `save()`
        writes it; left out when the pipeline cannot be saved).

        Raises:
            ValueError: a port is unknown, its node runs on a cluster worker (also
                at the cluster's first start, for nodes placed afterwards), or an
                option is out of range.
            ImportError: the mcap package is missing.
            OSError: the file cannot be made.
        """
        from .record._recorder import Recording

        return Recording(self, path, ports, compression=compression, chunk_size=chunk_size,
                         queue_size=queue_size, flush_interval=flush_interval, queue_bytes=queue_bytes,
                         values=values, arrays=arrays)

    def _stop_recordings(self) -> None:
        for recording in self._running_recordings():
            recording.stop()

    def _keep_recording(self, recording: Any, running: bool) -> None:
        """A recording of this pipeline says it runs, or no longer does."""
        if running:
            self._recordings.add(recording)
        else:
            self._recordings.discard(recording)

    def _running_recordings(self) -> list[Any]:
        """The recordings of this pipeline that run."""
        return list(self._recordings)

    def get_threads(self) -> Optional[int]:
        """The number of shared scheduler threads, or None: a worker thread per input node."""
        return None if self._scheduler is None else self._scheduler.get_threads()

    def _end_scheduler(self) -> None:
        """Once stopped: the shared threads end, and a node started on its own
        afterwards gets a thread of its own again."""
        scheduler = self._scheduler
        if scheduler is None or self.get_state() != Constants.States.STOPPED:
            return
        scheduler.stop()
        for node in self.get_nodes():
            if isinstance(node, INode) and node._placed_on() is scheduler:
                node._place_on(None)

    def _use_threads(self, threads: Optional[int]) -> None:
        self._scheduler = None if threads is None else Scheduler(threads)

    def _place_nodes(self) -> None:
        """Before a start: each input node runs on the shared scheduler threads
        (started here) unless it keeps its own thread; without them, on its own."""
        scheduler = self._scheduler
        if scheduler is not None:
            scheduler.start()
        for node in self.get_nodes():
            if not isinstance(node, INode):
                continue
            # The node's start() reads it: a Scheduler puts the node on its threads.
            if scheduler is not None and not node.has_own_thread():
                node._place_on(scheduler)
            elif node._placed_on() is not None:
                node._place_on(None)

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Block until the pipeline is stopped (also by itself, once every source
        has ended its stream): True, or False when `timeout` seconds pass first
        (None: no limit).

        Raises:
            PipelineError: the pipeline was stopped with condition ERROR; its
                `__cause__` is the failing node's exception, with the traceback of
                the line that raised it.
        """
        deadline = None if timeout is None else time.monotonic() + timeout
        event = self._imp._stop_event
        while self.get_state() != Constants.States.STOPPED:
            remaining = _WAIT_SLICE if deadline is None else min(_WAIT_SLICE, deadline - time.monotonic())
            if remaining <= 0:
                return False
            event.wait(remaining)
        # Stopped by the monitoring thread, say: the shared threads have nothing left.
        self._end_scheduler()
        self._raise_if_failed()
        return True

    def run(self, seconds: Optional[float] = None) -> None:
        """Start, wait until the pipeline stops (or `seconds` pass), then stop. A
        pipeline whose sources all end their streams (a replay of a file) stops
        by itself once nothing is left to do.

        Ctrl-C stops the pipeline cleanly and lets the KeyboardInterrupt go on. A
        second Ctrl-C while it stops prints one line and ends the program
        (SystemExit 130) without waiting for the steps still running.

        Raises:
            PipelineError: as wait() does, when the run ended with an error.
        """
        self.start()
        self._telling_held += 1  # a failure is raised here, or told once it is not
        try:
            try:
                self.wait(seconds)
            except KeyboardInterrupt:
                self._stop_interrupted()
                raise
            except BaseException:
                self.stop()
                raise
            self.stop()
            self._raise_if_failed()
        finally:
            self._telling_held -= 1
        if not self._telling_held:
            self._tell_untold_failures()

    def _stop_interrupted(self) -> None:
        try:
            self.stop()
        except KeyboardInterrupt:
            # Threads caught in their steps end with the process.
            print("velarix: interrupted again while stopping; exiting without waiting for the nodes.",
                  file=sys.stderr, flush=True)
            raise SystemExit(128 + 2) from None

    def close(self) -> None:
        """Stop the pipeline if it runs and stop its logger (its queue drained and
        its file closed), then take its nodes and their ports out of the
        process-wide registry (`Portable.get_by_id` no longer finds them), so that
        dropping the pipeline frees them. Calling it again does nothing more."""
        if self.get_state() == Constants.States.RUNNING:
            self.stop()
        self._stop_recordings()
        self._end_scheduler()
        monitor = self._imp._monitor_thread
        if monitor is not None and monitor.ident is not None:
            # Its last line ("Monitoring thread terminated.") belongs in the file.
            monitor.join(timeout=5.0)
        self.get_logger().stop()
        _unregister(self.get_nodes())

    def __enter__(self) -> Pipeline:
        self._telling_held += 1  # leaving the block raises a failure, or tells it
        return self

    def __exit__(self, exc_type: Optional[type[BaseException]], exc: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> Literal[False]:
        try:
            self.close()
            if exc_type is None and not self._failure_reported:
                self._raise_if_failed()
                # A node may have failed after the monitoring thread's last pass.
                self._raise_if_node_failed()
        finally:
            self._telling_held = max(0, self._telling_held - 1)
        if not self._telling_held:
            self._tell_untold_failures()
        return False

    def get_state(self) -> str:
        """`Constants.States.RUNNING` or `STOPPED`."""
        return self._imp.get_state()

    def get_condition(self) -> str:
        """`Constants.Conditions.HEALTHY`, or `ERROR` once monitoring stopped it."""
        return self._imp.get_condition()

    def get_last_error(self) -> Optional[LogEntry]:
        """The newest ERROR entry of the pipeline's log, or None."""
        return self._imp.get_last_error()

    def get_elapsed_time(self) -> float:
        """Seconds since the current run started; 0.0 while stopped."""
        return self._imp.get_elapsed_time()

    def get_load(self) -> list[dict[str, Any]]:
        """The load report: one {"class", "name", "load"} dict per node (load in
        percent), then one named "Pipeline" holding the highest node load."""
        return self._imp.get_load()

    def get_stats(self) -> list[dict[str, Any]]:
        """Every node's get_stats(), in node order."""
        return [node.get_stats() for node in self.get_nodes()]

    def serve(self, port: int = 0, host: str = "127.0.0.1") -> WebMonitor:
        """Serve a live, read-only page of this pipeline (graph, load and rate charts,
        recent log) and return its WebMonitor, whose `url` says where. Listens on
        127.0.0.1 unless another host is given and answers only requests addressed
        to it. Stops about a second after the pipeline stops, once it has run while
        served; otherwise on stop() or at exit. Needs the extra velarix[monitor]."""
        from .monitor.web import WebMonitor

        return WebMonitor(self, host=host, port=port).start()

    def serve_foxglove(self, host: str = "127.0.0.1", port: int = 8765,
                       ports: Optional[Sequence[str]] = None) -> FoxgloveBridge:
        """Publish output ports (`ports` by their "node.port" names, every one for
        None) over the live viewer's WebSocket protocol on host:port (port 0: any
        free port; the handle's `port` tells which) and return the bridge, whose
        stop() withdraws them. A port is tapped only while a client subscribes; a
        client that does not keep up loses values, the pipeline never waits. Needs
        the extra velarix[foxglove]."""
        from .monitor._foxglove import FoxgloveBridge

        return FoxgloveBridge(self, host=host, port=port, ports=ports)

    def to_dot(self) -> str:
        """The graph as Graphviz DOT text: nodes with class and name, links labelled
        with port names and timing; once the pipeline has run, nodes coloured by
        load and condition and links labelled with their rates."""
        return graph.to_dot(self)

    def to_mermaid(self) -> str:
        """The graph as Mermaid flowchart text, as to_dot() draws it."""
        return graph.to_mermaid(self)

    def draw(self, path: str) -> str:
        """Draw the graph into `path` (.svg, .png, ...) through Graphviz's `dot`.

        Raises:
            RuntimeError: Graphviz is not installed, or dot fails.
        """
        return graph.draw(self, path)

    def write_log(self, entry: str) -> None:
        """Write `entry` to the pipeline's log as an INFO entry.

        Raises:
            TypeError: `entry` is not a str.
        """
        self._imp.write_log(entry)

    def get_logger(self) -> Logger:
        """The pipeline's logger, shared by its nodes."""
        return self._imp._logger

    def get_nodes(self) -> list[Node]:
        """The nodes, in the order they were added (a new list)."""
        return list(self._imp._nodes)

    def _raise_if_failed(self) -> None:
        if self.get_condition() != Constants.Conditions.ERROR:
            return
        entry = self.get_last_error()
        message = entry["message"] if entry is not None else "Pipeline stopped with an error."
        node = _failed_node(self.get_nodes(), message)
        name = node.get_name() if node is not None else None
        cause = node.get_last_exception() if node is not None else None
        if node is None:
            # An overload stop: the monitoring thread kept the most loaded node's name.
            name = getattr(self._imp, "_overloaded_node", None)
        self._raise_failure(message, name, entry, cause)

    def _raise_if_node_failed(self) -> None:
        failed = [node for node in self.get_nodes()
                  if getattr(node, "get_condition", None) is not None
                  and node.get_condition() == Constants.Conditions.ERROR]
        if not failed:
            return
        entry = self.get_last_error()
        node = _failed_node(failed, entry["message"]) if entry is not None else None
        node = node if node is not None else failed[0]
        cause = node.get_last_exception()
        message = entry["message"] if entry is not None else f"Node {node.get_name()} failed."
        self._raise_failure(message, node.get_name(), entry, cause)

    def _raise_failure(self, message: str, node: Optional[str], entry: Optional[LogEntry],
                       cause: Optional[BaseException]) -> NoReturn:
        # Told once: leaving a with-block after wait() or run() raised it raises no second.
        self._failure_reported = True
        self._mark_failures_told()
        notes = list(getattr(cause, "__notes__", ()))
        if cause is not None and node is not None and entry is not None:
            advice = _result_advice(notes, node)
            if advice is not None:  # a step's wrong result: what to return leads
                notes.remove(advice)
                message = advice[len(f"Node {node}: "):]
            message = f"{node}: {message}"
        error = PipelineError(message, node=node, entry=entry)
        for note in notes:
            error.add_note(note)  # what the failing node was told, on the error raised here too
        if cause is not None:
            raise error from cause
        raise error

    # Failures nothing raised
    def _untold_failures(self) -> list[tuple[str, BaseException]]:
        told = self.__dict__.setdefault("_told", [])
        found = []
        for node in self.get_nodes():
            try:
                # The exception is kept before the node's condition turns to ERROR, so
                # a program that ends right after a failure finds it here already.
                exception = node.get_last_exception()
            except Exception:  # not a node of ours: nothing to tell
                continue
            if exception is not None and not any(exception is seen for seen in told):
                found.append((str(_name_of(node)), exception))
        return found

    def _leave_failures_to_caller(self) -> None:
        """Print no traceback of a failure at the stop or the exit: the caller (the
        command line) reports failures itself."""
        self._tells_failures = False

    def _enter_error_condition(self) -> None:
        """Condition ERROR for a failure its own monitoring did not see (a lost worker)."""
        self._imp._condition = Constants.Conditions.ERROR

    def _tell_stop_notices(self, notice: Callable[[str], None]) -> None:
        """Call `notice` with the text of each stop notice, besides logging it."""
        self._stop_notice = notice

    def _mark_failures_told(self) -> None:
        self.__dict__.setdefault("_told", []).extend(exception for _, exception in self._untold_failures())

    def _tell_untold_failures(self) -> None:
        """Print the traceback of each node failure that no PipelineError carried to
        the application, once, where logging prints only the failure's line (nothing
        of logging set up): the log's line leaves the traceback to the raised error."""
        if not self._tells_failures:
            return
        untold = self._untold_failures()
        if not untold:
            return
        self._mark_failures_told()
        node_logging = logging.getLogger("velarix.node")
        if node_logging.hasHandlers() or not node_logging.isEnabledFor(logging.ERROR):
            return  # the records carry their tracebacks, or are silenced
        for name, exception in untold:
            text = "".join(traceback.format_exception(exception))
            print(f"node {name} failed:\n{text}", end="", file=sys.stderr, flush=True)

    # Mistakes that would otherwise pass in silence
    def _linked_already(self, output_node: Any, output_port: object, input_node: Any,
                        input_port: object) -> Optional[list[str]]:
        """When the two ports are linked already: add the nodes that are missing
        and return the warning to write instead of linking again; else None."""
        if not (isinstance(output_node, ONode) and isinstance(input_node, INode)
                and type(output_port) is str and type(input_port) is str):
            return None
        try:
            oport = ONode.get_port(output_node, output_port)
            iport = INode.get_port(input_node, input_port)
        except Exception:
            return None  # the connect itself reports it
        if not any(port is iport for port in oport._connected_ports):
            return None
        for node in (output_node, input_node):
            if node not in self._imp._nodes:  # the pipeline's own test: equality
                self._imp.add_node(node)
        return [f"Nodes {output_node.get_name()}[{output_port}] and {input_node.get_name()}[{input_port}] "
                f"are connected already; connecting them again does nothing."]

    def _shared_names(self, added: list[Any]) -> list[str]:
        """A warning for each node of `added`, just appended to the pipeline, whose
        name another node has; once per name, so a graph of many same-named nodes
        (each named after its class) gets one line, not one per node. The names
        are counted as nodes come, so a load of many nodes stays linear; when nodes
        came or went some other way the count is made afresh."""
        held = self._imp._nodes
        if self._name_count_of != len(held) - len(added):
            self._name_counts = Counter(_name_of(node) for node in held[:len(held) - len(added)])
        counts = self._name_counts
        texts = []
        for node in added:
            name = _name_of(node)
            if name is not None and counts[name] == 1:
                texts.append(f"Another node in this pipeline is named {name}: logs, load reports and "
                             f"`velarix show` will not tell them apart.")
            counts[name] += 1
        self._name_count_of = len(held)
        return texts

    def _unlinked_ports(self) -> Optional[str]:
        outputs, inputs = graph.unlinked_ports(self)
        parts = []
        if outputs:
            parts.append(f"output{'s' if len(outputs) > 1 else ''} {', '.join(outputs)} "
                         f"linked to nothing")
        if inputs:
            parts.append(f"input{'s' if len(inputs) > 1 else ''} {', '.join(inputs)} fed by nothing "
                         f"(a node steps only when every input holds a value)")
        return "Unlinked ports: " + "; ".join(parts) + "." if parts else None

    def _watch_stop(self, done: threading.Event) -> None:
        """Runs beside stop(): names the nodes it has been waiting for, once per
        change of them, until `done` is set."""
        began, reported = time.monotonic(), None
        while not done.wait(STOP_NOTICE_AFTER):
            try:
                names = tuple(str(_name_of(node)) for node in _holding_up_stop(self.get_nodes()))
                if not names or names == reported:
                    continue
                reported = names
                which = (f"node {names[0]} to finish its step" if len(names) == 1
                         else f"nodes {', '.join(names)} to finish their steps")
                text = f"Stopping has waited {time.monotonic() - began:.0f} s for {which}."
                self._imp._logger.write(LogType.WARNING, text)
                notice = self._stop_notice
                if notice is not None:
                    notice(text)
            except Exception:  # a notice that cannot be given must not disturb the stop
                return

    # Serialisation
    def serialize(self) -> dict[str, Any]:
        """{"nodes": [each node's serialised form], "connections": [(output port
        id, input port id), ...]}, and "threads": N for a pipeline on N shared
        scheduler threads."""
        data = self._imp.serialize()
        if "velarix.record._recorder" in sys.modules:  # links to a recording's taps stay out
            from .record._recorder import is_tap_id

            key = PipelineImp.SerializationKeys.CONNECTIONS
            data[key] = [pair for pair in data[key] if not is_tap_id(pair[1])]
        threads = self.get_threads()
        if threads is not None:
            data[_THREADS_KEY] = threads
        return data

    @staticmethod
    def deserialize(data: dict[str, Any], directory: Optional[str] = None,
                    fresh_ids: bool = False) -> Pipeline:
        """A new, stopped pipeline re-created from `serialize()`'s form, logging to
        `directory` as the constructor does. Runs the class source stored in
        `data`: only for data you trust.

        Every re-created node and port takes the id it was saved with, so the load
        fails with "ID '...' conflict with another object." while the saved objects
        (or an earlier load of them) are still registered. `fresh_ids=True` gives
        every re-created object a new id instead and links the ports as saved;
        `data` itself is not changed.

        Raises:
            TypeError: `data` is not a dict, or a link cannot be made.
            KeyError: an entry is missing.
            ValueError: an id is taken.
        """
        threads = data.get(_THREADS_KEY) if type(data) is dict else None
        _check_threads(threads)
        if fresh_ids and type(data) is dict:
            pipeline = _deserialize_with_fresh_ids(data, directory)
        elif directory is None:
            pipeline = PipelineImp.deserialize(data)
        else:
            pipeline = PipelineImp.deserialize(data, directory)
        if threads is not None and isinstance(pipeline, Pipeline):
            pipeline._use_threads(threads)
        return pipeline

    def save(self, path: str) -> None:
        """Write the pipeline to a JSON file.

        Checks first that every stored class source runs on its own (with only its
        module's imports and the builtins) and that every configuration can be
        written as JSON. The file is replaced in one step, so a failed save leaves
        any earlier file as it was.

        Raises:
            ValueError: a class or a configuration cannot be saved; the message
                names it.
            OSError: the file cannot be written.
        """
        data = self.serialize()
        check_loadable(data)
        write_atomically(path, to_json(data))

    @staticmethod
    def load(path: str, directory: Optional[str] = None, fresh_ids: bool = False) -> Pipeline:
        """Re-create a pipeline from a JSON file written by save(), logging to
        `directory` as the constructor does; `fresh_ids` as for deserialize().
        Tracebacks from the loaded classes name the file and show their lines.

        Loading runs the class source stored in the file: load only files you trust.

        Raises:
            OSError: the file cannot be read.
            ValueError: the file is not JSON, or not a saved pipeline
                (NotAPipelineError, also a KeyError and a TypeError), or an id
                is taken.
            TypeError, KeyError: a stored node cannot be re-created or linked.
        """
        with open(path, encoding="utf-8") as file:
            data = json.load(file)
        check_saved_pipeline(data, os.fspath(path))
        with loading(origin=os.fspath(path)):
            return Pipeline.deserialize(data, directory, fresh_ids)


    @staticmethod
    def from_file(path: str, overrides: Optional[Sequence[str]] = None) -> Pipeline:
        """Build the pipeline a graph file describes (TOML, or YAML with the extra
        velarix[graphfile]): its nodes by class import path with their settings,
        its links, threads, log folder, recording and workers. Everything is
        checked before anything starts; the workers it names are started and its
        recording is set up, the pipeline itself stays stopped.

        Args:
            path: the graph file (.toml, .yaml or .yml).
            overrides: "dotted.key=value" texts that replace values of the file,
                as `velarix run --set` takes them ("nodes.filter.cutoff=40").

        Raises:
            velarix.graphfile.GraphFileError: every problem of the file, each with
                its file, line and column (also a ValueError).
        """
        from .graphfile import load

        return load(os.fspath(path), overrides)


_THREADS_KEY = "threads"

# Pipelines that have run: at the end of the process, failures nothing raised are told.
_started: weakref.WeakSet[Pipeline] = weakref.WeakSet()


@atexit.register
def _tell_failures_at_exit() -> None:
    finish_each(_started, "_tell_untold_failures")


def _check_threads(threads: object) -> None:
    if threads is None:
        return
    if type(threads) is not int:
        raise TypeError(f"threads must be a whole number or None, not {type(threads).__name__}.")
    if not 1 <= threads <= 1024:
        raise ValueError(f"threads must be from 1 to 1024, got {threads}.")


class _Relinked:
    """The saved links, read with the new port ids once the nodes exist (the
    pipeline relinks only after it has re-created every node)."""

    def __init__(self, connections: Any, ids: dict[str, str]) -> None:
        self._connections = connections
        self._ids = ids

    def __iter__(self) -> Iterator[Any]:
        ids = self._ids
        for pair in self._connections:
            # Anything but a pair of str goes on as it is, to be refused as usual.
            if type(pair) in (tuple, list) and len(pair) == 2 and all(type(i) is str for i in pair):
                yield (ids.get(pair[0], pair[0]), ids.get(pair[1], pair[1]))
            else:
                yield pair


def _deserialize_with_fresh_ids(data: dict[str, Any], directory: Optional[str]) -> Pipeline:
    # Read as the pipeline reads them: "nodes" first, a missing key before anything.
    nodes = data[PipelineImp.SerializationKeys.NODES]
    connections = data[PipelineImp.SerializationKeys.CONNECTIONS]
    fresh = FreshIds(nodes)
    relinked = {PipelineImp.SerializationKeys.NODES: nodes,
                PipelineImp.SerializationKeys.CONNECTIONS: _Relinked(connections, fresh.ids)}
    with loading(fresh=fresh):
        if directory is None:
            return PipelineImp.deserialize(relinked)
        return PipelineImp.deserialize(relinked, directory)


def _unregister(nodes: list[Node]) -> None:
    """Drop the registry's entries for `nodes` and their ports; an id that now
    names another object (re-registered after a reset) keeps its entry."""
    registry: dict[Any, Any] = PortableImp._id_map
    for node in nodes:
        imp: Any = node._imp
        objects = [imp, *getattr(imp, "_input_ports", {}).values(), *getattr(imp, "_output_ports", {}).values()]
        for obj in objects:
            try:
                key = obj.config[obj.config.Keys.ID]
                if registry.get(key) is obj:
                    del registry[key]
            except (AttributeError, KeyError, TypeError):  # not registered the usual way: nothing of ours
                continue


def _explain_non_nodes(output_node: object, input_node: object) -> None:
    """A connection failed on a missing attribute: when an argument is not a node
    at all, say which and what it is instead (the pipeline has left nothing added).
    Anything that looks like a node keeps the pipeline's own error."""
    for value, argument, kind in ((output_node, "output_node", "ONode"), (input_node, "input_node", "INode")):
        if not (isinstance(value, Node) or (hasattr(value, "set_logger") and hasattr(value, "get_name"))):
            raise NotANodeError(f"{argument} must be a node (an {kind}), got {type(value).__name__}.") from None


def _failed_node(nodes: list[Node], message: str) -> Optional[Node]:
    """The node in condition ERROR whose caught exception gave the error entry's
    message, or None (an overload, say)."""
    failed = [node for node in nodes
              if node.get_condition() == Constants.Conditions.ERROR and node.get_last_exception() is not None]
    for node in failed:
        exception = node.get_last_exception()
        assert exception is not None
        if exception.args and str(exception.args[0]) == message:
            return node
    for node in failed:
        if type(node.get_last_exception()).__name__ == message:
            return node
    return None


def _result_advice(notes: list[str], node: str) -> Optional[str]:
    """The note a step's cycle adds when the step returned what cannot be pushed."""
    for note in notes:
        if isinstance(note, str) and note.startswith(f"Node {node}: step() returned"):
            return note
    return None


def _name_of(node: Any) -> Optional[str]:
    try:
        name = node.get_name()
    except Exception:  # a name that is no str: the pipeline reports that elsewhere
        return None
    return name if isinstance(name, str) else None


def _holding_up_stop(nodes: list[Any]) -> list[Any]:
    """The nodes stop() is waiting for: an input node whose worker was told to end
    but still runs, a timed source whose driver does; else the first node that
    is still running (its own stop() is what takes the time)."""
    waiting = []
    for node in nodes:
        imp = getattr(node, "_imp", None)
        worker = getattr(imp, "_thread", None)
        driver = getattr(node, "_driver", None)
        stopping = getattr(imp, "_is_thread_running", True) is False
        # On shared threads, a node being stopped keeps its task until its step ends.
        task = getattr(imp, "_scheduler_task", None)
        if ((isinstance(worker, threading.Thread) and stopping and worker.is_alive())
                or (task is not None and stopping)
                or (driver is not None and driver._stop.is_set() and driver.is_alive())):
            waiting.append(node)
    if not waiting:
        running = [node for node in nodes if getattr(node, "get_state", None) is not None
                   and node.get_state() == Constants.States.RUNNING]
        waiting = running[:1]
    return waiting
