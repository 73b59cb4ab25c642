"""Assignment capture under real sys.monitoring sessions: the "line" records
that INSTRUCTION events leave for variable stores, read back from the
container, and the INSTRUCTION callback's answers called directly."""

from __future__ import annotations

import gc
import logging
import re
import sys
import threading
import time
import weakref
from unittest.mock import ANY

import msgpack
import pytest

from monitor_helpers import record, thread_key
from vesh import _vesh, monitoring

DISABLE = sys.monitoring.DISABLE
PY313 = sys.version_info >= (3, 13)
LINE = {"line_events": True}


def lines(rec, qualname_suffix, thread=None):
    """(name, value) of the line records of one function, in order."""
    out = []
    for r in rec.frames_of(qualname_suffix, thread):
        if r["event"] == "line":
            payload = msgpack.unpackb(r["assign"].data, raw=False, strict_map_key=False)
            out.append((payload[0], payload[1]))
    return out


# ---------------------------------------------------------------------------
# What is recorded for each kind of store

COUNTER = 0


def store_local():
    x = 1
    y = [x, "two"]
    return y


def store_global():
    global COUNTER
    COUNTER = 41
    COUNTER += 1
    return COUNTER


def store_cell():
    total = 0

    def bump():
        nonlocal total
        total = total + 5

    bump()
    return total


def store_unpacked():
    a, b = 1, 2
    a, b = b, a
    return a


def store_then_load():
    x = 3; y = x  # noqa: E702 - one line: STORE_FAST_LOAD_FAST on 3.13
    return y


def make_hidden_store():
    def hidden():
        a, b = 7, 8
        return b

    # A name beginning with "@" is never recorded, on its own or beside
    # another name in one store.
    code = hidden.__code__
    hidden.__code__ = code.replace(co_varnames=tuple("@" + n if n == "a" else n for n in code.co_varnames))
    return hidden


def store_attributes():
    class Box:
        pass

    box = Box()
    box.value = 1
    table = {}
    table["k"] = 2
    return box


# ANY stands for a value written as its repr text.
STORES = [
    (store_local, "store_local", [("x", 1), ("y", [1, "two"])]),
    (store_global, "store_global", [("COUNTER", 41), ("COUNTER", 42)]),
    (store_cell, "store_cell.<locals>.bump", [("total", 5)]),
    (store_cell, "store_cell", [("total", 0), ("bump", ANY)]),
    (store_unpacked, "store_unpacked", [("a", 1), ("b", 2), ("b", 1), ("a", 2)]),
    (store_then_load, "store_then_load", [("x", 3), ("y", 3)]),
    (make_hidden_store(), "hidden", [("b", 8)]),
    (store_attributes, "store_attributes", [("Box", ANY), ("box", ANY), ("table", {})]),
]


@pytest.mark.parametrize("fn, qualname, expected", STORES, ids=[s[1] for s in STORES])
def test_every_kind_of_store_records_its_names_and_values(db, fn, qualname, expected):
    _, rec, _ = record(fn, db_path=db, config=LINE)
    assert lines(rec, qualname) == expected


def test_a_session_taking_over_idle_callbacks_switches_instruction_events_on(db, tmp_path):
    first = monitoring.start(tmp_path / "first.db", {})
    monitoring.stop(first, save=False)
    assert _vesh.vesh_tool_is_idle()
    _, rec, _ = record(store_local, db_path=db, config=LINE)
    assert lines(rec, "store_local") == [("x", 1), ("y", [1, "two"])]
    # A monitor with line events never goes idle: the tool is given up.
    assert not _vesh.vesh_tool_is_idle() and sys.monitoring.get_tool(monitoring.TOOL_ID) is None


def stores_then_sleeps():
    x = 1
    time.sleep(0.05)
    return x


def test_a_line_record_is_written_ahead_of_the_next_event_with_the_place_and_time_of_its_store(db):
    def twice():
        stores_then_sleeps()
        stores_then_sleeps()  # every location but the store is switched off now

    _, rec, _ = record(twice, db_path=db, config=LINE)
    decoded = rec.records()
    last = max(i for i, r in enumerate(decoded) if r.get("co_name") == "stores_then_sleeps" and r["event"] == "call")
    call, line, ret = decoded[last:last + 3]
    assert [r["event"] for r in (call, line, ret)] == ["call", "line", "return"]
    assert line["frame_id"] == call["frame_id"] == ret["frame_id"]
    assert line["path"].endswith(f"test_monitor_assignments.py:{stores_then_sleeps.__code__.co_firstlineno + 1}")
    assert ret["timestamp"] - line["timestamp"] >= 0.05


def stores_and_deletes():
    x = 1
    del x
    y = 2
    return y


def stores_and_deletes_a_global():
    global GONE
    GONE = 1
    del GONE
    z = 3
    return z


@pytest.mark.parametrize("fn, deleted, kept", [(stores_and_deletes, "x", "y"),
                                               (stores_and_deletes_a_global, "GONE", "z")])
def test_a_variable_deleted_before_the_next_callback_gives_no_record(db, fn, deleted, kept, caplog):
    def twice():
        fn()
        fn()  # the deletion no longer calls back: the next callback is the next store

    with caplog.at_level(logging.WARNING, logger="vesh"):
        _, rec, _ = record(twice, db_path=db, config=LINE)
    # The first call's deletion still called back while the variable was bound.
    assert [n for n, _ in lines(rec, fn.__name__)] == [deleted, kept, kept]
    assert not [r for r in caplog.records if r.name == "vesh"]


def counter(limit):
    i = 0
    while i < limit:
        got = yield i
        i = i + (got or 1)


def test_generator_stores_after_a_resume_carry_the_resume_id(db):
    _, rec, _ = record(lambda: list(counter(3)), db_path=db, config=LINE)
    entered, stored = None, []
    for r in rec.frames_of("counter"):
        if r["event"] in ("call", "resume"):
            entered = r["frame_id"]
        elif r["event"] == "line":
            stored.append(r["frame_id"] == entered)
    assert len(stored) >= 4 and all(stored)
    assert len({r["frame_id"] for r in rec.frames_of("counter") if r["event"] == "resume"}) == 3


def busy(tag, rounds, barrier):
    barrier.wait()
    for i in range(rounds):
        value = [tag, i]
    return value


def test_threads_storing_at_once_get_their_own_records(db):
    barrier = threading.Barrier(2)
    threads = [threading.Thread(target=busy, args=(tag, 200, barrier)) for tag in ("a", "b")]

    def run():
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    _, rec, _ = record(run, db_path=db, config=LINE)
    for t, tag in zip(threads, ("a", "b")):
        values = [v for n, v in lines(rec, "busy", thread_key(t)) if n == "value"]
        assert values == [[tag, i] for i in range(200)]


def test_without_line_events_frame_records_are_the_same_and_no_line_is_written(db, tmp_path):
    def strip(rec):
        return [{k: v for k, v in r.items() if k not in ("frame_id", "timestamp", "user_code_call_site")}
                for r in rec.frames_of("store_local")]

    _, with_lines, _ = record(store_local, db_path=db, config=LINE)
    _, without, _ = record(store_local, db_path=tmp_path / "other.db", config={})
    assert not [r for r in without.records() if r.get("event") == "line"]
    assert [r for r in strip(with_lines) if r["event"] != "line"] == strip(without)


def stores_in_child(i):
    value = [i] * 20
    return value


def stores_in_parent(n):
    for i in range(n):
        got = stores_in_child(i)
    return got


def test_line_records_are_flushed_with_the_calls_that_stored(db):
    from test_subtree_flush import expanded, flushed_ids

    m = monitoring.start(db, dict(LINE, flush_subtree_mb=0))
    try:
        stores_in_parent(30)
    finally:
        monitoring.stop(m, save=False)
    m.save()
    assert flushed_ids(db, m.trace_id)
    records = [r for r in expanded(db, m.trace_id)[thread_key()] if r.get("co_name") == "stores_in_child"]
    # Through the markers every call comes back with its store inside it.
    assert [(r["event"], r.get("assign") and msgpack.unpackb(r["assign"].data)[1]) for r in records] == [
        step for i in range(30) for step in (("call", None), ("line", [i] * 20), ("return", None))
    ]


# ---------------------------------------------------------------------------
# Stores of two names where code runs between the bindings

RAN = []


class Noisy:
    def __del__(self):
        RAN.append(noticed())


def noticed():
    return "finalizer ran"


def rebinds_a_noisy_pair():
    a, b = Noisy(), 1
    a, b = 2, 3  # replacing `a` runs Noisy.__del__ before `b` is bound
    return b


@pytest.mark.skipif(not PY313, reason="two-name stores are 3.13 superinstructions")
def test_a_two_name_store_interrupted_by_a_finalizer_writes_its_second_name_later(db):
    RAN.clear()
    _, rec, _ = record(rebinds_a_noisy_pair, db_path=db, config=LINE)
    assert RAN == ["finalizer ran"]
    seen = []
    for r in rec.records():
        name = r["qualname"].rsplit(".", 1)[-1]
        if name == "rebinds_a_noisy_pair" and r["event"] == "line":
            seen.append(tuple(msgpack.unpackb(r["assign"].data, raw=False)))
        elif name in ("rebinds_a_noisy_pair", "__del__"):
            seen.append((r["event"], name))
    # The first name is written at the finalizer's first event, the second
    # once the storing frame has moved past the store.
    assert seen[-5:] == [("a", 2), ("call", "__del__"), ("return", "__del__"), ("b", 3),
                         ("return", "rebinds_a_noisy_pair")]


# ---------------------------------------------------------------------------
# Failures while writing


class Unencodable:
    # Neither encoded (with lightweight_repr its class is read, which raises)
    # nor written as its repr: no assignment record can hold it.
    @property
    def __class__(self):
        raise RuntimeError("no class for you")

    def __repr__(self):
        raise RuntimeError("no repr either")


class Target:
    pass


def dead_proxy():
    target = Target()
    return weakref.proxy(target)


DEEP = []
for _ in range(1100):  # past the MessagePack nesting limit: never a repr
    DEEP = [DEEP]


class OneMore(tuple):
    # Yields an item more than it holds: refused as a container, never a repr.
    def __iter__(self):
        yield from tuple.__iter__(self)
        yield 0


def helper():
    return 1


def stores_values_without_a_form():
    proxy = dead_proxy()
    deep = DEEP
    bad, good = Unencodable(), 2
    more = OneMore((1,))
    helper()
    del proxy, deep, bad, more  # the function's own records hold none of them
    return good


def test_a_value_that_cannot_be_encoded_is_its_repr_and_one_without_a_repr_is_said_once_per_location(db, caplog):
    def three_times():
        for _ in range(3):
            stores_values_without_a_form()

    with caplog.at_level(logging.WARNING, logger="vesh"):
        _, rec, monitor = record(three_times, db_path=db, config=dict(LINE, lightweight_repr=True))
    # The other name of the failed value's store is still written; nothing
    # of the failed one is left in the trace.
    stored = lines(rec, "stores_values_without_a_form")
    assert [name for name, _ in stored] == ["proxy", "good"] * 3
    assert all(value == 2 for name, value in stored if name == "good")
    as_repr = [value for name, value in stored if name == "proxy"]
    assert all(isinstance(value, msgpack.ExtType) and value.code == 0 for value in as_repr)
    assert all(value.data.startswith(b"<weakproxy at") for value in as_repr)
    assert [r["event"] for r in rec.frames_of("helper")] == ["call", "return"] * 3
    # Each location is said once with its cause, not at every store, and
    # never as a fault of vesh's own.
    warnings = [r for r in caplog.records if r.name == "vesh"]
    assert not [r for r in warnings if r.exc_info]
    said = [re.search(r"\((\w+): (.*)\); (.*)$", r.getMessage()).groups() for r in warnings]
    unrecorded = "its assignment is not recorded"
    assert said == [
        ("ReferenceError", ANY, "it is recorded as its repr"),
        ("ValueError", "recursion limit exceeded.", unrecorded),
        ("RuntimeError", "no class for you", unrecorded),
        ("RuntimeError", ANY, unrecorded),
    ]
    assert not monitor.panicked


class Reentrant:
    monitor = None

    def __repr__(self):
        # Back into the monitor while the frame record is being written: a
        # store of this frame left pending by the first call is flushed by
        # the second while the thread's store is still in use.
        code = Reentrant.__repr__.__code__
        offset = next(i.offset for i in __import__("dis").get_instructions(code) if i.argval == "offset")
        Reentrant.answers = [self.monitor.monitor_instruction(code, offset) for _ in range(2)]
        return "reentrant"


def holds_reentrant():
    value = Reentrant()
    return value


def test_a_fault_in_the_instruction_callback_is_reported_once_and_stops_recording(db, monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reported.append((u.object, str(u.exc_value))))

    started = Reentrant.monitor = monitoring.start(db, LINE)
    try:
        holds_reentrant()
        events_after = sys.monitoring.get_events(monitoring.TOOL_ID)
    finally:
        monitoring.stop(started, save=False)
    assert Reentrant.answers == [None, None]
    assert started.panicked and events_after == 0
    assert [object for object, _ in reported] == ["Vesh stopped tracing after an internal error"]


# ---------------------------------------------------------------------------
# The callback's answers, called directly


def library_code():
    import json

    return json.dumps.__code__


def store_offsets(code):
    import dis

    return [i.offset for i in dis.get_instructions(code) if i.opname.startswith("STORE_FAST")]


def other_offset(code):
    import dis

    stores = set(store_offsets(code))
    return next(i.offset for i in dis.get_instructions(code) if i.offset not in stores)


@pytest.fixture
def monitor(tmp_path):
    m = _vesh.register_monitor(str(tmp_path / "vesh.db"), dict(LINE), "tests", False)
    yield m
    m.set_active(False)


@pytest.mark.parametrize(
    "code, offset, active, expected",
    [
        (store_local.__code__, store_offsets(store_local.__code__)[0], True, None),
        (store_local.__code__, other_offset(store_local.__code__), True, DISABLE),
        (library_code(), store_offsets(library_code())[0], True, DISABLE),
        (store_local.__code__, other_offset(store_local.__code__), False, None),
        (library_code(), 0, False, None),
    ],
    ids=["store", "not-a-store", "excluded-code", "inactive", "inactive-excluded"],
)
def test_instruction_answers(monitor, code, offset, active, expected):
    monitor.set_active(active)
    assert monitor.monitor_instruction(code, offset) is expected


@pytest.mark.parametrize("config, expected", [({}, None), (LINE, DISABLE)], ids=["ended", "line-events-never-end"])
def test_after_end_session_the_callback_answers_none(db, config, expected):
    m = monitoring.start(db, config)
    handed_over = m.end_session(monitoring.TOOL_ID)
    try:
        assert m.monitor_instruction(store_local.__code__, other_offset(store_local.__code__)) is expected
    finally:
        if handed_over:
            m.set_active(False)
            monitoring.disarm()
        else:
            monitoring.stop(m, save=False)


@pytest.mark.parametrize("raised, logged, tries", [(RuntimeError("dis is gone"), 1, 1), (KeyboardInterrupt(), 0, 2)])
def test_a_failing_disassembly_is_reported_once_per_code(tmp_path, monkeypatch, caplog, raised, logged, tries):
    calls = []

    def failing(code):
        calls.append(code)
        raise raised

    monkeypatch.setattr("dis.get_instructions", failing)
    m = _vesh.register_monitor(str(tmp_path / "vesh.db"), dict(LINE), "tests", False)
    m.set_active(True)
    answers = []
    with caplog.at_level(logging.WARNING, logger="vesh"):
        for offset in (0, 2):
            try:
                answers.append(m.monitor_instruction(store_local.__code__, offset))
            except KeyboardInterrupt:
                answers.append("raised")
    m.set_active(False)
    # An ordinary error is logged once and remembered: later locations are
    # switched off without disassembling again. An interrupt reaches the
    # program and is not remembered.
    assert answers == ([None, DISABLE] if logged else ["raised", "raised"])
    assert len(calls) == tries
    assert len([r for r in caplog.records if r.name == "vesh"]) == logged


@pytest.mark.parametrize("filename, kept", [("/usr/lib/python3.12/json/fake.py", False), ("/work/app/fake.py", True)])
def test_only_code_that_may_be_recorded_is_kept_alive(monitor, filename, kept):
    namespace = {}
    exec(compile("def f():\n    x = 1\n    return x\n", filename, "exec"), namespace)
    code = namespace.pop("f").__code__
    ref = weakref.ref(code)
    monitor.set_active(True)
    monitor.monitor_instruction(code, other_offset(code))
    del code
    gc.collect()
    assert (ref() is not None) == kept
