"""Subtree flushing on both tracers: closed calls past the flush threshold are
saved as traces of their own and replaced by markers in the running trace;
following the markers gives back exactly the calls the program made."""

from __future__ import annotations

import logging
import os
import re
import sqlite3
import subprocess
import sys
import textwrap
import threading

import msgpack
import pytest

import v3_reader
import vesh.db
from stored_traces import stored_rows
from vesh import monitoring
from vesh.profiler import Profiler

KIB = 1024


def child(i):
    return [i] * 20


def parent(n):
    total = 0
    for i in range(n):
        total += len(child(i))
    return total


def work_in_child(n):
    return parent(n)


class Recorder:
    """One tracer recording every thread into the database `db`."""

    def __init__(self, tracer, db, threshold):
        config = {"flush_subtree_mb": threshold / (1024 * 1024)}
        self.tracer = tracer
        if tracer == "monitor":
            self.native = monitoring.start(db, config)
        else:
            self.profiler = Profiler(db, {**config, "threading": True})
            self.profiler.start()
            self.native = self.profiler.rust_profiler

        self.stopped = False

    def stop(self):
        self.stopped = True
        if self.tracer == "monitor":
            monitoring.stop(self.native, save=False)
        else:
            self.profiler.stop()
        self.native.save()


@pytest.fixture(params=["monitor", "profiler"])
def record(request, tmp_path):
    """record(threshold) starts a recorder on tmp_path/vesh.db."""
    made = []

    def start(threshold):
        made.append(Recorder(request.param, tmp_path / "vesh.db", threshold))
        return made[-1]

    yield start
    for recorder in made:
        if not recorder.stopped:
            recorder.stop()


def stored(db):
    """trace id -> its containers, in the order they were saved."""
    out = {}
    for trace_id, _, container in stored_rows(db):
        out.setdefault(trace_id, []).append(v3_reader.read_container(container))
    return out


def threads_of(container):
    """thread key -> raw frames."""
    keys = {token: msgpack.unpackb(payload)["thread_id"] for token, payload in container.thread_records}
    return {keys[token]: frames for token, frames in container.threads.items()}


def expanded(db, trace_id):
    """thread key -> the decoded records of every saved part of `trace_id`,
    markers replaced by what they flushed."""
    traces = stored(db)

    def load(flushed_id):
        (container,) = traces[flushed_id]
        return container

    out = {}
    for part in traces[trace_id]:
        for key, frames in threads_of(part).items():
            out.setdefault(key, []).extend(v3_reader.follow_markers(frames, load))
    return {key: [msgpack.unpackb(f) for f in frames] for key, frames in out.items()}


def calls(records, *names):
    return [(r["event"], r["co_name"]) for r in records if r.get("type") == "frame" and r["co_name"] in names]


def program(n):
    return [("call", "parent")] + [("call", "child"), ("return", "child")] * n + [("return", "parent")]


def flushed_ids(db, main_id):
    return [trace_id for trace_id in stored(db) if trace_id != main_id]


def metadata(container):
    return msgpack.unpackb(container.metadata)


def thread_key(thread):
    return f"native_{thread.native_id}"


def run_on_two_threads(n):
    workers = [threading.Thread(target=parent, args=(n,)) for _ in range(2)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return workers


MARKER = re.compile(
    rb"\x87\xa4type\xafsubtree_flushed\xa8frame_id\xbefrm_[0-9A-HJKMNP-TV-Z]{26}"
    rb"\xa7co_name(?:[\xa0-\xbf]|\xd9.)(?P<name>.*?)"
    rb"\xb0flushed_trace_id\xbetrc_[0-9A-HJKMNP-TV-Z]{26}"
    rb"\xadflushed_bytes(?:[\x00-\x7f]|\xcc.|\xcd..|\xce....)"
    rb"\xb5flushed_segment_count(?:[\x00-\x7f]|\xcc.|\xcd..)"
    rb"\xa9timestamp\xcb.{8}",
    re.DOTALL,
)


@pytest.mark.parametrize("threshold", [0, 64 * KIB])
def test_flushed_calls_come_back_whole_in_order_through_their_markers(record, tmp_path, threshold):
    db = tmp_path / "vesh.db"
    # Every flush saves a trace (a file synced, a database row): a threshold
    # of 0 flushes each call.
    n = 40 if threshold == 0 else 600
    recorder = record(threshold)
    workers = run_on_two_threads(n)
    recorder.stop()
    main_id = recorder.native.trace_id
    root_id = recorder.native.root_trace_id

    threads = expanded(db, main_id)
    for worker in workers:
        records = threads[thread_key(worker)]
        assert calls(records, "parent", "child") == program(n)
        seen = [(r["frame_id"], r["event"]) for r in records]
        assert len(seen) == len(set(seen))  # nothing doubled

    flushed = flushed_ids(db, main_id)
    assert flushed and main_id not in flushed
    traces = stored(db)
    nested = 0
    for trace_id in flushed:
        (container,) = traces[trace_id]
        assert metadata(container)["root_trace_id"] == root_id
        (frames,) = container.threads.values()
        nested += sum(v3_reader.flushed_marker(f) is not None for f in frames)
    if threshold == 0:
        assert nested  # a parent's flushed subtree holds its children's markers

    for worker in workers:
        frames = threads_of(traces[main_id][-1])[thread_key(worker)]
        markers = [f for f in frames if v3_reader.flushed_marker(f) is not None]
        assert markers
        for raw in markers:
            assert MARKER.fullmatch(raw), raw
            assert msgpack.packb(msgpack.unpackb(raw)) == raw  # every value in its shortest form
        # What stayed in the running trace is what the last flush left: less
        # than the threshold and one call.
        assert sum(len(f) for f in frames if f not in markers) < threshold + 2 * KIB


@pytest.mark.parametrize("threshold", [0, 64 * KIB])
def test_a_failing_flush_save_restores_the_frames_and_is_not_retried_at_every_record(
    record, tmp_path, monkeypatch, caplog, threshold
):
    db = tmp_path / "vesh.db"
    attempts = []
    original = vesh.db._save_trace_metadata

    def locked(trace_id, **kwargs):
        if kwargs["ignore_errors"]:
            return original(trace_id, **kwargs)
        attempts.append(trace_id)
        raise sqlite3.OperationalError("database is locked")

    monkeypatch.setattr(vesh.db, "_save_trace_metadata", locked)
    n = 1500
    with caplog.at_level(logging.WARNING, logger="vesh"):
        recorder = record(threshold)
        parent(n)
        recorder.stop()
    main_id = recorder.native.trace_id

    assert flushed_ids(db, main_id) == []
    assert sorted(os.listdir(tmp_path / "raw")) == [f"{main_id}.vesh"]
    ((container,),) = stored(db).values()
    ((frames),) = container.threads.values()
    recorded = sum(map(len, frames))
    assert 1 <= len(attempts) <= (1 if threshold == 0 else recorded // threshold + 1)
    (records,) = expanded(db, main_id).values()
    assert calls(records, "parent", "child") == program(n)
    assert not [r for r in records if r.get("type") == "subtree_flushed"]
    assert len([r for r in caplog.records if "database is locked" in str(r.exc_info)]) == len(attempts)


def test_saves_while_two_threads_flush_lose_and_double_nothing(record, tmp_path):
    db = tmp_path / "vesh.db"
    n = 40
    recorder = record(0)
    done = threading.Event()

    def saver(save=recorder.native.save):
        while not done.wait(0.002):
            save()

    cutting = threading.Thread(target=saver)
    cutting.start()
    try:
        workers = run_on_two_threads(n)
    finally:
        done.set()
        cutting.join()
    recorder.stop()
    assert not recorder.native.panicked

    threads = expanded(db, recorder.native.trace_id)
    for worker in workers:
        records = threads[thread_key(worker)]
        assert calls(records, "parent", "child") == program(n)
        seen = [(r["frame_id"], r["event"]) for r in records]
        assert len(seen) == len(set(seen))


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_childs_flushed_traces_carry_the_childs_root_id(record, tmp_path):
    db = tmp_path / "vesh.db"
    recorder = record(0)
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            from vesh import _vesh

            _vesh._reset_thread_hooks_after_fork()
            work_in_child(20)
            recorder.stop()
            (tmp_path / "child").write_text(recorder.native.root_trace_id)
            code = 0
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    recorder.stop()
    assert os.waitstatus_to_exitcode(status) == 0
    child_root = (tmp_path / "child").read_text()
    assert child_root != recorder.native.root_trace_id

    main_ids = {child_root, recorder.native.trace_id}
    roots = set()
    for trace_id, containers in stored(db).items():
        for container in containers:
            names = {msgpack.unpackb(f).get("co_name") for frames in container.threads.values() for f in frames}
            if trace_id not in main_ids and names & {"work_in_child", "parent", "child"}:
                roots.add(metadata(container)["root_trace_id"])
    assert roots == {child_root}


def tp_big():
    return [list(range(40)) for _ in range(10)]


def tp_small(i):
    return i


def tp_target():
    for i in range(4):
        tp_small(i)
    return 0


def tp_host():
    tp_big()
    return tp_target()


def test_a_trace_point_keeps_its_records_when_a_flush_cuts_the_store_before_them(tmp_path, monkeypatch):
    db = tmp_path / "vesh.db"
    handed = []
    monkeypatch.setattr(monitoring, "_save_trace_point_from_rust", lambda *args: handed.append(args[1]))
    # Reached while tp_target runs, not before: tp_big's finished call is
    # flushed from under the open trace point.
    config = {"flush_subtree_mb": 1500 / (1024 * 1024), "trace_points": {"on_return": ["tp_target"]}}
    monitor = monitoring.start(db, config)
    try:
        tp_host()
    finally:
        monitoring.stop(monitor)

    traces = stored(db)
    flushed = [traces[t][0] for t in flushed_ids(db, monitor.trace_id)]
    assert any(calls(map(msgpack.unpackb, f), "tp_big") for c in flushed for f in c.threads.values())
    (frames,) = handed
    records = [msgpack.unpackb(f) for f in v3_reader.follow_markers(frames, lambda t: traces[t][0])]
    assert calls(records, "tp_target", "tp_small") == [("call", "tp_target")] + [
        ("call", "tp_small"),
        ("return", "tp_small"),
    ] * 4 + [("return", "tp_target")]
    assert records[0]["co_name"] == "tp_target" and records[-1]["co_name"] == "tp_target"


DAEMON_FLUSHING_AT_EXIT = """
    import sys, threading, time
    from vesh import monitoring
    from vesh.profiler import Profiler

    def child(i):
        return i

    def loop():
        while True:
            child(1)

    config = {"flush_subtree_mb": 0}
    if sys.argv[2] == "monitor":
        monitoring.start(sys.argv[1], config)
    else:
        Profiler(sys.argv[1], {**config, "threading": True}).start()
    threading.Thread(target=loop, daemon=True).start()
    time.sleep(0.3)
    # The interpreter finalizes while the daemon thread saves a flushed call.
"""


@pytest.mark.parametrize("tracer", ["monitor", "profiler"])
def test_a_daemon_thread_flushing_while_the_interpreter_exits_does_not_abort_it(tmp_path, tracer):
    script = tmp_path / "program.py"
    script.write_text(textwrap.dedent(DAEMON_FLUSHING_AT_EXIT))
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    for _ in range(4):
        proc = subprocess.run([sys.executable, str(script), str(tmp_path / "vesh.db"), tracer], capture_output=True,
                              text=True, timeout=60, env=env)
        assert proc.returncode == 0, proc.stderr


BIG_TEXT = "é" * 2500  # interned from its third sighting on


def show_big(text):
    return len(text)


def plain(i):
    return i


def show_and_plain(times, text):
    for i in range(times):
        show_big(text)
        plain(i)


def test_a_flushed_trace_carries_the_values_its_records_refer_to_and_no_others(record, tmp_path):
    db = tmp_path / "vesh.db"
    recorder = record(0)
    show_and_plain(6, BIG_TEXT)
    recorder.stop()

    referring = 0
    for trace_id in flushed_ids(db, recorder.native.trace_id):
        (container,) = stored(db)[trace_id]
        (frames,) = container.threads.values()
        ids = {i for f in frames for i in container.references(f)}
        assert set(container.values) == ids
        referring += bool(ids)
        for frame in frames:
            decoded = msgpack.unpackb(container.resolve(frame), strict_map_key=False)
            if decoded.get("co_name") == "show_big" and decoded.get("event") == "call":
                assert decoded["locals"] == {"text": BIG_TEXT}
    assert referring >= 3
