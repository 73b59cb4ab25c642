"""Subtree flushing on both tracers: closed calls past the flush threshold are
saved as traces of their own and replaced by markers in the running trace;
following the markers gives back exactly the calls the program made."""

from __future__ import annotations

import json
import logging
import os
import platform
import sqlite3
import subprocess
import sys
import textwrap
import threading

import msgpack
import pytest

import v3_reader
import vesh.db
from monitor_helpers import recording, thread_key
from stored_traces import stored_rows
from vesh import monitoring

KIB = 1024


def child(i):
    return [i] * 20


def parent(n):
    total = 0
    for i in range(n):
        total += len(child(i))
    return total


def program(n, outer="parent", inner="child"):
    return [("call", outer)] + [("call", inner), ("return", inner)] * n + [("return", outer)]


@pytest.fixture(params=["monitor", "profiler"])
def kind(request):
    return request.param


def flushing(kind, db, threshold):
    return recording(kind, db, {"flush_subtree_mb": threshold / (KIB * KIB)})


def stored(db):
    """trace id -> its containers, in the order they were saved."""
    out = {}
    for trace_id, _, container in stored_rows(db):
        out.setdefault(trace_id, []).append(v3_reader.read_container(container))
    return out


def flushed_ids(db, main_id):
    return [trace_id for trace_id in stored(db) if trace_id != main_id]


def root_of(container):
    return msgpack.unpackb(container.metadata)["root_trace_id"]


def threads_of(container):
    """thread key -> raw frames."""
    keys = {token: msgpack.unpackb(payload)["thread_id"] for token, payload in container.thread_records}
    return {keys[token]: frames for token, frames in container.threads.items()}


def markers(frames):
    return [f for f in frames if v3_reader.flushed_marker(f) is not None]


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


def run_on_two_threads(n):
    workers = [threading.Thread(target=parent, args=(n,)) for _ in range(2)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return workers


def assert_whole(db, trace_id, workers, n):
    """Each worker's calls come back through the markers in order, none doubled."""
    threads = expanded(db, trace_id)
    for worker in workers:
        records = threads[thread_key(worker)]
        assert calls(records, "parent", "child") == program(n)
        seen = [(r["frame_id"], r["event"]) for r in records]
        assert len(seen) == len(set(seen))


def run_program(source, db, kind):
    """Runs `source` in a process of its own, with the db path and the kind
    of recorder as its arguments."""
    script = db.parent / "program.py"
    script.write_text(textwrap.dedent(source))
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    return subprocess.run([sys.executable, str(script), str(db), kind], capture_output=True, text=True, timeout=60,
                          env=env)


@pytest.mark.parametrize("threshold", [0, 64 * KIB])
def test_flushed_calls_come_back_whole_in_order_through_their_markers(kind, tmp_path, threshold):
    db = tmp_path / "vesh.db"
    # Every flush saves a trace (a file synced, a database row): a threshold
    # of 0 flushes each call.
    n = 40 if threshold == 0 else 600
    with flushing(kind, db, threshold) as native:
        workers = run_on_two_threads(n)
    native.save()
    assert_whole(db, native.trace_id, workers, n)

    traces = stored(db)
    flushed = [c for trace_id in flushed_ids(db, native.trace_id) for c in traces[trace_id]]
    assert {root_of(c) for c in flushed} == {native.root_trace_id}
    if threshold == 0:  # a parent's flushed subtree holds its children's markers
        assert any(markers(frames) for c in flushed for frames in c.threads.values())
    for worker in workers:
        frames = threads_of(traces[native.trace_id][-1])[thread_key(worker)]
        found = markers(frames)
        assert found
        assert all(msgpack.packb(msgpack.unpackb(m)) == m for m in found)  # every value in its shortest form
        # What stayed in the running trace is what the last flush left: less
        # than the threshold and one call.
        assert sum(len(f) for f in frames if f not in found) < threshold + 2 * KIB


def leaf(i):
    return i + 1


def test_a_call_that_never_returns_flushes_as_often_late_in_a_long_run_as_early(kind, tmp_path):
    # Every flush leaves a marker under the open call. Were the markers
    # counted toward the threshold, they would fill it on their own after a
    # few hundred flushes, and from then on every record would flush the
    # newest call or two.
    db = tmp_path / "vesh.db"
    made = []
    with flushing(kind, db, 16 * KIB) as native:
        for _ in range(8):
            for i in range(1_000):
                leaf(i)
            made.append(len(os.listdir(tmp_path / "raw")) - sum(made))
            if made[-1] > 4 * made[0]:
                break
    native.save()
    assert len(made) == 8 and made[0] > 10, made
    assert max(made) <= 2 * min(made), made


@pytest.mark.parametrize("threshold", [0, 64 * KIB])
def test_a_failing_flush_save_restores_the_frames_and_is_not_retried_at_every_record(
    kind, tmp_path, monkeypatch, caplog, threshold
):
    db = tmp_path / "vesh.db"
    attempts = []
    original = vesh.db._save_trace_metadata

    def locked(trace_id, **kwargs):
        if kwargs["ignore_errors"]:  # the recorder's own save
            return original(trace_id, **kwargs)
        attempts.append(trace_id)
        raise sqlite3.OperationalError("database is locked")

    monkeypatch.setattr(vesh.db, "_save_trace_metadata", locked)
    n = 1500
    with caplog.at_level(logging.WARNING, logger="vesh"), flushing(kind, db, threshold) as native:
        parent(n)
    native.save()

    [kept] = os.listdir(tmp_path / "raw")  # the main trace's file; no flushed one is left
    assert kept.startswith(f"{native.trace_id}.")
    ((container,),) = stored(db).values()
    (frames,) = container.threads.values()
    assert 1 <= len(attempts) <= (1 if threshold == 0 else sum(map(len, frames)) // threshold + 1)
    assert not markers(frames)
    assert calls(map(msgpack.unpackb, frames), "parent", "child") == program(n)
    assert len([r for r in caplog.records if "database is locked" in str(r.exc_info)]) == 1


def test_a_flush_save_failing_again_the_same_way_is_said_once_and_its_end_once(kind, tmp_path, monkeypatch, caplog):
    db = tmp_path / "vesh.db"
    holder = sqlite3.connect(db, isolation_level=None)
    holder.execute("BEGIN EXCLUSIVE")  # as another process would
    attempts, other_cause = [], []
    original = vesh.db._save_trace_metadata

    def counted(trace_id, **kwargs):
        if not kwargs["ignore_errors"]:  # a flushed subtree's save
            attempts.append(trace_id)
            if other_cause:
                raise OSError("No space left on device")
        return original(trace_id, **kwargs)

    monkeypatch.setattr(vesh.db, "_save_trace_metadata", counted)
    n, tried = 600, []
    config = {"flush_subtree_mb": 16 * KIB / (KIB * KIB), "sqlite_busy_timeout": 0}
    with caplog.at_level(logging.WARNING, logger="vesh"), recording(kind, db, config) as native:
        parent(n)
        tried.append(len(attempts))
        other_cause.append(True)
        parent(n)
        tried.append(len(attempts))
        other_cause.clear()
        holder.execute("COMMIT")
        parent(n)
        tried.append(len(attempts))
        # A lock that comes and goes (other processes' saves) is said no more.
        holder.execute("BEGIN EXCLUSIVE")
        parent(n)
        tried.append(len(attempts))
        holder.execute("COMMIT")
        parent(n)
    holder.close()
    native.save()

    assert tried[0] >= 3 and tried[1] - tried[0] >= 3 and tried[3] - tried[2] >= 3, tried
    said = [(r.getMessage(), r.exc_info and str(r.exc_info[1])) for r in caplog.records]
    assert [cause for _, cause in said] == ["database is locked", "No space left on device", None], said
    assert said[-1][0] == "Vesh saves flushed subtrees again after earlier saves failed"
    (records,) = expanded(db, native.trace_id).values()
    assert calls(records, "parent", "child") == program(n) * 5
    assert len(flushed_ids(db, native.trace_id)) == (tried[2] - tried[1]) + (len(attempts) - tried[3])


def test_saves_while_two_threads_flush_lose_and_double_nothing(kind, tmp_path):
    db = tmp_path / "vesh.db"
    done = threading.Event()
    with flushing(kind, db, 0) as native:
        def saver():
            while not done.wait(0.002):
                native.save()

        cutting = threading.Thread(target=saver)
        cutting.start()
        try:
            workers = run_on_two_threads(40)
        finally:
            done.set()
            cutting.join()
    native.save()
    assert not native.panicked
    assert_whole(db, native.trace_id, workers, 40)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_childs_flushed_traces_carry_the_childs_root_id(kind, tmp_path):
    db = tmp_path / "vesh.db"
    with flushing(kind, db, 0) as native:
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                from vesh import _vesh

                _vesh._reset_thread_hooks_after_fork()
                parent(20)
                native.save()
                (tmp_path / "child").write_text(native.root_trace_id)
                code = 0
            finally:
                os._exit(code)
        _, status = os.waitpid(pid, 0)
    native.save()
    assert os.waitstatus_to_exitcode(status) == 0
    child_root = (tmp_path / "child").read_text()
    assert child_root != native.root_trace_id

    roots = set()
    for trace_id in flushed_ids(db, native.trace_id):
        for container in stored(db)[trace_id]:
            names = {msgpack.unpackb(f).get("co_name") for frames in container.threads.values() for f in frames}
            if trace_id != child_root and names & {"parent", "child"}:
                roots.add(root_of(container))
    assert roots == {child_root}


def big():
    return [list(range(40)) for _ in range(10)]


def host():
    big()
    return parent(4)


def test_a_trace_point_keeps_its_records_when_a_flush_cuts_the_store_before_them(tmp_path, monkeypatch):
    db = tmp_path / "vesh.db"
    handed = []
    monkeypatch.setattr(monitoring, "_save_trace_point_from_rust", lambda *args: handed.append(args[1]))
    # Reached while parent runs, not before: big's finished call is flushed
    # from under the open trace point.
    config = {"flush_subtree_mb": 1500 / (KIB * KIB), "trace_points": {"on_return": ["parent"]}}
    with recording("monitor", db, config) as monitor:
        host()
    monitor.save()

    traces = stored(db)
    flushed = [traces[t][0] for t in flushed_ids(db, monitor.trace_id)]
    assert any(calls(map(msgpack.unpackb, f), "big") for c in flushed for f in c.threads.values())
    (frames,) = handed
    records = [msgpack.unpackb(f) for f in v3_reader.follow_markers(frames, lambda t: traces[t][0])]
    assert calls(records, "parent", "child") == program(4)
    assert records[0]["co_name"] == records[-1]["co_name"] == "parent"


DAEMON_FLUSHING_AT_EXIT = """
    import sys, threading, time
    from vesh import monitoring
    from vesh.profiler import Profiler

    def child(i):
        return i

    def loop():
        while True:
            child(1)

    if sys.argv[2] == "monitor":
        monitoring.start(sys.argv[1], {"flush_subtree_mb": 0})
    else:
        Profiler(sys.argv[1], {"flush_subtree_mb": 0, "threading": True}).start()
    threading.Thread(target=loop, daemon=True).start()
    time.sleep(0.3)
    # The interpreter finalizes while the daemon thread saves a flushed call.
"""


def test_a_daemon_thread_flushing_while_the_interpreter_exits_does_not_abort_it(kind, tmp_path):
    for _ in range(4):
        proc = run_program(DAEMON_FLUSHING_AT_EXIT, tmp_path / "vesh.db", kind)
        assert proc.returncode == 0, proc.stderr


GENERATOR_CLOSED_WITHOUT_BUILTINS = """
    import sys, textwrap
    from vesh import monitoring
    from vesh.profiler import Profiler

    EXAMPLE = '''
        def step(i):
            return i + 1

        def counting():
            i = 0
            # Closing runs the frame only when the yield is inside a handler;
            # suspended outside one, 3.13 marks the generator closed unrun.
            try:
                while True:
                    i = step(i)
                    yield i
            finally:
                i = None
    '''

    def run():
        # A file name of its own: code exec'd as "<string>" is not recorded.
        namespace = {}
        exec(compile(textwrap.dedent(EXAMPLE), "<example>", "exec"), namespace)
        namespace["gen"] = gen = namespace["counting"]()
        next(gen), next(gen)
        del gen
        # As doctest clears an example's globals: the generator, held by
        # nothing else, is closed in a frame whose globals lost __builtins__.
        namespace.clear()

    if sys.argv[2] == "monitor":
        native = monitoring.start(sys.argv[1], {"flush_subtree_mb": 0})
        try:
            run()
        finally:
            monitoring.stop(native, save=False)
    else:
        native = Profiler(sys.argv[1], {"flush_subtree_mb": 0})
        with native:
            run()
    native.save()
    print(native.trace_id)
"""


def test_a_generator_closed_after_its_globals_were_cleared_flushes_and_saves_quietly(kind, tmp_path):
    db = tmp_path / "vesh.db"
    proc = run_program(GENERATOR_CLOSED_WITHOUT_BUILTINS, db, kind)
    assert (proc.returncode, proc.stderr) == (0, "")
    trace_id = proc.stdout.split()[-1]

    (records,) = expanded(db, trace_id).values()
    assert calls(records, "step") == [("call", "step"), ("return", "step")] * 2
    closing = [r for r in records if r.get("co_name") == "counting"][-1]
    assert closing["event"] in ("unwind", "return")
    # Made while the generator was closed in its cleared globals, and flushed.
    traces = stored(db)
    flushed = [msgpack.unpackb(f) for t in flushed_ids(db, trace_id) for f in threads_of(traces[t][0]).popitem()[1]]
    assert closing in flushed


RECURSION_LIMIT_REACHED_AND_CAUGHT = """
    import sys
    from vesh import monitoring
    from vesh.profiler import Profiler

    def down(n):
        pad = "x" * 500
        return down(n + 1) + len(pad)

    # The process's first flush comes while the RecursionError unwinds, just
    # below the limit; one that fails there is tried again every few levels.
    recorder = monitoring.session if sys.argv[2] == "monitor" else Profiler
    with recorder(sys.argv[1], {"flush_subtree_mb": 0.002}) as native:
        try:
            down(0)
        except RecursionError:
            pass
    if sys.argv[2] == "profiler":
        native.save()
"""


def test_a_first_flush_at_the_recursion_limit_says_at_most_the_one_line_notice(kind, tmp_path):
    proc = run_program(RECURSION_LIMIT_REACHED_AND_CAUGHT, tmp_path / "vesh.db", kind)
    assert proc.returncode == 0, proc.stderr
    assert all("the stack is nearly exhausted;" in line for line in proc.stderr.splitlines()), proc.stderr
    assert len(stored(tmp_path / "vesh.db")) > 100  # the trace and its flushed parts


MADE_NEAR_THE_RECURSION_LIMIT = """
    import json, logging, secrets, sys
    import vesh.db, vesh.git, vesh.plugins, vesh.serialize, vesh.version
    IMPORT_ON_TOP

    said = []
    keep = logging.Handler()  # formatting a traceback needs more stack than is left down there
    keep.emit = lambda record: said.append([record.getMessage(), record.exc_info is not None])
    logging.getLogger("vesh").addHandler(keep)
    logging.getLogger("vesh").propagate = False

    def work(i):
        pad = "x" * 300
        return len(pad) + i

    def down(n):
        if n > 0:
            return down(n - 1)
        from vesh import monitoring, profiler
        monitor = sys.argv[2] == "monitor"
        config = {"flush_subtree_mb": 0.001}
        native = monitoring.start(sys.argv[1], config) if monitor else profiler.Profiler(sys.argv[1], config)
        monitor or native.start()
        for i in range(30):
            work(i)
        monitoring.stop(native, save=False) if monitor else native.stop()
        return native

    native = down(sys.getrecursionlimit() - 32)  # down(0) runs 30 frames below the limit
    native.save()
    print(json.dumps([native.trace_id, said]))
"""


@pytest.mark.parametrize("import_on_top", [True, False])
def test_a_recorder_made_near_the_recursion_limit_names_the_platform_and_says_a_failed_read_once(
    kind, tmp_path, import_on_top
):
    db = tmp_path / "vesh.db"
    imports = "from vesh import monitoring, profiler" if import_on_top else ""
    proc = run_program(MADE_NEAR_THE_RECURSION_LIMIT.replace("IMPORT_ON_TOP", imports), db, kind)
    assert (proc.returncode, proc.stderr) == (0, ""), proc.stderr
    trace_id, said = json.loads(proc.stdout)
    if import_on_top:
        assert said == []
        assert len(flushed_ids(db, trace_id)) >= 10
    else:  # the read at the import failed; the save reads again
        [(message, with_traceback)] = said
        assert message.startswith("Vesh could not read the interpreter and platform facts")
        assert "RecursionError" in message and "\n" not in message and not with_traceback
    (records,) = expanded(db, trace_id).values()
    assert calls(records, "work") == [("call", "work"), ("return", "work")] * 30
    for containers in stored(db).values():
        for container in containers:
            environment = msgpack.unpackb(container.metadata)["meta"]["environment"]
            assert (environment["platform"], environment["py_version_full"]) == (platform.platform(), sys.version)


BIG_TEXT = "é" * 2500  # interned from its third sighting on
BIG_BYTES = bytes(range(256)) * 20


def show(text, data):
    return len(text) + len(data)


def show_and_child(times):
    # The values are not locals here: only show() sights them.
    for i in range(times):
        show(BIG_TEXT, BIG_BYTES)
        child(i)


def test_a_flushed_trace_carries_the_values_its_records_refer_to_and_no_others(kind, tmp_path):
    db = tmp_path / "vesh.db"
    with flushing(kind, db, 0) as native:
        show_and_child(6)
    native.save()

    flushed = flushed_ids(db, native.trace_id)
    referring = 0
    for trace_id in flushed:
        (container,) = stored(db)[trace_id]
        (frames,) = container.threads.values()
        ids = {i for f in frames for i in container.references(f)}
        assert set(container.values) == ids
        referring += bool(ids)
        for frame in frames:
            record = msgpack.unpackb(container.resolve(frame), strict_map_key=False)
            if record.get("type") == "frame" and record["co_name"] == "show":
                assert record["locals"] == {"text": BIG_TEXT, "data": BIG_BYTES}
    assert 3 <= referring < len(flushed)
