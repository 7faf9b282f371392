"""The README's example runs as printed."""

import logging
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"


def test_readme_example_runs_and_prints_what_it_says(capsys):
    code = re.search(r"```python\n(.*?)```", README.read_text(), re.S).group(1)
    exec(compile(code, "README.md", "exec"), {"__name__": "readme_example"})
    assert capsys.readouterr().out.splitlines()[0] == "[0, 1, 4, 9, 16]"


def test_readme_skip_example_prints_what_it_says(capsys):
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)
    code = next(block for block in blocks if "SKIP" in block)
    exec(compile(code, "README.md", "exec"), {"__name__": "readme_example"})
    assert capsys.readouterr().out.splitlines() == ["[25, 31]", "3"]


def test_readme_shared_threads_example_prints_what_it_says(capsys):
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)
    code = next(block for block in blocks if "threads=1" in block)
    exec(compile(code, "README.md", "exec"), {"__name__": "readme_example"})
    assert capsys.readouterr().out.splitlines() == ["[0, 2, 4, 6, 8] 1"]


def test_readme_recording_example_prints_what_it_says(capsys, caplog, tmp_path, monkeypatch):
    pytest.importorskip("mcap")
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)
    code = next(block for block in blocks if "Replay(" in block)
    monkeypatch.chdir(tmp_path)  # it writes numbers.mcap where it runs
    exec(compile(code, "README.md", "exec"), {"__name__": "readme_example"})
    assert capsys.readouterr().out.splitlines() == ["5", "[0, 1, 2, 3, 4]"]
    # The warnings its log hands to logging (stderr, run as a script) the block shows too.
    warned = [r.getMessage() for r in caplog.records if r.name == "velarix" and r.levelno >= logging.WARNING]
    assert all(message in code for message in warned), warned


def test_readme_end_of_stream_example_ends_by_itself(capsys, tmp_path, monkeypatch):
    pytest.importorskip("mcap")
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)
    recording = next(block for block in blocks if "Replay(" in block)
    ending = next(block for block in blocks if "returns once the file is played" in block)
    monkeypatch.chdir(tmp_path)  # the first writes numbers.mcap, which the second plays
    for code in (recording, ending):
        exec(compile(code, "README.md", "exec"), {"__name__": "readme_example"})
    assert capsys.readouterr().out.splitlines()[-1] == "10 HEALTHY"
