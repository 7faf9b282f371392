"""Looking at the values of ports while a pipeline runs: the taps, the page's scope
(in a real headless Chromium) and the viewer bridge (with a real WebSocket client
speaking the viewer's protocol)."""

import asyncio
import json
import os
import pathlib
import socket
import subprocess
import sys
import struct
import time
import urllib.error
import urllib.request
import zlib

import pytest

import velarix
from velarix import Pipeline
from velarix.monitor._scope import PortTrace
from velarix.monitor._watch import Tap, json_message

from nodes import Relay, Sink, Source
from pipeline_helpers import WAIT
from scope_nodes import Counter, Sine
from test_monitor import chromium_driver

SUBPROTOCOLS = ["foxglove.websocket.v1", "foxglove.sdk.v1"]


def chain(source):
    relay, sink = Relay(name="relay"), Sink(name="sink")
    pipeline = Pipeline("")
    pipeline.connect(source, relay)
    pipeline.connect(relay, sink)
    return pipeline


def links(pipeline, node):
    return list(node._imp._output_ports["out"]._connected_ports)


def wait_for(condition, what):
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.02)
    pytest.fail(f"timed out waiting for {what}")


# Taps and what the scope makes of values -------------------------------------------


def test_a_tap_nobody_reads_drops_its_oldest_counted_and_leaves_no_link():
    source = Source(name="src")
    pipeline = chain(source)
    pipeline.start()
    try:
        before, saved = links(pipeline, source), pipeline.serialize()["connections"]
        tap = Tap(source._imp._output_ports["out"], size=10)
        assert pipeline.serialize()["connections"] == saved  # a tap is no link of the pipeline's
        for value in range(25):
            source.cycle({"x": value})
        wait_for(lambda: pipeline.get_nodes()[2].values[-1:] == [240], "the sink")
        assert tap.take() == list(range(15, 25))  # the newest 10, in order
        assert pipeline.get_stats()[0]["outputs"]["out"]["watch_dropped"] == 15
        tap.close()
        assert links(pipeline, source) == before
        assert pipeline.get_stats()[0]["outputs"]["out"]["watch_dropped"] == 15  # kept after the close
        assert "watch_dropped" not in pipeline.get_stats()[1]["outputs"]["out"]  # never watched
        assert pipeline.get_nodes()[2].values == [v * 10 for v in range(25)]  # the data path lost nothing
    finally:
        pipeline.stop()


def test_the_scope_keeps_the_peaks_of_a_fast_stream_within_its_columns():
    numpy = pytest.importorskip("numpy")

    class FakeTap:
        def dropped(self):
            return 0

    # 10 kHz for one second over 100 columns of 10 ms: one spike of 100 at sample 5003.
    values = [0.0] * 10000
    values[5003] = 100.0
    trace = PortTrace("p.out", FakeTap(), dt=0.01, columns=100)
    trace.add(values, 0.0, 1.0)
    points = trace.news(0)["lines"][0]["points"]
    assert len(points) <= 101 and max(p[2] for p in points) == 100.0
    assert [p[0] for p in points if p[2] == 100.0] == [50]
    # Short arrays are channels of a sample, a 2-D array a block of samples, a long
    # array the latest one over its index.
    trace = PortTrace("q.out", FakeTap(), dt=0.01, columns=100)
    trace.add([numpy.array([1.0, -1.0]), numpy.array([[2.0, -2.0], [3.0, -3.0]]), "text"], 0.0, 0.03)
    news = trace.news(0)
    assert [line["name"] for line in news["lines"]] == ["q.out[0]", "q.out[1]"]
    assert max(p[2] for p in news["lines"][0]["points"]) == 3.0 and trace.skipped == 1
    trace.add([numpy.arange(1000.0)], 0.03, 0.04)
    array = trace.news(0)["array"]
    assert len(array) <= 100 and array[-1][2] == 999.0


@pytest.mark.parametrize("value, message", [
    (3, {"value": 3}),
    (float("nan"), {"value": None}),
    ({"a": (1, 2)}, {"value": {"a": [1, 2]}}),
    (b"\x01\xff", {"value": "01ff"}),
])
def test_values_as_json_messages(value, message):
    assert json_message(value) == message


def test_json_messages_of_arrays_carry_dtype_and_shape():
    numpy = pytest.importorskip("numpy")
    assert json_message(numpy.arange(6, dtype="int16").reshape(2, 3)) == {
        "value": [[0, 1, 2], [3, 4, 5]], "dtype": "int16", "shape": [2, 3]}


# The scope on the page ---------------------------------------------------------------


def png_pixels(data):
    """(width, height, rows of RGB tuples) of an 8-bit RGB or RGBA PNG."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    position, chunks = 8, {}
    while position < len(data):
        length, kind = struct.unpack(">I4s", data[position:position + 8])
        chunks.setdefault(kind, []).append(data[position + 8:position + 8 + length])
        position += 12 + length
    width, height, depth, colour = struct.unpack(">IIBB", chunks[b"IHDR"][0][:10])
    assert depth == 8 and colour in (2, 6)
    step = 3 if colour == 2 else 4
    raw, stride, rows, previous = zlib.decompress(b"".join(chunks[b"IDAT"])), width * step, [], None
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        up = previous or bytearray(stride)
        for i in range(stride):
            left = line[i - step] if i >= step else 0
            corner = up[i - step] if i >= step else 0
            if kind == 1:
                line[i] = (line[i] + left) & 255
            elif kind == 2:
                line[i] = (line[i] + up[i]) & 255
            elif kind == 3:
                line[i] = (line[i] + (left + up[i]) // 2) & 255
            elif kind == 4:
                p = left + up[i] - corner
                pa, pb, pc = abs(p - left), abs(p - up[i]), abs(p - corner)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up[i] if pb <= pc else corner)) & 255
        previous = line
        rows.append([tuple(line[x:x + 3]) for x in range(0, stride, step)])
    return width, height, rows


@pytest.mark.slow
def test_the_scope_draws_a_sine_in_a_browser():
    pytest.importorskip("aiohttp")
    browser = chromium_driver()
    sine = Sine(name="sine", rate=500, frequency=1.0)
    pipeline = chain(sine)
    pipeline.start()
    server = pipeline.serve()
    try:
        browser.get(server.url)
        wait_for(lambda: browser.execute_script(
            "return document.querySelectorAll('#scope-ports input').length") == 2, "the port list")
        assert len(links(pipeline, sine)) == 1  # nobody looks yet: no tap
        browser.find_element("css selector", 'input[data-port="sine.out"]').click()
        browser.execute_script("document.getElementById('scope-window').value = '5';"
                               "document.getElementById('scope-window').dispatchEvent(new Event('change'))")
        wait_for(lambda: browser.execute_script("return window.velarix.scope.points") > 200, "a trace")
        assert len(links(pipeline, sine)) == 2
        width, height, rows = png_pixels(browser.find_element("id", "scope-canvas").screenshot_as_png)
        blue = [(x, y) for y, row in enumerate(rows) for x, (r, g, b) in enumerate(row)
                if b > 150 and r < 90 and 60 < g < 160]  # the first line's colour, #0969da
        assert len(blue) > 300
        xs, ys = {x for x, _ in blue}, [y for _, y in blue]
        assert len(xs) > width // 5  # along the window, not one blob
        assert max(ys) - min(ys) > height // 2  # up and down: a sine over its whole range
        errors = [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"]
        assert errors == []
        browser.find_element("css selector", 'input[data-port="sine.out"]').click()  # stop looking
        wait_for(lambda: len(links(pipeline, sine)) == 1, "the tap to go")
    finally:
        browser.quit()
        pipeline.stop()
        server.stop()


def test_the_scope_stream_refuses_unknown_ports_and_untaps_when_the_page_goes():
    pytest.importorskip("aiohttp")
    counter = Counter(name="count", rate=200)
    pipeline = chain(counter)
    pipeline.start()
    server = pipeline.serve()
    try:
        assert json.loads(urllib.request.urlopen(server.url + "ports", timeout=WAIT).read()) == [
            "count.out", "relay.out"]
        for query in ("ports=nope.out", "ports=", "ports=count.out&window=x", "ports=count.out&window=nan"):
            with pytest.raises(urllib.error.HTTPError) as refused:
                urllib.request.urlopen(server.url + "scope?" + query, timeout=WAIT)
            assert refused.value.code == 400
        stream = urllib.request.urlopen(server.url + "scope?ports=count.out,relay.out&window=2", timeout=WAIT)
        update = json.loads(next(line for line in stream if line.startswith(b"data:"))[5:])
        assert [port["port"] for port in update["ports"]] == ["count.out", "relay.out"]
        assert len(links(pipeline, counter)) == 2
        stream.close()
        wait_for(lambda: len(links(pipeline, counter)) == 1, "the tap to go")
        assert pipeline.get_state() == "RUNNING"
    finally:
        pipeline.stop()
        server.stop()


# The viewer bridge ---------------------------------------------------------------------


class ViewerClient:
    """A client of the viewer's protocol over a real WebSocket connection."""

    def __init__(self, ws):
        self.ws = ws
        self.channels = {}
        self.graph = None
        self.values = {}  # subscription id -> decoded messages
        self.asked = {}  # channel id -> the subscribe frame sent for it

    async def next(self):
        message = await asyncio.wait_for(self.ws.recv(), WAIT)
        if isinstance(message, str):
            data = json.loads(message)
            if data["op"] == "advertise":
                self.channels.update({c["topic"]: c for c in data["channels"]})
            elif data["op"] == "unadvertise":
                for topic in [t for t, c in self.channels.items() if c["id"] in data["channelIds"]]:
                    del self.channels[topic]
            elif data["op"] == "connectionGraphUpdate":
                self.graph = data
            elif data["op"] == "status" and data["message"].startswith("Unknown channel ID: "):
                # The server may advertise a new channel a moment before it takes
                # subscriptions to it: ask again, as a viewer does on a refusal.
                frame = self.asked.get(int(data["message"].rsplit(" ", 1)[1]))
                if frame is not None:
                    await asyncio.sleep(0.05)
                    await self.ws.send(frame)
            return data
        opcode, subscription, _ = struct.unpack_from("<BIQ", message)
        assert opcode == 1  # message data
        self.values.setdefault(subscription, []).append(json.loads(message[13:]))
        return None

    async def until(self, condition):
        while not condition():
            await self.next()

    async def subscribe(self, topic, subscription):
        await self.until(lambda: topic in self.channels)
        channel = self.channels[topic]["id"]
        self.asked[channel] = json.dumps({"op": "subscribe", "subscriptions": [
            {"id": subscription, "channelId": channel}]})
        await self.ws.send(self.asked[channel])


def viewer(port):
    websockets = pytest.importorskip("websockets")
    return websockets.connect(f"ws://127.0.0.1:{port}", subprotocols=SUBPROTOCOLS, max_size=None)


def test_a_viewer_gets_every_value_in_order_the_graph_and_the_log():
    pytest.importorskip("foxglove")
    counter = Counter(name="count", rate=100)
    pipeline = chain(counter)
    pipeline.start()
    bridge = pipeline.serve_foxglove(port=0)

    async def watch():
        async with viewer(bridge.port) as ws:
            assert ws.subprotocol in SUBPROTOCOLS
            client = ViewerClient(ws)
            await ws.send(json.dumps({"op": "subscribeConnectionGraph"}))
            await client.subscribe("count.out", 1)
            await client.subscribe("/velarix/log", 2)
            channel = client.channels["count.out"]
            assert channel["encoding"] == "json" and channel["schemaEncoding"] == "jsonschema"
            schema = json.loads(channel["schema"])
            await client.until(lambda: len(client.values.get(1, [])) >= 60 and client.graph is not None)
            pipeline.write_log("a line for the viewer")
            await client.until(lambda: any(m["message"] == "a line for the viewer"
                                           for m in client.values.get(2, [])))
            return client, schema

    try:
        client, schema = asyncio.run(watch())
    finally:
        bridge.stop()
        pipeline.stop()
    values = [message["value"] for message in client.values[1]]
    assert values == list(range(values[0], values[0] + len(values)))  # none lost, in order
    assert all(set(message) <= set(schema["properties"]) for message in client.values[1])
    assert set(schema["required"]) == {"value"}
    published = {t["name"]: t["publisherIds"] for t in client.graph["publishedTopics"]}
    subscribed = {t["name"]: t["subscriberIds"] for t in client.graph["subscribedTopics"]}
    assert published == {"count.out": ["count"], "relay.out": ["relay"]}
    assert subscribed == {"count.out": ["relay.in"], "relay.out": ["sink.in"]}
    stats = bridge.get_stats()
    assert stats["channels"]["count.out"]["sent"] >= len(values) and not stats["running"]
    assert len(links(pipeline, counter)) == 1  # the tap went with the bridge


def test_a_viewer_that_stops_reading_loses_values_not_the_pipeline():
    pytest.importorskip("foxglove")
    numpy = pytest.importorskip("numpy")

    class Big(Counter):
        def step(self, data):
            self.k += 1
            return {"out": numpy.full(2000, self.k, dtype="float64")}

    big = Big(name="big", rate=2000)
    pipeline = chain(big)
    pipeline.start()
    bridge = pipeline.serve_foxglove(port=0, ports=["big.out"])
    sink = pipeline.get_nodes()[2]
    try:
        async def stall():
            async with viewer(bridge.port) as ws:
                client = ViewerClient(ws)
                await client.subscribe("big.out", 1)
                await client.until(lambda: len(client.values.get(1, [])) >= 5)
                first = client.values[1][0]
                assert first["dtype"] == "float64" and first["shape"] == [2000]
                # No reading for a while: the pipeline must go on meanwhile.
                seen = len(sink.values)
                await asyncio.sleep(3)
                assert len(sink.values) - seen > 1000
                assert pipeline.get_stats()[0]["steps"] > 2000
                values = []
                deadline = time.monotonic() + 2
                while time.monotonic() < deadline:
                    try:
                        message = await asyncio.wait_for(ws.recv(), 0.5)
                    except asyncio.TimeoutError:
                        break
                    if isinstance(message, bytes):
                        values.append(json.loads(message[13:])["value"][0])
                return values

        values = asyncio.run(stall())
        steps = pipeline.get_stats()[0]["steps"]
    finally:
        bridge.stop()
        pipeline.stop()
    assert values == sorted(values) and len(values) < steps  # the client lost some, in order
    assert bridge.get_stats()["channels"]["big.out"]["sent"] <= steps


def test_bad_requests_to_the_bridge_fail_clearly_and_the_pipeline_goes_on():
    pytest.importorskip("foxglove")
    counter = Counter(name="count", rate=200)
    pipeline = chain(counter)
    pipeline.start()
    with pytest.raises(ValueError, match="No output port 'nope.out'.*known: count.out, relay.out"):
        pipeline.serve_foxglove(port=0, ports=["nope.out"])
    bridge = pipeline.serve_foxglove(port=0, ports=["count.out"])
    try:
        with pytest.raises(ValueError, match="'count.out' is already served by the viewer bridge"):
            pipeline.serve_foxglove(port=0)
        with pytest.raises(OSError, match="cannot listen"):
            pipeline.serve_foxglove(port=bridge.port, ports=["relay.out"])
        other = pipeline.serve_foxglove(port=0, ports=["relay.out"])  # the failed one claimed nothing
        other.stop()

        closed = pytest.importorskip("websockets").ConnectionClosed

        async def hostile(frame):
            # The server may close the connection or answer and ignore the frame.
            try:
                async with viewer(bridge.port) as ws:
                    await ws.send(frame)
                    while True:
                        await asyncio.wait_for(ws.recv(), 1)
            except (closed, asyncio.TimeoutError):
                pass

        for frame in (b"\x00garbage", "{not json", json.dumps({"op": "subscribe", "subscriptions": "x"}),
                      "x" * (32 << 20), b"\x01" * (32 << 20)):
            asyncio.run(hostile(frame))

        async def still_serves():
            async with viewer(bridge.port) as ws:
                client = ViewerClient(ws)
                await client.subscribe("count.out", 9)
                await client.until(lambda: len(client.values.get(9, [])) >= 3)

        asyncio.run(still_serves())
        assert pipeline.get_state() == "RUNNING"
    finally:
        bridge.stop()
        pipeline.stop()
    with socket.socket() as probe:  # the port is free again (closed connections may linger)
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        probe.bind(("127.0.0.1", bridge.port))


@pytest.mark.slow
@pytest.mark.parametrize("command", ["run", "replay"])
def test_the_command_line_serves_a_run_or_a_replay_to_the_viewer(tmp_path, command):
    pytest.importorskip("foxglove")
    if command == "replay":
        pytest.importorskip("mcap")
    pipeline = chain(Counter(name="count", rate=100))
    pipeline.save(str(tmp_path / "p.json"))
    target = tmp_path / "p.json"
    if command == "replay":
        recording = pipeline.record(str(tmp_path / "rec.mcap"))
        pipeline.start()
        time.sleep(1.5)
        pipeline.stop()
        recording.stop()
        target = tmp_path / "rec.mcap"
    roots = [str(pathlib.Path(velarix.__file__).resolve().parents[1]), str(pathlib.Path(__file__).parent)]
    process = subprocess.Popen(
        [sys.executable, "-m", "velarix", command, str(target), "--seconds", "20", "--foxglove", "0"]
        + (["--log-dir", ""] if command == "run" else ["--loop"]),
        cwd=tmp_path, env=dict(os.environ, PYTHONPATH=os.pathsep.join(roots)),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = ""
        while "viewer bridge:" not in line:
            line = process.stderr.readline()
            assert line, "the command ended without serving"
        port = int(line.rsplit(":", 1)[1])

        async def watch():
            async with viewer(port) as ws:
                client = ViewerClient(ws)
                await client.subscribe("count.out", 1)
                await client.until(lambda: len(client.values.get(1, [])) >= 10)
                return [message["value"] for message in client.values[1]]

        values = asyncio.run(watch())
        # In order, none lost (a looping replay starts again at 1).
        assert all(later == earlier + 1 or later == 1 for earlier, later in zip(values, values[1:]))
    finally:
        process.terminate()
        process.wait(WAIT)
