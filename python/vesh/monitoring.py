"""Recording a program through ``sys.monitoring`` with vesh's native monitor.

A session claims the monitoring tool vesh uses (3), registers the monitor's
callbacks, switches the events on and activates the monitor; stopping saves
what was recorded through ``vesh.db``::

    with vesh.monitoring.session("traces/vesh.db") as monitor:
        run_the_program()
    print(monitor.trace_id)

Switching the tool's events off and on makes every code object re-check its
instrumentation, so when a session ends soundly the tool stays armed: the
monitor hands its events to idle callbacks that record nothing, and the next
session takes them over. When the monitor cannot go idle the tool is torn
down and freed as before. ``disarm()`` frees a tool left armed.

With ``"line_events"`` set, INSTRUCTION events are switched on too, and the
monitor records each store into a variable as a "line" record; such a
monitor never hands its tool to idle callbacks.
"""

from __future__ import annotations

import contextlib
import os
import sys
from typing import Any, Iterator

from vesh import _vesh

TOOL_ID = 3

# The events and the monitor method that receives each.
CALLBACKS = (
    ("PY_START", "monitor_pystart"),
    ("PY_RETURN", "monitor_pyreturn"),
    ("PY_UNWIND", "monitor_pyunwind"),
    ("PY_RESUME", "monitor_pyresume"),
    ("PY_YIELD", "monitor_pyyield"),
    ("PY_THROW", "monitor_pythrow"),
    # Assignment capture; its events are switched on only with "line_events".
    ("INSTRUCTION", "monitor_instruction"),
)


def _event_set(line_events: bool) -> int:
    events = sys.monitoring.events
    mask = 0
    for event, _ in CALLBACKS:
        if event != "INSTRUCTION" or line_events:
            mask |= getattr(events, event)
    return mask


def _release_tool() -> None:
    monitoring = sys.monitoring
    monitoring.set_events(TOOL_ID, 0)
    for event, _ in CALLBACKS:
        monitoring.register_callback(TOOL_ID, getattr(monitoring.events, event), None)
    monitoring.free_tool_id(TOOL_ID)


def start(
    db_path: str | os.PathLike[str],
    config: dict[str, Any] | None = None,
    *,
    source: str = "vesh.monitoring",
    one_trace_per_test: bool = False,
    name: str | None = None,
) -> Any:
    """Makes a monitor and starts recording every thread of the process.

    Takes the tool over from the idle callbacks when an earlier session left
    it armed; otherwise claims it, which fails with ValueError when another
    tool already holds tool id 3.
    """
    monitor = _vesh.register_monitor(os.fspath(db_path), dict(config or {}), source, one_trace_per_test, name)
    if _vesh.vesh_tool_is_idle():
        # On failure begin_session has torn the tool down already.
        monitor.begin_session(TOOL_ID)
        if monitor.line_events:
            # The idle tool never has INSTRUCTION events on.
            try:
                sys.monitoring.set_events(TOOL_ID, _event_set(True))
            except BaseException:
                _release_tool()
                raise
        monitor.set_active(True)
        return monitor
    monitoring = sys.monitoring
    monitoring.use_tool_id(TOOL_ID, "vesh")
    try:
        for event, method in CALLBACKS:
            monitoring.register_callback(TOOL_ID, getattr(monitoring.events, event), getattr(monitor, method))
        monitoring.set_events(TOOL_ID, _event_set(monitor.line_events))
        monitor.set_active(True)
    except BaseException:
        monitor.set_active(False)
        _release_tool()
        raise
    return monitor


def stop(monitor: Any, *, save: bool = True) -> None:
    """Stops recording and saves the trace (unless ``save`` is false).

    The tool stays armed with idle callbacks when the monitor can hand it
    over; otherwise its events are switched off and it is freed, even when
    saving fails.
    """
    idle = False
    try:
        idle = monitor.end_session(TOOL_ID)
        if not idle:
            sys.monitoring.set_events(TOOL_ID, 0)
        monitor.set_active(False)
        if save:
            monitor.save()
    finally:
        if not idle:
            _release_tool()


def disarm() -> bool:
    """Frees the tool if an ended session left it armed with idle callbacks.
    Returns whether it did."""
    if _vesh.take_idle_monitor() is None:
        return False
    _release_tool()
    return True


@contextlib.contextmanager
def session(db_path: str | os.PathLike[str], config: dict[str, Any] | None = None, **options: Any) -> Iterator[Any]:
    """Records the body of the ``with`` block and saves it on the way out."""
    monitor = start(db_path, config, **options)
    try:
        yield monitor
    finally:
        stop(monitor)


def _save_trace_point_from_rust(thread_key, frames, co_name, db_path, source, lightweight_repr, trace_id, config,
                                timeout, values):
    """Stores one trace point: the records `frames` that the thread
    `thread_key` stored from a call of the function `co_name` through its
    return, cut from the trace `trace_id` being recorded into `db_path`.

    The monitor calls this on the traced thread at the function's return,
    with the values the records refer to and its configuration (`config`,
    `source`, `lightweight_repr`, the database's busy `timeout`). What this
    raises is logged by the monitor.
    """
    from vesh import db

    db.save_trace_point(thread_key, frames, co_name, db_path=db_path, source=source, parent_trace_id=trace_id,
                        config=config, values=values, timeout=timeout)
