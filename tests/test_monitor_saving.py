"""save() and build_trace() of vesh's monitor: the streamed and in-memory
routes, successive parts of one trace, forked children, failures of the
database layer, per-test traces, and streamed saves that share a trace id
(of one recorder, or of many profiling processes)."""

from __future__ import annotations

import logging
import os
import re
import sqlite3
import subprocess
import sys
from pathlib import Path

import pytest

import vesh.db
import vesh.plugins
from monitor_helpers import decode, thread_key
from stored_traces import stored_rows
from vesh import _vesh, monitoring


def work(n):
    total = 0
    for i in range(n):
        total += square(i)
    return total


def square(x):
    return x * x


@pytest.fixture
def calls(monkeypatch):
    """Records the calls into vesh.db and lets them through."""
    seen = []

    def wrap(name):
        original = getattr(vesh.db, name)

        def recorder(*args, **kwargs):
            seen.append((name, args, kwargs))
            return original(*args, **kwargs)

        monkeypatch.setattr(vesh.db, name, recorder)

    wrap("_save_trace_metadata")
    wrap("save_v3_trace_chunks")
    return seen


def squares(recording):
    return [r for r in recording.records() if r.get("co_name") == "square"]


def padded_square(x):
    padding = "x" * 2000 + str(x)  # distinct, so that nothing is interned
    return x * x


def test_streamed_save_finishes_the_file_and_announces_it(db, calls):
    monitor = monitoring.start(db, {"sqlite_busy_timeout": 7})
    try:
        total = sum(padded_square(x) for x in range(1000))
    finally:
        monitoring.stop(monitor)
    trace_id = monitor.trace_id
    assert [c[0] for c in calls] == ["_save_trace_metadata"]
    name, args, kwargs = calls[0]
    assert args == (trace_id,)
    raw_file = kwargs.pop("raw_file")
    assert kwargs == {"db_path": db, "ignore_errors": True, "created_at": None, "timeout": 7}
    [(stored_id, origin, container)] = stored_rows(db)
    assert (stored_id, origin) == (trace_id, "file")
    recording = decode(container)
    assert recording.container.trace_id == trace_id
    assert sum(r["arg"] for r in recording.records() if r["event"] == "return" and r["co_name"] == "padded_square") \
        == total
    # The trace is stored once: its file, under the name it was finished
    # with, and a row naming it.
    [kept] = (db.parent / "raw").iterdir()
    assert kept.name == raw_file and raw_file.startswith(trace_id + ".") and kept.read_bytes() == container
    assert db.stat().st_size + kept.stat().st_size < 1.05 * len(container) + 64 * 1024


def test_two_saves_hand_over_disjoint_parts_of_one_trace(db, calls):
    monitor = monitoring.start(db)
    try:
        work(2)
        monitor.save()
        work(3)
    finally:
        monitoring.stop(monitor)
    rows = stored_rows(db)
    assert [row[0] for row in rows] == [monitor.trace_id, monitor.trace_id]
    first, second = (decode(row[2]) for row in rows)
    assert len(squares(first)) == 4 and len(squares(second)) == 6
    first_ids = {r["frame_id"] for r in first.records()}
    assert not first_ids & {r["frame_id"] for r in second.records()}


def test_build_trace_then_save_split_the_recording(db, calls):
    monitor = monitoring.start(db)
    try:
        work(1)
        built = decode(monitor.build_trace())
        work(2)
    finally:
        monitoring.stop(monitor)
    assert len(squares(built)) == 2
    assert built.container.trace_id == monitor.trace_id
    (row,) = stored_rows(db)
    assert len(squares(decode(row[2]))) == 4
    assert [c[0] for c in calls] == ["_save_trace_metadata"]


def test_a_save_without_frames_still_stores_a_container(db, calls):
    monitor = _vesh.register_monitor(str(db), {}, "test", False)
    monitor.save()
    (row,) = stored_rows(db)
    recording = decode(row[2])
    assert recording.threads == {}
    assert row[0] == monitor.trace_id


SAVE_AT_ONCE = """
import sys
from vesh.profiler import Profiler

def own(n):
    return n * n

db, trace_id, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
profiler = Profiler(db, {}, trace_id=trace_id)
profiler.start()
own(n)
profiler.stop()
sys.stdin.readline()  # every process saves when the test says so
profiler.save()
"""


def returns_of(recording, name):
    """What the calls of `name` returned, on every thread of the trace."""
    records = [r for thread in recording.threads.values() for r in thread]
    return [r["arg"] for r in records if r.get("co_name") == name and r["event"] == "return"]


def kept_file(warning):
    match = re.search(r"its file is kept at (\S+)$", warning)
    assert match, warning
    return Path(match.group(1))


def save_past_a_locked_database(db, caplog):
    monitor = monitoring.start(db, {"sqlite_busy_timeout": 0})
    holder = sqlite3.connect(db, isolation_level=None)
    try:
        square(101)
        holder.execute("BEGIN EXCLUSIVE")
        with caplog.at_level(logging.WARNING, logger="vesh"):
            monitor.save()
        holder.execute("ROLLBACK")
        square(202)
    finally:
        holder.close()
        monitoring.stop(monitor)
    [warning] = [r.getMessage() for r in caplog.records if r.name == "vesh"]
    assert returns_of(decode(kept_file(warning).read_bytes()), "square") == [101 * 101]
    [(trace_id, origin, container)] = stored_rows(db)
    assert (trace_id, origin) == (monitor.trace_id, "file")
    assert returns_of(decode(container), "square") == [202 * 202]


def sixteen_processes_save_at_once(db, caplog):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    trace_id = "trc_SHARED"
    # A file of its own: code run with -c is not the program's own code.
    script = db.parent / "save_at_once.py"
    script.write_text(SAVE_AT_ONCE)
    children = [
        subprocess.Popen([sys.executable, str(script), str(db), trace_id, str(n)], stdin=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True, env=env)
        for n in range(16)
    ]
    for child in children:
        child.stdin.write("go\n")
        child.stdin.flush()
    failed = {}
    for n, child in enumerate(children):
        _, stderr = child.communicate(timeout=120)
        assert child.returncode == 0, stderr
        if "Failed to save trace" in stderr:
            failed[n] = stderr
    stored = sorted(returns_of(decode(container), "own") for _, _, container in stored_rows(db))
    # Each process stored its own trace, once, or said that it could not.
    assert stored == [[n * n] for n in range(16) if n not in failed]
    for stderr in failed.values():
        assert kept_file(stderr.splitlines()[0]).exists()


@pytest.mark.parametrize("program", [save_past_a_locked_database, sixteen_processes_save_at_once])
def test_streamed_saves_under_one_trace_id_keep_their_own_files(db, caplog, program):
    program(db, caplog)


def test_a_permission_error_of_the_database_layer_is_one_warning(db, monkeypatch, caplog):
    def refuse(trace_id, *args, **kwargs):
        raise PermissionError(13, "read-only database")

    monkeypatch.setattr(vesh.db, "_save_trace_metadata", refuse)
    monitor = _vesh.register_monitor(str(db), {}, "test", False)
    with caplog.at_level(logging.WARNING, logger="vesh"):
        assert monitor.save() is None
    warnings = [r for r in caplog.records if r.name == "vesh"]
    assert [r.getMessage() for r in warnings] == [
        f"Failed to save trace {monitor.trace_id} to file: PermissionError: [Errno 13] read-only database"
    ]


def test_other_errors_of_the_database_layer_are_raised(db, monkeypatch):
    def broken(*args, **kwargs):
        raise RuntimeError("database layer broke")

    monkeypatch.setattr(vesh.db, "_save_trace_metadata", broken)
    monitor = _vesh.register_monitor(str(db), {}, "test", False)
    with pytest.raises(RuntimeError, match="database layer broke"):
        monitor.save()
    # The cut part is gone, recording goes on: the next save works.
    monkeypatch.undo()
    monitor.save()
    assert len(stored_rows(db)) == 1


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_saves_in_memory_under_a_new_trace_id(db, tmp_path):
    monitor = monitoring.start(db)
    try:
        work(1)
        pid = os.fork()
        if pid == 0:  # child: record a little more, save, report
            code = 1
            try:
                _vesh._reset_thread_hooks_after_fork()
                work(2)
                monitoring.stop(monitor)
                (tmp_path / "child").write_text(f"{monitor.trace_id} {monitor.root_trace_id}")
                code = 0
            finally:
                os._exit(code)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        work(1)
    finally:
        monitoring.stop(monitor)
    child_id, child_root = (tmp_path / "child").read_text().split()
    assert child_id == child_root != monitor.trace_id
    rows = {row[0]: row for row in stored_rows(db)}
    assert rows[child_id][1] == "bytes"  # built in memory
    assert rows[monitor.trace_id][1] == "file"
    child = decode(rows[child_id][2])
    # The child's part holds what both recorded before the save cut it.
    assert len(squares(child)) == 6
    parent = decode(rows[monitor.trace_id][2])
    assert len(squares(parent)) == 4


TEST_PLUGIN = {
    "co_names": ["run_test"],
    "path_fragment": "test_monitor_saving",
    "call_type": "start_test",
    "return_type": "end_test",
    "process": lambda frame, event, arg, context: {"test_name": frame.f_locals["name"]},
}


def run_test(name):
    return work(2)


def test_per_test_mode_saves_one_trace_per_test(db, monkeypatch):
    monkeypatch.setattr(vesh.plugins, "PLUGINS", [TEST_PLUGIN])
    monitor = monitoring.start(db, one_trace_per_test=True)
    first_id = monitor.trace_id
    try:
        work(1)  # before any test: dropped when the first test starts
        run_test("test_one")
        run_test("test_two")
    finally:
        monitoring.stop(monitor, save=False)
    rows = stored_rows(db)
    assert len(rows) == 2
    assert len({row[0] for row in rows}) == 2 and first_id not in {row[0] for row in rows}
    for row, name in zip(rows, ["test_one", "test_two"]):
        recording = decode(row[2])
        records = recording.records()
        assert [r["type"] for r in records][0] == "start_test"
        assert records[-1]["type"] == "end_test"
        assert records[0]["test_name"] == name
        assert len(squares(recording)) == 4
        assert len([r for r in records if r.get("co_name") == "work"]) == 2
        metadata = recording.container.metadata
        assert name.encode() in metadata  # the trace is named after its test


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_child_forked_after_a_save_never_streams_under_its_parents_trace_id(db, tmp_path):
    monitor = monitoring.start(db)
    try:
        work(1)
        monitor.save()  # the registry is empty again: set_timestamp replaces the capture
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                _vesh._reset_thread_hooks_after_fork()
                monitor.set_timestamp(1234.0)
                work(2)
                monitoring.stop(monitor)
                (tmp_path / "child").write_text(monitor.trace_id)
                code = 0
            finally:
                os._exit(code)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
    finally:
        monitoring.stop(monitor)
    child_id = (tmp_path / "child").read_text()
    assert child_id != monitor.trace_id
    origins = {(row[0], row[1]) for row in stored_rows(db)}
    assert (child_id, "bytes") in origins
    assert (child_id, "file") not in origins
    assert not [p for p in (db.parent / "raw").iterdir() if p.name.startswith(f"{child_id}.")]


def test_saves_while_another_thread_records_lose_nothing(db):
    import threading

    done = threading.Event()
    count = 3000

    def recorder():
        for i in range(count):
            square(i)
        done.set()

    monitor = monitoring.start(db)
    try:
        t = threading.Thread(target=recorder)
        t.start()
        saves = 0
        while not done.is_set() or saves < 3:
            work(2)
            monitor.save()
            saves += 1
        t.join()
    finally:
        monitoring.stop(monitor)
    assert not monitor.panicked
    key = thread_key(t)
    events_seen = []
    for row in stored_rows(db):
        events_seen += [r["event"] for r in decode(row[2]).records(key) if r.get("co_name") == "square"]
    # Every call the thread made is in exactly one of the parts.
    assert events_seen.count("call") == events_seen.count("return") == count


def test_a_save_asked_for_while_a_record_is_written_is_refused_and_later_saves_work(db, caplog):
    monitor = monitoring.start(db)
    refusals = []

    class SavesWhileShown:
        def __repr__(self):
            # Runs while the monitor encodes this value into the thread's store.
            for attempt in (monitor.save, monitor.build_trace):
                try:
                    attempt()
                except RuntimeError as exc:
                    refusals.append(str(exc))
            return "shown"

    def show(value):
        return square(3)

    try:
        show(SavesWhileShown())
    finally:
        monitoring.stop(monitor)
    assert refusals[:2] == ["Vesh cannot save a trace while this thread is writing one of the trace's records"] * 2
    assert not monitor.panicked
    assert len(squares(decode(stored_rows(db)[-1][2]))) == 2  # call and return of square(3)
