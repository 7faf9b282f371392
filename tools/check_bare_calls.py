"""Fails when a module calls, outside imp/common/, a C API function that can run
Python code without going through the exit-safe helpers (see DEVELOPERS.md).

A call counts as wrapped when its line hands it to exit_safe, steal_call or
check_call. Dictionary calls keyed by an interned name (names::..., texts::...) and
text formatting without %S or %R run no Python code. Anything else that is known
not to run Python code carries the marker comment "no Python code:" and its reason
on the same line.
"""

import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
CAN_RUN_CODE = re.compile(
    r"\b(PyObject_(GetAttr|GetAttrString|SetAttr|SetAttrString|GetItem|SetItem|DelItem|RichCompare"
    r"|RichCompareBool|IsTrue|Str|Repr|Format|Hash|Call|CallObject|CallMethod|CallNoArgs|CallOneArg"
    r"|Vectorcall|VectorcallMethod|GetIter|IsInstance|IsSubclass|Length|Size)"
    r"|PyDict_(SetItem|GetItem|GetItemWithError|DelItem|Contains|Merge|Update)"
    r"|PyIter_Next|PySequence_(Contains|GetItem|SetItem|DelItem|Size|List|Tuple|Index|Count)"
    r"|PyMapping_\w+|PyNumber_\w+|PyImport_Import\w*|PyUnicode_FromFormatV?|PyErr_Format)\(")
WRAPPED = re.compile(r"\b(exit_safe|steal_call|check_call)\b")
INTERNED_KEY = re.compile(r"PyDict_\w+\([^,]+,\s*(names|texts)::")
FORMAT = re.compile(r"(PyUnicode_FromFormatV?|PyErr_Format)\(")
MARKER = "no Python code:"


def bare_calls(path):
    relative = path.relative_to(ROOT).as_posix()
    for number, line in enumerate(path.read_text().splitlines(), 1):
        code = line.split("//", 1)[0]
        for found in CAN_RUN_CODE.finditer(code):
            name = found.group(0)[:-1]
            if WRAPPED.search(code) or MARKER in line:
                continue
            if INTERNED_KEY.search(code[found.start():]):
                continue
            if FORMAT.match(found.group(0)) and not re.search(r"%[SR]", code):
                continue
            yield f"{relative}:{number}: {name} outside the exit-safe helpers: {line.strip()}"


def main():
    problems = []
    for path in sorted((ROOT / "imp").rglob("*.[ch]pp")):
        if path.relative_to(ROOT / "imp").parts[0] != "common":
            problems.extend(bare_calls(path))
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
