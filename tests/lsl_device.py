"""A stand-in for a device: an LSL outlet pushing a known ramp. Sample k, channel
c holds k * channels + c; time stamps are k / RATE after the start on local_clock(). Runs until
it has pushed `count` samples (then stays up until stdin closes) or is killed.
With GO given it first pushes one sample of -1s and waits for a line "go".

    python lsl_device.py NAME CHANNELS RATE COUNT [FIRST [GO]]
"""

import os
import sys
import threading
import time

import numpy as np
import pylsl

go = threading.Event()


def read_stdin():
    # Ends with its parent, whose end closes our stdin.
    for line in sys.stdin:
        if line.strip() == "go":
            go.set()
    os._exit(0)


threading.Thread(target=read_stdin, daemon=True).start()
name, channels, rate, count = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
first = int(sys.argv[5]) if len(sys.argv) > 5 else 0
wait_for_go = len(sys.argv) > 6
info = pylsl.StreamInfo(name, "EEG", channels, rate, "float32", f"{name}-device")
info.set_channel_labels([f"C{c}" for c in range(channels)])
outlet = pylsl.StreamOutlet(info)
print("ready", flush=True)
# Waiting for the consumer keeps the first samples from going out to nobody.
while not outlet.wait_for_consumers(0.1):
    pass
if wait_for_go:
    outlet.push_sample([-1.0] * channels)
    go.wait()
block = max(1, int(rate / 100))
k = first
start = time.monotonic()
origin = pylsl.local_clock()
while k < first + count:
    n = min(block, first + count - k)
    chunk = (np.arange(k, k + n)[:, None] * channels + np.arange(channels)).astype(np.float32)
    outlet.push_chunk(chunk, (origin + (np.arange(k, k + n) - first) / rate).tolist())
    k += n
    delay = start + (k - first) / rate - time.monotonic()
    if delay > 0:
        time.sleep(delay)
print("pushed", k, flush=True)
threading.Event().wait()
