"""Mutation testing of the pure-Python layer (`make mutate`).

The package's Python files are copied with the compiled modules into a work
folder; cosmic-ray puts one small fault at a time into a copied file and runs the
tests that cover that module (MODULE_TESTS below) against the copy, in a fresh
interpreter each time. A mutant whose tests still pass survived. The run ends with
`mutation score: NN% (killed K of M)` and writes the survivors to a report.

Mutants known to be equivalent (or not worth a test) are listed with a reason in
tools/mutate_survivors.toml; they are reported apart and left out of the score.
"""

from __future__ import annotations

import argparse
import ast
import compileall
import hashlib
import importlib.util
import os
import pathlib
import shlex
import shutil
import subprocess
import sys
import time
import tomllib

from cosmic_ray.commands.init import init
from cosmic_ray.mutating import mutate_and_test
from cosmic_ray.work_db import WorkDB
from cosmic_ray.work_item import TestOutcome, WorkerOutcome, WorkResult

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "src" / "velarix"
REASONS = ROOT / "tools" / "mutate_survivors.toml"
BASELINE_TIMEOUT = 600  # seconds for a module's tests unmutated

# Test files per module, by path prefix under src/velarix (the longest prefix
# wins). Kept to the tests that exercise the module directly, so one mutant costs
# seconds, not the whole suite.
MODULE_TESTS: dict[str, list[str]] = {
    "": ["test_pipeline_run.py", "test_node.py"],
    "__init__.py": ["test_pipeline_run.py"],
    "_ending.py": ["test_end_of_stream.py", "test_exit.py"],
    "_lazy.py": ["test_pipeline_run.py"],
    "_port.py": ["test_ports.py", "test_port_api.py"],
    "_saving.py": ["test_pipeline_serialization.py"],
    "_stats.py": ["test_tracing.py", "test_blocked_stops.py"],
    "_timing.py": ["test_timed_source.py"],
    "_tracing.py": ["test_tracing.py"],
    "cli.py": ["test_cli.py"],
    "cluster/": ["test_cluster.py"],
    "cluster/channel.py": ["test_cluster_ring.py", "test_cluster.py"],
    "cluster/clock.py": ["test_cluster_clock.py"],
    "cluster/links.py": ["test_cluster_shm.py", "test_cluster_ring.py", "test_cluster.py"],
    "cluster/on_ray.py": ["test_cluster_ray.py"],
    "cluster/security.py": ["test_cluster.py", "test_connect_zmq.py"],
    "cluster/shm.py": ["test_cluster_shm.py", "test_cluster_ring.py"],
    "cluster/worker.py": ["test_cluster.py", "test_worker_fallback.py"],
    "connect/_zmq": ["test_connect_zmq.py"],
    "connect/_common.py": ["test_connect_xdf.py", "test_connect_mqtt.py", "test_connect_lsl.py"],
    "connect/lsl.py": ["test_connect_lsl.py"],
    "connect/mqtt.py": ["test_connect_mqtt.py"],
    "connect/xdf.py": ["test_connect_xdf.py"],
    "connect/zmq.py": ["test_connect_zmq.py"],
    "graph.py": ["test_monitor.py", "test_tracing.py"],
    "graphfile/": ["test_graphfile.py"],
    "i_node.py": ["test_input_node.py"],
    "i_port.py": ["test_ports.py", "test_port_api.py"],
    "io_node.py": ["test_io_node.py"],
    "logger.py": ["test_logger.py", "test_log_entry.py", "test_log_stack.py"],
    "monitor/": ["test_monitor.py", "test_watch.py"],
    "node.py": ["test_node.py"],
    "nodes/": ["test_signal_nodes.py", "test_node_library.py"],
    "o_node.py": ["test_output_node.py"],
    "o_port.py": ["test_ports.py", "test_port_api.py"],
    "pipeline.py": ["test_pipeline_run.py", "test_pipeline_graph.py", "test_scheduler.py"],
    "portable.py": ["test_portable.py"],
    "record/": ["test_record.py", "test_record_native.py", "test_record_json.py"],
    "record/_export.py": ["test_record.py", "test_record_json.py"],
}

# Operators kept: each binary and comparison operator changed to its nearest
# neighbour only (the full cross product is mostly noise), plus the logical,
# constant, loop and exception mutations. Decorator removal is left out: it breaks
# nearly every class at import, which says nothing about the tests.
OPERATORS = {
    "core/ReplaceBinaryOperator_Add_Sub", "core/ReplaceBinaryOperator_Sub_Add",
    "core/ReplaceBinaryOperator_Mul_Div", "core/ReplaceBinaryOperator_Div_Mul",
    "core/ReplaceBinaryOperator_FloorDiv_Div", "core/ReplaceBinaryOperator_Mod_FloorDiv",
    "core/ReplaceBinaryOperator_Pow_Mul", "core/ReplaceBinaryOperator_LShift_RShift",
    "core/ReplaceBinaryOperator_RShift_LShift",
    "core/ReplaceComparisonOperator_Eq_NotEq", "core/ReplaceComparisonOperator_NotEq_Eq",
    "core/ReplaceComparisonOperator_Lt_LtE", "core/ReplaceComparisonOperator_LtE_Lt",
    "core/ReplaceComparisonOperator_Gt_GtE", "core/ReplaceComparisonOperator_GtE_Gt",
    "core/ReplaceComparisonOperator_Is_IsNot", "core/ReplaceComparisonOperator_IsNot_Is",
    "core/ReplaceComparisonOperator_In_NotIn", "core/ReplaceComparisonOperator_NotIn_In",
    "core/ReplaceUnaryOperator_USub_UAdd", "core/ReplaceUnaryOperator_Delete_Not",
    "core/AddNot", "core/ReplaceTrueWithFalse", "core/ReplaceFalseWithTrue",
    "core/ReplaceAndWithOr", "core/ReplaceOrWithAnd",
    "core/ReplaceBreakWithContinue", "core/ReplaceContinueWithBreak",
    "core/ExceptionReplacer", "core/NumberReplacer", "core/ZeroIterationForLoop",
}


def tests_for(module: str) -> list[str]:
    prefix = max((p for p in MODULE_TESTS if module.startswith(p)), key=len)
    return [f"tests/{name}" for name in MODULE_TESTS[prefix]]


def selected_modules(names: list[str]) -> list[str]:
    """Paths relative to src/velarix of the Python files the names pick (files or folders)."""
    found: set[str] = set()
    for name in names:
        path = (ROOT / name) if (ROOT / name).exists() else PACKAGE / name
        path = path.resolve()
        files = [path] if path.is_file() else sorted(path.rglob("*.py"))
        if not files:
            sys.exit(f"mutate: no Python files in {name}")
        found.update(str(f.relative_to(PACKAGE)) for f in files if f.suffix == ".py")
    return sorted(m for m in found if not m.startswith("imp/") and not m.endswith("__main__.py"))


def copy_package(work: pathlib.Path, imp_dir: pathlib.Path) -> pathlib.Path:
    """The sources next to the compiled modules in work/src, which the tests import."""
    target = work / "src" / "velarix"
    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(PACKAGE, target, ignore=shutil.ignore_patterns("__pycache__", "*.so"))
    compiled = sorted(imp_dir.glob("*.so"))
    if not compiled:
        sys.exit(f"mutate: no compiled modules in {imp_dir} (make install or make dev first)")
    for so in compiled:
        shutil.copy2(so, target / "imp" / so.name)
    # The tests run without writing bytecode (a mutant may keep a file's size and
    # second): compiled once here, only the mutated file is compiled per run.
    compileall.compile_dir(str(target), quiet=1)
    return target


def installed_imp() -> pathlib.Path:
    spec = importlib.util.find_spec("velarix.imp")
    if spec is None or spec.origin is None:
        sys.exit("mutate: velarix is not installed (make install)")
    return pathlib.Path(spec.origin).parent


def annotation_spans(source: str) -> list[tuple[tuple[int, int], tuple[int, int]]]:
    """Where the annotations are ((line, column) to (line, column)): a mutant there
    changes no behaviour."""
    spans = []
    for node in ast.walk(ast.parse(source)):
        note = None
        if isinstance(node, ast.arg):
            note = node.annotation
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            note = node.returns
        elif isinstance(node, ast.AnnAssign):
            note = node.annotation
        if note is not None:
            spans.append(((note.lineno, note.col_offset), (note.end_lineno or note.lineno, note.end_col_offset or 0)))
    return spans


def mutant_key(module: str, operator: str, line_text: str) -> tuple[str, str, str]:
    return (module, operator, " ".join(line_text.split()))


def load_reasons() -> dict[tuple[str, str, str], str]:
    if not REASONS.exists():
        return {}
    entries = tomllib.loads(REASONS.read_text())["survivor"]
    return {mutant_key(e["module"], e["operator"], e["line"]): e["reason"] for e in entries}


def sample_rank(job_key: str) -> str:
    """A stable rank: the same mutant stays in (or out of) the sample between runs."""
    return hashlib.sha256(job_key.encode()).hexdigest()


def prepare(db: WorkDB, copy: pathlib.Path, module: str) -> list[str]:
    """Creates the module's mutants; skips those of unwanted operators, annotations and
    `# pragma: no mutate` lines. Returns the lines of the file."""
    path = copy / module
    source = path.read_text()
    lines = source.splitlines()
    notes = annotation_spans(source)
    init([path], db, {})
    skipped = []
    for item in db.pending_work_items:
        spec = item.mutations[0]
        line = spec.start_pos[0]
        text = lines[line - 1] if line <= len(lines) else ""
        if spec.operator_name not in OPERATORS or any(a <= tuple(spec.start_pos) < b for a, b in notes) or "pragma: no mutate" in text:
            skipped.append(item.job_id)
    db.set_multiple_results(skipped, WorkResult(output="not selected", worker_outcome=WorkerOutcome.SKIPPED))
    return lines


def thin(dbs: dict[str, WorkDB], lines: dict[str, list[str]], most: int) -> None:
    """Keeps the `most` mutants of the lowest rank over all modules."""
    ranked = []
    for module, db in dbs.items():
        for item in db.pending_work_items:
            spec = item.mutations[0]
            key = f"{module}:{spec.operator_name}:{spec.occurrence}:{lines[module][spec.start_pos[0] - 1].strip()}"
            ranked.append((sample_rank(key), module, item.job_id))
    ranked.sort()
    for module, db in dbs.items():
        dropped = [job for _, owner, job in ranked[most:] if owner == module]
        db.set_multiple_results(dropped, WorkResult(output="outside the sample", worker_outcome=WorkerOutcome.SKIPPED))


def baseline(command: str, env: dict[str, str]) -> float | None:
    """Seconds the unmutated tests take, or None when they fail twice (a timing
    test may fail once on a busy machine)."""
    for _ in range(2):
        start = time.monotonic()
        try:
            done = subprocess.run(shlex.split(command), env=env, capture_output=True, text=True,
                                  timeout=BASELINE_TIMEOUT, start_new_session=True)
        except subprocess.TimeoutExpired as expired:
            print(f"mutate: {command} took over {BASELINE_TIMEOUT} s unmutated", file=sys.stderr)
            done = subprocess.CompletedProcess(expired.cmd, 1, str(expired.stdout or ""), "")
            continue
        if done.returncode == 0:
            return time.monotonic() - start
    failed = [line for line in done.stdout.splitlines() if line.startswith(("FAILED", "ERROR"))]
    print("\n".join(failed or done.stdout.splitlines()[-5:]), file=sys.stderr)
    return None


def test_command(module: str) -> str:
    tests = [t for t in tests_for(module) if (ROOT / t).exists()]
    return (f"{sys.executable} -m pytest -x -q -p no:cacheprovider -m 'not slow' "
            f"--rootdir {ROOT} " + " ".join(str(ROOT / t) for t in tests))


def run_mutants(dbs: dict[str, WorkDB], minutes: float, started: float, env: dict[str, str],
                notes: list[str]) -> int:
    """Runs the pending mutants of every module in one stable mixed order, so that a
    run cut short by the time budget still samples every module. Returns how many
    were left for lack of time."""
    order = sorted(((module, item) for module, db in dbs.items() for item in db.pending_work_items),
                   key=lambda pair: hashlib.sha256(pair[1].job_id.encode()).hexdigest())
    timings: dict[str, float | None] = {}
    left = 0

    def over_budget(seconds: float) -> bool:
        return minutes > 0 and time.monotonic() - started + seconds > minutes * 60

    for done, (module, item) in enumerate(order):
        command = test_command(module)
        # A mutant whose tests would end past the budget is left, not started (its
        # tests' first, unmutated run may be what shows it): the run ends within the
        # budget, and the score counts only the mutants that ran.
        if over_budget(timings.get(command) or 0.0):
            left += 1
            continue
        if command not in timings:
            timings[command] = baseline(command, env)
            if timings[command] is None:
                notes.append(f"{module}: its tests fail unmutated; not run")
        seconds = timings[command]
        if seconds is None:
            continue
        if over_budget(seconds):
            left += 1
            continue
        result = mutate_and_test(item.mutations, command, max(20.0, 3 * seconds))
        dbs[module].set_result(item.job_id, result)
        if done % 10 == 9:
            print(f"mutate: {done + 1} of {len(order)} run, {(time.monotonic() - started) / 60:.1f} minutes",
                  flush=True)
    if left:
        notes.append(f"{left} mutants not run: their tests would have ended past the {minutes:g}-minute budget")
    return left


def tally(module: str, db: WorkDB, lines: list[str], reasons: dict[tuple[str, str, str], str],
          survivors: list[str], accepted: list[str], notes: list[str]) -> tuple[int, int]:
    """(killed, scored) of a module; its survivors go to the lists."""
    killed = scored = 0
    for item, result in db.completed_work_items:
        if result.worker_outcome != WorkerOutcome.NORMAL:
            continue
        spec = item.mutations[0]
        text = lines[spec.start_pos[0] - 1]
        where = f"{module}:{spec.start_pos[0]} {spec.operator_name}"
        if result.test_outcome == TestOutcome.KILLED:
            killed += 1
            scored += 1
        elif result.test_outcome == TestOutcome.INCOMPETENT:
            notes.append(f"{where}: could not be run")
        elif reason := reasons.get(mutant_key(module, spec.operator_name, text)):
            accepted.append(f"- `{where}`: `{text.strip()}`: {reason}")
        else:
            scored += 1
            diff = "\n".join(f"    {d}" for d in (result.diff or "").splitlines()
                             if d[:1] in "+-" and d[:3] not in ("+++", "---"))
            survivors.append(f"- `{where}`:\n{diff}")
    return killed, scored


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("modules", nargs="*", default=["src/velarix"],
                        help="files or folders (under src/velarix or from the root); all by default")
    parser.add_argument("--mutants", type=int, default=60,
                        help="at most this many mutants over the run, a stable sample (0: all)")
    parser.add_argument("--minutes", type=float, default=18.0,
                        help="start no mutant whose tests would end after this many minutes (0: no limit)")
    parser.add_argument("--work", default=str(ROOT / "build" / "mutate"))
    parser.add_argument("--imp", help="folder of the compiled modules (default: the installed package's)")
    args = parser.parse_args()

    started = time.monotonic()
    work = pathlib.Path(args.work)
    modules = selected_modules(args.modules)
    copy = copy_package(work, pathlib.Path(args.imp) if args.imp else installed_imp())
    env = dict(os.environ, PYTHONPATH=str(work / "src"), PYTHONDONTWRITEBYTECODE="1")
    os.environ.update(env)  # the test commands inherit it
    sessions = work / "sessions"
    shutil.rmtree(sessions, ignore_errors=True)
    sessions.mkdir(parents=True)

    dbs: dict[str, WorkDB] = {}
    lines: dict[str, list[str]] = {}
    for module in modules:
        dbs[module] = WorkDB(str(sessions / (module.replace("/", "__") + ".sqlite")), WorkDB.Mode.create)
        lines[module] = prepare(dbs[module], copy, module)
    total = sum(db.num_work_items - db.num_results for db in dbs.values())
    share = 1.0 if args.mutants <= 0 or total <= args.mutants else args.mutants / total
    if share < 1:
        thin(dbs, lines, args.mutants)
    print(f"mutate: {len(modules)} modules, {total} mutants"
          + (f", a stable sample of {args.mutants} ({share:.1%})" if share < 1 else ""), flush=True)

    notes: list[str] = []
    left = run_mutants(dbs, args.minutes, started, env, notes)
    if left:
        print(f"mutate: {left} mutants not run, the time budget spent (--minutes)", flush=True)
    reasons = load_reasons()
    rows, survivors, accepted = [], [], []
    for module, db in dbs.items():
        rows.append((module, *tally(module, db, lines[module], reasons, survivors, accepted, notes)))
        db.close()

    killed = sum(k for _, k, _ in rows)
    scored = sum(r for _, _, r in rows)
    minutes = (time.monotonic() - started) / 60
    report = work / "report.md"
    out = ["# Mutation testing", "",
           f"{len(rows)} modules, {scored} mutants scored, {minutes:.1f} minutes"
           + (f", a stable sample of {args.mutants} ({share:.1%})" if share < 1 else ""), "",
           "| module | killed | of | score |", "| --- | --- | --- | --- |"]
    out += [f"| {m} | {k} | {r} | {k / r:.0%} |" for m, k, r in rows if r]
    out += ["", "## Survivors", ""] + (survivors or ["none"])
    out += ["", "## Left on purpose (tools/mutate_survivors.toml)", ""] + (accepted or ["none"])
    if notes:
        out += ["", "## Notes", ""] + [f"- {n}" for n in notes]
    report.write_text("\n".join(out) + "\n")
    for m, k, r in rows:
        if r:
            print(f"  {m}: killed {k} of {r}")
    print(f"survivors: {report} ({len(survivors)}); {minutes:.1f} minutes")
    print(f"mutation score: {round(100 * killed / scored) if scored else 100}% (killed {killed} of {scored})")


if __name__ == "__main__":
    main()
