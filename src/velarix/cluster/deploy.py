"""Deploying a pipeline's partition: each worker's part, the links that cross
processes, and the stand-ins of the nodes placed elsewhere.

Deployment runs in three rounds: every worker builds its part and binds the link
ends it serves ("build"), then connects the others ("connect"), then this
process attaches its own ends. A link end on a worker binds; the consumer's end
when both ends are on workers. So this process only ever connects.
"""

from __future__ import annotations

import json
from typing import Any, Optional

from .._saving import check_loadable
from ..constants import Constants
from ..i_node import INode
from ..logger import LogType
from ..o_node import ONode
from ..pipeline import Pipeline
from . import links
from .channel import Channels, WorkerChannel
from .errors import ClusterError, RemoteNodeError
from .security import ControllerKeys, is_tcp
from .wire import NodeStatus

STOP_TIMEOUT = 5.0  # seconds a worker gets to stop a node; stop() goes on without it


class PlacedNode:
    """The stand-in of a node that runs on a worker: its run control goes to the
    worker, its queries are answered from the worker's last status. install()
    puts these methods on the node object the pipeline holds; remove() takes them
    away again."""

    FORWARDED = ("start", "stop", "cycle", "get_state", "get_condition", "get_load", "get_counter",
                 "get_last_exception")

    def __init__(self, node: Any, worker: WorkerChannel, channels: Channels, logger: Any) -> None:
        self.node = node
        self.node_id = node_id(node)
        self.worker = worker
        self.channels = channels
        self.logger = logger
        self.failure: Optional[tuple[Any, RemoteNodeError]] = None  # (its failure text, its exception here)

    def install(self) -> None:
        names = self.FORWARDED + (("get_stats",) if hasattr(self.node, "get_stats") else ())
        for name in names:
            setattr(self.node, name, getattr(self, name))

    def remove(self) -> None:
        for name in self.FORWARDED + ("get_stats",):
            self.node.__dict__.pop(name, None)

    def _status(self) -> Optional[NodeStatus]:
        return self.worker.status.get(self.node_id)

    def start(self) -> None:
        self.worker.status = self.channels.call(self.worker, {"op": "start", "node": self.node_id})

    def stop(self) -> None:
        if self.worker.dead is not None:
            return
        try:
            self.worker.status = self.channels.call(self.worker, {"op": "stop", "node": self.node_id}, STOP_TIMEOUT)
        except ClusterError as error:  # stop() never waits longer than that
            self.logger.write(LogType.WARNING, str(error))

    def cycle(self, data: Any = None) -> None:
        self.channels.post(self.worker, {"op": "cycle", "node": self.node_id, "data": data})

    def get_state(self) -> str:
        status = self._status()
        return status.state if status is not None and status.state else Constants.States.STOPPED

    def get_condition(self) -> str:
        status = self._status()
        return status.condition if status is not None and status.condition else Constants.Conditions.HEALTHY

    def get_load(self) -> float:
        status = self._status()
        return status.load if status is not None and status.load else 0.0

    def get_counter(self) -> int:
        status = self._status()
        return status.counter if status is not None and status.counter else 0

    def get_stats(self) -> Optional[dict[str, Any]]:
        status = self._status()
        stats = status.stats if status is not None else None
        if isinstance(stats, dict) and self.worker.ray_node is not None:  # the monitors show where it runs
            stats = dict(stats, ray_node=self.worker.ray_node)
        return stats

    def get_last_exception(self) -> Optional[RemoteNodeError]:
        status = self._status()
        failure = status.failure if status is not None else None
        if failure is None:
            return None
        if self.failure is None or self.failure[0] != failure:  # one object per failure, as a local node keeps it
            kind, message, text = failure
            self.failure = (failure, RemoteNodeError(f"Worker {self.worker.name}: {message}", kind, text))
        return self.failure[1]


class Deployment:
    """What the first start set up, and close() takes down again."""

    def __init__(self, pipeline: Pipeline, placement: dict[str, str], workers: dict[str, WorkerChannel],
                 channels: Channels, context: Any, keys: Optional[ControllerKeys], hwm: int,
                 ring_bytes: int, hosts: Optional[dict[Optional[str], Optional[str]]] = None) -> None:
        self.pipeline = pipeline
        # Worker name (None: this process) -> the host it runs on, where known: a
        # link whose two ends share one goes over ipc:// and shared memory.
        self.hosts = hosts or {}
        self.placement = placement
        self.workers = workers
        self.channels = channels
        self.context = context
        self.keys = keys
        self.hwm = hwm
        self.ring_bytes = ring_bytes
        self.links: list[dict[str, Any]] = []  # the cross-process links
        self.senders: list[links.Sender] = []
        self.receiver = links.Receiver(hwm)
        self.restore: list[tuple[Any, links.Sender, Any]] = []  # (port, sender, original link) to put back
        self.standins: list[PlacedNode] = []

    def where(self, node: Any) -> Optional[str]:
        return self.placement.get(node_id(node))

    def deploy(self) -> None:
        nodes = self.pipeline.get_nodes()
        cross = self._cross_links(nodes)
        self.links = cross
        ends: dict[str, list[dict[str, Any]]] = {name: [] for name in self.workers}
        for link in cross:
            for end in link["ends"]:
                if end["where"] is not None:
                    ends[end["where"]].append(end)
        check_portable([n for n in nodes if self.where(n) is not None])
        for name, worker in self.workers.items():
            part = part_text([n for n in nodes if self.where(n) == name])
            endpoints = self.channels.call(worker, {"op": "build", "part": part, "links": ends[name],
                                                    "peers": self._peer_keys(),
                                                    "threads": self.pipeline.get_threads()})
            for link in cross:
                if link["id"] in endpoints:
                    bound = endpoints[link["id"]]
                    link["endpoint"] = reachable(bound["endpoint"], worker.endpoint)
                    link["shm"] = bound["shm"]
                    link["server_key"] = worker.server_key.decode() if worker.server_key else None
        for link in cross:
            for end in link["ends"]:
                end["endpoint"], end["server_key"] = link["endpoint"], link.get("server_key")
                end["shm"] = link.get("shm")
        for name, worker in self.workers.items():
            transports = self.channels.call(worker, {"op": "connect", "links": ends[name]})
            for link in cross:
                if link["id"] in transports:
                    link["transport"] = transports[link["id"]]
        for link in cross:
            for end in link["ends"]:
                if end["where"] is None:
                    link["transport"] = self._attach_local(link, end)
        self.receiver.start()
        self.channels.senders = self.senders
        for node in nodes:
            place = self.where(node)
            if place is not None:
                standin = PlacedNode(node, self.workers[place], self.channels, self.pipeline.get_logger())
                standin.install()
                self.standins.append(standin)

    def undeploy(self) -> None:
        for port, sender, original in self.restore:
            links.replace_link(port, sender, original)
        self.restore = []
        for sender in self.senders:
            sender.close()
        self.receiver.close()
        for standin in self.standins:
            standin.remove()
        self.standins = []

    def get_links(self) -> list[dict[str, Any]]:
        """Per cross-process link: "from" and "to" ("node.port"), the worker of each
        end ("from_worker", "to_worker"; None: this process), its "timing" and its
        "transport"."""
        def name(port: Any, node: Any) -> str:
            return f"{node.get_name()}.{port.config[port.config.Keys.NAME]}"

        return [{"from": name(link["oport"], link["producer"]), "to": name(link["iport"], link["consumer"]),
                 "from_worker": link["ends"][0]["where"], "to_worker": link["ends"][1]["where"],
                 "timing": link["ends"][1]["timing"], "transport": link.get("transport")}
                for link in self.links]

    def port_transports(self) -> dict[tuple[int, str, str], str]:
        """(id of the node, "inputs" or "outputs", port name) -> the transport of the
        links between processes at that port ("shm+tcp" when they differ)."""
        found: dict[tuple[int, str, str], set[str]] = {}
        for link in self.links:
            for node, side, port in ((link["producer"], "outputs", link["oport"]),
                                     (link["consumer"], "inputs", link["iport"])):
                key = (id(node), side, port.config[port.config.Keys.NAME])
                found.setdefault(key, set()).add(link.get("transport") or "ipc")
        return {key: "+".join(sorted(kinds)) for key, kinds in found.items()}

    def _cross_links(self, nodes: list[Any]) -> list[dict[str, Any]]:
        """Every output-to-input link whose two nodes run in different processes."""
        consumers: dict[int, Any] = {}
        for node in nodes:
            if isinstance(node, INode):
                for port in node._imp._input_ports.values():
                    consumers[id(port)] = node
        cross: list[dict[str, Any]] = []
        for producer in nodes:
            if not isinstance(producer, ONode):
                continue
            for oport in producer._imp._output_ports.values():
                for iport in oport._connected_ports:
                    consumer = consumers.get(id(iport))
                    if consumer is None:
                        continue
                    source, target = self.where(producer), self.where(consumer)
                    if source == target:
                        continue
                    link_id = next(self.channels.ids)
                    bind_send = target is None  # a worker end binds; the consumer's if both are
                    host = self.hosts.get(source)
                    near = host is not None and host == self.hosts.get(target)
                    cross.append({"id": link_id, "endpoint": None, "oport": oport, "iport": iport,
                                  "producer": producer, "consumer": consumer, "sender_peer": target, "ends": [
                        {"id": link_id, "where": source, "role": "send", "bind": bind_send,
                         "port": node_id(oport), "node": node_id(producer), "ring": self.ring_bytes,
                         "timing": iport.get_timing(), "near": near},
                        {"id": link_id, "where": target, "role": "recv", "bind": not bind_send,
                         "port": node_id(iport), "node": node_id(consumer), "timing": iport.get_timing(),
                         "ring": self.ring_bytes, "near": near}]})
        return cross

    def _peer_keys(self) -> list[str]:
        """The public keys of this cluster's workers: the clients a worker's data sockets let in."""
        return sorted({w.server_key.decode() for w in self.workers.values() if w.server_key})

    def _attach_local(self, link: dict[str, Any], end: dict[str, Any]) -> str:
        """This process's end of a link (it always connects); its transport."""
        zmq = self.channels.zmq
        endpoint = link["endpoint"]
        logger = self.pipeline.get_logger()
        if end["role"] == "send":
            sock = self._data_socket(zmq.PUSH, endpoint, link.get("server_key"))
            ring = links.take_ring(end, logger)
            producer = link["producer"]
            sender = links.Sender(sock, link["oport"], lambda: links.producer_running(producer),
                                  lambda: links.steps_again(producer), ring=ring, node=producer)
            links.replace_link(link["oport"], link["iport"], sender)
            self.restore.append((link["oport"], sender, link["iport"]))
            self.senders.append(sender)
            self.workers[link["sender_peer"]].senders.append(sender)
        else:
            sock = self._data_socket(zmq.PULL, endpoint, link.get("server_key"))
            ring = links.take_ring(end, logger)
            transport = "shm" if ring is not None else "tcp" if is_tcp(endpoint) else "ipc"
            self.receiver.add(sock, link["iport"], end["timing"], link["consumer"], transport, ring)
        return "shm" if ring is not None else "tcp" if is_tcp(endpoint) else "ipc"

    def _data_socket(self, kind: int, endpoint: str, server_key: Optional[str]) -> Any:
        sock = self.context.socket(kind)
        sock.linger = 0
        sock.sndhwm = sock.rcvhwm = self.hwm
        sock.sndtimeo = links.POLL_MS
        if is_tcp(endpoint):
            assert self.keys is not None and server_key is not None  # spawn and add_worker made sure
            self.keys.as_client(sock, server_key.encode())
        sock.connect(endpoint)
        return sock


def node_id(portable: Any) -> str:
    config = portable.config
    result: str = config[config.Keys.ID]
    return result


def part(nodes: list[Any]) -> dict[str, Any]:
    """The pipeline's serialised form for the nodes of one worker and the links among them."""
    inside = {id(p) for n in nodes if isinstance(n, INode) for p in n._imp._input_ports.values()}
    connections = [(node_id(oport), node_id(iport))
                   for n in nodes if isinstance(n, ONode)
                   for oport in n._imp._output_ports.values()
                   for iport in oport._connected_ports if id(iport) in inside]
    return {"nodes": [n.serialize() for n in nodes], "connections": connections}


def part_text(nodes: list[Any]) -> str:
    """The part as JSON, the form Pipeline.save() writes."""
    try:
        return json.dumps(part(nodes))
    except (TypeError, ValueError) as error:
        names = ", ".join(n.get_name() for n in nodes)
        raise ClusterError(f"The configuration of a node placed on a worker ({names}) is not JSON data: {error}") from None


def reachable(endpoint: str, control: str) -> str:
    """A worker's tcp://0.0.0.0:PORT as the address we reach its control socket at."""
    if endpoint.startswith("tcp://0.0.0.0:") or endpoint.startswith("tcp://[::]:"):
        host = control[len("tcp://"):].rsplit(":", 1)[0]
        return f"tcp://{host}:{endpoint.rsplit(':', 1)[1]}"
    return endpoint


def check_portable(nodes: list[Any]) -> None:
    """The check save() makes, for classes a worker re-creates from their source:
    a class using a global of its module fails here rather than on the worker."""
    check_loadable({"nodes": [n.serialize() for n in nodes]})
