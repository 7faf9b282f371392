"""A read-only page that shows a running pipeline in the browser: the graph, load
and rate charts that move as the pipeline runs, and the recent log. The server
pushes a snapshot to the page twice a second (server-sent events) and stops with
the pipeline."""

from __future__ import annotations

import asyncio
import json
import pathlib
import shutil
import subprocess
import threading
from typing import TYPE_CHECKING, Any, Literal, Optional

from .._stats import deepest_queue
from ..constants import Constants

if TYPE_CHECKING:
    from ..pipeline import Pipeline

_PAGE = pathlib.Path(__file__).with_name("page.html")
_LOG_LINES = 15


def snapshot(pipeline: Pipeline) -> dict[str, Any]:
    """What the page shows, as JSON-ready data."""
    nodes = []
    for stats in pipeline.get_stats():
        nodes.append({
            "name": str(stats["name"]), "class": stats["class"], "state": str(stats["state"]),
            "condition": str(stats["condition"]), "load": stats["load"], "steps": stats["steps"],
            "rate_in": stats["rate_in"], "rate_out": stats["rate_out"],
            "p99": stats["step_time"]["p99"], "queue": deepest_queue(stats),
        })
    log = [{"timestamp": e["timestamp"], "type": e["type"], "message": e["message"]}
           for e in pipeline.get_logger().get_all()[-_LOG_LINES:]]
    return {"state": str(pipeline.get_state()), "condition": str(pipeline.get_condition()),
            "elapsed": pipeline.get_elapsed_time(), "nodes": nodes, "log": log}


def graph_svg(pipeline: Pipeline) -> Optional[str]:
    """The graph as SVG through Graphviz's dot, or None without Graphviz."""
    dot = shutil.which("dot")
    if dot is None:
        return None
    try:
        from ..graph import to_dot
    except ImportError:
        return None

    done = subprocess.run([dot, "-Tsvg"], input=to_dot(pipeline), capture_output=True, text=True,
                          timeout=30)
    return done.stdout if done.returncode == 0 else None


class WebMonitor:
    """Serves the page of `pipeline` on http://host:port/ (port 0: any free port;
    `url` tells which). Listens on 127.0.0.1 unless another host is given. It stops
    with the pipeline (once the pipeline has run while served), or on stop()."""

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
        return self

    def stop(self) -> None:
        """Stop serving; open pages keep their last picture."""
        if self._thread is None or self._stopped.is_set():
            return
        if threading.current_thread() is self._thread:
            raise RuntimeError("WebMonitor.stop() cannot run on the server's own thread.")
        asyncio.run_coroutine_threadsafe(self._close(), self._loop).result(timeout=30)
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
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(timeout=10)
        if not self._thread.is_alive():
            self._loop.close()
        self._stopped.set()

    async def _open(self) -> None:
        web = self._web
        app = web.Application()
        app.router.add_get("/", self._page)
        app.router.add_get("/stats", self._stats)
        app.router.add_get("/graph.svg", self._graph)
        app.router.add_get("/events", self._events)
        self._runner = web.AppRunner(app, handle_signals=False, shutdown_timeout=1.0)
        await self._runner.setup()
        site = web.TCPSite(self._runner, self._host, self._port)
        await site.start()
        host, port = self._runner.addresses[0][:2]
        self.url = f"http://{'[' + host + ']' if ':' in host else host}:{port}/"
        self._watcher = asyncio.ensure_future(self._watch())

    async def _close(self) -> None:
        if self._runner is not None:
            runner, self._runner = self._runner, None
            await runner.cleanup()

    async def _watch(self) -> None:
        """Ends the serving when the pipeline stops after having run."""
        ran = False
        while self._runner is not None:
            running = self._pipeline.get_state() == Constants.States.RUNNING
            if ran and not running:
                await asyncio.sleep(self._interval * 2)  # a last update reaches the pages
                await self._close()
                threading.Thread(target=self._close_loop, daemon=True).start()
                return
            ran = ran or running
            await asyncio.sleep(self._interval / 2)

    # Routes (read only) ------------------------------------------------------------

    async def _page(self, request: Any) -> Any:
        return self._web.Response(text=_PAGE.read_text(encoding="utf-8"), content_type="text/html")

    async def _stats(self, request: Any) -> Any:
        return self._web.json_response(snapshot(self._pipeline))

    async def _graph(self, request: Any) -> Any:
        svg = await asyncio.get_running_loop().run_in_executor(None, graph_svg, self._pipeline)
        if svg is None:
            raise self._web.HTTPNotFound(text="Graphviz's dot is not installed.")
        return self._web.Response(text=svg, content_type="image/svg+xml")

    async def _events(self, request: Any) -> Any:
        response = self._web.StreamResponse(headers={"Content-Type": "text/event-stream",
                                                     "Cache-Control": "no-cache"})
        await response.prepare(request)
        try:
            while self._runner is not None:
                data = json.dumps(snapshot(self._pipeline))
                await response.write(f"data: {data}\n\n".encode())
                await asyncio.sleep(self._interval)
        except (ConnectionResetError, asyncio.CancelledError):
            pass
        return response
