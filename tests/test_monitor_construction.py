"""register_monitor: the configuration table, its exact errors, and the
monitor's read-only state."""

from __future__ import annotations

import inspect
import math

import pytest

from vesh import _vesh

MIB = 1024 * 1024


def make(config=None, name=None, db="unused.db"):
    return _vesh.register_monitor(db, {} if config is None else config, "tests", False, name)


def test_an_empty_configuration_gives_the_defaults():
    monitor = make()
    assert monitor.tool_id == 3
    assert monitor.flush_subtree_bytes == 500 * MIB
    assert monitor.line_events is False
    assert monitor.has_trace_points is False
    assert monitor.active is False and monitor.panicked is False
    assert monitor.trace_id == monitor.root_trace_id
    assert monitor.trace_id.startswith("trc_") and len(monitor.trace_id) == 30


def test_two_monitors_have_their_own_trace_ids():
    assert make().trace_id != make().trace_id


@pytest.mark.parametrize(
    "value, expected",
    [(0, 0), (0.5, 524_288), (-0.0, 0), (32, 32 * MIB), (100, 100 * MIB), (None, None), (False, None),
     (2**44, 2**64 - 1)],
)
def test_flush_subtree_mb(value, expected):
    assert make({"flush_subtree_mb": value}).flush_subtree_bytes == expected


@pytest.mark.parametrize(
    "config, error, message",
    [
        ({"flush_subtree_mb": True}, ValueError,
         "flush_subtree_mb = true is not valid; use false to disable or a non-negative number to set the threshold"),
        ({"flush_subtree_mb": "abc"}, ValueError, "flush_subtree_mb must be a non-negative number or false"),
        ({"flush_subtree_mb": -1}, ValueError, "flush_subtree_mb must be a non-negative number or false"),
        ({"flush_subtree_mb": math.nan}, ValueError, "flush_subtree_mb must be a non-negative number or false"),
        ({"flush_subtree_mb": 2**44 + 1}, ValueError, "flush_subtree_mb is too large for this platform"),
        ({"max_value_mb": True}, ValueError, "max_value_mb must be a non-negative number or false"),
        ({"max_value_mb": -1}, ValueError, "max_value_mb must be a non-negative number or false"),
        ({"max_value_mb": "10"}, ValueError, "max_value_mb must be a non-negative number or false"),
        ({"max_value_mb": 2**43}, ValueError, "max_value_mb must be a non-negative number or false"),
        ({"omit_return_locals": 1}, TypeError, None),
        ({"line_events": "yes"}, TypeError, None),
        ({"lightweight_repr": None}, TypeError, None),
        ({"sqlite_busy_timeout": -1}, OverflowError, None),
        ({"sqlite_busy_timeout": 1.5}, TypeError, None),
        ({"filters": {"include_frames": "src"}}, TypeError, "Can't extract `str` to `Vec`"),
        ({"filters": {"ignore_frames": [1]}}, TypeError, None),
        ({1: "not a str key"}, TypeError, None),
    ],
)
def test_bad_settings_fail_construction(config, error, message):
    with pytest.raises(error) as raised:
        make(config)
    if message is not None:
        assert str(raised.value) == message


@pytest.mark.parametrize(
    "config",
    [{"filters": None}, {"filters": {}}, {"filters": {"include_frames": ["src"], "ignore_frames": ("x",)}},
     {"max_value_mb": None}, {"max_value_mb": 0.5}, {"sqlite_busy_timeout": 2**64 - 1}],
)
def test_accepted_settings(config):
    make(config)


@pytest.mark.parametrize(
    "trace_points, has",
    [({"on_return": ["a", 1, "b"]}, True), ({"on_return": ("a",)}, False), ({"on_return": "a"}, False),
     (["a"], False), ({}, False), ({"on_return": []}, False)],
)
def test_trace_points_never_fail_construction(trace_points, has):
    assert make({"trace_points": trace_points}).has_trace_points is has


def test_line_events_is_read():
    assert make({"line_events": True}).line_events is True


@pytest.mark.parametrize(
    "args, kwargs, error",
    [
        ((1, {}, "s", False), {}, TypeError),
        (("db", [], "s", False), {}, TypeError),
        (("db", {}, None, False), {}, TypeError),
        (("db", {}, "s", 0), {}, TypeError),
        (("db", {}, "s", False), {"name": 5}, TypeError),
        (("db", {}, "s"), {}, TypeError),
    ],
)
def test_register_monitor_checks_its_arguments(args, kwargs, error):
    with pytest.raises(error):
        _vesh.register_monitor(*args, **kwargs)


def test_register_monitor_takes_keywords_and_a_dict_subclass():
    class Settings(dict):
        pass

    monitor = _vesh.register_monitor(db_path="x.db", config=Settings(), source="s", one_trace_per_test=True,
                                     name="named")
    assert isinstance(monitor, _vesh.VeshMonitor)


def test_the_class_cannot_be_made_from_python():
    with pytest.raises(TypeError):
        _vesh.VeshMonitor()


@pytest.mark.parametrize(
    "method, signature",
    [
        ("monitor_pystart", "(code, _instruction_offset)"),
        ("monitor_pyresume", "(code, _instruction_offset)"),
        ("monitor_pythrow", "(code, _instruction_offset, exception)"),
        ("monitor_pyreturn", "(code, _instruction_offset, retval)"),
        ("monitor_pyyield", "(code, _instruction_offset, retval)"),
        ("monitor_pyunwind", "(code, instruction_offset, exception)"),
        ("monitor_instruction", "(code, instruction_offset)"),
        ("save", "()"),
        ("build_trace", "()"),
        ("set_active", "(value)"),
        ("set_timestamp", "(value)"),
    ],
)
def test_method_signatures(method, signature):
    assert str(inspect.signature(getattr(make(), method))) == signature


def test_set_timestamp_converts_its_argument():
    monitor = make()
    monitor.set_timestamp(1)
    monitor.set_timestamp(2.5)
    with pytest.raises(TypeError, match="value"):
        monitor.set_timestamp("soon")


def test_set_timestamp_before_recording_replaces_the_capture(tmp_path):
    monitor = make(db=str(tmp_path / "vesh.db"))
    monitor.set_timestamp(1234.5)
    container = monitor.build_trace()
    import v3_reader

    assert v3_reader.read_container(container).timestamp == 1234.5
