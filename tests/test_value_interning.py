"""Large str and bytes values written once per trace: both recorders, both
ways of handing a trace over, across saves and threads, and a save that
lands between a record's encoding and its storing."""

from __future__ import annotations

import threading

import msgpack
import pytest

import v3_reader
from monitor_helpers import recording, thread_key
from stored_traces import stored_rows
from vesh import monitoring

BIG_TEXT = "é" * 2500  # 5,000 bytes of UTF-8
BIG_BYTES = bytes(range(256)) * 20
SHOWN = {"text": BIG_TEXT, "data": BIG_BYTES}
ENCODED = sorted([msgpack.packb(BIG_TEXT), msgpack.packb(BIG_BYTES)])


def show(text, data):
    return len(text) + len(data)


def show_many(times):
    # The values are not locals here: only show() sights them.
    for _ in range(times):
        show(BIG_TEXT, BIG_BYTES)


@pytest.fixture(params=["monitor", "profiler"])
def kind(request):
    return request.param


def stored(db_path):
    return [v3_reader.read_container(container) for _, _, container in stored_rows(db_path)]


def shown(container, thread=None, name="show"):
    """The locals of every recorded event of `name`, references resolved."""
    keys = {token: msgpack.unpackb(payload)["thread_id"] for token, payload in container.thread_records}
    token = {key: token for token, key in keys.items()}[thread or thread_key()]
    records = [msgpack.unpackb(container.resolve(f), strict_map_key=False) for f in container.frames(token)]
    return [r["locals"] for r in records if r.get("co_name") == name]


def show_frames(container, name="show"):
    """The encoded frame records of `name`'s events, as stored."""
    key = msgpack.packb("co_name") + msgpack.packb(name)
    frame = msgpack.packb("type") + msgpack.packb("frame")
    return [f for frames in container.threads.values() for f in frames if key in f and frame in f]


def recorded(kind, db, fn, *args, route="build"):
    """Runs fn(*args) under a fresh tracer; the container of what it recorded."""
    with recording(kind, db) as native:
        fn(*args)
    if route == "build":
        return v3_reader.read_container(native.build_trace())
    native.save()
    (container,) = stored(db)
    return container


@pytest.mark.parametrize("route", ["save", "build"])
def test_a_large_value_seen_many_times_is_written_once(kind, route, tmp_path):
    container = recorded(kind, tmp_path / "t.db", show_many, 6, route=route)
    # One value record for each large value, holding its exact encoding; ids
    # are the tracer's own, from 0.
    assert sorted(container.values) == [0, 1]
    assert sorted(container.values.values()) == ENCODED
    frames = show_frames(container)
    # Calls and returns alike sight the values: the first two sightings are
    # written in full, every later one is a reference.
    assert [len(container.references(f)) for f in frames] == [0, 0] + [2] * 10
    assert all(BIG_TEXT.encode() not in f for f in frames[2:])
    assert shown(container) == [SHOWN] * 12


def test_each_capture_holds_the_values_its_records_refer_to(kind, tmp_path):
    db = tmp_path / "t.db"
    with recording(kind, db) as native:
        show_many(3)
        native.save()
        show_many(1)
    native.save()
    first, second = stored(db)
    assert len(first.values) == 2
    # Published before: the new capture gets the values again, under the same
    # ids, and its first sightings are already references.
    assert second.values == first.values
    assert [len(second.references(f)) for f in show_frames(second)] == [2, 2]
    assert shown(second) == [SHOWN] * 2


def test_threads_intern_the_same_object_each_for_itself(kind, tmp_path):
    threads = [threading.Thread(target=show_many, args=(3,)) for _ in range(2)]

    def run():
        for thread in threads:
            thread.start()
            thread.join()

    container = recorded(kind, tmp_path / "t.db", run)
    assert sorted(container.values) == [0, 1, 2, 3]
    assert sorted(set(container.values.values())) == ENCODED
    for thread in threads:
        assert shown(container, thread_key(thread)) == [SHOWN] * 6


def test_a_trace_point_hands_over_the_values_its_records_refer_to(tmp_path, monkeypatch):
    handed = []
    monkeypatch.setattr(monitoring, "_save_trace_point_from_rust", lambda *args: handed.append(args))
    with recording("monitor", tmp_path / "t.db", {"trace_points": {"on_return": ["show"]}}):
        show_many(3)
    *_, last = handed
    frames, values = last[1], dict(last[-1])
    assert all(v3_reader.references(f) for f in frames)
    for frame in frames:
        record = msgpack.unpackb(frame, strict_map_key=False,
                                 ext_hook=lambda code, data: msgpack.unpackb(values[int.from_bytes(data, "big")]))
        assert record["locals"] == SHOWN


class SavesWhenShown:
    """A local whose repr, once armed, saves the running trace: the record
    being encoded is stored after the save, in the next capture."""

    def __init__(self, save):
        self.save = save
        self.armed = False

    def __repr__(self):
        if self.armed:
            self.armed = False
            self.save()
        return "<saves>"


def show_then_save(text, trigger, arm):
    # Armed here, the trigger saves while the return is encoded, after the
    # text (already interned) became a reference: no later event sights it.
    trigger.armed = arm
    return len(text)


def test_a_save_between_encoding_and_storing_keeps_every_reference_resolvable(tmp_path):
    db = tmp_path / "t.db"
    with recording("profiler", db) as profiler:
        trigger = SavesWhenShown(profiler.save)
        for arm in (False, False, True):
            show_then_save(BIG_TEXT, trigger, arm)
    profiler.save()
    containers = stored(db)
    assert len(containers) == 2
    for container in containers:
        for frames in container.threads.values():
            for frame in frames:
                container.resolve(frame)  # raises for a reference without its value
    # The return that saved is stored in the next capture, by reference.
    (frame,) = show_frames(containers[1], "show_then_save")
    assert containers[1].references(frame)
    assert shown(containers[1], name="show_then_save")[0]["text"] == BIG_TEXT


def test_saves_from_another_thread_leave_no_dangling_reference(kind, tmp_path):
    done = threading.Event()
    built = []

    def record_many():
        try:
            show_many(200)
        finally:
            done.set()

    with recording(kind, tmp_path / "t.db") as native:
        worker = threading.Thread(target=record_many)
        worker.start()
        while not done.is_set() or len(built) < 3:
            built.append(native.build_trace())
        worker.join()
    built.append(native.build_trace())
    frames = 0
    for data in built:
        container = v3_reader.read_container(data)
        for frame in show_frames(container):
            frames += 1
            assert msgpack.unpackb(container.resolve(frame), strict_map_key=False)["locals"] == SHOWN
    assert frames == 400
