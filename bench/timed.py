"""A timed source at 1 kHz: cycles counted over a window of a few seconds against
the rate times the window, beside the usual hand-written loop that sleeps one
period after each cycle (which drifts by the time each cycle and wake-up take)."""

import sys
import threading
import time

from velarix import ONode

RATE = 1000  # cycles per second
SETTLE = 0.5  # seconds before the window opens (the set-up run, thread start)
WINDOW = 3.0  # seconds counted


class Stamp(ONode):
    """Keeps the monotonic time of every step."""

    def __init__(self, **entries):
        super().__init__(**entries)
        self.times = []

    def step(self, data):
        self.times.append(time.monotonic())
        return {"out": 0}


def in_window(times, opens):
    return sum(1 for t in times if opens <= t < opens + WINDOW)


def timed_source():
    node = Stamp(name="timed", rate=RATE)
    node.start()
    opens = time.monotonic() + SETTLE
    threading.Event().wait(SETTLE + WINDOW + 0.1)
    node.stop()
    return in_window(node.times, opens)


def sleeping_loop():
    node = Stamp(name="loop")
    stop = threading.Event()

    def loop():
        while not stop.is_set():
            node.cycle({})
            time.sleep(1 / RATE)

    node.start()
    thread = threading.Thread(target=loop, daemon=True)
    thread.start()
    opens = time.monotonic() + SETTLE
    threading.Event().wait(SETTLE + WINDOW + 0.1)
    stop.set()
    thread.join()
    node.stop()
    return in_window(node.times, opens)


def main():
    expected = RATE * WINDOW
    ours, baseline = timed_source(), sleeping_loop()
    print(f"cycles in {WINDOW:g} s at {RATE} Hz: expected {expected:.0f}, "
          f"timed source {ours} ({ours - expected:+.0f}), sleeping loop {baseline} ({baseline - expected:+.0f})")
    error = abs(ours - expected)
    print(f"target within +-1 cycle: {'met' if error <= 1 else 'missed'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
