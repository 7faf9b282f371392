"""How a pipeline on shared scheduler threads shows itself: velarix show and run,
the terminal table and the page's reading."""

import io

import pytest

import cli_nodes
from test_cli import velarix_command
from velarix import Pipeline
from velarix.cli import describe_text
from velarix.monitor.web import snapshot


def saved(path, threads):
    pipeline = Pipeline("", threads=threads)
    ticker = cli_nodes.Ticker(name="ticker", rate=50)
    pipeline.connect(ticker, cli_nodes.Quiet(name="quiet"))
    pipeline.connect(ticker, cli_nodes.Quiet(name="slow", own_thread=True))
    pipeline.save(str(path))
    return path


def test_show_names_the_shared_threads_and_the_nodes_with_their_own(tmp_path):
    result = velarix_command("show", saved(tmp_path / "p.json", 2), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.rstrip().endswith(
        "threads\ninput nodes run on 2 shared scheduler threads; own thread: slow")
    # A pipeline with a thread per node shows no such section.
    plain = Pipeline("")
    plain.connect(cli_nodes.Ticker(name="t2", rate=5), cli_nodes.Quiet(name="q2"))
    assert "threads" not in describe_text(plain)
    plain.close()


def test_run_takes_the_saved_threads_or_the_given_ones(tmp_path):
    path = saved(tmp_path / "p.json", 1)
    for extra, threads in (((), 1), (("--threads", 2), 2)):
        result = velarix_command("run", path, "--seconds", 0.5, "--log-dir", "", *extra, cwd=tmp_path)
        assert result.returncode == 0, result.stderr
    bad = velarix_command("run", path, "--threads", 0, cwd=tmp_path)
    assert bad.returncode == 2 and "--threads must be from 1 to 1024" in bad.stderr


def test_the_table_and_the_page_say_how_many_shared_threads_run():
    rich = pytest.importorskip("rich.console")
    from velarix.monitor import render

    for threads, words in ((1, "1 shared thread"), (3, "3 shared threads")):
        pipeline = Pipeline("", threads=threads)
        pipeline.connect(cli_nodes.Ticker(name="ticker", rate=20), cli_nodes.Quiet(name="quiet"))
        pipeline.start()
        console = rich.Console(file=io.StringIO(), width=100)
        console.print(render(pipeline))
        reading = snapshot(pipeline)
        pipeline.stop()
        pipeline.close()
        assert words in console.file.getvalue()
        assert reading["threads"] == threads
    plain = Pipeline("")
    assert snapshot(plain)["threads"] is None
    plain.close()
