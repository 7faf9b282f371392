"""Looking at a running pipeline: the 3-stage small-value chain fed by cycle() in a
loop, against the same chain in the same process with nothing looking:

1. the page served and the viewer bridge on every port, nobody connected;
2. the page's scope watching one port and the bridge publishing every port, each
   with a client reading all it is sent (an event-stream reader; a WebSocket client
   speaking the viewer's protocol, subscribed to every channel), in a process of
   their own.

Figures are values per second through the chain; the ratio is against the runs
with nothing looking, interleaved with them so a slow spell of the host hits both.
"""

import asyncio
import json
import statistics
import subprocess
import sys
import threading
import time
import urllib.request

import websockets

from velarix import INode, IONode, ONode, Pipeline

VALUES = 300_000
RUNS = 7


class Source(ONode):
    def step(self, data):
        return {"out": data["n"]}


class Transform(IONode):
    def step(self, data):
        return {"out": data["in"] * 2 + 1}


class Collect(INode):
    def __init__(self, **entries):
        super().__init__(**entries)
        self.expected = 0
        self.count = 0
        self.done = threading.Event()

    def step(self, data):
        self.count += 1
        if self.count == self.expected:
            self.done.set()


def build():
    source, middle, end = Source(name="src"), Transform(name="transform"), Collect(name="sink")
    pipeline = Pipeline(directory="")
    pipeline.connect(source, middle)
    pipeline.connect(middle, end)
    return pipeline, source, end


def feed(source, end, count):
    end.done.clear()
    end.expected = end.count + count
    start = time.perf_counter()
    for n in range(count):
        source.cycle({"n": n})
    assert end.done.wait(120), "the chain did not deliver"
    return time.perf_counter() - start


class ScopeReader(threading.Thread):
    """Reads a scope stream to its end, as a page would."""

    def __init__(self, url):
        super().__init__(daemon=True)
        self.stream = urllib.request.urlopen(url, timeout=30)
        self.updates = 0
        self.start()

    def run(self):
        try:
            for line in self.stream:
                if line.startswith(b"data:"):
                    self.updates += 1
        except (OSError, ValueError):
            pass


class ViewerReader(threading.Thread):
    """A viewer subscribed to every channel, reading all it is sent."""

    def __init__(self, port, topics):
        super().__init__(daemon=True)
        self.port, self.topics = port, set(topics)
        self.messages = 0
        self.subscribed = threading.Event()
        self.finish = threading.Event()
        self.start()

    def run(self):
        asyncio.run(self.read())

    async def read(self):
        async with websockets.connect(f"ws://127.0.0.1:{self.port}", max_size=None,
                                      subprotocols=["foxglove.websocket.v1", "foxglove.sdk.v1"]) as ws:
            wanted = set(self.topics)
            while not self.finish.is_set():
                try:
                    message = await asyncio.wait_for(ws.recv(), 0.2)
                except asyncio.TimeoutError:
                    continue
                if isinstance(message, bytes):
                    self.messages += 1
                    continue
                data = json.loads(message)
                if data["op"] == "advertise":
                    found = [c for c in data["channels"] if c["topic"] in wanted]
                    await ws.send(json.dumps({"op": "subscribe", "subscriptions": [
                        {"id": c["id"], "channelId": c["id"]} for c in found]}))
                    wanted -= {c["topic"] for c in found}
                    if not wanted:
                        self.subscribed.set()


def run(mode):
    pipeline, source, end = build()
    pipeline.start()
    feed(source, end, 1)  # the set-ups, outside the figure
    server = bridge = None
    if mode != "plain":
        server = pipeline.serve()
        bridge = pipeline.serve_foxglove(port=0)
        time.sleep(1)  # their start-up (first readings, looks) outside the figure
    if mode == "looking":
        # The clients in a process of their own, as a browser and a viewer are.
        clients = subprocess.Popen([sys.executable, __file__, "--clients", server.url, str(bridge.port)],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert clients.stdout.readline().strip() == "subscribed", "the clients did not subscribe"
        time.sleep(0.3)  # the taps are linked
    seconds = feed(source, end, VALUES)
    sent = dropped = 0
    if mode == "looking":
        time.sleep(0.5)  # what the taps hold reaches the clients
        clients.stdin.close()  # the clients leave
        try:
            clients.wait(10)
        except subprocess.TimeoutExpired:
            clients.kill()
            clients.wait()
        clients.stdout.close()
    if bridge is not None:
        stats = bridge.get_stats()
        sent, dropped = stats["sent"], stats["dropped"]
        bridge.stop()
    pipeline.stop()
    if server is not None:
        server.stop()
    run.extra = (sent, dropped)
    return seconds


def main():
    times = {"plain": [], "idle": [], "looking": []}
    extra = []
    for _ in range(RUNS):
        for mode in times:
            times[mode].append(run(mode))
            if mode == "looking":
                extra.append(run.extra)
    base = min(times["plain"])
    for mode, label in (("idle", "served, nobody looking"),
                        ("looking", "scope on one port + bridge on every port, a client each")):
        best = min(times[mode])
        medians = statistics.median(times["plain"]) / statistics.median(times[mode])
        print(f"3-stage chain, {VALUES} values: plain {VALUES / base:.0f}/s, {label} "
              f"{VALUES / best:.0f}/s: x{base / best:.3f} (medians x{medians:.3f})")
    sent, dropped = extra[-1]
    print(f"  last looking run: the bridge sent {sent} values, its taps dropped {dropped}")


def clients(url, port):
    """Both clients, until standard input closes; the viewer then closes its
    connection as a viewer does, so the server has no reset to report."""
    scope = ScopeReader(url + "scope?ports=transform.out&window=10&columns=1000")
    viewer = ViewerReader(int(port), ["src.out", "transform.out"])
    assert viewer.subscribed.wait(30)
    print("subscribed", flush=True)
    sys.stdin.read()
    viewer.finish.set()
    viewer.join(10)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--clients"]:
        clients(*sys.argv[2:4])
    else:
        main()
