"""A private Mosquitto broker on a free loopback port, for the MQTT tests."""

import shutil
import socket
import subprocess
import time

import pytest

MOSQUITTO = shutil.which("mosquitto") or shutil.which("mosquitto", path="/usr/sbin:/usr/local/sbin")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Broker:
    def __init__(self, folder, port=None):
        if MOSQUITTO is None:
            pytest.skip("mosquitto is not installed (make system-tools installs Debian's)")
        self.port = port or free_port()
        self.config = folder / "mosquitto.conf"
        self.config.write_text(f"listener {self.port} 127.0.0.1\nallow_anonymous true\npersistence false\n")
        self.process = None
        self.start()

    def start(self):
        self.process = subprocess.Popen([MOSQUITTO, "-c", str(self.config)],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.5).close()
                return
            except OSError:
                if self.process.poll() is not None:
                    break
                time.sleep(0.02)
        self.stop()
        pytest.skip(f"mosquitto did not start on port {self.port}")

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)
        self.process = None
