"""Readings out to an MQTT broker and back in through a wildcard subscription.

A timed source publishes a reading per room on lab/<room>/temperature (JSON);
a subscriber to lab/+/temperature gets them with their topics, and a sink keeps
the latest per room. Needs the extra mqtt and a broker, e.g. Debian's mosquitto:

    python examples/mqtt_relay.py --host 127.0.0.1 --port 1883
"""

import argparse
import threading
from typing import Any

from velarix import INode, ONode, Pipeline
from velarix.connect import MQTTPublisher, MQTTSubscriber

ROOMS = ("kitchen", "lab")


class Thermometer(ONode):
    """One reading per room and cycle, on the port named after the room."""

    def step(self, data: dict[str, Any]) -> dict[str, Any]:
        k = data["count"]
        return {room: {"reading": k, "celsius": 20.0 + 0.1 * k + i} for i, room in enumerate(ROOMS)}


class Latest(INode):
    """The newest reading per topic; done once every room has sent `wanted`."""

    def __init__(self, **entries: Any) -> None:
        super().__init__(**entries)
        self.latest: dict[str, Any] = {}
        self.counts: dict[str, int] = {}
        self.done = threading.Event()

    def step(self, data: dict[str, Any]) -> None:
        message = data["in"]
        self.latest[message["topic"]] = message["value"]
        self.counts[message["topic"]] = self.counts.get(message["topic"], 0) + 1
        if len(self.counts) == len(ROOMS) and min(self.counts.values()) >= self.config["wanted"]:
            self.done.set()


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=1883)
    args = parser.parse_args()
    broker = {"host": args.host, "port": args.port, "qos": 1}
    thermometer = Thermometer(rate=20.0, output_ports=[{"name": room} for room in ROOMS])
    subscriber = MQTTSubscriber(topic="lab/+/temperature", with_topic=True, **broker)
    latest = Latest(wanted=10)
    with Pipeline(directory="") as pipeline:
        for room in ROOMS:
            publisher = MQTTPublisher(name=f"to-{room}", topic=f"lab/{room}/temperature", **broker)
            pipeline.connect_ports(thermometer, room, publisher, "in")
        pipeline.connect(subscriber, latest)
        pipeline.start()
        arrived = latest.done.wait(30)
        pipeline.stop()
    for topic in sorted(latest.latest):
        print(f"{topic}: {latest.latest[topic]['celsius']:.1f} C (reading {latest.latest[topic]['reading']})")
    print("every room arrived:", arrived, "- subscriber stats:", subscriber.get_stats()["connector"])


if __name__ == "__main__":
    main()
