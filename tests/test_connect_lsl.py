"""LSLInlet and LSLOutlet against real LSL streams. Every scenario that starts an
outlet or a resolver runs in a private network namespace (tests/netns.py), so
LSL's multicast never leaves the machine."""

import os

import pytest

pytest.importorskip("pylsl")

from netns import ROOT, last_json, run_confined  # noqa: E402

import pathlib  # noqa: E402

import velarix  # noqa: E402
from velarix.connect import LSLInlet, LSLOutlet  # noqa: E402

PACKAGE_ROOT = str(pathlib.Path(velarix.__file__).resolve().parents[1])
SCENARIOS = ROOT / "tests" / "lsl_scenarios.py"


def scenario(name, tmp_path):
    return last_json(run_confined([SCENARIOS, name], tmp_path, package_root=PACKAGE_ROOT))


def test_relay_passes_every_sample_with_its_description(tmp_path):
    found = scenario("relay", tmp_path)
    assert found["received"] == 2000 and found["equal"], found
    assert found["increasing"] and found["recent"]
    assert (found["channels"], found["rate"], found["format"]) == (8, 1000.0, 1)
    assert found["labels"] == [f"C{c}" for c in range(8)]
    assert (found["type"], found["source_id"]) == ("EEG", "relay-1")
    assert found["stats_in"]["samples"] == found["stats_out"]["samples"] == 2001  # with the priming sample
    assert found["stats_in"]["dropped"] == found["stats_out"]["dropped"] == 0
    assert found["condition"] == "HEALTHY"
    assert found["threads"] == [] and found["sockets_left"] <= 0


def test_missing_stream_fails_the_pipeline_with_a_clear_error(tmp_path):
    found = scenario("not_found", tmp_path)
    assert found["cause"] == "LSLStreamNotFound" and found["is_lookup"]
    assert "No LSL stream 'nothing-here' found within 0.3 s" in found["message"]
    assert found["stop_seconds"] < 10  # not the inlet's 60 s timeout
    assert found["threads"] == []


def test_lost_stream_is_a_warning_and_comes_back(tmp_path):
    found = scenario("lost_and_back", tmp_path)
    assert found["got_first"] and found["warned"] and not found["connected_while_lost"]
    assert found["got_second"] and found["back"], found
    assert found["first_values"] and found["second_values"]
    assert found["stats"]["reconnects"] == 1 and found["stats"]["connected"]
    assert found["condition"] == "HEALTHY"
    assert found["metadata"] == {"channel_count": 4, "channel_names": ["C0", "C1", "C2", "C3"],
                                 "nominal_srate": 500.0, "channel_format": "float32", "stream": "flaky",
                                 "type": "EEG", "source_id": "flaky-device"}
    assert found["threads"] == []


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="pylsl reads string samples past their buffer (strlen on liblsl's "
                    "unterminated copy), which AddressSanitizer stops")
def test_string_streams_pass_as_str(tmp_path):
    found = scenario("markers", tmp_path)
    assert found["arrived"] and found["values"] == [["start", "trial 1"], ["stop", "trial 1"], ["ä ü", ""]]
    assert found["kinds"] == ["str"]
    assert found["metadata"]["channel_format"] == "string" and found["metadata"]["nominal_srate"] == 0.0
    assert found["relayed"][-2:] == [["stop", "trial 1"], ["ä ü", ""]] and found["format"] == 3


def test_outlet_drops_and_counts_values_it_cannot_push(tmp_path):
    found = scenario("outlet_checks", tmp_path)
    assert found["rows"] == [[1.0] * 3, [1.0] * 3, [7.0, 8.0, 9.0]]
    assert found["stamps"][:2] == [10.0, 11.0]  # a chunk's own time stamps go out with it
    assert found["pushed_at"] <= found["stamps"][2] <= found["read_at"]  # else the outlet's clock at the push
    assert found["stats"] == {"values": 3, "samples": 4, "dropped": 2}
    assert len(found["warnings"]) == 2 and "shape (2, 4)" in found["warnings"][0]


def test_bandpower_example_runs_in_its_own_namespace(tmp_path):
    pytest.importorskip("scipy")
    result = run_confined([ROOT / "examples" / "lsl_bandpower.py"], tmp_path, timeout=90,
                          package_root=PACKAGE_ROOT)
    assert result.returncode == 0, result.stdout + result.stderr[-4000:]
    assert "reader: 4 samples of 24 channels (C0_theta, C0_alpha, ...)" in result.stdout
    assert "reader: strongest band on every channel: alpha" in result.stdout
    assert "pipeline: HEALTHY" in result.stdout
    assert "Traceback" not in result.stderr


@pytest.mark.parametrize("entries, error, text", [
    ({}, ValueError, "either stream= "),
    ({"stream": "a", "query": "name='a'"}, ValueError, "either stream= "),
    ({"stream": ""}, ValueError, "stream must not be empty"),
    ({"stream": 3}, TypeError, "stream must be a str"),
    ({"stream": "a", "timeout": 0}, ValueError, "timeout must be positive"),
    ({"stream": "a", "max_chunk": 0}, ValueError, "max_chunk must be at least 1"),
    ({"stream": "a", "dejitter": 1}, TypeError, "dejitter must be True or False"),
    ({"stream": "a", "timout": 1}, TypeError, "unknown option(s) 'timout'"),
    ({"stream": "a", "rate": 10.0}, TypeError, "unknown option(s) 'rate'"),
])
def test_inlet_refuses_bad_options(entries, error, text):
    with pytest.raises(error, match=text.replace("(", r"\(").replace(")", r"\)")):
        LSLInlet(**entries)


@pytest.mark.parametrize("entries, error, text", [
    ({}, ValueError, "needs stream="),
    ({"stream": "o", "channel_count": 0}, ValueError, "channel_count must be at least 1"),
    ({"stream": "o", "channel_format": "float16"}, ValueError, "channel_format must be one of"),
    ({"stream": "o", "channel_names": "abc"}, TypeError, "channel_names must be a list of str"),
    ({"stream": "o", "nominal_srate": -1.0}, ValueError, "nominal_srate must be zero or more"),
])
def test_outlet_refuses_bad_options(entries, error, text):
    with pytest.raises(error, match=text):
        LSLOutlet(**entries)
