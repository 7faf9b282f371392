"""From a graph file's values to a pipeline: every check, each problem with its place.

`plan()` checks the whole file and makes its nodes, collecting every problem
before it gives up, so that `velarix check` lists them all at once. `assemble()`
then links the nodes into a pipeline; `attach()` adds what only a run needs (the
recording, the workers), which may start processes.
"""

from __future__ import annotations

import difflib
import functools
import importlib
import importlib.util
import os
import re
import sys
from dataclasses import dataclass, field
from typing import Any, Callable, Optional

from .._saving import kind_of
from ..constants import Constants
from ..i_node import INode
from ..node import Node
from ..o_node import ONode
from ._document import Document
from ._problems import GraphFileError, Problem, did_you_mean
from ._toml_positions import Path

# What a graph file may hold at its top, and in its smaller tables.
TOP_KEYS = ("threads", "log_dir", "web", "links", "record", "nodes", "workers", "cluster")
NODE_KEYS = ("class", "worker", "resources", "inputs", "outputs")
INPUT_PORT_KEYS = ("timing", "capacity", "overflow")
OUTPUT_PORT_KEYS = ("timing",)
RECORD_KEYS = ("path", "ports", "compression", "queue_size", "queue_bytes", "chunk_size", "flush_interval")
WEB_KEYS = ("host", "port")
WORKER_KEYS = ("transport", "endpoint", "key", "resources")
CLUSTER_KEYS = ("keys", "hwm", "heartbeat_interval", "heartbeat_timeout", "ring_bytes")
# Names people reach for first, pointed at the file's own.
_ALIASES = {"size": "capacity", "input_ports": "inputs", "output_ports": "outputs", "type": "class",
            "connections": "links", "directory": "log_dir", "log_directory": "log_dir"}
# Keys of the node's configuration that the file spells otherwise.
_SPELT_OTHERWISE = {"name": "the node's name is the name of its table",
                    "id": "ids are given when the pipeline is built",
                    "input_ports": "ports are listed under inputs",
                    "output_ports": "ports are listed under outputs"}
_CORE_MODULES = frozenset({"velarix.node", "velarix.i_node", "velarix.o_node", "velarix.io_node",
                           "velarix.portable"})
_CLASS_PATH = re.compile(r"^[A-Za-z_][\w.]*:[A-Za-z_][\w.]*$")
ARROW = "->"


@dataclass
class Link:
    source: str
    source_port: str
    target: str
    target_port: str

    def __str__(self) -> str:
        return f"{self.source}.{self.source_port} {ARROW} {self.target}.{self.target_port}"


@dataclass
class Plan:
    """A checked graph file: its nodes made (in file order), its links and settings."""

    file: str
    nodes: dict[str, Node] = field(default_factory=dict)
    links: list[Link] = field(default_factory=list)
    threads: Optional[int] = None
    log_dir: Optional[str] = None
    web: Optional[dict[str, Any]] = None
    record: Optional[dict[str, Any]] = None
    workers: dict[str, dict[str, Any]] = field(default_factory=dict)
    cluster: dict[str, Any] = field(default_factory=dict)
    placement: dict[str, str] = field(default_factory=dict)


class _Checker:
    def __init__(self, document: Document) -> None:
        self.document = document
        self.problems: list[Problem] = []
        self.plan = Plan(document.file)
        self.declared: dict[type[Node], Optional[frozenset[str]]] = {}
        self.left: dict[str, dict[str, float]] = {}  # per worker: resources not yet taken

    def report(self, path: Path, message: str, at_value: bool = False) -> None:
        self.problems.append(self.document.problem(path, message, at_value))

    def unknown_keys(self, table: dict[str, Any], path: Path, known: tuple[str, ...], what: str) -> None:
        for key in table:
            if key not in known:
                hint = (f" (did you mean {_ALIASES[key]!r}?)" if _ALIASES.get(key) in known
                        else did_you_mean(str(key), known))
                self.report((*path, key), f"unknown key {key!r} {what}{hint}; expected one of "
                            f"{', '.join(known)}")

    def table(self, value: Any, path: Path, what: str) -> Optional[dict[str, Any]]:
        if value is None:
            return None
        if not isinstance(value, dict):
            self.report(path, f"{what} must be a table, not {_kind(value)}", at_value=True)
            return None
        return value

    # The whole file ------------------------------------------------------------

    def check(self) -> Plan:
        data = self.document.data
        self.unknown_keys(data, (), TOP_KEYS, "at the top of the file")
        self.settings(data)
        nodes = self.table(data.get("nodes"), ("nodes",), "nodes")
        if not nodes:
            self.report(("nodes",) if "nodes" in data else (), "expected at least one node: [nodes.NAME] with "
                        'class = "package.module:Class"')
        workers = self.table(data.get("workers"), ("workers",), "workers") or {}
        self.workers(workers, self.table(data.get("cluster"), ("cluster",), "cluster") or {})
        for name, node in (nodes or {}).items():
            self.node(str(name), node)
        self.links(data.get("links", []))
        self.recording(data.get("record"))
        return self.plan

    def settings(self, data: dict[str, Any]) -> None:
        threads = data.get("threads")
        if threads is not None:
            if isinstance(threads, bool) or not isinstance(threads, int) or not 1 <= threads <= 1024:
                self.report(("threads",), f"threads must be a whole number from 1 to 1024, not {threads!r}",
                            at_value=True)
            else:
                self.plan.threads = threads
        log_dir = data.get("log_dir")
        if log_dir is not None and not isinstance(log_dir, str):
            self.report(("log_dir",), f"log_dir must be a folder name (a string), not {_kind(log_dir)}",
                        at_value=True)
        elif log_dir is not None:
            self.plan.log_dir = log_dir
        web = data.get("web")
        if isinstance(web, bool):
            self.plan.web = {} if web else None
        elif isinstance(web, dict):
            self.unknown_keys(web, ("web",), WEB_KEYS, "in web")
            self.plan.web = {key: web[key] for key in WEB_KEYS if key in web}
        elif web is not None:
            self.report(("web",), f"web must be true, false or a table with host and port, not {_kind(web)}",
                        at_value=True)

    # Nodes ---------------------------------------------------------------------

    def node(self, name: str, node: Any) -> None:
        path: Path = ("nodes", name)
        node = self.table(node, path, f"node {name!r}")
        if node is None:
            return
        config = {key: value for key, value in node.items() if key not in NODE_KEYS}
        problems = len(self.problems)
        cls = self.node_class(name, node)
        for key in config:
            if not isinstance(key, str):
                self.report((*path, key), f"node {name!r}: a configuration key must be a string, not {key!r}")
            elif key in _SPELT_OTHERWISE:
                self.report((*path, key), f"node {name!r}: key {key!r} is not written here: "
                            f"{_SPELT_OTHERWISE[key]}")
            elif _close(key, NODE_KEYS):
                self.report((*path, key), f"unknown key {key!r} of node {name!r}{did_you_mean(key, NODE_KEYS)}")
        if cls is not None:
            self.near_misses(name, cls, config)
        entries: dict[str, Any] = {"name": name, **config}
        inputs = self.ports(node.get("inputs"), (*path, "inputs"), INPUT_PORT_KEYS)
        outputs = self.ports(node.get("outputs"), (*path, "outputs"), OUTPUT_PORT_KEYS)
        for key, ports, kind, kind_name in (("inputs", inputs, INode, "input"), ("outputs", outputs, ONode, "output")):
            if ports is not None and cls is not None and not issubclass(cls, kind):
                self.report((*path, key), f"node {name!r}: {cls.__name__} has no {kind_name} ports")
        if inputs is not None:
            entries[INode.Configuration.Keys.INPUT_PORTS] = inputs
        if outputs is not None:
            entries[ONode.Configuration.Keys.OUTPUT_PORTS] = outputs
        self.placement(name, node)
        if cls is None or len(self.problems) > problems or self.document.broken_under(path):
            return
        self.make(name, cls, entries, path, config)

    def placement(self, name: str, node: dict[str, Any]) -> None:
        """`worker = "w1"`, or `resources = {gpu = 1}`: the first worker (in file
        order) that has them left; a node placed so takes them."""
        path: Path = ("nodes", name)
        worker, needs = node.get("worker"), node.get("resources")
        if worker is not None and needs is not None:
            self.report((*path, "resources"), f"node {name!r} names a worker and resources: give one of them")
        elif worker is not None:
            if not isinstance(worker, str) or worker not in self.plan.workers:
                self.report((*path, "worker"), f"node {name!r} is placed on worker {worker!r}, which [workers] "
                            f"does not describe{did_you_mean(str(worker), self.plan.workers)}", at_value=True)
            else:
                self.plan.placement[name] = worker
        elif needs is not None:
            wanted = self.amounts(needs, (*path, "resources"))
            if wanted is None:
                return
            fits = [w for w, left in self.left.items() if all(left.get(k, 0) >= v for k, v in wanted.items())]
            if not fits:
                asked = ", ".join(f"{k} = {v:g}" for k, v in wanted.items())
                self.report((*path, "resources"), f"node {name!r} needs {asked}, which no worker of [workers] "
                            f"has left", at_value=True)
                return
            for key, amount in wanted.items():
                self.left[fits[0]][key] -= amount
            self.plan.placement[name] = fits[0]

    def amounts(self, value: Any, path: Path) -> Optional[dict[str, float]]:
        """A resources table: names to amounts of 0 or more."""
        if isinstance(value, dict) and all(isinstance(k, str) and not isinstance(v, bool)
                                           and isinstance(v, (int, float)) and v >= 0 for k, v in value.items()):
            return {key: float(amount) for key, amount in value.items()}
        self.report(path, f"resources must be a table of names to amounts (gpu = 1), not {value!r}",
                    at_value=True)
        return None

    def near_misses(self, name: str, cls: type[Node], config: dict[str, Any]) -> None:
        """Keys close to one the class declares, but not declared: typos."""
        if cls not in self.declared:
            self.declared[cls] = declared_keys(cls)
        known = self.declared[cls]
        if known is None:
            return  # the class keeps any key
        for key in config:
            if key in known or key in _SPELT_OTHERWISE or _close(key, NODE_KEYS):
                continue
            hint = did_you_mean(key, sorted(known))
            if hint:
                takes = ", ".join(sorted(known - _UNLISTED_KEYS))
                self.report(("nodes", name, key), f"unknown key {key!r} of node {name!r}{hint}; {cls.__name__} "
                            f"takes {takes}")

    def node_class(self, name: str, node: dict[str, Any]) -> Optional[type[Node]]:
        path: Path = ("nodes", name, "class")
        text = node.get("class")
        if text is None:
            self.report(path[:-1], f'node {name!r} has no class: expected class = "package.module:Class"')
            return None
        if not isinstance(text, str) or not _CLASS_PATH.match(text):
            self.report(path, f'node {name!r}: expected class = "package.module:Class", got {text!r}',
                        at_value=True)
            return None
        module_name, _, qualified = text.partition(":")
        try:
            found: Any = importlib.import_module(module_name)
        except Exception as error:  # whatever importing the module raises
            self.report(path, f"node {name!r}: class {text!r} does not import: {type(error).__name__}: {error}",
                        at_value=True)
            return None
        for part in qualified.split("."):
            owner, found = found, getattr(found, part, None)
            if found is None:
                # dir() and __all__: a package may make its classes on first use.
                choices = {n for n in [*dir(owner), *getattr(owner, "__all__", ())] if not n.startswith("_")}
                self.report(path, f"node {name!r}: {module_name} has no {part!r}{did_you_mean(part, choices)}",
                            at_value=True)
                return None
        if not (isinstance(found, type) and issubclass(found, Node)):
            self.report(path, f"node {name!r}: {text} is not a node class (ONode, IONode or INode)", at_value=True)
            return None
        return found

    def ports(self, value: Any, path: Path, known: tuple[str, ...]) -> Optional[list[dict[str, Any]]]:
        """The `inputs` or `outputs` of a node: a list of names or a table of
        port names to their settings."""
        if value is None:
            return None
        if isinstance(value, list):
            ports = []
            for index, name in enumerate(value):
                if not isinstance(name, str):
                    self.report((*path, index), f"a port name must be a string, not {_kind(name)}", at_value=True)
                ports.append({"name": name})
            return ports
        if not isinstance(value, dict):
            self.report(path, f"{path[-1]} must be a list of port names or a table of ports, not {_kind(value)}",
                        at_value=True)
            return None
        ports = []
        for name, settings in value.items():
            settings = self.table(settings, (*path, name), f"port {name!r}") or {}
            self.unknown_keys(settings, (*path, name), known, f"of port {name!r}")
            ports.append({"name": name, **{key: settings[key] for key in known if key in settings}})
        return ports

    def make(self, name: str, cls: type[Node], entries: dict[str, Any], path: Path,
             config: dict[str, Any]) -> None:
        try:
            self.plan.nodes[name] = cls(**entries)
        except Exception as error:  # whatever the class's constructor refuses
            blamed = _blamed_key(str(error), [*config, "inputs", "outputs"])
            where = (*path, blamed) if blamed is not None else path
            self.report(where, f"node {name!r}: {cls.__name__} refuses its configuration: "
                        f"{type(error).__name__}: {error}")

    # Links ---------------------------------------------------------------------

    def links(self, links: Any) -> None:
        if not isinstance(links, list):
            self.report(("links",), f'links must be a list of "source.port -> target.port" strings, not '
                        f"{_kind(links)}", at_value=True)
            return
        seen: dict[str, int] = {}
        for index, text in enumerate(links):
            path: Path = ("links", index)
            if not isinstance(text, str) or text.count(ARROW) < 1:
                self.report(path, f'expected a link "source.port -> target.port", got {text!r}', at_value=True)
                continue
            ends = [part.strip() for part in text.split(ARROW)]
            for position in range(len(ends) - 1):
                link = self.link(path, text, ends, position)
                if link is None:
                    continue
                key = str(link)
                if key in seen:
                    self.report(path, f"link {key} is listed twice (also link {seen[key] + 1})", at_value=True)
                    continue
                seen[key] = index
                self.plan.links.append(link)

    def link(self, path: Path, text: str, ends: list[str], position: int) -> Optional[Link]:
        """The link from end `position` to the next one of a chain a -> b -> c."""
        found = []
        for which, end in ((0, ends[position]), (1, ends[position + 1])):
            middle = 0 < position + which < len(ends) - 1
            found.append(self.endpoint(end, which == 0, middle, functools.partial(self.column_of, path, text, end)))
        (source, source_port), (target, target_port) = found
        if source is None or target is None:
            return None
        return Link(source, source_port, target, target_port)

    def column_of(self, path: Path, text: str, end: str) -> Problem:
        """Where `end` is written inside the link's string (a template problem)."""
        where = self.document.problem(path, "", at_value=True)
        if where.line == 0:
            return where
        offset = text.find(end) if end else 0
        quote = self.document.quoted(where.line, where.column)
        return Problem(where.file, where.line, where.column + quote + max(offset, 0), "")

    def endpoint(self, end: str, source: bool, middle: bool,
                 at: Callable[[], Problem]) -> tuple[Optional[str], str]:
        """The node and port `end` names, or (None, "") after reporting why not;
        `at()` says where `end` is written (looked up only for a problem)."""
        nodes = self.plan.nodes
        names = self.document.data.get("nodes") or {}
        kind = "output" if source else "input"
        if not end:
            self.problems.append(_at(at(), f'expected "node" or "node.port" on both sides of {ARROW}'))
            return None, ""
        if end in names:
            node_name, port = end, None
        else:
            prefixes = [end[:i] for i, char in enumerate(end) if char == "." and end[:i] in names]
            if not prefixes:
                guess = end.split(".")[0]
                self.problems.append(_at(at(), f"link to a node {guess!r} that the file does not describe"
                                         f"{did_you_mean(guess, names)}"))
                return None, ""
            node_name = max(prefixes, key=len)
            port = end[len(node_name) + 1:]
            if middle:
                self.problems.append(_at(at(), f"{end!r}: a node in the middle of a chain links its default "
                                         f"ports; write it bare or split the chain"))
                return None, ""
        node = nodes.get(node_name)
        if node is None:
            return None, ""  # its own problem is reported at the node
        wanted = ONode if source else INode
        if not isinstance(node, wanted):
            self.problems.append(_at(at(), f"{node_name!r} is a {type(node).__name__}, which has no {kind} ports"))
            return None, ""
        key = ONode.Configuration.Keys.OUTPUT_PORTS if source else INode.Configuration.Keys.INPUT_PORTS
        ports = [str(p["name"]) for p in node.config.get(key) or ()]
        if port is None:
            default = Constants.Defaults.PORT_OUT if source else Constants.Defaults.PORT_IN
            port = ports[0] if len(ports) == 1 else default
        if port not in ports:
            self.problems.append(_at(at(), f"node {node_name!r} has no {kind} port {port!r}"
                                     f"{did_you_mean(port, ports)}; its {kind} ports: {', '.join(ports) or 'none'}"))
            return None, ""
        return node_name, port

    # Recording and workers -----------------------------------------------------

    def recording(self, record: Any) -> None:
        record = self.table(record, ("record",), "record")
        if record is None:
            return
        self.unknown_keys(record, ("record",), RECORD_KEYS, "in record")
        if not isinstance(record.get("path"), str):
            self.report(("record",), 'record needs path = "FILE.mcap"')
            return
        ports = record.get("ports")
        if ports is not None and not (isinstance(ports, list) and all(isinstance(p, str) for p in ports)):
            self.report(("record", "ports"), 'record ports must be a list of "node.port" names', at_value=True)
            return
        for index, name in enumerate(ports or ()):
            node_name, _, port = name.rpartition(".")
            node = self.plan.nodes.get(node_name)
            if node_name not in (self.document.data.get("nodes") or {}):
                self.report(("record", "ports", index), f"record names port {name!r} of a node the file does "
                            "not describe", at_value=True)
            elif isinstance(node, ONode) and port not in [p["name"] for p in node.config.get("output_ports") or ()]:
                self.report(("record", "ports", index), f"node {node_name!r} has no output port {port!r}",
                            at_value=True)
        self.plan.record = {key: record[key] for key in RECORD_KEYS if key in record}

    def workers(self, workers: dict[str, Any], cluster: dict[str, Any]) -> None:
        self.unknown_keys(cluster, ("cluster",), CLUSTER_KEYS, "in cluster")
        self.plan.cluster = {key: cluster[key] for key in CLUSTER_KEYS if key in cluster}
        for name, worker in workers.items():
            worker = self.table(worker, ("workers", name), f"worker {name!r}")
            if worker is None:
                continue
            self.unknown_keys(worker, ("workers", name), WORKER_KEYS, f"of worker {name!r}")
            self.plan.workers[str(name)] = {key: worker[key] for key in WORKER_KEYS if key in worker}
            offered = self.amounts(worker.get("resources", {}), ("workers", name, "resources"))
            self.left[str(name)] = offered or {}
        if workers and importlib.util.find_spec("zmq") is None:
            self.report(("workers",), "workers need the extra velarix[cluster] (pyzmq)")


# The node keys every class has; a class that declares more refuses near misses of them.
_NODE_BASE_KEYS = frozenset({"id", "name", "input_ports", "output_ports", "own_thread", "rate", "catch_up"})


_UNLISTED_KEYS = frozenset({"id", "name", "input_ports", "output_ports", "catch_up", "own_thread"})


def declared_keys(cls: type[Node]) -> Optional[frozenset[str]]:
    """The configuration keys `cls` declares (its `Configuration.Keys`, or the
    `_KEYS` a connector checks), or None when it declares none of its own and so
    may keep any key."""
    keys: set[str] = set(_NODE_BASE_KEYS)
    own = False
    for klass in cls.__mro__:
        outside = klass.__module__ not in _CORE_MODULES
        listed = klass.__dict__.get("_KEYS")
        if isinstance(listed, tuple) and all(isinstance(k, str) for k in listed):
            keys.update(listed)
            own = own or outside
        configuration = klass.__dict__.get("Configuration")
        holder = getattr(configuration, "__dict__", {}).get("Keys")
        if holder is None:
            continue
        for keys_class in holder.__mro__:
            keys.update(v for n, v in vars(keys_class).items() if n.isupper() and isinstance(v, str))
        own = own or outside
    return frozenset(keys) if own else None


@functools.lru_cache(maxsize=1024)
def _close(key: object, choices: tuple[str, ...]) -> bool:
    """A near miss of one of the file's own node keys (a typo, not a key of its own)."""
    return bool(difflib.get_close_matches(str(key), choices, n=1, cutoff=0.8))


def _blamed_key(message: str, keys: list[str]) -> Optional[str]:
    """The first of `keys` that a constructor's error message names."""
    for key in keys:
        if re.search(rf"(?<![\w.]){re.escape(key)}(?![\w])", message):
            return key
    return None


def _at(where: Problem, message: str) -> Problem:
    return Problem(where.file, where.line, where.column, message)


_TOML_KINDS = ((bool, "a boolean"), ((int, float), "a number"), (str, "a string"), (list, "a list"),
               (dict, "a table"))


def _kind(value: Any) -> str:
    return kind_of(value, _TOML_KINDS, type(value).__name__)


def plan(document: Document) -> Plan:
    """Check the file and make its nodes.

    Raises:
        GraphFileError: every problem found; the nodes made are unregistered again.
    """
    checker = _Checker(document)
    folder = os.path.dirname(os.path.abspath(document.file))
    if folder not in sys.path:  # modules beside the graph file import
        sys.path.append(folder)
    result = checker.check()
    if checker.problems:
        discard(result)
        raise GraphFileError(checker.problems)
    return result


def discard(made: Plan) -> None:
    """Take the nodes a plan made out of the registry again."""
    from ..pipeline import _unregister

    _unregister(list(made.nodes.values()))
    made.nodes.clear()
