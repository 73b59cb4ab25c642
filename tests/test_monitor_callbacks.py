"""The answers of the monitor's six callbacks (None or sys.monitoring.DISABLE),
called directly with code objects."""

from __future__ import annotations

import json
import threading

import pytest

import vesh.plugins
from vesh import _vesh

DISABLE = __import__("sys").monitoring.DISABLE
LIBRARY = json.dumps.__code__


def user_function():
    return 1


USER = user_function.__code__


@pytest.fixture
def monitor(tmp_path):
    m = _vesh.register_monitor(str(tmp_path / "vesh.db"), {}, "tests", False)
    yield m
    m.set_active(False)


CALLS = [
    ("monitor_pystart", lambda m, c: m.monitor_pystart(c, 0), True),
    ("monitor_pyresume", lambda m, c: m.monitor_pyresume(c, 0), True),
    ("monitor_pyreturn", lambda m, c: m.monitor_pyreturn(c, 0, None), True),
    ("monitor_pyyield", lambda m, c: m.monitor_pyyield(c, 0, None), True),
    ("monitor_pythrow", lambda m, c: m.monitor_pythrow(c, 0, ValueError()), False),
    ("monitor_pyunwind", lambda m, c: m.monitor_pyunwind(c, 0, ValueError()), False),
]


@pytest.mark.parametrize("name, call, may_disable", CALLS, ids=[c[0] for c in CALLS])
def test_excluded_code_is_disabled_only_where_it_can_be_and_only_while_active(monitor, name, call, may_disable):
    assert call(monitor, LIBRARY) is None  # inactive: never DISABLE
    monitor.set_active(True)
    assert call(monitor, LIBRARY) is (DISABLE if may_disable else None)
    assert call(monitor, LIBRARY) is (DISABLE if may_disable else None)  # now from the thread's cache
    monitor.set_active(False)
    assert call(monitor, LIBRARY) is None


@pytest.mark.parametrize("name, call, may_disable", CALLS, ids=[c[0] for c in CALLS])
def test_worker_threads_answer_none_for_recordable_code(monitor, name, call, may_disable):
    monitor.set_active(True)
    answers = {}

    def worker():
        _vesh.set_current_thread_vesh_worker(True)
        answers["user"] = call(monitor, USER)
        answers["library"] = call(monitor, LIBRARY)

    t = threading.Thread(target=worker)
    t.start()
    t.join()
    assert answers["user"] is None
    assert answers["library"] is (DISABLE if may_disable else None)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda m: m.monitor_pystart("not code", 0), "code"),
        (lambda m: m.monitor_pystart(USER, "0"), "_instruction_offset"),
        (lambda m: m.monitor_pyunwind(USER, "0", None), "instruction_offset"),
        (lambda m: m.monitor_pyreturn(USER, 0), "retval"),
        (lambda m: m.monitor_instruction("not code", 0), "code"),
        (lambda m: m.monitor_instruction(USER, "0"), "instruction_offset"),
    ],
)
def test_argument_errors_name_the_argument(monitor, call, message):
    with pytest.raises(TypeError, match=message):
        call(monitor)


def test_offsets_must_be_unsigned(monitor):
    with pytest.raises(OverflowError):
        monitor.monitor_pystart(USER, -1)


def test_keywords_are_accepted(monitor):
    assert monitor.monitor_pyreturn(code=USER, _instruction_offset=0, retval=None) is None


def test_set_active_takes_a_bool_only(monitor):
    with pytest.raises(TypeError, match="value"):
        monitor.set_active(1)
    monitor.set_active(True)
    assert monitor.active is True
    monitor.set_active(False)
    assert monitor.active is False


def declined_plugin(path_fragment, during_call=None):
    def call(frame, event, arg, context):
        if during_call is not None:
            during_call()
        return False

    return {"co_names": ["user_function"], "path_fragment": path_fragment, "call_type": "probe",
            "return_type": "probe", "call": call}


def test_included_code_whose_plugins_decline_is_never_disabled(tmp_path, monkeypatch):
    # Such an exit (here: of a frame whose entry was not recorded) must not
    # switch the location off: later returns of the function are recorded.
    monkeypatch.setattr(vesh.plugins, "PLUGINS", [declined_plugin("test_monitor_callbacks")])
    monitor = _vesh.register_monitor(str(tmp_path / "vesh.db"), {}, "tests", False)
    monitor.set_active(True)
    try:
        assert monitor.monitor_pyreturn(USER, 0, None) is None
        assert monitor.monitor_pyyield(USER, 0, None) is None
    finally:
        monitor.set_active(False)


def failing_call(frame, event, arg, context):
    raise ValueError("plugin failed")


@pytest.mark.parametrize(
    "options, start, ret",
    [
        # A predicate answers per event, and a failure may not come again:
        # the next call of the function may well be recorded.
        ({}, None, None),
        ({"call": failing_call}, None, None),
        # Nothing the plugin says changes what it records here.
        ({"events": ["call"]}, None, DISABLE),
        ({"events": []}, DISABLE, DISABLE),
        ({"path_fragment": "elsewhere"}, DISABLE, DISABLE),
    ],
    ids=["declined", "failed", "calls only", "no events", "other file"],
)
def test_code_kept_only_for_plugins_is_disabled_only_where_no_processor_records(tmp_path, monkeypatch, options,
                                                                                  start, ret):
    monkeypatch.setattr(vesh.plugins, "PLUGINS", [{**declined_plugin("test_monitor_callbacks"), **options}])
    config = {"filters": {"ignore_frames": ["test_monitor_callbacks"]}}
    monitor = _vesh.register_monitor(str(tmp_path / "vesh.db"), config, "tests", False)
    monitor.set_active(True)
    try:
        assert monitor.monitor_pystart(USER, 0) is start
        assert monitor.monitor_pyreturn(USER, 0, None) is ret
        assert monitor.monitor_pythrow(USER, 0, ValueError()) is None
    finally:
        monitor.set_active(False)


def test_a_set_active_during_the_callback_turns_disable_into_none(tmp_path, monkeypatch):
    holder = {}
    plugin = declined_plugin("test_monitor_callbacks", during_call=lambda: holder["monitor"].set_active(True))
    plugin["events"] = ["return"]  # so that the call would be disabled
    monkeypatch.setattr(vesh.plugins, "PLUGINS", [plugin])
    config = {"filters": {"ignore_frames": ["test_monitor_callbacks"]}}
    monitor = holder["monitor"] = _vesh.register_monitor(str(tmp_path / "vesh.db"), config, "tests", False)
    monitor.set_active(True)
    try:
        assert monitor.monitor_pystart(USER, 0) is None
    finally:
        monitor.set_active(False)


def callee(value):
    return 1


def test_an_internal_fault_in_a_callback_is_reported_once_and_stops_tracing(tmp_path, monkeypatch):
    # A value whose repr() re-enters the monitor's callback on the same
    # thread while the outer event is being written: a fault inside the
    # monitor, which must never reach the program.
    monitor = _vesh.register_monitor(str(tmp_path / "vesh.db"), {}, "tests", False)
    reports = []
    monkeypatch.setattr("sys.unraisablehook", lambda report: reports.append(report))
    inner = []

    class Reentrant:
        def __repr__(self):
            inner.append(monitor.monitor_pystart(USER, 0))
            inner.append(monitor.monitor_pystart(USER, 0))
            return "reentrant"

    monitor.set_active(True)
    # The entry and exit are both recorded for this test's own frame.
    assert monitor.monitor_pystart(callee.__code__, 0) is None
    outer = monitor.monitor_pyreturn(callee.__code__, 0, Reentrant())
    assert monitor.panicked is True
    assert inner[0] is None  # the faulting callback answers None
    assert inner[1] is DISABLE  # later callbacks switch their location off
    assert outer in (None, DISABLE)
    assert [r.object for r in reports] == ["Vesh stopped tracing after an internal error"]
    assert "already borrowed" in str(reports[0].exc_value)
    assert not isinstance(reports[0].exc_value, Exception)  # never caught by the program's handlers
    # After the fault: nothing is saved, and there is no trace to build.
    assert monitor.save() is None
    with pytest.raises(RuntimeError, match="no trace is available"):
        monitor.build_trace()
    monitor.set_active(False)
    assert monitor.monitor_pystart(USER, 0) is None
