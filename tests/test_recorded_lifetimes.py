"""Recording never keeps a value alive that the traced program has let go:
a local rebound or deleted while its frame is recorded is freed at once,
and so is what a thread that ended leaves behind, as it is untraced, under
either recorder."""

from __future__ import annotations

import _threading_local
import gc
import threading
import weakref

import msgpack
import pytest

from monitor_helpers import decode, under_monitor, under_profile_hook
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


PROGRAMS = [
    pytest.param(lambda: rebinds_its_argument(Thing()), id="rebound-argument"),
    pytest.param(drives_generator, id="deleted-between-yields"),
]


@pytest.mark.parametrize("recorder", [under_monitor, under_profile_hook], ids=["monitor", "profile-hook"])
@pytest.mark.parametrize("program", PROGRAMS)
def test_a_dropped_local_is_freed_while_its_frame_is_recorded(tmp_path, recorder, program):
    assert program() is True  # untraced
    freed, trace = recorder(tmp_path / "vesh.db", program)
    assert freed is True
    assert any(r.get("type") == "frame" for r in decode(trace).records())  # the frames were recorded


SHORT_THREADS = 20


def stores_in_thread_locals(local, weaklist):
    local.value = Thing()
    weaklist.append(weakref.ref(local.value))


def short_threads_with_locals():
    # The pure-Python local drops a thread's values when its Thread object
    # dies; only the object of the last thread may still be held (by the
    # local's own bookkeeping).
    local = _threading_local.local()
    weaklist = []
    for i in range(SHORT_THREADS):
        thread = threading.Thread(target=stores_in_thread_locals, args=(local, weaklist), name=f"short-{i}")
        thread.start()
        thread.join()
    del thread
    gc.collect()
    return sum(ref() is None for ref in weaklist)


def thread_records(trace):
    return {
        record["name"]: record
        for record in (msgpack.unpackb(payload) for _, payload in decode(trace).container.thread_records)
    }


@pytest.mark.parametrize("recorder", ["monitor", "profile-hook"])
def test_values_of_ended_threads_are_freed_and_their_threads_still_saved(tmp_path, recorder):
    assert short_threads_with_locals() >= SHORT_THREADS - 1  # untraced
    if recorder == "monitor":
        tracer = monitoring.start(tmp_path / "vesh.db", {})
        stop = lambda: monitoring.stop(tracer, save=False)  # noqa: E731
    else:
        tracer = Profiler(tmp_path / "vesh.db", {"threading": True})
        tracer.start()
        stop = tracer.stop
    try:
        freed = short_threads_with_locals()
        first, second = tracer.build_trace(), tracer.build_trace()
    finally:
        stop()
    assert freed >= SHORT_THREADS - 1
    saved = thread_records(first)
    for i in range(SHORT_THREADS):
        record = saved[f"short-{i}"]
        assert record["is_alive"] is False
        assert record["daemon"] is False
        assert record["ident"] is not None and record["native_id"] is not None
        assert record["thread_id"] == f"native_{record['native_id']}"
    # A thread that ended is carried once, by the trace it recorded into.
    assert not any(name.startswith("short-") for name in thread_records(second))


def stops_inside(stop, thing):
    stop()


def stop_inside_a_recorded_call(stop):
    thing = Thing()
    ref = weakref.ref(thing)
    stops_inside(stop, thing)
    return ref


def waits_inside(entered, release, thing):
    entered.set()
    release.wait()


def stop_while_a_thread_is_inside_a_recorded_call(stop):
    entered, release = threading.Event(), threading.Event()
    thing = Thing()
    ref = weakref.ref(thing)
    thread = threading.Thread(target=waits_inside, args=(entered, release, thing))
    thread.start()
    entered.wait()
    stop()
    release.set()
    thread.join()
    return ref


@pytest.mark.parametrize("program", [stop_inside_a_recorded_call, stop_while_a_thread_is_inside_a_recorded_call])
def test_a_call_open_when_the_session_ends_does_not_keep_its_values(tmp_path, program):
    monitor = monitoring.start(tmp_path / "vesh.db", {})
    ref = program(lambda: monitoring.stop(monitor, save=False))
    gc.collect()
    assert ref() is None
    assert monitor.build_trace()  # the monitor is still held
