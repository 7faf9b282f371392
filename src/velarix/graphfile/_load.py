"""Reading a graph file into a pipeline, for Pipeline.from_file and the commands."""

from __future__ import annotations

import os
import weakref
from typing import TYPE_CHECKING, Any, Mapping, Optional, Sequence

from ._build import Plan, discard, plan
from ._document import Document, SyntaxProblem, apply_overrides, read_document, substitute
from ._problems import GraphFileError, Problem

if TYPE_CHECKING:
    from ..pipeline import Pipeline

# The live page a graph file asks for, by pipeline: `velarix run` serves it.
_WEB: weakref.WeakKeyDictionary[Pipeline, dict[str, Any]] = weakref.WeakKeyDictionary()
FROM_FILE: Any = object()  # directory argument: the log folder the file names


def read(path: str, overrides: Optional[Sequence[str]] = None,
         environ: Optional[Mapping[str, str]] = None) -> Plan:
    """The checked plan of the graph file at `path`, its nodes made.

    Raises:
        GraphFileError: every problem of the file (one when it does not parse).
    """
    try:
        document = read_document(os.fspath(path))
    except OSError as error:
        raise GraphFileError([Problem(os.fspath(path), 0, 0, f"cannot read it: {error.strerror or error}")]) from None
    except SyntaxProblem as error:
        raise GraphFileError([error.problem]) from None
    return plan_of(document, overrides, environ)


def plan_of(document: Document, overrides: Optional[Sequence[str]] = None,
            environ: Optional[Mapping[str, str]] = None) -> Plan:
    problems: list[Problem] = []
    substitute(document, dict(os.environ if environ is None else environ), problems)
    apply_overrides(document, list(overrides or ()), problems)
    try:
        made = plan(document)
    except GraphFileError as error:
        raise GraphFileError([*problems, *error.problems]) from None
    if problems:
        discard(made)
        raise GraphFileError(problems)
    return made


def assemble(made: Plan, directory: Any = FROM_FILE) -> Pipeline:
    """A stopped pipeline of the plan's nodes and links, logging to `directory`
    (FROM_FILE: the file's log_dir, else the default folder)."""
    from ..pipeline import Pipeline

    pipeline = Pipeline(made.log_dir if directory is FROM_FILE else directory, made.threads)
    try:
        for node in made.nodes.values():
            pipeline.add_node(node)
        for link in made.links:
            pipeline.connect_ports(made.nodes[link.source], link.source_port,  # type: ignore[arg-type]
                                   made.nodes[link.target], link.target_port)  # type: ignore[arg-type]
    except BaseException:
        pipeline.close()
        raise
    if made.web is not None:
        _WEB[pipeline] = made.web
    return pipeline


def attach_run_parts(pipeline: Pipeline, made: Plan) -> None:
    """What only a run needs: the workers (started here) with the nodes placed on
    them, and the recording. On a failure nothing of it is left running."""
    cluster = None
    try:
        if made.workers:
            from ..cluster import Cluster

            cluster = Cluster(pipeline, **made.cluster)
            for name, worker in made.workers.items():
                if "endpoint" in worker:
                    cluster.add_worker(name, worker["endpoint"], worker.get("key"))
                else:
                    cluster.spawn(name, worker.get("transport", "ipc"))
            for node, worker_name in made.placement.items():
                cluster.place(made.nodes[node], worker_name)
        if made.record is not None:
            options = dict(made.record)
            pipeline.record(options.pop("path"), options.pop("ports", None), **options)
    except BaseException:
        if cluster is not None:
            cluster.close()
        pipeline.close()
        raise


def load(path: str, overrides: Optional[Sequence[str]] = None, directory: Any = FROM_FILE,
         run_parts: bool = True) -> Pipeline:
    """The pipeline the graph file at `path` describes (stopped); `run_parts`
    also starts its workers and its recording."""
    made = read(path, overrides)
    pipeline = assemble(made, directory)
    if run_parts:
        attach_run_parts(pipeline, made)
    return pipeline


def check(path: str, overrides: Optional[Sequence[str]] = None) -> list[Problem]:
    """Every problem of the graph file at `path` ([] for none); builds its nodes
    and drops them again, starts nothing."""
    try:
        made = read(path, overrides)
    except GraphFileError as error:
        return list(error.problems)
    pipeline = assemble(made, "")
    pipeline.close()
    return []


def web_settings(pipeline: Pipeline) -> Optional[dict[str, Any]]:
    """The live page's host and port a graph file asks `velarix run` to serve, or None."""
    return _WEB.get(pipeline)
