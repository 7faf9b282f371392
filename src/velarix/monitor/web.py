"""A read-only page that shows a running pipeline in the browser: the graph, load
and rate charts that move as the pipeline runs, and the recent log. The server
takes one reading of the pipeline per interval and pushes it to every page
(server-sent events); the graph of a reading is drawn from that same reading. It
stops once the pipeline has stopped, after a last reading that says so."""

from __future__ import annotations

import asyncio
import atexit
import collections
import concurrent.futures
import ipaddress
import json
import math
import pathlib
import shutil
import socket
import subprocess
import threading
import time
from typing import TYPE_CHECKING, Any, Literal, Mapping, Optional, Sequence

from .._stats import deepest_queue, oldest_input
from ..graph import to_dot
from ._run import RunClock
from ._scope import Scope
from ._watch import SCOPE_SHARE, named_ports, watchable_ports

if TYPE_CHECKING:
    from ..pipeline import Pipeline

_PAGE = pathlib.Path(__file__).with_name("page.html")
_LOG_LINES = 15
_KEPT_READINGS = 16  # readings whose graph a page may still ask for
_KEPT_DRAWINGS = 4
_LOOPBACK_NAMES = ("localhost", "127.0.0.1", "[::1]")
_SCOPE_INTERVAL = 1 / 25  # at most 25 scope updates a second to a page
_SCOPE_PORTS = 8  # ports one scope may watch at once


def snapshot(pipeline: Pipeline, clock: Optional[RunClock] = None,
             stats: Optional[Sequence[Mapping[str, Any]]] = None) -> dict[str, Any]:
    """What the page shows, as JSON-ready data. `clock` keeps the elapsed time of a
    run after it has stopped; `stats` is a reading of pipeline.get_stats() already
    taken."""
    reading = (clock or RunClock()).read(pipeline)
    nodes = []
    for entry in pipeline.get_stats() if stats is None else stats:
        nodes.append({
            "name": str(entry["name"]), "class": entry["class"], "state": str(entry["state"]),
            "condition": str(entry["condition"]), "load": entry["load"], "steps": entry["steps"],
            "rate_in": entry["rate_in"], "rate_out": entry["rate_out"],
            "p99": entry["step_time"]["p99"], "queue": deepest_queue(dict(entry)),
            "age": oldest_input(dict(entry)), "busy": entry.get("busy"), "blocked": entry.get("blocked"),
        })
        if entry.get("ray_node"):  # a node on a worker on Ray: the address of its Ray node
            nodes[-1]["ray_node"] = str(entry["ray_node"])
        if "replay" in entry:  # a replay's play: position, duration, what is left
            nodes[-1]["replay"] = {key: entry["replay"][key] for key in
                                   ("position", "duration", "remaining", "speed", "replayed", "total",
                                    "loops", "paused", "finished")}
    log = [{"timestamp": e["timestamp"], "type": e["type"], "message": e["message"]}
           for e in pipeline.get_logger().get_all()[-_LOG_LINES:]]
    return {"state": reading.state, "condition": reading.condition, "elapsed": reading.elapsed,
            "ended": reading.ended, "threads": reading.threads, "nodes": nodes, "log": log}


def graph_svg(pipeline: Pipeline, dot_text: Optional[str] = None) -> Optional[str]:
    """The graph (or `dot_text`) as SVG through Graphviz's dot, or None without
    Graphviz."""
    dot = shutil.which("dot")
    if dot is None:
        return None
    if dot_text is None:
        dot_text = to_dot(pipeline)
    done = subprocess.run([dot, "-Tsvg"], input=dot_text, capture_output=True, text=True,
                          timeout=30)
    return done.stdout if done.returncode == 0 else None


def _host_names(host: str) -> Optional[frozenset[str]]:
    """The host names a server on `host` answers to (lower case, IPv6 in brackets),
    or None for a server on every address."""
    try:
        address: Any = ipaddress.ip_address(host.strip("[]"))
    except ValueError:
        address = None
    if address is not None and address.is_unspecified:
        return None
    names = {f"[{address}]" if address is not None and address.version == 6
             else str(address or host).lower()}
    if host.lower() == "localhost" or (address is not None and address.is_loopback):
        names.update(_LOOPBACK_NAMES)
    return frozenset(names)


def _split_host(value: str) -> tuple[str, Optional[str]]:
    """A Host header value as host and port ("" as host when it is malformed)."""
    if value.startswith("["):
        host, _, rest = value.partition("]")
        if not rest:
            return host + "]", None
        return (host + "]", rest[1:]) if rest.startswith(":") else ("", None)
    host, colon, port = value.partition(":")
    if ":" in port:
        return "", None  # an IPv6 address is only valid in brackets
    return host, port if colon else None


def host_allowed(value: str, names: Optional[frozenset[str]], port: int) -> bool:
    """Whether a request with Host `value` is addressed to a server on `port` that
    answers to `names` (None: a server on every address, which answers to address
    literals and this machine's own names)."""
    host, given = _split_host(value.strip().lower())
    host = host.rstrip(".")
    if not host or (given is not None and given != str(port)):
        return False
    if names is not None:
        return host in names
    try:
        ipaddress.ip_address(host.strip("[]"))
        return True
    except ValueError:
        return host in {"localhost", socket.gethostname().lower(), socket.getfqdn().lower()}


class WebMonitor:
    """Serves the page of `pipeline` on http://host:port/ (port 0: any free port;
    `url` tells which). Listens on 127.0.0.1 unless another host is given, and
    answers only requests addressed to that host (421 otherwise). It stops about
    one interval after the pipeline stops, once the pipeline has run while served;
    otherwise on stop() or at the end of the process."""

    def __init__(self, pipeline: Pipeline, host: str = "127.0.0.1", port: int = 0,
                 interval: float = 0.5) -> None:
        from . import _require

        self._web = _require("aiohttp.web")
        self._pipeline = pipeline
        self._host = host
        self._port = port
        self._interval = interval
        self._loop = asyncio.new_event_loop()
        self._thread: Optional[threading.Thread] = None
        self._runner: Any = None
        self._stopped = threading.Event()
        self._closing = threading.Lock()
        self._clock = RunClock()
        self._allowed: Optional[frozenset[str]] = frozenset()  # host names answered
        self._bound_port = 0
        # The newest reading, its number, and the DOT text of the last few readings.
        self._reading: dict[str, Any] = {}
        self._count = 0
        self._dots: collections.OrderedDict[int, str] = collections.OrderedDict()
        self._drawings: collections.OrderedDict[str, asyncio.Future[Optional[str]]] = \
            collections.OrderedDict()
        self._news: Optional[asyncio.Condition] = None
        self._streams = 0
        self._sampler: Optional[asyncio.Future[None]] = None
        self._finishing = False
        self.url: str = ""

    # Life --------------------------------------------------------------------------

    def start(self) -> WebMonitor:
        if self._thread is not None:
            return self
        self._thread = threading.Thread(target=self._loop.run_forever, daemon=True, name="velarix-web")
        self._thread.start()
        try:
            asyncio.run_coroutine_threadsafe(self._open(), self._loop).result(timeout=30)
        except BaseException:
            self._close_loop()
            raise
        # Open pages get their last reading even when the script ends right after
        # stopping the pipeline.
        atexit.register(self.stop)
        return self

    def stop(self) -> None:
        """Stop serving after a last reading; open pages keep their last picture."""
        if self._thread is None or self._stopped.is_set():
            return
        if threading.current_thread() is self._thread:
            raise RuntimeError("WebMonitor.stop() cannot run on the server's own thread.")
        finish = self._finish()
        try:
            finishing: Optional[concurrent.futures.Future[None]] = \
                asyncio.run_coroutine_threadsafe(finish, self._loop)
        except RuntimeError:
            finishing = None  # the loop has already closed
            finish.close()
        # The sampler may end the serving itself at the same moment (the pipeline
        # stopped): then the loop stops before it runs this, which is no wait.
        deadline = time.monotonic() + 30
        while finishing is not None and not finishing.done() and time.monotonic() < deadline:
            assert self._thread is not None
            if self._stopped.is_set() or not self._thread.is_alive():
                finishing.cancel()
                finish.close()  # the stopped loop never ran it
                break
            try:
                finishing.result(timeout=0.05)
            except concurrent.futures.TimeoutError:
                continue
            except (RuntimeError, concurrent.futures.CancelledError):
                break
        self._close_loop()

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Block until the server has stopped; False when `timeout` passes first."""
        return self._stopped.wait(timeout)

    def __enter__(self) -> WebMonitor:
        return self.start()

    def __exit__(self, *exc: object) -> Literal[False]:
        self.stop()
        return False

    def _close_loop(self) -> None:
        assert self._thread is not None
        with self._closing:  # stop() and the end after the pipeline's stop may meet
            if self._stopped.is_set():
                return
            atexit.unregister(self.stop)
            self._loop.call_soon_threadsafe(self._loop.stop)
            self._thread.join(timeout=10)
            if not self._thread.is_alive():
                self._loop.close()
            self._stopped.set()

    async def _open(self) -> None:
        web = self._web
        app = web.Application(middlewares=[self._check_host])
        app.router.add_get("/", self._page)
        app.router.add_get("/stats", self._stats)
        app.router.add_get("/graph.svg", self._graph)
        app.router.add_get("/events", self._events)
        app.router.add_get("/ports", self._ports)
        app.router.add_get("/scope", self._scope)
        self._runner = web.AppRunner(app, handle_signals=False, shutdown_timeout=1.0)
        await self._runner.setup()
        site = web.TCPSite(self._runner, self._host, self._port)
        await site.start()
        host, port = self._runner.addresses[0][:2]
        self._bound_port = port
        self._allowed = _host_names(self._host)
        self.url = f"http://{'[' + host + ']' if ':' in host else host}:{port}/"
        self._news = asyncio.Condition()
        await self._take_reading()
        self._sampler = asyncio.ensure_future(self._sample())

    async def _close(self) -> None:
        if self._runner is not None:
            runner, self._runner = self._runner, None
            if self._news is not None:
                async with self._news:  # waiting streams see the end
                    self._news.notify_all()
            await runner.cleanup()

    async def _finish(self) -> None:
        """A last reading to every open page, then the end of serving."""
        if self._finishing or self._runner is None:
            return
        self._finishing = True
        if self._sampler is not None and self._sampler is not asyncio.current_task():
            self._sampler.cancel()
        try:
            await self._take_reading(final=True)
        except Exception:  # the end of serving does not wait on a node that cannot report
            pass
        # The streams end themselves once they have written the last reading.
        for _ in range(20):
            if not self._streams:
                break
            await asyncio.sleep(0.05)
        await self._close()

    async def _take_reading(self, final: bool = False) -> None:
        stats = self._pipeline.get_stats()
        self._count += 1
        reading = snapshot(self._pipeline, self._clock, stats)
        reading.update(reading=self._count, final=final)
        self._reading = reading
        self._dots[self._count] = to_dot(self._pipeline, stats=stats)
        while len(self._dots) > _KEPT_READINGS:
            self._dots.popitem(last=False)
        assert self._news is not None
        async with self._news:
            self._news.notify_all()

    async def _sample(self) -> None:
        """One reading per interval; the serving ends after the reading that first
        sees the pipeline stopped after a run."""
        while self._runner is not None and not self._finishing:
            await asyncio.sleep(self._interval)
            if self._finishing:
                return
            try:
                if self._clock.read(self._pipeline).ended:
                    await self._finish()
                    threading.Thread(target=self._close_loop, daemon=True).start()
                    return
                await self._take_reading()
            except Exception:  # a node that cannot report now: the pages keep the last reading
                continue

    # Routes (read only) ------------------------------------------------------------

    @property
    def _check_host(self) -> Any:
        web = self._web

        async def check_host(request: Any, handler: Any) -> Any:
            # A page of another site that rebinds its name to this address sends
            # its own name as Host: such requests are refused.
            if not host_allowed(request.headers.get("Host", ""), self._allowed, self._bound_port):
                return web.Response(status=421, text="Misdirected Request: unknown host.\n")
            return await handler(request)

        return web.middleware(check_host)

    async def _page(self, request: Any) -> Any:
        return self._web.Response(text=_PAGE.read_text(encoding="utf-8"), content_type="text/html")

    async def _stats(self, request: Any) -> Any:
        return self._web.json_response(snapshot(self._pipeline, self._clock))

    async def _graph(self, request: Any) -> Any:
        web = self._web
        wanted = request.query.get("reading")
        number = int(wanted) if wanted and wanted.isdigit() else self._count
        dot_text = self._dots.get(number)
        if dot_text is None:
            raise web.HTTPGone(text="That reading is no longer kept.")
        drawing = self._drawings.get(dot_text)
        if drawing is None:  # one drawing per distinct graph, shared by the pages
            drawing = asyncio.ensure_future(asyncio.get_running_loop().run_in_executor(
                None, graph_svg, self._pipeline, dot_text))
            self._drawings[dot_text] = drawing
            while len(self._drawings) > _KEPT_DRAWINGS:
                self._drawings.popitem(last=False)
        try:
            svg = await asyncio.shield(drawing)
        except (OSError, subprocess.SubprocessError):
            self._drawings.pop(dot_text, None)  # the next reading tries again
            raise web.HTTPServiceUnavailable(text="Graphviz's dot could not draw the graph.")
        if svg is None:
            raise web.HTTPNotFound(text="Graphviz's dot is not installed.")
        return web.Response(text=svg, content_type="image/svg+xml",
                            headers={"Cache-Control": "no-store"})

    async def _events(self, request: Any) -> Any:
        response = self._web.StreamResponse(headers={"Content-Type": "text/event-stream",
                                                     "Cache-Control": "no-cache"})
        assert self._news is not None
        self._streams += 1
        try:
            await response.prepare(request)
            sent = 0
            while self._runner is not None:
                reading = self._reading
                if reading["reading"] != sent:
                    sent = reading["reading"]
                    await response.write(f"data: {json.dumps(reading)}\n\n".encode())
                    if reading["final"]:
                        break
                async with self._news:
                    await self._news.wait_for(lambda: self._reading["reading"] != sent
                                              or self._runner is None)
        except ConnectionError:
            # A page that went away: the end of this client, nothing to report.
            return response
        finally:
            self._streams -= 1
        return response

    # The scope ----------------------------------------------------------------------

    async def _ports(self, request: Any) -> Any:
        """The output ports a scope can watch, by their "node.port" names."""
        return self._web.json_response(list(watchable_ports(self._pipeline)))

    async def _scope(self, request: Any) -> Any:
        """A stream of scope updates for ?ports=a.out,b.out&window=S&columns=N; the
        ports are tapped while the stream is open and no longer."""
        web = self._web
        names = [name for name in request.query.get("ports", "").split(",") if name]
        try:
            if not names or len(names) > _SCOPE_PORTS:
                raise ValueError(f"Name 1 to {_SCOPE_PORTS} ports to watch (ports=a.out,b.out).")
            window = float(request.query.get("window", "10"))
            columns = int(request.query.get("columns", "1000"))
            if not math.isfinite(window):
                raise ValueError("window must be a number of seconds.")
            scope = Scope(named_ports(self._pipeline, names), window, columns)
        except ValueError as error:
            raise web.HTTPBadRequest(text=f"{error}\n")
        response = web.StreamResponse(headers={"Content-Type": "text/event-stream",
                                               "Cache-Control": "no-cache"})
        self._streams += 1
        try:
            await response.prepare(request)
            while self._runner is not None and not self._finishing:
                started = time.monotonic()
                await response.write(f"data: {json.dumps(scope.update())}\n\n".encode())
                spent = time.monotonic() - started
                # At most 25 a second, and resting in proportion to the work.
                await asyncio.sleep(max(_SCOPE_INTERVAL - spent, spent * (1 - SCOPE_SHARE) / SCOPE_SHARE))
        except ConnectionError:
            pass  # the page went away: its taps go with it
        finally:
            scope.close()
            self._streams -= 1
        return response
