"""Monitoring sessions on the armed tool: end_session into idle callbacks,
begin_session on them, the idle answers and counts, the restart decision and
the teardown, against the real sys.monitoring."""

import sys
import threading

import pytest

import vesh.monitoring
import vesh.plugins
from vesh import _vesh

TOOL = 3
EVENTS = sys.monitoring.events
ALL_EVENTS = ("PY_START", "PY_RETURN", "PY_UNWIND", "PY_RESUME", "PY_YIELD", "PY_THROW", "INSTRUCTION")
MONITOR_METHODS = dict(zip(ALL_EVENTS, ("monitor_pystart", "monitor_pyreturn", "monitor_pyunwind",
                                        "monitor_pyresume", "monitor_pyyield", "monitor_pythrow",
                                        "monitor_instruction")))


def free_tool():
    monitoring = sys.monitoring
    if monitoring.get_tool(TOOL) is not None:
        monitoring.set_events(TOOL, 0)
    for event in ALL_EVENTS:
        monitoring.register_callback(TOOL, getattr(EVENTS, event), None)
    if monitoring.get_tool(TOOL) is not None:
        monitoring.free_tool_id(TOOL)


@pytest.fixture(autouse=True)
def clean_tool():
    _vesh.take_idle_monitor()
    free_tool()
    yield
    _vesh.take_idle_monitor()
    free_tool()


@pytest.fixture
def tmp_db(tmp_path):
    return str(tmp_path / "vesh.db")


def new_monitor(db, config=None):
    return _vesh.register_monitor(db, dict(config or {}), "test", False)


def arm(monitor):
    """What the Python side does for a first session: claim, register, set."""
    sys.monitoring.use_tool_id(TOOL, "vesh")
    for event in ALL_EVENTS:
        sys.monitoring.register_callback(TOOL, getattr(EVENTS, event), getattr(monitor, MONITOR_METHODS[event]))
    sys.monitoring.set_events(TOOL, EVENTS.PY_START | EVENTS.PY_RETURN | EVENTS.PY_RESUME | EVENTS.PY_YIELD)


def registered(event):
    """The tool's current callback for one event (register_callback hands
    back the one it replaces)."""
    number = getattr(EVENTS, event)
    current = sys.monitoring.register_callback(TOOL, number, None)
    sys.monitoring.register_callback(TOOL, number, current)
    return current


def owner_of(callback):
    return None if callback is None else callback.__self__


def fresh_code(filename="/app/user.py", name="f"):
    """A code object that never runs, so only direct calls count for it.
    Counts are kept by address: a test keeps its code objects alive."""
    return compile(f"def {name}(): pass", filename, "exec").co_consts[0]


class CallLog:
    """Wraps sys.monitoring functions, noting each call; `fail` decides
    per call whether it raises instead."""

    def __init__(self, monkeypatch, fail=lambda name, args: False):
        self.calls = []
        for name in ("register_callback", "set_events", "restart_events", "free_tool_id", "use_tool_id"):
            real = getattr(sys.monitoring, name)
            monkeypatch.setattr(sys.monitoring, name, self._wrap(name, real, fail))

    def _wrap(self, name, real, fail):
        def call(*args):
            self.calls.append((name,) + args)
            if fail(name, args):
                raise ValueError(f"refused {name}")
            return real(*args)

        return call

    def names(self):
        return [call[0] for call in self.calls]

    def count(self, name):
        return self.names().count(name)


# ---------------------------------------------------------------------------
# The hand-over


def test_end_then_begin_keeps_the_tool_armed(tmp_db):
    first = new_monitor(tmp_db)
    arm(first)
    first.set_active(True)
    events = sys.monitoring.get_events(TOOL)
    assert not _vesh.vesh_tool_is_idle()

    assert first.end_session(TOOL) is True
    assert _vesh.vesh_tool_is_idle()
    assert sys.monitoring.get_tool(TOOL) == "vesh"
    assert sys.monitoring.get_events(TOOL) == events
    idle = {event: owner_of(registered(event)) for event in ALL_EVENTS}
    assert type(idle["PY_START"]).__name__ == "IdleMonitor"
    assert idle["PY_START"] is idle["PY_RETURN"] is idle["PY_RESUME"] is idle["PY_YIELD"]
    assert idle["PY_UNWIND"] is None and idle["PY_THROW"] is None and idle["INSTRUCTION"] is None

    second = new_monitor(tmp_db)
    assert second.begin_session(TOOL) is None
    assert not _vesh.vesh_tool_is_idle()
    assert sys.monitoring.get_tool(TOOL) == "vesh"
    assert sys.monitoring.get_events(TOOL) == events
    assert all(owner_of(registered(event)) is second for event in ALL_EVENTS)

    # And over again, back to idle.
    assert second.end_session(TOOL) is True
    assert _vesh.vesh_tool_is_idle()


def test_the_idle_callbacks_outlive_the_ended_monitor(tmp_db):
    monitor = new_monitor(tmp_db)
    arm(monitor)
    assert monitor.end_session(TOOL)
    del monitor
    idle = _vesh.take_idle_monitor()
    user, library = fresh_code(), fresh_code("/usr/lib/python3.12/x.py")
    assert idle.monitor_pystart(user, 0) is None
    assert idle.monitor_pyyield(library, 0, None) is sys.monitoring.DISABLE


def test_end_session_twice_replaces_the_idle_monitor(tmp_db):
    monitor = new_monitor(tmp_db)
    arm(monitor)
    assert monitor.end_session(TOOL) is True
    first = owner_of(registered("PY_START"))
    assert monitor.end_session(TOOL) is True
    second = _vesh.take_idle_monitor()
    assert second is not first
    assert owner_of(registered("PY_START")) is second
    assert _vesh.take_idle_monitor() is None
    assert not _vesh.vesh_tool_is_idle()


@pytest.mark.parametrize(
    "config",
    [{"line_events": True}, {"trace_points": {"on_return": ["handler"]}}],
    ids=["line_events", "trace_points"],
)
def test_end_session_refuses_what_idle_callbacks_cannot_do(tmp_db, config, monkeypatch):
    monitor = new_monitor(tmp_db, config)
    arm(monitor)
    log = CallLog(monkeypatch)
    assert monitor.end_session(TOOL) is False
    assert log.calls == []
    assert not _vesh.vesh_tool_is_idle()
    # Still recording: an inactive recording monitor never disables, while
    # an ended one answers through its idle filter, which disables library
    # code at once.
    assert monitor.monitor_pystart(fresh_code("/usr/lib/python3.12/json/x.py"), 0) is None


def test_failed_idle_registration_gives_false(tmp_db, monkeypatch):
    monitor = new_monitor(tmp_db)
    arm(monitor)
    returns = EVENTS.PY_RETURN
    log = CallLog(monkeypatch, fail=lambda name, args: name == "register_callback" and args[1] == returns)
    assert monitor.end_session(TOOL) is False
    assert log.names() == ["register_callback"] * 2
    assert not _vesh.vesh_tool_is_idle()
    # The monitor is ended all the same.
    assert monitor.monitor_pystart(fresh_code("/usr/lib/python3.12/json/x.py"), 0) is sys.monitoring.DISABLE


def test_an_ended_monitor_answers_as_idle_callbacks(tmp_db):
    monitor = new_monitor(tmp_db)
    arm(monitor)
    assert monitor.end_session(TOOL)
    library = fresh_code("/usr/lib/python3.12/json/x.py")
    # DISABLE from the idle filter needs no active monitor.
    assert not monitor.active
    assert monitor.monitor_pystart(library, 0) is sys.monitoring.DISABLE
    assert monitor.monitor_pyreturn(library, 0, None) is sys.monitoring.DISABLE
    assert monitor.monitor_pyunwind(library, 0, ValueError()) is None
    assert monitor.monitor_pythrow(library, 0, ValueError()) is None
    # The monitor's callbacks and the idle callbacks share one count.
    user = fresh_code()
    idle = _vesh.take_idle_monitor()
    for _ in range(32):
        assert monitor.monitor_pyresume(user, 0) is None
        assert idle.monitor_pyresume(user, 0) is None
    assert monitor.monitor_pystart(user, 0) is sys.monitoring.DISABLE


@pytest.mark.parametrize("tool_id", [256, -1, "3", None])
def test_bad_tool_ids_are_refused_before_anything_changes(tmp_db, tool_id, monkeypatch):
    monitor = new_monitor(tmp_db)
    arm(monitor)
    log = CallLog(monkeypatch)
    for method in (monitor.end_session, monitor.begin_session):
        with pytest.raises((TypeError, OverflowError)):
            method(tool_id)
    with pytest.raises(TypeError, match="argument 'tool_id'"):
        monitor.end_session("3")
    assert log.calls == []
    # Still recording, not ended.
    assert monitor.monitor_pystart(fresh_code("/usr/lib/python3.12/json/x.py"), 0) is None


# ---------------------------------------------------------------------------
# begin_session: not idle, restarts and teardown


def test_begin_session_needs_idle_callbacks(tmp_db, monkeypatch):
    monitor = new_monitor(tmp_db)
    arm(monitor)
    log = CallLog(monkeypatch)
    with pytest.raises(RuntimeError, match="^Vesh's monitoring tool is not idle$"):
        monitor.begin_session(TOOL)
    assert log.calls == []
    # Not marked ended either.
    assert monitor.monitor_pystart(fresh_code("/usr/lib/python3.12/json/x.py"), 0) is None


def hand_over(db, first_config, second_config, monkeypatch, *, same_monitor=False, before_begin=None):
    """Ends a session of a monitor made with `first_config` and begins one of
    a monitor made with `second_config` (or the same one) on its idle
    callbacks. Returns the restart_events calls made by begin_session."""
    first = new_monitor(db, first_config)
    arm(first)
    assert first.end_session(TOOL)
    if before_begin is not None:
        before_begin()
    second = first if same_monitor else new_monitor(db, second_config)
    log = CallLog(monkeypatch)
    second.begin_session(TOOL)
    monkeypatch.undo()
    assert not _vesh.vesh_tool_is_idle()
    return log.count("restart_events"), second


def filters(include=(), ignore=()):
    return {"filters": {"include_frames": list(include), "ignore_frames": list(ignore)}}


@pytest.mark.parametrize(
    "first, second, restarts",
    [
        ({}, {}, 0),
        (filters(["app/"], ["skip/"]), filters(["app/"], ["skip/"]), 0),
        ({}, filters(["app/"]), 1),
        (filters(["a", "b"]), filters(["b", "a"]), 1),
        (filters(ignore=["x"]), filters(ignore=["y"]), 1),
        # Settings that do not change what a session records.
        ({"omit_return_locals": True}, {"lightweight_repr": True}, 0),
    ],
    ids=["same", "same filters", "new include", "include order", "ignore", "other settings"],
)
def test_restart_only_when_filters_differ(tmp_db, monkeypatch, first, second, restarts):
    assert hand_over(tmp_db, first, second, monkeypatch)[0] == restarts


def plugin(names, fragment):
    return dict(co_names=names, path_fragment=fragment, call_type="c", return_type="r")


@pytest.mark.parametrize(
    "first, second, restarts",
    [
        ([plugin(["get"], "django/"), plugin(["post"], "flask/")],
         [plugin(["post"], "flask/"), plugin(["get"], "django/")], 0),
        ([plugin(["get"], "django/")], [plugin(["get"], "flask/")], 1),
        ([plugin(["get"], "a")], [], 1),
    ],
    ids=["table order", "fragment", "plugin gone"],
)
def test_restart_when_plugin_fragments_differ(tmp_db, monkeypatch, first, second, restarts):
    def with_plugins(entries):
        vesh.plugins.PLUGINS[:] = entries
        try:
            return new_monitor(tmp_db)
        finally:
            vesh.plugins.PLUGINS.clear()

    first_monitor = with_plugins(first)
    second_monitor = with_plugins(second)
    arm(first_monitor)
    assert first_monitor.end_session(TOOL)
    log = CallLog(monkeypatch)
    second_monitor.begin_session(TOOL)
    assert log.count("restart_events") == restarts


def test_own_idle_callbacks_restart_only_after_disabling_recordable_code(tmp_db, monkeypatch):
    # Nothing disabled: the monitor takes its own idle callbacks back as is.
    restarts, monitor = hand_over(tmp_db, {}, None, monkeypatch, same_monitor=True)
    assert restarts == 0

    # Excluded code disabled while idle is no reason to restart.
    assert monitor.end_session(TOOL)
    idle = _vesh.take_idle_monitor()
    library = fresh_code("/usr/lib/python3.12/json/x.py")
    assert idle.monitor_pystart(library, 0) is sys.monitoring.DISABLE
    park_idle_callbacks(monitor)
    log = CallLog(monkeypatch)
    monitor.begin_session(TOOL)
    assert log.count("restart_events") == 0
    monkeypatch.undo()

    # A recordable location disabled while idle: one restart, which clears
    # the flag, so the session after it needs none.
    assert monitor.end_session(TOOL)
    idle = _vesh.take_idle_monitor()
    user = fresh_code()
    answers = [idle.monitor_pystart(user, 0) for _ in range(65)]
    assert answers[:64] == [None] * 64 and answers[64] is sys.monitoring.DISABLE
    park_idle_callbacks(monitor)
    log = CallLog(monkeypatch)
    monitor.begin_session(TOOL)
    assert log.count("restart_events") == 1
    monkeypatch.undo()

    assert monitor.end_session(TOOL)
    log = CallLog(monkeypatch)
    monitor.begin_session(TOOL)
    assert log.count("restart_events") == 0


def park_idle_callbacks(monitor):
    """Parks fresh idle callbacks of `monitor` again (after a test took them
    to call them directly)."""
    assert monitor.end_session(TOOL)


def test_a_flag_of_either_filter_restarts(tmp_db, monkeypatch):
    # The idle monitor's filter is the ended monitor's; the new monitor's own
    # filter may carry a flag from an earlier idle period of its own.
    late = new_monitor(tmp_db)
    arm(late)
    assert late.end_session(TOOL)
    idle = _vesh.take_idle_monitor()
    user = fresh_code()
    for _ in range(65):
        idle.monitor_pystart(user, 0)
    free_tool()

    first = new_monitor(tmp_db)
    arm(first)
    assert first.end_session(TOOL)
    log = CallLog(monkeypatch)
    late.begin_session(TOOL)
    assert log.count("restart_events") == 1
    monkeypatch.undo()
    # Both flags were cleared.
    assert late.end_session(TOOL)
    log = CallLog(monkeypatch)
    late.begin_session(TOOL)
    assert log.count("restart_events") == 0


def expected_teardown(free=True):
    calls = [("set_events", TOOL, 0)]
    calls += [("register_callback", TOOL, getattr(EVENTS, event), None) for event in ALL_EVENTS]
    if free:
        calls.append(("free_tool_id", TOOL))
    return calls + [("restart_events",)]


def test_failed_registration_tears_the_tool_down(tmp_db, monkeypatch):
    first = new_monitor(tmp_db)
    arm(first)
    assert first.end_session(TOOL)
    second = new_monitor(tmp_db)
    resume = EVENTS.PY_RESUME
    log = CallLog(monkeypatch, fail=lambda name, args: name == "register_callback" and args[1] == resume
                  and args[2] is not None)
    with pytest.raises(ValueError, match="refused register_callback"):
        second.begin_session(TOOL)
    registrations = [call for call in log.calls if call[0] == "register_callback"][:4]
    assert [(call[2], call[3].__name__) for call in registrations] == [
        (getattr(EVENTS, event), MONITOR_METHODS[event]) for event in ALL_EVENTS[:4]
    ]
    assert log.calls[4:] == expected_teardown()
    assert not _vesh.vesh_tool_is_idle()
    assert sys.monitoring.get_tool(TOOL) is None
    # The monitor stays ended.
    assert second.monitor_pystart(fresh_code("/usr/lib/python3.12/json/x.py"), 0) is sys.monitoring.DISABLE


def test_failed_restart_tears_the_tool_down(tmp_db, monkeypatch):
    first = new_monitor(tmp_db)
    arm(first)
    assert first.end_session(TOOL)
    second = new_monitor(tmp_db, filters(["elsewhere/"]))
    calls = []

    def fail(name, args):
        calls.append(name)
        # Only the first restart (the one begin_session asks for) fails.
        return name == "restart_events" and calls.count("restart_events") == 1

    log = CallLog(monkeypatch, fail=fail)
    with pytest.raises(ValueError, match="refused restart_events"):
        second.begin_session(TOOL)
    assert log.names()[:8] == ["register_callback"] * 7 + ["restart_events"]
    assert log.calls[8:] == expected_teardown()
    assert not _vesh.vesh_tool_is_idle()
    assert sys.monitoring.get_tool(TOOL) is None


# ---------------------------------------------------------------------------
# Idle answers


def idle_callbacks(db, config=None):
    """The idle callbacks of an ended monitor, no longer registered, so that
    only the test's own calls reach them."""
    monitor = new_monitor(db, config)
    # No events are set on an unclaimed tool, so nothing else reaches them.
    assert monitor.end_session(TOOL)
    free_tool()
    return _vesh.take_idle_monitor()


def test_the_sixty_fifth_counted_event_disables(tmp_db, monkeypatch):
    idle = idle_callbacks(tmp_db)
    code = fresh_code()
    calls = [idle.monitor_pystart, idle.monitor_pyresume,
             lambda c, o: idle.monitor_pyreturn(c, o, None), lambda c, o: idle.monitor_pyyield(c, o, 1)]
    # All four callbacks add to one count per code object.
    answers = [calls[i % 4](code, i) for i in range(64)]
    assert answers == [None] * 64
    assert idle.monitor_pyreturn(code, 0, None) is sys.monitoring.DISABLE
    assert idle.monitor_pystart(code, 0) is sys.monitoring.DISABLE


def test_worker_threads_are_not_counted(tmp_db):
    idle = idle_callbacks(tmp_db)
    counted = fresh_code()
    for _ in range(64):
        assert idle.monitor_pystart(counted, 0) is None
    fresh = fresh_code("/app/fresh.py")
    library = fresh_code("/usr/lib/python3.12/json/x.py")

    def on_worker():
        _vesh.set_current_thread_vesh_worker(True)
        return ([idle.monitor_pystart(counted, 0) for _ in range(100)],
                idle.monitor_pystart(fresh, 0), idle.monitor_pystart(library, 0))

    box = []
    worker = threading.Thread(target=lambda: box.append(on_worker()))
    worker.start()
    worker.join()
    answers, fresh_answer, library_answer = box[0]
    assert answers == [None] * 100
    assert fresh_answer is None
    assert library_answer is sys.monitoring.DISABLE
    # Still at 64: the next counted event is the 65th.
    assert idle.monitor_pystart(counted, 0) is sys.monitoring.DISABLE
    # The fresh code was not stored: its first counted event starts at 1.
    for _ in range(64):
        assert idle.monitor_pystart(fresh, 0) is None


@pytest.mark.parametrize(
    "call, fragment",
    [
        (lambda idle: idle.monitor_pystart(1, 0), "argument 'code'"),
        (lambda idle: idle.monitor_pystart(fresh_code(), "0"), "argument '_instruction_offset'"),
        (lambda idle: idle.monitor_pyreturn(fresh_code(), 0), "missing 1 required positional argument: '_retval'"),
        (lambda idle: idle.monitor_pyresume(code=fresh_code()), "'_instruction_offset'"),
    ],
)
def test_idle_callback_arguments(tmp_db, call, fragment):
    idle = idle_callbacks(tmp_db)
    with pytest.raises(TypeError, match=fragment):
        call(idle)
    with pytest.raises(OverflowError):
        idle.monitor_pystart(fresh_code(), -1)
    assert idle.monitor_pyyield(code=fresh_code(), _instruction_offset=2, _retval=None) is None


def test_idle_monitor_class_surface():
    cls = _vesh.IdleMonitor
    with pytest.raises(TypeError):
        cls()
    assert [name for name in vars(cls) if name.startswith("monitor_")] == [
        "monitor_pystart", "monitor_pyresume", "monitor_pyreturn", "monitor_pyyield"]
    assert cls.__doc__.startswith("The callbacks registered between sessions")
    assert cls.monitor_pyreturn.__text_signature__ == "($self, code, _instruction_offset, _retval)"


def test_real_events_run_through_the_idle_callbacks(tmp_db, monkeypatch):
    # A hot recordable function is disabled by the idle callbacks after 64
    # counted events; the next session restarts events to see it again.
    def hot():
        return 1

    monitor = new_monitor(tmp_db)
    arm(monitor)
    assert monitor.end_session(TOOL)
    for _ in range(200):
        hot()
    log = CallLog(monkeypatch)
    new_monitor(tmp_db).begin_session(TOOL)
    assert log.count("restart_events") == 1


# ---------------------------------------------------------------------------
# The vesh.monitoring stand-in


def test_stand_in_sessions_stay_armed(tmp_db, monkeypatch):
    first = vesh.monitoring.start(tmp_db)
    assert owner_of(registered("PY_START")) is first
    vesh.monitoring.stop(first, save=False)
    assert _vesh.vesh_tool_is_idle()
    assert sys.monitoring.get_tool(TOOL) == "vesh"

    log = CallLog(monkeypatch)
    second = vesh.monitoring.start(tmp_db)
    assert "use_tool_id" not in log.names() and "set_events" not in log.names()
    assert second.active
    assert all(owner_of(registered(event)) is second for event in ALL_EVENTS)
    monkeypatch.undo()

    vesh.monitoring.stop(second, save=False)
    assert vesh.monitoring.disarm() is True
    assert sys.monitoring.get_tool(TOOL) is None
    assert vesh.monitoring.disarm() is False


def test_stand_in_frees_the_tool_when_the_monitor_cannot_idle(tmp_db):
    monitor = vesh.monitoring.start(tmp_db, {"line_events": True})
    vesh.monitoring.stop(monitor, save=False)
    assert not _vesh.vesh_tool_is_idle()
    assert sys.monitoring.get_tool(TOOL) is None


def traced_probe():
    return 1


def test_a_session_begun_on_idle_callbacks_records_what_idle_disabled(tmp_db):
    first = vesh.monitoring.start(tmp_db)
    vesh.monitoring.stop(first, save=False)
    # Idle callbacks disable the probe's locations after 64 calls.
    for _ in range(100):
        traced_probe()
    second = vesh.monitoring.start(tmp_db)
    traced_probe()
    trace = second.build_trace()
    vesh.monitoring.stop(second, save=False)
    assert b"traced_probe" in trace
