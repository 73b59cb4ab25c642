"""Recording never keeps a value alive that the traced program has let go:
a local rebound or deleted while its frame is recorded is freed at once,
as it is untraced, under either recorder."""

from __future__ import annotations

import contextlib
import weakref

import pytest

from monitor_helpers import decode
from vesh import monitoring
from vesh.profiler import Profiler


class Thing:
    pass


def rebinds_its_argument(value):
    value = weakref.ref(value)
    return value() is None


def deletes_between_yields():
    held = Thing()
    yield None
    ref = weakref.ref(held)
    del held
    yield ref() is None


def drives_generator():
    gen = deletes_between_yields()
    next(gen)
    return next(gen)


def context_manager_argument():
    # A generator-based context manager given an object it drops on entry.
    @contextlib.contextmanager
    def woohoo(a, b):
        a = weakref.ref(a)
        b = weakref.ref(b)
        yield a() is None and b() is None

    with woohoo(Thing(), Thing()) as freed:
        return freed


PROGRAMS = [
    pytest.param(lambda: rebinds_its_argument(Thing()), id="rebound-argument"),
    pytest.param(drives_generator, id="deleted-between-yields"),
    pytest.param(context_manager_argument, id="context-manager-arguments"),
]


def under_monitor(db_path, program):
    monitor = monitoring.start(db_path, {})
    try:
        outcome = program()
    finally:
        monitoring.stop(monitor, save=False)
    return outcome, monitor.build_trace()


def under_profile_hook(db_path, program):
    profiler = Profiler(db_path, {})
    profiler.start()
    try:
        outcome = program()
    finally:
        profiler.stop()
    return outcome, profiler.build_trace()


@pytest.mark.parametrize("recorder", [under_monitor, under_profile_hook], ids=["monitor", "profile-hook"])
@pytest.mark.parametrize("program", PROGRAMS)
def test_a_dropped_local_is_freed_while_its_frame_is_recorded(tmp_path, recorder, program):
    assert program() is True  # untraced
    freed, trace = recorder(tmp_path / "vesh.db", program)
    assert freed is True
    recorded = [r for records in decode(trace).threads.values() for r in records]
    assert any(r.get("type") == "frame" for r in recorded)  # the frames were recorded
