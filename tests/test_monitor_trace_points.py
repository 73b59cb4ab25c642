"""Trace points: at each normal return of a function named under
trace_points.on_return, the monitor hands the records of that one call to
vesh.monitoring._save_trace_point_from_rust, which stores them as a trace of
their own."""

from __future__ import annotations

import asyncio
import logging
import os
import threading
from collections import namedtuple

import msgpack
import pytest

import v3_reader
import vesh.plugins
from monitor_helpers import decode, thread_key
from stored_traces import stored_rows
from vesh import monitoring


HandOver = namedtuple("HandOver", "thread_key frames co_name db_path source lightweight_repr trace_id config "
                                  "timeout values")


def records(h):
    return [msgpack.unpackb(f, strict_map_key=False) for f in h.frames]


def summaries(h):
    return [summary(r) for r in records(h)]


def summary(record):
    """"event name" for a frame record ("event name(n)" when it has a local
    n), the type for a plugin record."""
    if record.get("type") != "frame":
        return record["type"]
    n = record["locals"].get("n", "")
    return f"{record['event']} {record['co_name']}" + (f"({n})" if n != "" else "")


@pytest.fixture
def handed(monkeypatch):
    """The calls of the trace-point function, kept and not passed on."""
    seen = []
    monkeypatch.setattr(monitoring, "_save_trace_point_from_rust", lambda *args: seen.append(HandOver(*args)))
    return seen


def run(db, fn, *targets, config=None, **options):
    """(fn's result or exception, the monitor) of fn run with `targets`."""
    config = {"trace_points": {"on_return": list(targets)}, **(config or {})}
    monitor = monitoring.start(db, config, **options)
    try:
        return fn(), monitor
    except BaseException as error:  # noqa: BLE001 - handed back to the test
        return error, monitor
    finally:
        monitoring.stop(monitor, save=False)


def recorded(monitor):
    """The summaries of what the monitor recorded of the tp_ functions."""
    return [summary(r) for r in decode(monitor.build_trace()).records() if r.get("co_name", "").startswith("tp_")]


# --- The traced program ------------------------------------------------------

def tp_leaf(x):
    return x + 1


def tp_plain(x):
    return tp_leaf(x) * 2


def tp_recursive(depth):
    return 0 if depth == 0 else tp_recursive(depth - 1) + 1


def tp_raises():
    raise KeyError("inner")


def tp_catches():
    try:
        tp_raises()
    except KeyError:
        return "caught"


def tp_gen(n):
    for i in range(n):
        try:
            yield i
        except ValueError:
            pass
    return n


def tp_outer():
    g = tp_gen(2)
    next(g)
    return g


def drive_through_throw():
    g = tp_gen(3)
    next(g)
    g.throw(ValueError)
    return list(g)


def drive_outer():
    return list(tp_outer())


def drive_zipped():
    a, b = tp_gen(2), tp_gen(3)
    pairs = list(zip(a, b))
    return pairs, list(b)


async def tp_coro(n):
    await asyncio.sleep(0)
    await asyncio.sleep(0)
    return n


async def gather_coros():
    return await asyncio.gather(tp_coro(1), tp_coro(2))


PLAIN = ["call tp_plain", "call tp_leaf", "return tp_leaf", "return tp_plain"]
PROBE = {"co_names": ["tp_plain"], "path_fragment": "test_monitor_trace_points", "call_type": "probe_call",
         "return_type": "probe_return"}


@pytest.mark.parametrize("fn, targets, plugins, expected", [
    pytest.param(lambda: tp_plain(1), ["tp_plain"], [], [("tp_plain", PLAIN)], id="plain"),
    # Entry plugin records come before the frame record, exit ones after it:
    # the range begins with the call's own record and ends with the return's
    # plugin record.
    pytest.param(lambda: tp_plain(1), ["tp_plain"], [PROBE], [("tp_plain", [*PLAIN, "probe_return"])],
                 id="plugin-route"),
    pytest.param(lambda: tp_leaf(1), ["tp_lea", "TP_LEAF", "tp_leaf.x"], [], [], id="whole-name-only"),
    # The inner target raises: its unwind drops its marker, and the caller's
    # range holds the inner call.
    pytest.param(tp_catches, ["tp_catches", "tp_raises"], [],
                 [("tp_catches", ["call tp_catches", "call tp_raises", "unwind tp_raises", "return tp_catches"])],
                 id="raising-inner"),
    pytest.param(drive_through_throw, ["tp_gen"], [],
                 [("tp_gen", ["call tp_gen(3)", "yield tp_gen(3)", "throw tp_gen(3)", "yield tp_gen(3)",
                              "resume tp_gen(3)", "yield tp_gen(3)", "resume tp_gen(3)", "return tp_gen(3)"])],
                 id="generator-yield-resume-throw"),
    # The generator outlives the call that started it.
    pytest.param(drive_outer, ["tp_outer", "tp_gen"], [],
                 [("tp_outer", ["call tp_outer", "call tp_gen(2)", "yield tp_gen(2)", "return tp_outer"]),
                  ("tp_gen", ["call tp_gen(2)", "yield tp_gen(2)", "return tp_outer", "resume tp_gen(2)",
                              "yield tp_gen(2)", "resume tp_gen(2)", "return tp_gen(2)"])],
                 id="generator-outlives-caller"),
    pytest.param(drive_zipped, ["tp_gen"], [],
                 [("tp_gen", ["call tp_gen(2)", "yield tp_gen(2)", "call tp_gen(3)", "yield tp_gen(3)",
                              "resume tp_gen(2)", "yield tp_gen(2)", "resume tp_gen(3)", "yield tp_gen(3)",
                              "resume tp_gen(2)", "return tp_gen(2)"]),
                  ("tp_gen", ["call tp_gen(3)", "yield tp_gen(3)", "resume tp_gen(2)", "yield tp_gen(2)",
                              "resume tp_gen(3)", "yield tp_gen(3)", "resume tp_gen(2)", "return tp_gen(2)",
                              "resume tp_gen(3)", "yield tp_gen(3)", "resume tp_gen(3)", "return tp_gen(3)"])],
                 id="interleaved-generators"),
])
def test_each_return_hands_over_the_records_of_its_own_call(db, handed, monkeypatch, fn, targets, plugins,
                                                            expected):
    monkeypatch.setattr(vesh.plugins, "PLUGINS", plugins)
    run(db, fn, *targets)
    assert [(h.co_name, summaries(h)) for h in handed] == expected


def test_recursion_hands_over_nested_ranges(db, handed):
    result, _ = run(db, lambda: tp_recursive(3), "tp_recursive")
    assert result == 3
    assert [summaries(h)[0] for h in handed] == ["call tp_recursive"] * 4
    assert len(handed[-1].frames) == 8
    # Innermost first: each range is the next one less its first and last record.
    for inner, outer in zip(handed, handed[1:]):
        assert inner.frames == outer.frames[1:-1]


def test_coroutines_under_gather_each_hand_over_their_own_call(db, handed):
    result, _ = run(db, lambda: asyncio.run(gather_coros()), "tp_coro")
    assert result == [1, 2]
    # Each range runs from its own call to its own return, the other
    # coroutine's steps between them.
    assert sorted((summaries(h)[0], summaries(h)[-1]) for h in handed) == [
        ("call tp_coro(1)", "return tp_coro(1)"), ("call tp_coro(2)", "return tp_coro(2)")]


def test_a_worker_threads_target_hands_over_its_own_records(db, handed):
    def work():
        thread = threading.Thread(target=tp_plain, args=(5,), name="tp-worker")
        thread.start()
        thread.join()
        return thread

    thread, _ = run(db, work, "tp_plain")
    assert [(h.thread_key, summaries(h)) for h in handed] == [(thread_key(thread), PLAIN)]


@pytest.mark.parametrize("cut", ["save", "build_trace"])
def test_a_cut_between_call_and_return_hands_over_nothing(db, handed, cut):
    holder = {}

    def tp_cut():
        getattr(holder["monitor"], cut)()
        return tp_leaf(1)

    monitor = monitoring.start(db, {"trace_points": {"on_return": ["tp_cut", "tp_leaf"]}})
    holder["monitor"] = monitor
    try:
        tp_cut()
    finally:
        monitoring.stop(monitor, save=False)
    # The call that lies wholly after the cut still fires.
    assert [h.co_name for h in handed] == ["tp_leaf"]


def test_the_arguments_and_the_configuration_copy(db, handed):
    marker = object()
    config = {
        "filters": {"ignore_frames": ["no-such-file"]}, "auto_emit": [], "processors": [],
        "flush_subtree_mb": 100, "use_monitoring": False, "use_rust": False, "marker": marker,
        "lightweight_repr": True, "sqlite_busy_timeout": 7,
    }
    _, monitor = run(db, lambda: tp_plain(1), "tp_plain", config=config, source="tp-tests")
    [h] = handed
    assert (h.thread_key, h.co_name, h.db_path, h.source) == (thread_key(), "tp_plain", str(db), "tp-tests")
    assert (h.lightweight_repr, h.trace_id, h.timeout, h.values) == (True, monitor.trace_id, 7, [])
    assert h.config == {"use_monitoring": True, "use_rust": True, "marker": marker, "lightweight_repr": True,
                        "sqlite_busy_timeout": 7}
    assert all(type(f) is bytes for f in h.frames)


@pytest.mark.parametrize("error", [SystemExit, ValueError, KeyboardInterrupt])
def test_an_exception_of_the_python_side_never_reaches_the_program_but_ctrl_c(db, monkeypatch, caplog, error):
    def failing(*args):
        tp_leaf(0)  # not recorded: the thread is suspended meanwhile
        raise error("stop")

    monkeypatch.setattr(monitoring, "_save_trace_point_from_rust", failing)
    with caplog.at_level(logging.WARNING, logger="vesh"):
        outcome, monitor = run(db, lambda: tp_plain(1), "tp_plain")
    warnings = [(r.getMessage(), r.exc_info[0]) for r in caplog.records if r.name == "vesh"]
    if error is KeyboardInterrupt:
        # Raised at the target's return, once the hand-over is cleaned up.
        assert isinstance(outcome, KeyboardInterrupt) and warnings == []
    else:
        message = "Vesh could not save the trace point of tp_plain: stop; no more trace points are saved"
        assert outcome == 4 and warnings == [(message, error)]
    # The return is recorded; the unwind an interrupt causes is not.
    assert recorded(monitor) == PLAIN


def tp_echo(text):
    return text


def tp_big(count):
    text = "v" * 300
    for _ in range(count):
        tp_echo(text)
    return count


def test_a_range_across_sealed_chunks_equals_the_saved_trace_byte_for_byte(db, handed):
    monitor = monitoring.start(db, {"trace_points": {"on_return": ["tp_big"]}})
    try:
        tp_big(2000)
    finally:
        monitoring.stop(monitor)
    [h] = handed
    assert len(h.frames) == 4002 and sum(map(len, h.frames)) > 3 * 512 * 1024
    [(_, _, container)] = stored_rows(db)
    saved = v3_reader.read_container(container)
    assert len(saved.chunks) > 3
    [stored] = [f for f in saved.threads.values() if h.frames[0] in f]
    start = stored.index(h.frames[0])
    assert stored[start:start + len(h.frames)] == h.frames


def test_the_python_side_stores_each_trace_point_as_a_trace_of_its_own(db):
    result, monitor = run(db, lambda: [tp_plain(1), tp_plain(2)], "tp_plain")
    assert result == [4, 6]
    rows = [(trace_id, container) for trace_id, _, container in stored_rows(db)]
    assert len(rows) == 2 and len({trace_id for trace_id, _ in rows}) == 2
    for (trace_id, container), x in zip(rows, [1, 2]):
        recording = decode(container)
        metadata = msgpack.unpackb(recording.container.metadata)
        assert (metadata["trace_id"], metadata["trace_name"]) == (trace_id, "tp_plain")
        assert metadata["root_trace_id"] == monitor.trace_id != trace_id
        assert metadata["meta"]["config"]["use_monitoring"] is True
        stored = recording.records()
        assert [summary(r) for r in stored] == PLAIN
        assert stored[0]["locals"] == {"x": x}


SIGHTED = [chr(0x41 + i) * (64 * 1024) for i in range(8)]


def tp_pair(text):
    return len(text)


def test_a_trace_point_stores_the_values_its_records_refer_to_and_no_others(db):
    # A call sees its text twice: the second call of each refers to it, interned.
    run(db, lambda: [tp_pair(text) for text in SIGHTED * 2 + [""] * 40], "tp_pair")
    containers = [v3_reader.read_container(container) for _, _, container in stored_rows(db)]
    stored_bytes = 0
    for container in containers:
        (frames,) = container.threads.values()
        assert set(container.values) == {i for frame in frames for i in container.references(frame)}
        stored_bytes += sum(map(len, frames)) + sum(map(len, container.values.values()))
    assert len(containers) == 56 and sum(bool(c.values) for c in containers) == 8
    # The database grows with the records and their values, plus a small
    # cost of each trace point's own, whatever else the capture published.
    assert os.path.getsize(db) < stored_bytes + len(containers) * 4096


WRITER_FAILS = """
    import json, logging, os, resource, signal, sys, time
    from vesh import monitoring

    handed = []
    monitoring._save_trace_point_from_rust = lambda *args: handed.append(args)
    warnings = []
    logging.getLogger("vesh").addHandler(logging.Handler())
    logging.getLogger("vesh").handlers[0].emit = lambda record: warnings.append(record.getMessage())

    LIMIT = 4096
    raw = os.path.join(os.path.dirname(sys.argv[1]), "raw")

    def writer_failed():
        # The writer filled the file up to the limit and then gave up.
        if not os.path.isdir(raw) or [os.path.getsize(os.path.join(raw, n)) for n in os.listdir(raw)] != [LIMIT]:
            return False
        for task in os.listdir("/proc/self/task"):
            try:
                with open(f"/proc/self/task/{task}/comm") as f:
                    name = f.read().strip()
            except OSError:  # the thread ended while it was listed
                continue
            if name == "vesh-v3-writer":
                return False
        return True

    def tp_leaf(x):
        return x

    def tp_failing():
        text = "w" * 4000
        # Records (about 12 KB a call) to seal one chunk, which the writer
        # cannot write, and not a second one.
        for _ in range(50):
            tp_leaf(text)
        while not writer_failed():
            time.sleep(0.01)
        return 1

    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (LIMIT, resource.RLIM_INFINITY))
    monitor = monitoring.start(sys.argv[1], {"trace_points": {"on_return": ["tp_failing"]}})
    tp_failing()
    monitoring.stop(monitor, save=False)
    print(json.dumps({"handed": len(handed), "warnings": warnings}))
"""


def test_a_range_the_trace_file_cannot_give_back_is_one_warning_with_its_cause(tmp_path):
    from test_monitor_threads import run_program

    out = run_program(tmp_path, WRITER_FAILS)
    assert out["handed"] == 0
    [warning] = out["warnings"]
    assert warning.startswith("Vesh could not save the trace point of tp_failing: "), warning
    assert "File too large" in warning
