"""Types and documentation: stubs that match the compiled modules, mypy --strict
over the examples and a typed user program, and a Logger whose help shows methods."""

import ast
import importlib
import os
import pathlib
import pydoc
import subprocess
import sys
import sysconfig

import pytest

import velarix
from velarix import Logger, LogType

ROOT = pathlib.Path(__file__).resolve().parents[1]
PACKAGE = pathlib.Path(velarix.__file__).resolve().parent
# Every compiled module of the package, the six of today and any added later.
COMPILED = sorted({p.name.split(".")[0] for p in (PACKAGE / "imp").glob("*.so")}
                  | {"ferrant", "vertan", "intaran", "exitran", "trellan", "scribon"})
MODULE_DUNDERS = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
CLASS_DUNDERS = {"__module__", "__doc__", "__dict__", "__weakref__", "__qualname__", "__annotations__"}


def stub_names(body):
    """Names a stub body defines: classes, functions, annotated and assigned names."""
    names = {}
    for node in body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names[node.target.id] = node
        elif isinstance(node, ast.Assign):
            names.update((t.id, node) for t in node.targets if isinstance(t, ast.Name))
    return names


@pytest.mark.parametrize("name", COMPILED)
def test_each_compiled_module_matches_its_stub(name):
    module = importlib.import_module(f"velarix.imp.{name}")
    stub = ast.parse((PACKAGE / "imp" / f"{name}.pyi").read_text())
    stubbed = stub_names(stub.body)
    assert set(stubbed) == set(vars(module)) - MODULE_DUNDERS
    for class_name, node in stubbed.items():
        cls = getattr(module, class_name)
        if not isinstance(cls, type):
            continue
        defined = set(vars(cls)) - CLASS_DUNDERS
        assert set(stub_names(node.body)) == defined | set(cls.__annotations__), class_name
        for member in defined:
            value = vars(cls)[member]
            stub_node = stub_names(node.body)[member]
            if isinstance(value, staticmethod):
                assert any(getattr(d, "id", None) == "staticmethod" for d in stub_node.decorator_list), member


def test_stubs_and_marker_ship_with_the_package():
    assert (PACKAGE / "py.typed").is_file()
    for name in COMPILED + ["__init__"]:
        assert (PACKAGE / "imp" / f"{name}.pyi").is_file(), name


def mypy(*paths, tmp_path):
    env = dict(os.environ)
    site = {sysconfig.get_paths()["purelib"], sysconfig.get_paths()["platlib"]}
    if str(PACKAGE.parent) not in site:  # a source tree: point mypy at it
        env["MYPYPATH"] = str(PACKAGE.parent)
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *paths],
        cwd=ROOT, env=env, capture_output=True, text=True, timeout=600)


def test_mypy_strict_accepts_the_package_the_examples_and_a_typed_program(tmp_path):
    pytest.importorskip("mypy", reason="mypy comes with the test extra")
    for target in (["-p", "velarix"], ["examples", "tests/typed_program.py"]):
        result = mypy(*target, tmp_path=tmp_path)
        assert result.returncode == 0, result.stdout + result.stderr
    for path in [*ROOT.glob("examples/*.py"), ROOT / "tests" / "typed_program.py"]:
        assert "type: ignore" not in path.read_text(), path


def test_mypy_strict_catches_misuse(tmp_path):
    pytest.importorskip("mypy", reason="mypy comes with the test extra")
    wrong = tmp_path / "wrong.py"
    wrong.write_text(
        "from velarix import Logger, Pipeline\n"
        "Pipeline(directory=3)\n"
        "Logger('').write('INFO', 'text')\n"
        "n: int = Pipeline().get_elapsed_time()\n")
    result = mypy(str(wrong), tmp_path=tmp_path)
    assert result.returncode == 1
    assert result.stdout.count("error:") == 3, result.stdout


def test_typed_program_runs():
    sys.path.insert(0, str(ROOT / "tests"))
    try:
        import typed_program
    finally:
        sys.path.remove(str(ROOT / "tests"))
    assert typed_program.run() == [0, 2, 4, 6, 8]  # twice each deadline count


def shown(annotation):
    """A string annotation as pydoc prints it: quoted before 3.14, bare from then on."""
    return annotation if sys.version_info >= (3, 14) else f"'{annotation}'"


def test_logger_methods_are_documented_and_add_no_frame():
    text = pydoc.render_doc(Logger, renderer=pydoc.plaintext)
    assert f"write(self, type: {shown('LogType')}, message: {shown('str')}) -> {shown('LogEntry')}" in text
    assert f"get_by_type(self, type: {shown('LogType | str')})" in text and "_Forward object" not in text
    for name in ("write", "flush", "stop", "get_all", "get_by_type", "has_entries",
                 "get_last_error", "get_file_name"):
        assert getattr(Logger, name).__doc__, name
    logger = Logger("")
    assert logger.write.__self__ is logger._imp  # the implementation's own bound method
    entry = logger.write(LogType.INFO, "from the test")
    assert entry["stack"].startswith("test_typing.py:")
    Logger.write(logger, LogType.WARNING, "through the class")
    assert logger.get_all()[-1]["message"] == "through the class"


def test_public_classes_and_methods_have_docstrings():
    for name in velarix.__all__:
        obj = getattr(velarix, name)
        if not isinstance(obj, type):
            continue
        assert obj.__doc__, name
        for member, value in vars(obj).items():
            if not member.startswith("_") and callable(value):
                assert getattr(value, "__doc__", None), f"{name}.{member}"
