"""A process that forks while its other threads save: a flushed subtree or a
trace point. A fork waits for the saves in progress, so the child finds no
lock of theirs held and saves like any process; a save that forks does not
wait for itself."""

from __future__ import annotations

import logging
import os

import pytest

from monitor_helpers import recording
from test_monitor_threads import run_program
from vesh import monitoring

FORKS_WHILE_THREADS_SAVE = """
    import json, os, signal, sys, threading, time, warnings
    from vesh import monitoring
    from vesh.profiler import Profiler

    warnings.simplefilter("ignore", DeprecationWarning)  # fork of a threaded process
    db, tracer, saves = sys.argv[1:4]

    def fib(n):
        return n if n < 2 else fib(n - 1) + fib(n - 2)

    def work(n):
        return fib(n)

    config = {"flush_subtree_mb": 0.01} if saves == "flush" else {"trace_points": {"on_return": ["work"]}}
    if tracer == "monitor":
        monitoring.start(db, config)
    else:
        Profiler(db, {**config, "threading": True}).start()

    stop = threading.Event()
    def spin():
        while not stop.is_set():
            work(6)
            time.sleep(0.01)
    threads = [threading.Thread(target=spin) for _ in range(6)]
    for thread in threads:
        thread.start()

    statuses = []
    for _ in range(10):
        pid = os.fork()
        if pid == 0:
            signal.alarm(10)  # a child stuck in its save ends by the alarm
            other = threading.Thread(target=work, args=(10,))  # a thread of the child's own saves too
            other.start()
            other.join()
            os._exit(0 if work(10) == 55 else 5)
        statuses.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
    stop.set()
    for thread in threads:
        thread.join()
    print(json.dumps({"statuses": statuses}))
"""


# The profile hook saves no trace points.
@pytest.mark.parametrize("tracer, saves", [("monitor", "flush"), ("profile", "flush"), ("monitor", "trace points")])
def test_every_child_forked_while_threads_save_exits_with_its_own_saves_done(tmp_path, tracer, saves):
    out = run_program(tmp_path, FORKS_WHILE_THREADS_SAVE, tracer, saves, timeout=200)
    assert out["statuses"] == [0] * 10


def tp_forks():
    return 1


@pytest.mark.filterwarnings("ignore:This process:DeprecationWarning")  # the recorder's own threads
def test_a_save_that_forks_from_inside_itself_does_not_wait_for_itself(tmp_path, monkeypatch, caplog):
    def forking_save(*args):
        pid = os.fork()
        if pid == 0:
            os._exit(0)
        statuses.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))

    statuses = []
    monkeypatch.setattr(monitoring, "_save_trace_point_from_rust", forking_save)
    config = {"trace_points": {"on_return": ["tp_forks"]}}
    with caplog.at_level(logging.WARNING, logger="vesh"), recording("monitor", tmp_path / "vesh.db", config):
        tp_forks()
    assert statuses == [0]
    assert not caplog.records
