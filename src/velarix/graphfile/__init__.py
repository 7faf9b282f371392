"""Pipelines written by hand as graph files (TOML, or YAML with velarix[graphfile]).

A graph file names each node's class by import path with its configuration and
ports, and lists the links by name; `load()` (also `Pipeline.from_file`) checks
all of it before anything starts and reports every problem with its file, line
and column. `to_graph_text()` turns a saved pipeline's JSON into such a file.
README's "Graph files" describes the format.
"""

from __future__ import annotations

from ._convert import ConvertError, to_graph_text
from ._document import is_graph_file
from ._load import check, load, web_settings
from ._problems import GraphFileError, Problem

__all__ = ["ConvertError", "GraphFileError", "Problem", "check", "is_graph_file", "load", "to_graph_text",
           "web_settings"]
