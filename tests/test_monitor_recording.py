"""Real sys.monitoring runs of vesh's monitor, read back from the v3
container that build_trace() returns."""

from __future__ import annotations

import json
import os
import sys
import threading

import pytest

from monitor_helpers import events, record, thread_key
from vesh import _vesh, monitoring

HERE = os.path.relpath(__file__)


def leaf(x):
    y = x * 2
    return y + 1


def middle(x):
    return leaf(x) + leaf(x + 1)


def factorial(n):
    if n <= 1:
        return 1
    return n * factorial(n - 1)


def counter(limit):
    i = 0
    while i < limit:
        try:
            received = yield i
        except ValueError:
            received = "thrown"
        i += 1 if received is None else 10


def drive_generator():
    gen = counter(30)
    values = [next(gen), next(gen), gen.throw(ValueError("boom"))]
    gen.close()
    return values


def raises(kind):
    raise kind("bad input")


def catches():
    try:
        raises(KeyError)
    except KeyError as error:
        return repr(error)


def pair_ids(records):
    """Each call's frame id is shared by its exit events."""
    open_ids = {}
    for r in records:
        if r["event"] in ("call", "resume", "throw"):
            open_ids.setdefault(r["frame_id"], []).append(r)
        else:
            assert r["frame_id"] in open_ids, r
    return open_ids


def test_nested_calls_share_frame_ids_and_name_their_call_sites(db):
    result, rec, _ = record(middle, 3, db_path=db)
    assert result == 7 + 9
    frames = [r for r in rec.records() if r["qualname"].split(".")[-1] in ("middle", "leaf")]
    assert events(frames) == [
        ("call", "middle"), ("call", "leaf"), ("return", "leaf"), ("call", "leaf"), ("return", "leaf"),
        ("return", "middle"),
    ]
    call_middle, call_leaf1, ret_leaf1, call_leaf2, ret_leaf2, ret_middle = frames
    assert call_middle["frame_id"] == ret_middle["frame_id"]
    assert call_leaf1["frame_id"] == ret_leaf1["frame_id"] != call_leaf2["frame_id"] == ret_leaf2["frame_id"]
    assert all(len(r["frame_id"]) == 30 and r["frame_id"].startswith("frm_") for r in frames)
    # The leaves were called from middle's frame, on its line.
    for r in (call_leaf1, ret_leaf1, call_leaf2, ret_leaf2):
        assert r["user_code_call_site"]["call_frame_id"] == call_middle["frame_id"]
        assert r["user_code_call_site"]["line_number"] == middle.__code__.co_firstlineno + 1
    assert call_leaf1["qualname"] == f"{__name__}.leaf"
    assert call_leaf1["co_name"] == "leaf"
    assert call_leaf1["path"] == f"{HERE}:{leaf.__code__.co_firstlineno}"
    assert call_leaf1["locals"] == {"x": 3} and call_leaf1["arg"] is None
    assert ret_leaf1["locals"] == {"x": 3, "y": 6} and ret_leaf1["arg"] == 7
    assert ret_leaf2["arg"] == 9


def test_recursion_gives_each_level_its_own_frame(db):
    result, rec, _ = record(factorial, 4, db_path=db)
    assert result == 24
    frames = rec.frames_of("factorial")
    assert [r["event"] for r in frames] == ["call"] * 4 + ["return"] * 4
    calls, returns = frames[:4], frames[4:]
    assert [r["frame_id"] for r in calls] == [r["frame_id"] for r in reversed(returns)]
    assert len({r["frame_id"] for r in calls}) == 4
    for caller, callee in zip(calls, calls[1:]):
        assert callee["user_code_call_site"]["call_frame_id"] == caller["frame_id"]
    assert [r["arg"] for r in returns] == [1, 2, 6, 24]
    assert [r["locals"]["n"] for r in calls] == [4, 3, 2, 1]


def test_generators_record_yield_resume_and_throw(db):
    result, rec, _ = record(drive_generator, db_path=db)
    assert result == [0, 1, 11]
    gen_events = [r["event"] for r in rec.frames_of("counter")]
    assert gen_events[:6] == ["call", "yield", "resume", "yield", "throw", "yield"]
    assert gen_events[-1] in ("unwind", "return")
    throw = rec.frames_of("counter")[4]
    assert "exception" in throw and "arg" not in throw
    yielded = [r["arg"] for r in rec.frames_of("counter") if r["event"] == "yield"]
    assert yielded[:3] == [0, 1, 11]
    # Every exit event carries the id of the entry event before it.
    ids = pair_ids(rec.frames_of("counter"))
    assert len(ids) == len([e for e in gen_events if e in ("call", "resume", "throw")])


def test_exceptions_unwind_the_raising_frame_only(db):
    result, rec, _ = record(catches, db_path=db)
    assert result == "KeyError('bad input')"
    frames = [r for r in rec.records() if r["co_name"] in ("catches", "raises")]
    assert events(frames) == [("call", "catches"), ("call", "raises"), ("unwind", "raises"), ("return", "catches")]
    unwind = frames[2]
    assert "exception" in unwind and "arg" not in unwind
    assert unwind["frame_id"] == frames[1]["frame_id"]


def test_two_threads_record_into_their_own_stores(db):
    def work(n):
        return factorial(n)

    def run():
        results = []
        t = threading.Thread(target=lambda: results.append(work(3)), name="second")
        t.start()
        t.join()
        results.append(work(2))
        return results, t

    (results, t), rec, _ = record(run, db_path=db)
    assert results == [6, 2]
    main, second = thread_key(), thread_key(t)
    assert len(rec.frames_of("factorial", main)) == 4
    assert len(rec.frames_of("factorial", second)) == 6
    tokens = {token for token, _ in rec.container.thread_records}
    assert len(tokens) == len(rec.container.thread_records) >= 2


def test_library_code_is_not_recorded_and_is_disabled(db):
    def use_json():
        return json.loads(json.dumps({"a": [1, 2]}))

    result, rec, monitor = record(use_json, db_path=db)
    assert result == {"a": [1, 2]}
    assert not [r for r in rec.records() if "json" in r["path"]]
    monitor.set_active(True)
    try:
        assert monitor.monitor_pystart(json.dumps.__code__, 0) is sys.monitoring.DISABLE
        assert monitor.monitor_pyreturn(json.dumps.__code__, 0, None) is sys.monitoring.DISABLE
        assert monitor.monitor_pyunwind(json.dumps.__code__, 0, ValueError()) is None
        assert monitor.monitor_pythrow(json.dumps.__code__, 0, ValueError()) is None
    finally:
        monitor.set_active(False)


def test_worker_marked_threads_record_nothing(db):
    def worker_body(out):
        _vesh.set_current_thread_vesh_worker(True)
        out.append(factorial(3))

    def run():
        out = []
        t = threading.Thread(target=worker_body, args=(out,))
        t.start()
        t.join()
        return out, t

    (out, t), rec, _ = record(run, db_path=db)
    assert out == [6]
    assert rec.frames_of("factorial", thread_key(t)) == []


class Bomb:
    """A value that cannot be recorded without interrupting the program."""

    def __repr__(self):
        raise KeyboardInterrupt


class BombError(Exception):
    def __repr__(self):
        raise KeyboardInterrupt

    __str__ = __repr__


def takes(value):
    return 1


def gives():
    return Bomb()


def unwinds():
    raise BombError()


def yields():
    yield Bomb()


def resumes(box):
    yield 1
    yield 2


def resume_case():
    box = [None]
    gen = resumes(box)
    next(gen)
    box[0] = Bomb()  # only the resume sees it among the generator's locals
    return next(gen)


def throws():
    try:
        yield 1
    except BombError:
        yield 2


@pytest.mark.parametrize(
    "case, event",
    [
        (lambda: takes(Bomb()), "call"),
        (gives, "return"),
        (unwinds, "unwind"),
        (lambda: next(yields()), "yield"),
        (resume_case, "resume"),
        (lambda: (lambda g: (next(g), g.throw(BombError())))(throws()), "throw"),
    ],
)
def test_keyboard_interrupt_while_recording_reaches_the_program(db, case, event):
    outcome, rec, monitor = record(case, db_path=db)
    assert isinstance(outcome, KeyboardInterrupt), (event, outcome)
    assert not monitor.panicked
    # The monitor goes on recording afterwards.
    result, rec2, _ = record(factorial, 2, db_path=db)
    assert result == 2 and len(rec2.frames_of("factorial")) == 4


def test_keyboard_interrupt_at_a_call_leaves_no_half_recorded_frame(db):
    outcome, rec, _ = record(lambda: takes(Bomb()), db_path=db)
    assert isinstance(outcome, KeyboardInterrupt)
    assert rec.frames_of("takes") == []


DEEP_RECURSION = r"""
import json, sys, threading
sys.path.insert(0, sys.argv[3])
stack_size, recorded = int(sys.argv[1]), sys.argv[2] == "1"

def deep(n):
    # Recursion through a C call: every level takes native stack.
    return n if n == 0 else sum(map(deep, [n - 1])) + 1

out = {}
def run():
    try:
        deep(1_000_000)
    except RecursionError:
        out["recursion_error"] = True

def threaded():
    old = threading.stack_size(stack_size)
    try:
        t = threading.Thread(target=run)
        t.start()
        t.join()
    finally:
        threading.stack_size(old)
    return t

sys.setrecursionlimit(2_000_000)
if recorded:
    from monitor_helpers import record, thread_key
    t, rec, monitor = record(threaded, db_path=sys.argv[4])
    frames = rec.frames_of("deep", thread_key(t))
    out.update(panicked=monitor.panicked, frames=len(frames),
               calls=sum(r["event"] == "call" for r in frames), exits=sum(r["event"] != "call" for r in frames))
else:
    threaded()
print(json.dumps(out))
"""


def run_deep(stack_size, recorded, db):
    import json
    import subprocess

    script = db.parent / "deep_recursion.py"  # a file of its own: "<string>" code is never recorded
    script.write_text(DEEP_RECURSION)
    proc = subprocess.run(
        [sys.executable, str(script), str(stack_size), "1" if recorded else "0",
         os.path.dirname(os.path.abspath(__file__)), str(db)],
        capture_output=True, text=True, timeout=120,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
    )
    return proc.returncode, (json.loads(proc.stdout.splitlines()[-1]) if proc.returncode == 0 else None)


def test_deep_recursion_near_the_native_stack_limit_does_not_crash(db):
    # The smallest thread stack on which the interpreter itself survives the
    # recursion: there the callbacks run with little native stack left.
    size = 256 * 1024
    while run_deep(size, False, db)[0] != 0:
        size += 256 * 1024
        assert size <= 16 * 1024 * 1024
    for stack_size in (size, size + 256 * 1024):
        code, out = run_deep(stack_size, True, db)
        assert code == 0, f"recording crashed with a {stack_size}-byte stack"
        assert out["recursion_error"] and not out["panicked"]
        assert out["frames"] > 0 and out["calls"] == out["exits"]
