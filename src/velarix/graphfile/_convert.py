"""Saved pipeline JSON to a graph file: classes by import path, links by name."""

from __future__ import annotations

import importlib
import json
import math
import re
from typing import Any

from ..constants import Constants
from ._build import NODE_KEYS

_BARE = re.compile(r"^[A-Za-z0-9_-]+$")
# Port entries a graph file leaves out: the id is given anew, the name is the key.
_PORT_SKIP = ("id", "name")


class ConvertError(ValueError):
    """A saved pipeline that cannot be written as a graph file; the message says why."""


def to_graph_text(data: dict[str, Any], yaml: bool = False) -> str:
    """The graph file (TOML, or YAML when `yaml`) of a saved pipeline's data.

    Raises:
        ConvertError: a class does not import (all of them named), two nodes
            share a name, or a value cannot be written.
    """
    _check_importable(data["nodes"])
    graph = _graph(data)
    return _yaml_text(graph) if yaml else _toml_text(graph)


def _check_importable(nodes: list[dict[str, Any]]) -> None:
    missing = []
    for node in nodes:
        module, name = node.get("module"), node.get("class")
        try:
            found: Any = importlib.import_module(str(module)) if module != "__main__" else None
            for part in str(name).split("."):
                found = getattr(found, part)
        except Exception as error:  # whatever importing raises
            missing.append(f"{module}:{name} ({type(error).__name__}: {error})")
            continue
        if found is None:
            missing.append(f"{module}:{name} (defined in the program's __main__, which a graph file cannot import)")
    if missing:
        raise ConvertError("a graph file names classes by import path, and these do not import: "
                           + "; ".join(missing))


def _graph(data: dict[str, Any]) -> dict[str, Any]:
    ports: dict[str, tuple[str, str]] = {}  # port id -> node name, port name
    nodes: dict[str, dict[str, Any]] = {}
    for node in data["nodes"]:
        config = dict(node["config"])
        name = str(config.pop("name", node["class"]))
        config.pop("id", None)
        if name in nodes:
            raise ConvertError(f"two nodes are named {name!r}: a graph file names each node once")
        entry: dict[str, Any] = {"class": f"{node['module']}:{node['class']}"}
        for key, file_key, default in (("input_ports", "inputs", Constants.Defaults.PORT_IN),
                                       ("output_ports", "outputs", Constants.Defaults.PORT_OUT)):
            listed = config.pop(key, None)
            if listed is None:
                continue
            for port in listed:
                ports[str(port["id"])] = (name, str(port["name"]))
            settings = {str(port["name"]): _port_settings(port) for port in listed}
            plain = not any(settings.values())
            if plain and list(settings) == [default]:
                continue  # the default port
            entry[file_key] = list(settings) if plain else settings
        clash = [key for key in config if key in NODE_KEYS]
        if clash:
            raise ConvertError(f"node {name!r} has configuration keys a graph file uses itself: {', '.join(clash)}")
        entry.update(config)
        nodes[name] = entry
    links = []
    for source, target in data["connections"]:
        if source in ports and target in ports:
            links.append(f"{_end(*ports[source])} -> {_end(*ports[target])}")
    graph: dict[str, Any] = {}
    if data.get("threads") is not None:
        graph["threads"] = data["threads"]
    graph["links"] = links
    graph["nodes"] = nodes
    return graph


def _port_settings(port: dict[str, Any]) -> dict[str, Any]:
    """A port's entries besides its id and name, SYNC timing (the default) left out."""
    return {key: value for key, value in port.items()
            if key not in _PORT_SKIP and not (key == "timing" and value == Constants.Timing.SYNC)}


def _end(node: str, port: str) -> str:
    return f"{node}.{port}"


# Writing ------------------------------------------------------------------------

def _key(key: str) -> str:
    return key if _BARE.match(key) else json.dumps(key, ensure_ascii=False)


def _value(value: Any, where: str) -> str:
    if value is None:
        raise ConvertError(f"{where} is null, which TOML cannot hold: convert to a .yaml file instead")
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if math.isnan(value):
            return "nan"
        if math.isinf(value):
            return "inf" if value > 0 else "-inf"
        return repr(value)
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    if isinstance(value, list):
        return "[" + ", ".join(_value(item, where) for item in value) + "]"
    if isinstance(value, dict):
        if not value:
            return "{}"
        return "{ " + ", ".join(f"{_key(str(k))} = {_value(v, where)}" for k, v in value.items()) + " }"
    raise ConvertError(f"{where} holds a {type(value).__name__}, which a graph file cannot hold")


def _toml_text(graph: dict[str, Any]) -> str:
    lines = []
    if "threads" in graph:
        lines.append(f"threads = {graph['threads']}")
    lines.append("links = [" if graph["links"] else "links = []")
    if graph["links"]:
        lines.extend(f"  {_value(link, 'a link')}," for link in graph["links"])
        lines.append("]")
    for name, node in graph["nodes"].items():
        lines.extend(["", f"[nodes.{_key(name)}]"])
        for key, value in node.items():
            lines.append(f"{_key(key)} = {_value(value, f'node {name!r} key {key!r}')}")
    return "\n".join(lines) + "\n"


def _yaml_text(graph: dict[str, Any]) -> str:
    from ._document import YAML_HINT

    try:
        yaml: Any = importlib.import_module("yaml")
    except ImportError:
        raise ConvertError(YAML_HINT) from None
    text: str = yaml.safe_dump(graph, sort_keys=False, allow_unicode=True, default_flow_style=None)
    return text
