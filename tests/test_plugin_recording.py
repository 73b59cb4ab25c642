"""What plugins cost the trace, the same under both recorders: a plugin that
declines an event or fails on it gives no record of its own, and never costs
the recorder the records it would otherwise write."""

from __future__ import annotations

import importlib.util
import logging

import pytest

import vesh.plugins
from monitor_helpers import decode, under_monitor, under_profile_hook
from stored_traces import stored_rows
from vesh import monitoring
from vesh.profiler import Profiler

TRACERS = ["monitor", "profile"]


def record_per_test(tracer, db, body):
    """Runs body() with one trace per test and answers the stored traces."""
    if tracer == "monitor":
        monitor = monitoring.start(db, {}, one_trace_per_test=True)
        try:
            body()
        finally:
            monitoring.stop(monitor, save=False)
    else:
        with Profiler(db, {}, one_trace_per_test=True):
            body()
    return [decode(container).records() for _, _, container in stored_rows(db)]


def kinds(records):
    return [(r["type"], r.get("event"), r.get("co_name")) for r in records]


# A test runner's entry point in library code: recorded only for its plugin.
RUNNER = """
def run_test(fn):
    return fn()
"""


def load_runner(tmp_path):
    path = tmp_path / "site-packages" / "runner.py"
    path.parent.mkdir()
    path.write_text(RUNNER)
    spec = importlib.util.spec_from_file_location("plugin_recording_runner", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def setup_only():
    return 0


def t1():
    return 1


def t2():
    return 2


def t3():
    return 3


def fn_name(frame):
    return frame.f_locals["fn"].__name__


@pytest.mark.parametrize("tracer", TRACERS)
def test_a_declining_predicate_leaves_later_tests_their_own_traces(tracer, tmp_path, monkeypatch):
    runner = load_runner(tmp_path)
    monkeypatch.setattr(vesh.plugins, "PLUGINS", [{
        "co_names": ["run_test"],
        "path_fragment": "site-packages/runner.py",
        "call_type": "start_test",
        "return_type": "end_test",
        # Declines the first call: that answer must not switch run_test off.
        "call": lambda frame, event, arg, context: fn_name(frame).startswith("t"),
        "process": lambda frame, event, arg, context: {"test_name": fn_name(frame)},
    }])
    tests = (setup_only, t1, t2, t3)
    traces = record_per_test(tracer, tmp_path / "vesh.db", lambda: [runner.run_test(fn) for fn in tests])
    assert [kinds(records) for records in traces] == [
        [("start_test", None, None), ("frame", "call", name), ("frame", "return", name), ("end_test", None, None)]
        for name in ("t1", "t2", "t3")
    ]
    assert [records[0]["test_name"] for records in traces] == ["t1", "t2", "t3"]


def target(x):
    return x + 1


@pytest.mark.parametrize("recorder", [under_monitor, under_profile_hook], ids=TRACERS)
@pytest.mark.parametrize("failing", ["call", "process"])
def test_a_failing_plugin_is_logged_and_costs_only_its_own_record(recorder, failing, tmp_path, monkeypatch, caplog):
    def fail(frame, event, arg, context):
        raise ValueError(f"plugin failed at {event}")

    monkeypatch.setattr(vesh.plugins, "PLUGINS", [
        {"co_names": ["target"], "path_fragment": "test_plugin_recording", "call_type": "failed",
         "return_type": "failed", failing: fail},
        {"co_names": ["target"], "path_fragment": "test_plugin_recording", "call_type": "p_call",
         "return_type": "p_return"},
    ])
    with caplog.at_level(logging.WARNING, logger="vesh"):
        result, trace = recorder(tmp_path / "vesh.db", lambda: target(1))
    assert result == 2
    records = [r for r in decode(trace).records() if r.get("co_name") in (None, "target")]
    # The recorders order a return's records differently; what is kept is the same.
    assert sorted(kinds(records), key=str) == sorted(
        [("p_call", None, None), ("frame", "call", "target"), ("frame", "return", "target"),
         ("p_return", None, None)], key=str)
    frames = [r for r in records if r["type"] == "frame"]
    assert frames[0]["frame_id"] == frames[1]["frame_id"]
    assert frames[1]["arg"] == 2
    warnings = [r for r in caplog.records if r.name == "vesh"]
    assert [str(w.exc_info[1]) for w in warnings] == ["plugin failed at call", "plugin failed at return"]
