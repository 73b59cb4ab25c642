"""Running code under a real sys.monitoring session of vesh's monitor and
reading back what it recorded."""

from __future__ import annotations

import contextlib
import sys
from dataclasses import dataclass

import msgpack

import v3_reader
from vesh import monitoring
from vesh.profiler import Profiler


@dataclass
class Recording:
    container: v3_reader.Container
    # thread key -> decoded records, in store order
    threads: dict[str, list[dict]]

    def records(self, thread: str | None = None) -> list[dict]:
        if thread is None:
            thread = thread_key()
        return self.threads.get(thread, [])

    def frames_of(self, qualname_suffix: str, thread: str | None = None) -> list[dict]:
        return [r for r in self.records(thread) if r.get("qualname", "").endswith(qualname_suffix)]


def thread_key(thread=None) -> str:
    import threading

    thread = thread or threading.current_thread()
    return f"native_{thread.native_id}"


def decode(container_bytes) -> Recording:
    container = v3_reader.read_container(container_bytes)
    keys = {token: msgpack.unpackb(payload)["thread_id"] for token, payload in container.thread_records}
    threads = {}
    for token, frames in container.threads.items():
        threads[keys[token]] = [msgpack.unpackb(container.resolve(f), strict_map_key=False) for f in frames]
    return Recording(container, threads)


def record(fn, *args, db_path, config=None, **options):
    """Runs fn(*args) under a monitor session; returns (result or exception, Recording, monitor)."""
    monitor = monitoring.start(db_path, config or {}, **options)
    outcome = None
    try:
        outcome = fn(*args)
    except BaseException as error:  # noqa: BLE001 - handed back to the test
        outcome = error
    finally:
        monitoring.stop(monitor, save=False)
    return outcome, decode(monitor.build_trace()), monitor


def events(records) -> list[tuple[str, str]]:
    return [(r["event"], r["qualname"].rsplit(".", 1)[-1]) for r in records if r.get("type") == "frame"]


def under_monitor(db_path, program, config=None):
    """Runs `program()` in a monitor session; returns its outcome and the
    session's trace, built after the session ended."""
    monitor = monitoring.start(db_path, config or {})
    try:
        outcome = program()
    finally:
        monitoring.stop(monitor, save=False)
    return outcome, monitor.build_trace()


def under_profile_hook(db_path, program, config=None):
    """As under_monitor, through the profile hook."""
    profiler = Profiler(db_path, config or {})
    profiler.start()
    try:
        outcome = program()
    finally:
        profiler.stop()
    return outcome, profiler.build_trace()


@contextlib.contextmanager
def recording(kind, db_path, config=None):
    """Records the body with the monitor ("monitor") or the profile hook on
    every thread, and yields the native recorder; nothing is saved on the way
    out (its save() and build_trace() work after it)."""
    if kind == "monitor":
        monitor = monitoring.start(db_path, config or {})
        try:
            yield monitor
        finally:
            monitoring.stop(monitor, save=False)
    else:
        profiler = Profiler(db_path, {**(config or {}), "threading": True})
        profiler.start()
        try:
            yield profiler.rust_profiler
        finally:
            profiler.stop()
