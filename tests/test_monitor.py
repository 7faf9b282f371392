"""Watching a pipeline: statistics from the core, the terminal table and the page
in the browser."""

import http.client
import io
import json
import logging
import os
import shutil
import socket
import struct
import tempfile
import threading
import time
import urllib.request

import pytest

from velarix import LogType, Pipeline
from velarix.constants import Constants
from velarix.errors import PipelineError

from nodes import Relay, Sink, Source
from pipeline_helpers import WAIT


class Failing(Relay):
    def step(self, data):
        raise RuntimeError("broken relay")


def chain(count):
    source, relay, sink = Source(), Relay(name="relay"), Sink()
    pipeline = Pipeline("")
    pipeline.connect(source, relay)
    pipeline.connect(relay, sink)
    sink.expected = count
    return pipeline, source, sink


def run_values(pipeline, source, sink, count):
    pipeline.start()
    for value in range(count):
        source.cycle({"x": value})
    assert sink.done.wait(WAIT)


# Statistics ----------------------------------------------------------------------------


def test_statistics_count_a_known_workload():
    pipeline, source, sink = chain(50)
    before = pipeline.get_stats()
    assert [s["steps"] for s in before] == [0, 0, 0]
    assert before[1]["step_time"] == {"mean": None, "p50": None, "p99": None, "max": None}

    run_values(pipeline, source, sink, 50)
    pipeline.stop()
    stats = pipeline.get_stats()
    assert [s["name"] for s in stats] == ["Source", "relay", "Sink"]
    assert [s["steps"] for s in stats] == [50, 50, 50]
    relay = stats[1]
    counts = relay["inputs"]["in"] | relay["outputs"]["out"]
    assert {key: counts[key] for key in ("timing", "received", "queued", "dropped", "pushed", "skipped")} == {
        "timing": Constants.Timing.SYNC, "received": 50, "queued": 0, "dropped": 0, "pushed": 50, "skipped": 0}
    for figure in ("latency", "age"):  # tracing is on by default
        latency = relay["inputs"]["in"][figure]
        assert 0 <= latency["p50"] <= latency["p99"] <= latency["max"]
    assert set(relay) >= {"class", "state", "condition", "load", "rate_in", "rate_out", "inputs", "outputs"}
    assert relay["state"] == Constants.States.STOPPED and relay["condition"] == Constants.Conditions.HEALTHY
    assert relay["inputs"]["in"]["timing"] == relay["outputs"]["out"]["timing"] == Constants.Timing.SYNC
    times = relay["step_time"]
    assert 0 <= times["p50"] <= times["p99"] <= times["max"] and times["mean"] > 0
    assert stats[0]["rate_in"] == 0.0 < stats[0]["rate_out"]
    assert stats[2]["rate_out"] == 0.0 < stats[2]["rate_in"]


def test_ports_count_received_queued_dropped_and_pushed():
    source, sink = Source(), Sink(input_ports=[{"name": "in", "timing": Constants.Timing.ASYNC}])
    slow = Sink(name="slow")
    source.connect("out", sink, "in")
    source.connect("out", slow, "in")
    source.start()  # the sinks stay stopped: nothing reads their ports
    # Past the small ints, whose objects Python shares: a count handed out keeps its value.
    for value in range(300):
        source.cycle({"x": value})
        if value == 279:
            held = source.get_stats()["outputs"]["out"]["pushed"]
    assert source.get_stats()["outputs"]["out"]["pushed"] == 300 and held == 280
    def counts(node):
        port = node.get_stats()["inputs"]["in"]
        return {key: port[key] for key in ("timing", "received", "queued", "dropped")}

    assert counts(sink) == {"timing": Constants.Timing.ASYNC, "received": 300, "queued": 1, "dropped": 299}
    assert counts(slow) == {"timing": Constants.Timing.SYNC, "received": 300, "queued": 300, "dropped": 0}
    # Nothing was taken yet: no latency figures.
    assert slow.get_stats()["inputs"]["in"]["latency"] == {"mean": None, "p50": None, "p99": None, "max": None}

    pipeline = Pipeline("")
    pipeline.add_node(slow)
    pipeline.start()
    deadline = time.monotonic() + WAIT
    while slow.get_stats()["inputs"]["in"]["queued"] and time.monotonic() < deadline:
        time.sleep(0.01)
    pipeline.stop()
    assert slow.get_stats()["inputs"]["in"]["queued"] == 0 and slow.values == list(range(300))


def test_step_time_figures_follow_the_clock(monkeypatch):
    source = Source()
    source.start()
    source.cycle({"x": 0})  # the set-up run, on the real clock
    # Cycle k starts at 1000 + k and lasts k + 1 milliseconds: every reading is known.
    readings = []
    for k in range(1, 101):
        readings += [1000.0 + k, 1000.0 + k + k / 1000]
    clock = iter(readings)
    monkeypatch.setattr(time, "time", lambda: next(clock, 2000.0))
    for k in range(1, 101):
        source.cycle({"x": k})
    figures = source._imp.get_step_stats()
    monkeypatch.undo()

    assert figures["steps"] == figures["window"] == 101
    step_time = source.get_stats()["step_time"]
    durations = sorted([k / 1000 for k in range(1, 101)] + [figures["max"]])  # the set-up cycle's too
    assert step_time["max"] == pytest.approx(max(durations))
    # Nearest rank over the window: within one rank of the exact percentile.
    tiny = 1e-9  # the clock's floats do not subtract exactly
    assert durations[49] - tiny <= step_time["p50"] <= durations[51] + tiny
    assert durations[98] - tiny <= step_time["p99"] <= durations[100] + tiny


def test_the_ring_keeps_memory_flat():
    source = Source()
    source.start()
    for value in range(5000):
        source.cycle({"x": value})
    stats = source.get_stats()
    assert stats["steps"] == 5000
    assert source._imp.get_step_stats()["window"] == 1024


# The terminal table ------------------------------------------------------------------------


def test_the_table_shows_nodes_and_problems():
    rich = pytest.importorskip("rich.console")
    from velarix.monitor import render

    pipeline, source, sink = chain(3)
    run_values(pipeline, source, sink, 3)
    pipeline.get_logger().write(LogType.WARNING, "sensor drifting")
    console = rich.Console(file=io.StringIO(), width=140)
    console.print(render(pipeline))
    pipeline.stop()
    text = console.file.getvalue()
    assert "RUNNING  HEALTHY" in text
    for word in ("relay", "Relay", "HEALTHY", "p99 ms", "load %", "WARNING  sensor drifting"):
        assert word in text


def rendered(pipeline, width=80, **options):
    from rich.console import Console
    from velarix.monitor import render

    console = Console(file=io.StringIO(), width=width, record=True, **options)
    console.print(render(pipeline))
    return console


def test_the_table_fits_80_columns_with_long_names_and_large_figures():
    pytest.importorskip("rich.console")
    pipeline, source, sink = chain(3)
    run_values(pipeline, source, sink, 3)
    for node in pipeline.get_nodes():
        node.config["name"] = "a rather long node name, " * 3 + type(node).__name__
    pipeline.stop()
    text = rendered(pipeline).export_text()
    lines = text.splitlines()
    assert all(len(line) <= 80 for line in lines)
    # Title, header, rule and one line per node: no cell wrapped onto a second line.
    assert len(lines) == 3 + 3 and lines[1].split()[:2] == ["node", "class"]
    assert all(line.rstrip().endswith(("-", "0")) for line in lines[3:])


def test_names_and_messages_print_as_text():
    pytest.importorskip("rich.console")
    pipeline, source, sink = chain(1)
    pipeline.get_nodes()[1].config["name"] = "[link=https://example.com]x[/link]\x1b[2J\nr"
    run_values(pipeline, source, sink, 1)
    pipeline.get_logger().write(LogType.WARNING, "bad \x1b]8;;https://example.com\x07link\x9b2J")
    pipeline.stop()
    console = rendered(pipeline, width=120, force_terminal=True)
    raw = console.file.getvalue()
    assert "\x1b]8;" not in raw and "\x1b[2J" not in raw and "\x9b" not in raw  # no link, no clear
    text = console.export_text()
    assert "[link=https://example.com]x[/link]\\x1b[2J\\x0ar" in text
    assert "bad \\x1b]8;;https://example.com\\x07link\\x9b2J" in text


def test_the_last_frame_keeps_the_run_and_its_end():
    rich = pytest.importorskip("rich.console")
    from velarix.monitor import LiveMonitor

    pipeline, source, sink = chain(1)
    console = rich.Console(file=io.StringIO(), width=140)
    with LiveMonitor(pipeline, console=console, plain_interval=0.05):
        run_values(pipeline, source, sink, 1)
        time.sleep(0.2)
        pipeline.stop()
    last = console.file.getvalue().splitlines()[-1]
    assert last.startswith("STOPPED HEALTHY elapsed ") and ", highest load" in last
    assert float(last.split()[3]) >= 0.2  # the run lasted at least the sleep

    # Off a terminal, with runs that end before the next line is due: the line at
    # the end still has the run's time, also when the run fell between two refreshes.
    for refresh, run_for in ((20, 0.3), (1, 0.05)):
        console = rich.Console(file=io.StringIO(), width=140)
        with LiveMonitor(pipeline, console=console, refresh=refresh):
            pipeline.start()
            time.sleep(run_for)
            pipeline.stop()
        lines = console.file.getvalue().splitlines()
        assert len(lines) == 1 and lines[0].startswith("STOPPED HEALTHY elapsed ")
        assert float(lines[0].split()[3]) >= run_for - 0.05  # the line rounds to 0.1 s

    # On a terminal: the table's last frame says STOPPED with the same figures.
    console = rich.Console(file=io.StringIO(), width=100, force_terminal=True)
    with LiveMonitor(pipeline, console=console, refresh=20):
        pipeline.start()
        time.sleep(0.2)
        pipeline.stop()
    final = console.file.getvalue().rsplit("RUNNING  HEALTHY", 1)[-1]
    assert "STOPPED  HEALTHY  elapsed " in final
    elapsed = final.split("STOPPED  HEALTHY  elapsed ")[-1].split(" s")[0]
    assert float(elapsed) >= 0.2


def test_the_table_takes_the_whole_window_of_a_dumb_terminal():
    """rich takes 80 columns for TERM=dumb; the table asks the window instead."""
    rich = pytest.importorskip("rich.console")
    import fcntl
    import termios

    from velarix.monitor import LiveMonitor

    name = "a_node_name_far_longer_than_eighty_columns_leave_it_" + "x" * 40
    pipeline = Pipeline("")
    source, sink = Source(name=name), Sink(name="sink")
    pipeline.connect(source, sink)
    main, side = os.openpty()
    fcntl.ioctl(side, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 240, 0, 0))
    screen = bytearray()
    reader = threading.Thread(target=lambda: screen.extend(iter_read(main)), daemon=True)
    reader.start()
    with os.fdopen(side, "w") as window:
        console = rich.Console(file=window, _environ={"TERM": "dumb"})
        assert console.is_dumb_terminal and console.width == 80
        with LiveMonitor(pipeline, console=console, refresh=20):
            pipeline.start()
            time.sleep(0.2)
            pipeline.stop()
    reader.join(WAIT)
    os.close(main)
    assert name in screen.decode(errors="replace")


def iter_read(fd):
    while True:
        try:
            chunk = os.read(fd, 65536)
        except OSError:  # the other side closed
            return
        if not chunk:
            return
        yield from chunk


# The page ---------------------------------------------------------------------------------


def read_json(url):
    with urllib.request.urlopen(url, timeout=WAIT) as response:
        return json.loads(response.read())


def test_the_page_serves_snapshots_and_events_then_stops_with_the_pipeline():
    pytest.importorskip("aiohttp")
    pipeline, source, sink = chain(5)
    run_values(pipeline, source, sink, 5)
    server = pipeline.serve()
    assert server.url.startswith("http://127.0.0.1:")
    stats = read_json(server.url + "stats")
    assert [n["name"] for n in stats["nodes"]] == ["Source", "relay", "Sink"]
    assert stats["state"] == "RUNNING" and stats["nodes"][2]["steps"] == 5
    with urllib.request.urlopen(server.url, timeout=WAIT) as response:
        assert b"<canvas" in response.read()

    with urllib.request.urlopen(server.url + "events", timeout=WAIT) as events:
        first = events.readline()
        assert first.startswith(b"data: ") and json.loads(first[6:])["nodes"]
    request = urllib.request.Request(server.url + "stats", method="POST")
    with pytest.raises(urllib.error.HTTPError):  # read only
        urllib.request.urlopen(request, timeout=WAIT)

    pipeline.stop()
    assert server.wait(WAIT)
    with pytest.raises(OSError):
        urllib.request.urlopen(server.url + "stats", timeout=2)


def status_of(server, host):
    connection = http.client.HTTPConnection("127.0.0.1", int(server.url.rsplit(":", 1)[1].strip("/")),
                                            timeout=WAIT)
    try:
        connection.putrequest("GET", "/stats", skip_host=True)
        connection.putheader("Host", host)
        connection.endheaders()
        return connection.getresponse().status
    finally:
        connection.close()


def test_the_page_answers_only_its_own_host():
    pytest.importorskip("aiohttp")
    from velarix.monitor.web import host_allowed

    pipeline, source, sink = chain(1)
    server = pipeline.serve()
    try:
        port = server.url.rsplit(":", 1)[1].strip("/")
        for host in (f"127.0.0.1:{port}", "127.0.0.1", f"localhost:{port}", "LOCALHOST", f"[::1]:{port}"):
            assert status_of(server, host) == 200, host
        for host in (f"rebound.example:{port}", "rebound.example", f"localhost:{int(port) + 1}",
                     f"127.0.0.1.rebound.example:{port}", "", f"::1:{port}"):
            assert status_of(server, host) == 421, host
    finally:
        server.stop()
    # A server on every address answers to address literals and this machine's names.
    assert host_allowed("192.0.2.7:8080", None, 8080) and host_allowed("[2001:db8::1]", None, 8080)
    assert not host_allowed("rebound.example:8080", None, 8080)
    assert not host_allowed("192.0.2.7:8081", None, 8080)
    assert host_allowed("192.0.2.7:8080", frozenset({"192.0.2.7"}), 8080)
    assert not host_allowed("127.0.0.1:8080", frozenset({"192.0.2.7"}), 8080)


class Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)


def test_a_client_that_drops_its_event_stream_is_no_error():
    pytest.importorskip("aiohttp")
    from velarix.monitor.web import WebMonitor

    pipeline, source, sink = chain(1)
    for number in range(15):  # large readings fill the socket buffers quickly
        pipeline.get_logger().write(LogType.INFO, f"{number} " + "x" * 20000)
    records = Records()
    logging.getLogger("aiohttp").addHandler(records)
    server = WebMonitor(pipeline, interval=0.01).start()
    try:
        port = int(server.url.rsplit(":", 1)[1].strip("/"))
        for drop in ("close", "reset", "stalled reset"):
            client = socket.socket()
            client.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            client.connect(("127.0.0.1", port))
            client.sendall(f"GET /events HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode())
            assert client.recv(100).startswith(b"HTTP/1.1 200")
            if drop != "close":
                client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            if drop == "stalled reset":  # the server waits for room in a full buffer
                taken = server._count
                deadline = time.monotonic() + WAIT
                while server._count < taken + 50 and time.monotonic() < deadline:
                    time.sleep(0.01)
            client.close()
        # A page that keeps reading meanwhile still gets its readings.
        with urllib.request.urlopen(server.url + "events", timeout=WAIT) as events:
            assert events.readline().startswith(b"data: ")
        deadline = time.monotonic() + WAIT
        while server._streams and time.monotonic() < deadline:
            time.sleep(0.01)
        assert server._streams == 0  # every dropped client has ended
    finally:
        server.stop()
        logging.getLogger("aiohttp").removeHandler(records)
    assert [r.getMessage() for r in records.records if r.levelno >= logging.WARNING] == []


def chromium_driver():
    webdriver = pytest.importorskip("selenium.webdriver")
    browser, driver = shutil.which("chromium"), shutil.which("chromedriver")
    if not (browser and driver):
        pytest.skip("headless Chromium needs Debian's chromium and chromium-driver")
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = browser
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1100,1000"):
        options.add_argument(argument)
    # The driver and browser are not ours to run under a preloaded sanitizer runtime.
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    # The browser's profile and singleton folders go in one folder of ours, removed at quit().
    folder = tempfile.mkdtemp(prefix="velarix-chromium-")
    env["TMPDIR"] = folder
    options.add_argument(f"--user-data-dir={folder}/profile")
    try:
        browser = webdriver.Chrome(service=Service(driver, env=env), options=options)
    except BaseException:
        shutil.rmtree(folder, ignore_errors=True)
        raise
    quit_browser = browser.quit

    def quit_and_tidy() -> None:
        try:
            quit_browser()
        finally:
            shutil.rmtree(folder, ignore_errors=True)

    browser.quit = quit_and_tidy
    return browser


@pytest.mark.slow
def test_the_charts_move_in_a_browser():
    pytest.importorskip("aiohttp")
    browser = chromium_driver()
    pipeline, source, sink = chain(None)
    pipeline.start()
    feeding = threading.Event()

    def feed():
        value = 0
        while not feeding.is_set():
            source.cycle({"x": value})
            value += 1
            feeding.wait(0.005)

    feeder = threading.Thread(target=feed)
    feeder.start()
    server = pipeline.serve()
    try:
        browser.get(server.url)

        def updates_reach(count):
            deadline = time.monotonic() + WAIT
            while time.monotonic() < deadline:
                figures = browser.execute_script("return window.velarix")
                if figures["updates"] >= count:
                    return figures
                time.sleep(0.1)
            pytest.fail(f"the page got fewer than {count} updates")

        early = updates_reach(2)
        later = updates_reach(early["updates"] + 3)
        assert later["points"] > early["points"] and later["state"] == "RUNNING"
        assert later["latencyPoints"] > 0  # the ages of the values relay and sink took
        rows = browser.execute_script("return document.querySelectorAll('#nodes tbody tr').length")
        assert rows == 3
    finally:
        browser.quit()
        feeding.set()
        feeder.join(WAIT)
        pipeline.stop()
        server.wait(WAIT)


def page_figures(browser, done, what):
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        figures = browser.execute_script("return window.velarix")
        if done(figures):
            return figures
        time.sleep(0.05)
    pytest.fail(f"the page never showed {what}: {figures}")


@pytest.mark.slow
def test_the_page_says_when_the_pipeline_stops_or_fails_and_when_the_server_is_gone():
    pytest.importorskip("aiohttp")
    drawn = shutil.which("dot") is not None
    browser = chromium_driver()
    try:
        pipeline, source, sink = chain(3)
        pipeline.start()
        server = pipeline.serve()
        browser.get(server.url)
        run_values(pipeline, source, sink, 3)
        page_figures(browser, lambda f: f["updates"] >= 2, "two updates")
        time.sleep(0.2)
        pipeline.stop()
        assert server.wait(WAIT)
        final = page_figures(browser, lambda f: f["disconnected"], "the server's end")
        assert final["state"] == "STOPPED" and "pipeline stopped" in final["header"]
        assert final["header"].endswith("disconnected")
        assert float(final["header"].split("elapsed ")[1].split(" s")[0]) >= 0.2
        if drawn:  # the last picture stays, drawn from the reading the table shows
            assert final["graphReading"] == final["reading"]
            assert browser.execute_script(
                "const i = document.getElementById('graph-image'); return i.complete && i.naturalWidth")

        failing = Pipeline("")
        failing_source, broken = Source(), Failing(name="broken")
        failing.connect(failing_source, broken)
        failing.start()
        server = failing.serve()
        browser.get(server.url)
        failing_source.cycle({"x": 1})  # the error stops the pipeline within a second
        with pytest.raises(PipelineError):
            failing.wait(WAIT)
        assert server.wait(WAIT)
        final = page_figures(browser, lambda f: f["disconnected"], "the server's end")
        assert final["state"] == "STOPPED" and "ERROR" in final["header"]
        assert "pipeline failed" in final["header"]
        if drawn:
            assert final["graphReading"] == final["reading"]
    finally:
        browser.quit()


# The picture -------------------------------------------------------------------------------


def test_the_picture_shows_load_condition_and_rates(tmp_path):
    pipeline, source, sink = chain(4)
    broken = Failing(name="broken", input_ports=[{"name": "in", "timing": Constants.Timing.ASYNC, "capacity": 2}])
    pipeline.connect(source, broken)
    from velarix.graph import PortInfo, describe, unlinked_ports

    assert describe(pipeline).nodes[3].inputs == (PortInfo("in", "ASYNC", 2, Constants.Overflow.BLOCK),)
    assert describe(pipeline).nodes[2].inputs == (PortInfo("in", "SYNC"),)
    assert unlinked_ports(pipeline) == (["broken.out"], [])
    before = pipeline.to_dot()
    assert "fillcolor" not in before and "None" not in before  # nothing to show before a run
    run_values(pipeline, source, sink, 4)
    deadline = time.monotonic() + WAIT
    while broken.get_condition() != Constants.Conditions.ERROR and time.monotonic() < deadline:
        time.sleep(0.01)
    pipeline.stop()

    dot = pipeline.to_dot()
    lines = {line.split(" ")[2]: line for line in dot.splitlines() if line.startswith("  n") and "->" not in line}
    assert 'fillcolor="#ff6b6b"' in lines["n3"] and "ERROR" in lines["n3"]  # the failed node
    assert 'fillcolor="#d8f5d0"' in lines["n1"] and "load " in lines["n1"]
    assert "/s" in next(line for line in dot.splitlines() if line.startswith("  n0 -> n1"))
    # Only the link into an ASYNC port is dashed (dotted in Mermaid).
    assert [line.split(" [")[0].strip() for line in dot.splitlines() if "style=dashed" in line] == ["n0 -> n3"]
    mermaid = pipeline.to_mermaid()
    assert "style n3 fill:#ff6b6b" in mermaid and '  n3["broken<br/>Failing<br/>load ' in mermaid
    assert [line.split("|")[0].strip() for line in mermaid.splitlines() if "->" in line] == [
        "n0 -->", "n0 -.->", "n1 -->"]

    if shutil.which("dot") is None:
        pytest.skip("drawing needs Graphviz's dot")
    picture = pipeline.draw(str(tmp_path / "graph.svg"))
    assert "<svg" in open(picture).read()


def test_the_picture_of_an_earlier_reading():
    pipeline, source, sink = chain(2)
    run_values(pipeline, source, sink, 2)
    pipeline.stop()
    reading = pipeline.get_stats()
    reading[1] = dict(reading[1], load=99.0, condition=Constants.Conditions.ERROR, rate_out=1234.5,
                      inputs={"in": {"latency": {"p50": 0.0005}}})
    reading[2] = dict(reading[2], inputs={"in": {"latency": {"p50": 0.001}}})
    dot = pipeline.to_dot()
    assert "load 99.0%" not in dot and "1234.5/s" not in dot
    from velarix.graph import to_dot

    drawn = to_dot(pipeline, stats=reading)
    relay = next(line for line in drawn.splitlines() if line.startswith("  n1 ["))
    assert "load 99.0%" in relay and 'fillcolor="#ff6b6b"' in relay
    links = {line.split(" [")[0].strip(): line for line in drawn.splitlines() if " -> " in line}
    assert "1234.5/s" in links["n1 -> n2"]
    # Each link shows the median latency of the port it ends in, in the unit people read.
    assert "out → in (SYNC)" in links["n0 -> n1"] and "p50 500 µs" in links["n0 -> n1"]
    assert "p50 1.0 ms" in links["n1 -> n2"]
    other = to_dot(pipeline, stats=reading[:2])  # a reading of other nodes: the figures now
    assert "load 99.0%" not in other and other.count("load ") == 3


@pytest.mark.parametrize("load, condition, colour", [
    (None, None, None), (0.0, None, "#d8f5d0"), (50.0, None, "#d8f5d0"), (50.5, None, "#fff3b0"),
    (80.0, None, "#fff3b0"), (80.5, "HEALTHY", "#ffd6a5"), (95.0, None, "#ffd6a5"), (95.5, None, "#ffb3b3"),
    (10.0, "ERROR", "#ff6b6b"), (None, "ERROR", "#ff6b6b"),
])
def test_the_fill_colour_follows_load_and_condition(load, condition, colour):
    from velarix.graph import NodeInfo, fill_colour

    assert fill_colour(NodeInfo("n0", "node", "Relay", load=load, condition=condition)) == colour


def test_stop_meets_a_serving_that_has_just_ended_by_itself():
    """The sampler ends the serving once the pipeline has stopped; a stop() at that
    moment finds the loop already stopped and must not wait for it."""
    pytest.importorskip("aiohttp")
    from velarix.monitor.web import WebMonitor

    pipeline, source, sink = chain(1)
    server = WebMonitor(pipeline, interval=60).start()
    server._loop.call_soon_threadsafe(server._loop.stop)  # as the sampler's end does
    server._thread.join(WAIT)
    stopper = threading.Thread(target=server.stop)
    stopper.start()
    stopper.join(WAIT)
    assert not stopper.is_alive(), "stop() waited for a loop that had stopped"
    assert server.wait(WAIT)
